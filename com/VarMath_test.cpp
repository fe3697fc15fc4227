// Arithmetic result types and promotion, logic with Null, and VarCmp.
#include "com/VarMath.h"

#include <gtest/gtest.h>

#include "com/CComVariant.h"
#include "com/Locale.h"

namespace {

using BinaryOp = HRESULT (*)(const VARIANT*, const VARIANT*, VARIANT*);

CComVariant I2(SHORT v) {
    return CComVariant(v);
}
CComVariant I4(LONG v) {
    return CComVariant(v);
}
CComVariant UI1(BYTE v) {
    return CComVariant(v);
}
CComVariant R8(double v) {
    return CComVariant(v);
}
CComVariant Bool(bool v) {
    return CComVariant(v);
}
CComVariant Str(const char16_t* v) {
    return CComVariant(v);
}

double AsDouble(const CComVariant& v) {
    CComVariant r8;
    EXPECT_EQ(VariantChangeTypeEx(&r8, &v, LCID_EN_US, 0, VT_R8), S_OK);
    return r8.dblVal;
}

struct BinaryCase {
    const char* name;
    BinaryOp op;
    CComVariant left, right;
    HRESULT hr;
    VARTYPE vt;
    double value;
};

TEST(VarMath, ResultTypesAndPromotion) {
    const BinaryCase cases[] = {
        {"Integer overflow to Long", VarAdd, I2(32767), I2(1), S_OK, VT_I4, 32768},
        {"Long overflow to Double", VarAdd, I4(2147483647), I4(1), S_OK, VT_R8, 2147483648.0},
        {"Byte overflow to Integer", VarAdd, UI1(255), UI1(1), S_OK, VT_I2, 256},
        {"Byte stays Byte", VarAdd, UI1(200), UI1(50), S_OK, VT_UI1, 250},
        {"Byte below zero", VarSub, UI1(1), UI1(2), S_OK, VT_I2, -1},
        {"Booleans add as Integers", VarAdd, Bool(true), Bool(true), S_OK, VT_I2, -2},
        {"Empty plus Empty", VarAdd, CComVariant(), CComVariant(), S_OK, VT_I2, 0},
        {"Empty keeps the other type", VarAdd, CComVariant(), UI1(3), S_OK, VT_UI1, 3},
        {"Null propagates", VarAdd, CComVariant::Null(), I2(1), S_OK, VT_NULL, 0},
        {"number text adds as Double", VarAdd, Str(u"1"), I2(1), S_OK, VT_R8, 2},
        {"Single with Long is Double", VarAdd, CComVariant(1.5f), I4(1), S_OK, VT_R8, 2.5},
        {"Single with Integer is Single", VarAdd, CComVariant(1.5f), I2(1), S_OK, VT_R4, 2.5},
        {"Currency wins over Double", VarAdd, CComVariant::Currency(15000), R8(1), S_OK, VT_CY,
         2.5},
        {"Date plus number is Date", VarAdd, CComVariant::Date(36526), I2(1), S_OK, VT_DATE, 36527},
        {"Date minus Date is Double", VarSub, CComVariant::Date(36527), CComVariant::Date(36526),
         S_OK, VT_R8, 1},
        {"Integer product overflow", VarMul, I2(300), I2(300), S_OK, VT_I4, 90000},
        {"Date times number is Double", VarMul, CComVariant::Date(2), I2(3), S_OK, VT_R8, 6},
        {"Currency product", VarMul, CComVariant::Currency(15000), CComVariant::Currency(20000),
         S_OK, VT_CY, 3},
        {"Currency overflow", VarAdd, CComVariant::Currency(INT64_MAX), CComVariant::Currency(1),
         DISP_E_OVERFLOW, 0, 0},
        {"Date overflow", VarAdd, CComVariant::Date(2958465), I4(10), DISP_E_OVERFLOW, 0, 0},
        {"Text that is no number", VarSub, Str(u"x"), I2(1), DISP_E_TYPEMISMATCH, 0, 0},
        {"Division is Double", VarDiv, I2(1), I2(2), S_OK, VT_R8, 0.5},
        {"Division of Singles", VarDiv, CComVariant(1.0f), I2(4), S_OK, VT_R4, 0.25},
        {"Division by zero", VarDiv, I2(1), I2(0), DISP_E_DIVBYZERO, 0, 0},
        {"Zero by zero overflows", VarDiv, I2(0), I2(0), DISP_E_OVERFLOW, 0, 0},
        {"Integer division rounds operands", VarIdiv, R8(7.5), I2(2), S_OK, VT_I4, 4},
        {"Integer division keeps Integer", VarIdiv, I2(7), I2(2), S_OK, VT_I2, 3},
        {"Integer division by zero", VarIdiv, I2(7), CComVariant(), DISP_E_DIVBYZERO, 0, 0},
        {"Integer division promotes", VarIdiv, I2(-32768), I2(-1), S_OK, VT_I4, 32768},
        {"Mod takes the dividend's sign", VarMod, I2(-7), I2(3), S_OK, VT_I2, -1},
        {"Mod of Bytes", VarMod, UI1(7), UI1(4), S_OK, VT_UI1, 3},
        {"Power is Double", VarPow, I2(2), I2(10), S_OK, VT_R8, 1024},
        {"Zero to a negative power", VarPow, I2(0), I2(-1), DISP_E_DIVBYZERO, 0, 0},
        {"Null power", VarPow, CComVariant::Null(), I2(2), S_OK, VT_NULL, 0},
    };
    for (const auto& c : cases) {
        CComVariant out;
        HRESULT hr = c.op(&c.left, &c.right, &out);
        ASSERT_EQ(hr, c.hr) << c.name;
        if (FAILED(hr))
            continue;
        EXPECT_EQ(out.vt, c.vt) << c.name;
        if (c.vt != VT_NULL) {
            EXPECT_DOUBLE_EQ(AsDouble(out), c.value) << c.name;
        }
    }
}

TEST(VarMath, StringsConcatenate) {
    CComVariant out;
    CComVariant a = Str(u"a"), b = Str(u"b"), empty, null = CComVariant::Null();
    ASSERT_EQ(VarAdd(&a, &b, &out), S_OK);
    EXPECT_EQ(out.Text(), u"ab");
    ASSERT_EQ(VarAdd(&empty, &a, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    CComVariant t = Bool(true), half = R8(1.5);
    ASSERT_EQ(VarCat(&a, &t, &out), S_OK);
    EXPECT_EQ(out.Text(), u"aTrue");
    ASSERT_EQ(VarCat(&null, &half, &out), S_OK);
    EXPECT_EQ(out.Text(), u"1.5");
    ASSERT_EQ(VarCat(&null, &null, &out), S_OK);
    EXPECT_EQ(out.vt, VT_NULL);
}

TEST(VarMath, LogicWithNullAndTypes) {
    const BinaryCase cases[] = {
        {"Null And False", VarAnd, CComVariant::Null(), Bool(false), S_OK, VT_BOOL, 0},
        {"Null And True", VarAnd, CComVariant::Null(), Bool(true), S_OK, VT_NULL, 0},
        {"Null Or True", VarOr, Bool(true), CComVariant::Null(), S_OK, VT_BOOL, -1},
        {"Null Or False", VarOr, CComVariant::Null(), Bool(false), S_OK, VT_NULL, 0},
        {"Null Xor", VarXor, CComVariant::Null(), Bool(false), S_OK, VT_NULL, 0},
        {"False Imp Null", VarImp, Bool(false), CComVariant::Null(), S_OK, VT_BOOL, -1},
        {"Null Imp True", VarImp, CComVariant::Null(), Bool(true), S_OK, VT_BOOL, -1},
        {"True Imp Null", VarImp, Bool(true), CComVariant::Null(), S_OK, VT_NULL, 0},
        {"Booleans stay Boolean", VarXor, Bool(true), Bool(false), S_OK, VT_BOOL, -1},
        {"Eqv of Booleans", VarEqv, Bool(false), Bool(false), S_OK, VT_BOOL, -1},
        {"Integer bits", VarAnd, I2(12), I2(10), S_OK, VT_I2, 8},
        {"Boolean with Integer", VarOr, Bool(false), I2(4), S_OK, VT_I2, 4},
        {"Bytes stay Bytes", VarOr, UI1(1), UI1(2), S_OK, VT_UI1, 3},
        {"Doubles round to Long", VarAnd, R8(6.5), I2(7), S_OK, VT_I4, 6},
        {"Boolean words", VarAnd, Str(u"True"), Bool(true), S_OK, VT_BOOL, -1},
        {"Empty is Integer 0", VarOr, CComVariant(), CComVariant(), S_OK, VT_I2, 0},
    };
    for (const auto& c : cases) {
        CComVariant out;
        HRESULT hr = c.op(&c.left, &c.right, &out);
        ASSERT_EQ(hr, c.hr) << c.name;
        EXPECT_EQ(out.vt, c.vt) << c.name;
        if (c.vt != VT_NULL) {
            EXPECT_DOUBLE_EQ(AsDouble(out), c.value) << c.name;
        }
    }
}

TEST(VarMath, UnaryOperations) {
    struct Case {
        const char* name;
        HRESULT (*op)(const VARIANT*, VARIANT*);
        CComVariant in;
        VARTYPE vt;
        double value;
    } cases[] = {
        {"Neg of Integer minimum", VarNeg, I2(-32768), VT_I4, 32768},
        {"Neg of Boolean", VarNeg, Bool(true), VT_I2, 1},
        {"Neg of Byte", VarNeg, UI1(5), VT_I2, -5},
        {"Neg of Empty", VarNeg, CComVariant(), VT_I2, 0},
        {"Neg of text", VarNeg, Str(u"2"), VT_R8, -2},
        {"Abs of Long minimum", VarAbs, I4(INT32_MIN), VT_R8, 2147483648.0},
        {"Not of True", VarNot, Bool(true), VT_BOOL, 0},
        {"Not of Integer", VarNot, I2(0), VT_I2, -1},
        {"Not of Empty", VarNot, CComVariant(), VT_I2, -1},
        {"Not of Byte", VarNot, UI1(0x0F), VT_UI1, 0xF0},
        {"Not of Double", VarNot, R8(1.5), VT_I4, -3},
        {"Fix truncates", VarFix, R8(-2.5), VT_R8, -2},
        {"Int floors", VarInt, R8(-2.5), VT_R8, -3},
        {"Int of Currency", VarInt, CComVariant::Currency(-15000), VT_CY, -2},
        {"Fix of Boolean", VarFix, Bool(true), VT_I2, -1},
        {"Fix of Null", VarFix, CComVariant::Null(), VT_NULL, 0},
    };
    for (const auto& c : cases) {
        CComVariant out;
        ASSERT_EQ(c.op(&c.in, &out), S_OK) << c.name;
        EXPECT_EQ(out.vt, c.vt) << c.name;
        if (c.vt != VT_NULL) {
            EXPECT_DOUBLE_EQ(AsDouble(out), c.value) << c.name;
        }
    }
}

TEST(VarMath, RoundHalvesToEven) {
    struct Case {
        CComVariant in;
        int decimals;
        VARTYPE vt;
        double value;
    } cases[] = {
        {R8(2.5), 0, VT_R8, 2},
        {R8(3.5), 0, VT_R8, 4},
        {R8(-2.5), 0, VT_R8, -2},
        {R8(2.675), 2, VT_R8, 2.68},
        {R8(0.125), 2, VT_R8, 0.12},
        {CComVariant(2.5f), 0, VT_R4, 2},
        {CComVariant::Currency(12350), 2, VT_CY, 1.24},  // 1.2350
        {CComVariant::Currency(12250), 2, VT_CY, 1.22},
        {I2(7), 2, VT_I2, 7},
        {Str(u"1.45"), 1, VT_R8, 1.4},
    };
    for (const auto& c : cases) {
        CComVariant out;
        ASSERT_EQ(VarRound(&c.in, c.decimals, &out), S_OK);
        EXPECT_EQ(out.vt, c.vt);
        EXPECT_DOUBLE_EQ(AsDouble(out), c.value);
    }
    CComVariant out, x = R8(1);
    EXPECT_EQ(VarRound(&x, -1, &out), E_INVALIDARG);
}

struct CmpCase {
    const char* name;
    CComVariant left, right;
    ULONG flags;
    HRESULT expect;
};

TEST(VarCmp, ComparesAcrossTypes) {
    const CmpCase cases[] = {
        {"Integer and Double", I2(1), R8(1.0), 0, VARCMP_EQ},
        {"Long and Double", I4(2), R8(1.5), 0, VARCMP_GT},
        {"Currency and Double", CComVariant::Currency(15000), R8(1.5), 0, VARCMP_EQ},
        {"Date and Integer", CComVariant::Date(1), I2(1), 0, VARCMP_EQ},
        {"Boolean and Integer", Bool(true), I2(-1), 0, VARCMP_EQ},
        {"Null", CComVariant::Null(), I2(1), 0, VARCMP_NULL},
        {"Empty and 0", CComVariant(), I2(0), 0, VARCMP_EQ},
        {"Empty and empty text", CComVariant(), Str(u""), 0, VARCMP_EQ},
        {"number below text", I4(5), Str(u"5"), 0, VARCMP_LT},
        {"text above number", Str(u"1"), R8(9), 0, VARCMP_GT},
        {"collation, not code units", Str(u"a"), Str(u"B"), 0, VARCMP_LT},
        {"accents are secondary to letters", Str(u"\u00E9a"), Str(u"eb"), 0, VARCMP_LT},
        {"case is a tertiary difference", Str(u"a"), Str(u"A"), 0, VARCMP_LT},
        {"case ignored", Str(u"abc"), Str(u"ABC"), NORM_IGNORECASE, VARCMP_EQ},
        {"equal texts", Str(u"abc"), Str(u"abc"), 0, VARCMP_EQ},
        {"prefix", Str(u"ab"), Str(u"abc"), 0, VARCMP_LT},
        {"large integers exactly", CComVariant(static_cast<LONGLONG>(9007199254740993)),
         CComVariant(static_cast<LONGLONG>(9007199254740992)), 0, VARCMP_GT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VarCmp(&c.left, &c.right, LCID_EN_US, c.flags), c.expect) << c.name;
    }
    CComVariant error = CComVariant::Error(E_FAIL), one = I2(1);
    EXPECT_EQ(VarCmp(&error, &one, LCID_EN_US, 0), DISP_E_TYPEMISMATCH);
}

TEST(VarCmp, TiesOfTheCollatorFallBackToCodeUnits) {
    // U+0000 is ignorable to the collator; the texts still differ.
    CComVariant a(std::u16string_view(u"a\0b", 3)), b(std::u16string_view(u"ab", 2));
    HRESULT r = VarCmp(&a, &b, LCID_EN_US, 0);
    EXPECT_NE(r, VARCMP_EQ);
    EXPECT_EQ(VarCmp(&b, &a, LCID_EN_US, 0), r == VARCMP_LT ? VARCMP_GT : VARCMP_LT);
}

}  // namespace
