// VariantChangeType and the VARIANT life cycle against the published conversion rules.
#include "com/Variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "com/CComVariant.h"
#include "com/DispatchTable.h"
#include "com/Locale.h"

namespace {

constexpr LCID kEnglish = 0x0409;
constexpr LCID kGerman = 0x0407;

CComVariant Text(const char16_t* text) {
    return CComVariant(text);
}

struct TextToNumber {
    LCID lcid;
    const char16_t* text;
    VARTYPE vt;
    HRESULT hr;
    double value;  // compared after converting the result to VT_R8
};

class TextToNumberTest : public testing::TestWithParam<TextToNumber> {};

TEST_P(TextToNumberTest, Converts) {
    const TextToNumber& c = GetParam();
    CComVariant in = Text(c.text), out;
    HRESULT hr = VariantChangeTypeEx(&out, &in, c.lcid, 0, c.vt);
    ASSERT_EQ(hr, c.hr) << Utf16ToUtf8(c.text) << " to vt " << c.vt;
    if (FAILED(hr)) {
        EXPECT_EQ(out.vt, VT_EMPTY);  // a failed conversion leaves the destination alone
        return;
    }
    EXPECT_EQ(out.vt, c.vt);
    if (c.vt == VT_BOOL) {
        EXPECT_EQ(out.boolVal, static_cast<VARIANT_BOOL>(c.value));
        return;
    }
    CComVariant r8;
    ASSERT_EQ(VariantChangeTypeEx(&r8, &out, kEnglish, 0, VT_R8), S_OK);
    EXPECT_DOUBLE_EQ(r8.dblVal, c.value) << Utf16ToUtf8(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Automation, TextToNumberTest,
    testing::Values(
        // Integers round halves to even; the range decides overflow after rounding.
        TextToNumber{kEnglish, u"12", VT_I2, S_OK, 12},
        TextToNumber{kEnglish, u" 12 ", VT_I2, S_OK, 12},
        TextToNumber{kEnglish, u"2.5", VT_I2, S_OK, 2},
        TextToNumber{kEnglish, u"3.5", VT_I2, S_OK, 4},
        TextToNumber{kEnglish, u"-2.5", VT_I2, S_OK, -2},
        TextToNumber{kEnglish, u"0.5", VT_I4, S_OK, 0},
        TextToNumber{kEnglish, u"32767.4", VT_I2, S_OK, 32767},
        TextToNumber{kEnglish, u"32767.5", VT_I2, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"-32768", VT_I2, S_OK, -32768},
        TextToNumber{kEnglish, u"255", VT_UI1, S_OK, 255},
        TextToNumber{kEnglish, u"256", VT_UI1, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"-1", VT_UI1, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"2147483648", VT_I4, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"9223372036854775807", VT_I8, S_OK, 9223372036854775807.0},
        TextToNumber{kEnglish, u"1,000", VT_I4, S_OK, 1000},
        TextToNumber{kEnglish, u"1e3", VT_I4, S_OK, 1000},
        TextToNumber{kEnglish, u"(5)", VT_I4, S_OK, -5},
        TextToNumber{kEnglish, u"5-", VT_I4, S_OK, -5},
        TextToNumber{kEnglish, u"&HFF", VT_I4, S_OK, 255},
        TextToNumber{kEnglish, u"&HFFFF", VT_I2, S_OK, -1},
        TextToNumber{kEnglish, u"&HFFFF", VT_I4, S_OK, -1},
        TextToNumber{kEnglish, u"&H10000", VT_I4, S_OK, 65536},
        TextToNumber{kEnglish, u"&O17", VT_I4, S_OK, 15},
        TextToNumber{kEnglish, u"abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
        TextToNumber{kEnglish, u"", VT_I4, DISP_E_TYPEMISMATCH, 0},
        TextToNumber{kEnglish, u"1.2.3", VT_R8, DISP_E_TYPEMISMATCH, 0},
        TextToNumber{kEnglish, u"1e999", VT_R8, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"1e39", VT_R4, DISP_E_OVERFLOW, 0},
        // The locale's decimal sign and grouping separator.
        TextToNumber{kEnglish, u"1.5", VT_R8, S_OK, 1.5},
        TextToNumber{kEnglish, u"1,5", VT_R8, S_OK, 15},
        TextToNumber{kGerman, u"1,5", VT_R8, S_OK, 1.5},
        TextToNumber{kGerman, u"1.5", VT_R8, S_OK, 15},
        TextToNumber{kGerman, u"1.234,5", VT_R8, S_OK, 1234.5},
        TextToNumber{kGerman, u"2,5", VT_I4, S_OK, 2},
        // Currency keeps four decimals, rounded half to even, within its 64-bit range.
        TextToNumber{kEnglish, u"1.23455", VT_CY, S_OK, 1.2346},
        TextToNumber{kEnglish, u"1.23445", VT_CY, S_OK, 1.2344},
        TextToNumber{kEnglish, u"922337203685477.5807", VT_CY, S_OK, 922337203685477.5807},
        TextToNumber{kEnglish, u"922337203685477.5808", VT_CY, DISP_E_OVERFLOW, 0},
        TextToNumber{kEnglish, u"0.1", VT_DECIMAL, S_OK, 0.1},
        TextToNumber{kEnglish, u"79228162514264337593543950336", VT_DECIMAL, DISP_E_OVERFLOW, 0},
        // Booleans read "True"/"False" in any case, or any number.
        TextToNumber{kEnglish, u"True", VT_BOOL, S_OK, -1},
        TextToNumber{kGerman, u"false", VT_BOOL, S_OK, 0},
        TextToNumber{kEnglish, u"0", VT_BOOL, S_OK, 0},
        TextToNumber{kEnglish, u"2", VT_BOOL, S_OK, -1},
        TextToNumber{kEnglish, u"yes", VT_BOOL, DISP_E_TYPEMISMATCH, 0},
        // Dates in the locale's order, ISO order, with month names, and times alone.
        TextToNumber{kEnglish, u"1/2/2000", VT_DATE, S_OK, 36527},
        TextToNumber{kGerman, u"2.1.2000", VT_DATE, S_OK, 36527},
        TextToNumber{kEnglish, u"2000-01-02", VT_DATE, S_OK, 36527},
        TextToNumber{kEnglish, u"1/2/2000 6:00 PM", VT_DATE, S_OK, 36527.75},
        TextToNumber{kGerman, u"02.01.2000 18:00:00", VT_DATE, S_OK, 36527.75},
        TextToNumber{kEnglish, u"18:00:00", VT_DATE, S_OK, 0.75},
        TextToNumber{kEnglish, u"12:00 AM", VT_DATE, S_OK, 0},
        TextToNumber{kEnglish, u"January 2, 2000", VT_DATE, S_OK, 36527},
        TextToNumber{kGerman, u"2. Januar 2000", VT_DATE, S_OK, 36527},
        TextToNumber{kEnglish, u"1/2/99", VT_DATE, S_OK, 36162},
        TextToNumber{kEnglish, u"12/30/1899", VT_DATE, S_OK, 0},
        TextToNumber{kEnglish, u"2/30/2000", VT_DATE, DISP_E_TYPEMISMATCH, 0},
        TextToNumber{kEnglish, u"25:00", VT_DATE, DISP_E_TYPEMISMATCH, 0},
        TextToNumber{kEnglish, u"soon", VT_DATE, DISP_E_TYPEMISMATCH, 0}));

struct ValueToText {
    LCID lcid;
    CComVariant value;
    WORD flags;
    const char16_t* text;
};

TEST(VariantChangeType, ValuesToText) {
    const ValueToText cases[] = {
        {kEnglish, CComVariant(1.5), 0, u"1.5"},
        {kGerman, CComVariant(1.5), 0, u"1,5"},
        {kEnglish, CComVariant(1e20), 0, u"1E+20"},
        {kEnglish, CComVariant(0.00001), 0, u"1E-05"},
        {kEnglish, CComVariant(0.1 + 0.2), 0, u"0.3"},
        {kEnglish, CComVariant(123456789012345678.0), 0, u"1.23456789012346E+17"},
        {kEnglish, CComVariant(-0.0), 0, u"0"},
        {kEnglish, CComVariant(1.1f), 0, u"1.1"},
        {kEnglish, CComVariant(static_cast<LONG>(-5)), 0, u"-5"},
        {kGerman, CComVariant::Currency(12345), 0, u"1,2345"},
        {kEnglish, CComVariant::Currency(-10000), 0, u"-1"},
        {kEnglish, CComVariant(true), 0, u"-1"},
        {kEnglish, CComVariant(true), VARIANT_ALPHABOOL, u"True"},
        {kGerman, CComVariant(false), VARIANT_LOCALBOOL, u"False"},
        {kEnglish, CComVariant(), 0, u""},
        {kEnglish, CComVariant::Date(36527.75), 0, u"1/2/2000 6:00:00 PM"},
        {kEnglish, CComVariant::Date(36527), 0, u"1/2/2000"},
        {kEnglish, CComVariant::Date(0.75), 0, u"6:00:00 PM"},
        {kEnglish, CComVariant::Date(0), 0, u"12:00:00 AM"},
        {kEnglish, CComVariant::Date(-1.25), 0, u"12/29/1899 6:00:00 AM"},
        {kGerman, CComVariant::Date(36527.75), 0, u"02.01.2000 18:00:00"},
        {kEnglish, CComVariant::Date(-657434), 0, u"1/1/0100"},
    };
    for (const auto& c : cases) {
        CComVariant out;
        ASSERT_EQ(VariantChangeTypeEx(&out, &c.value, c.lcid, c.flags, VT_BSTR), S_OK);
        EXPECT_EQ(out.Text(), std::u16string_view(c.text)) << "vt " << c.value.vt;
        EXPECT_FALSE(out.Bstr().IsNull());
    }
}

TEST(VariantChangeType, NumbersRoundHalfToEvenAndCheckRanges) {
    struct Case {
        CComVariant value;
        VARTYPE vt;
        HRESULT hr;
        LONGLONG expect;
    } cases[] = {
        {CComVariant(2.5), VT_I2, S_OK, 2},
        {CComVariant(3.5), VT_I2, S_OK, 4},
        {CComVariant(-3.5), VT_I4, S_OK, -4},
        {CComVariant(1.5f), VT_UI1, S_OK, 2},
        {CComVariant(2147483646.5), VT_I4, S_OK, 2147483646},
        {CComVariant(2147483647.5), VT_I4, DISP_E_OVERFLOW, 0},
        {CComVariant(-0.5), VT_UI1, S_OK, 0},
        {CComVariant::Currency(25000), VT_I4, S_OK, 2},
        {CComVariant::Currency(35000), VT_I4, S_OK, 4},
        {CComVariant::Date(1.5), VT_I4, S_OK, 2},
        {CComVariant(true), VT_I2, S_OK, -1},
        {CComVariant(true), VT_UI1, S_OK, 255},
        {CComVariant(static_cast<LONG>(70000)), VT_I2, DISP_E_OVERFLOW, 0},
        {CComVariant(static_cast<LONG>(-1)), VT_UI4, DISP_E_OVERFLOW, 0},
        {CComVariant(), VT_I4, S_OK, 0},
        {CComVariant(std::nan("")), VT_I4, DISP_E_OVERFLOW, 0},
        {CComVariant::Null(), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {CComVariant::Error(E_FAIL), VT_I4, DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : cases) {
        CComVariant out;
        HRESULT hr = VariantChangeTypeEx(&out, &c.value, kEnglish, 0, c.vt);
        ASSERT_EQ(hr, c.hr) << "from vt " << c.value.vt << " to " << c.vt;
        if (FAILED(hr))
            continue;
        CComVariant i8;
        ASSERT_EQ(VariantChangeTypeEx(&i8, &out, kEnglish, 0, VT_I8), S_OK);
        EXPECT_EQ(i8.llVal, c.expect) << "from vt " << c.value.vt << " to " << c.vt;
    }
}

TEST(VariantChangeType, OtherTargetsAndLimits) {
    CComVariant out;
    CComVariant big(1e300);
    EXPECT_EQ(VariantChangeTypeEx(&out, &big, kEnglish, 0, VT_R4), DISP_E_OVERFLOW);
    EXPECT_EQ(VariantChangeTypeEx(&out, &big, kEnglish, 0, VT_CY), DISP_E_OVERFLOW);
    CComVariant farFuture(3e6);
    EXPECT_EQ(VariantChangeTypeEx(&out, &farFuture, kEnglish, 0, VT_DATE), DISP_E_OVERFLOW);
    CComVariant half(0.5);
    ASSERT_EQ(VariantChangeTypeEx(&out, &half, kEnglish, 0, VT_CY), S_OK);
    EXPECT_EQ(out.cyVal.int64, 5000);
    CComVariant empty;
    ASSERT_EQ(VariantChangeTypeEx(&out, &empty, kEnglish, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    CComVariant null = CComVariant::Null();
    EXPECT_EQ(VariantChangeTypeEx(&out, &null, kEnglish, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeTypeEx(&out, &null, kEnglish, 0, VT_NULL), S_OK);
    EXPECT_EQ(out.vt, VT_NULL);
    EXPECT_EQ(VariantChangeTypeEx(&out, &null, kEnglish, 0, 0x7FF), DISP_E_BADVARTYPE);
    // In place: the destination may be the source.
    CComVariant v(u"42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
}

TEST(VariantChangeType, NullStringStaysNullAndEmptyStaysEmpty) {
    CComVariant nullText{BSTR()}, emptyText{BSTR::Empty()}, out;
    ASSERT_EQ(VariantChangeType(&out, &nullText, 0, VT_BSTR), S_OK);
    EXPECT_TRUE(out.Bstr().IsNull());
    ASSERT_EQ(VariantChangeType(&out, &emptyText, 0, VT_BSTR), S_OK);
    EXPECT_FALSE(out.Bstr().IsNull());
    CComVariant copy(nullText);
    EXPECT_TRUE(copy.Bstr().IsNull());
}

TEST(VariantChangeType, FollowsByReferenceArguments) {
    LONG number = 7;
    BSTR text(u"12");
    CComVariant byrefLong, byrefText, out;
    byrefLong.vt = VT_I4 | VT_BYREF;
    byrefLong.plVal = &number;
    byrefText.vt = VT_BSTR | VT_BYREF;
    byrefText.pbstrVal = &text;
    ASSERT_EQ(VariantChangeType(&out, &byrefLong, 0, VT_BSTR), S_OK);
    EXPECT_EQ(out.Text(), u"7");
    ASSERT_EQ(VariantChangeType(&out, &byrefText, 0, VT_I2), S_OK);
    EXPECT_EQ(out.iVal, 12);
    ASSERT_EQ(VariantCopyInd(&out, &byrefText), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(out.Text(), u"12");
}

// An object whose default property (DISPID_VALUE) is 42.
class CAnswer : public CComObjectRoot<CAnswer, IDispatchImpl<CAnswer>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IAnswer",
                                          {DispGet<&CAnswer::get_Value>(u"Value", DISPID_VALUE)});
        return table;
    }
    HRESULT get_Value(LONG* pValue) {
        *pValue = 42;
        return S_OK;
    }
};

TEST(VariantChangeType, ObjectsConvertThroughTheirDefaultProperty) {
    CComPtr<CAnswer> answer = MakeObject<CAnswer>();
    CComVariant object(static_cast<IDispatch*>(answer.Get())), out;
    ASSERT_EQ(VariantChangeType(&out, &object, 0, VT_BSTR), S_OK);
    EXPECT_EQ(out.Text(), u"42");
    EXPECT_EQ(VariantChangeType(&out, &object, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out, &object, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out.vt, VT_UNKNOWN);
    CComVariant nothing(static_cast<IDispatch*>(nullptr));
    EXPECT_EQ(VariantChangeType(&out, &nothing, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(Variant, CopyAndClearManageReferences) {
    CComPtr<CAnswer> answer = MakeObject<CAnswer>();
    {
        CComVariant a(static_cast<IDispatch*>(answer.Get()));
        CComVariant b(a);
        EXPECT_EQ(answer->RefCount(), 3u);
    }
    EXPECT_EQ(answer->RefCount(), 1u);
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x7FF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    CComVariant out;
    EXPECT_EQ(VariantCopy(&out, &bad), DISP_E_BADVARTYPE);
}

// A short text read from a store every thread shares gets a buffer of its own; a long one,
// a null string and the other types are copied as VariantCopy copies them.
TEST(Variant, CopyOwnTextGivesShortTextsTheirOwnBuffer) {
    const CComVariant shortText(BSTR(u"filtered"));
    const CComVariant longText(BSTR(std::u16string(kOwnTextUnits + 1, u'x')));
    const CComVariant nullText{BSTR()};
    CComVariant out(42);
    ASSERT_EQ(VariantCopyOwnText(&out, &shortText), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_NE(out.bstrVal, shortText.bstrVal);
    EXPECT_EQ(BSTR::ViewOf(out.bstrVal), u"filtered");
    ASSERT_EQ(VariantCopyOwnText(&out, &longText), S_OK);
    EXPECT_EQ(out.bstrVal, longText.bstrVal);
    ASSERT_EQ(VariantCopyOwnText(&out, &nullText), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(out.bstrVal, nullptr);
    const CComVariant number(7);
    ASSERT_EQ(VariantCopyOwnText(&out, &number), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 7);
}

TEST(Locale, LcidsTagsAndTheSystemDefault) {
    EXPECT_EQ(LcidFromRfc1766("de"), 0x0407u);
    EXPECT_EQ(LcidFromRfc1766("en-GB"), 0x0809u);
    EXPECT_EQ(LcidFromRfc1766("zz-ZZ-bogus!"), 0u);
    EXPECT_EQ(Rfc1766FromLcid(0x040C), "fr-FR");
    EXPECT_EQ(LcidFromPosixLocale("de_DE.UTF-8"), 0x0407u);
    EXPECT_EQ(LcidFromPosixLocale("C.UTF-8"), 1033u);
    EXPECT_EQ(LcidFromPosixLocale("POSIX"), 1033u);
    EXPECT_TRUE(IsValidLocale(0x0407, LCID_SUPPORTED));
    EXPECT_FALSE(IsValidLocale(0x1234, LCID_SUPPORTED));

    std::string path = testing::TempDir() + "corvane_locale_test";
    { std::ofstream(path) << "#  File generated by update-locale\nLANG=\"de_DE.UTF-8\"\n"; }
    SetSystemLocaleFileForTest(path);
    EXPECT_EQ(GetSystemDefaultLCID(), 0x0407u);
    { std::ofstream(path) << "LANG=C.UTF-8\n"; }
    SetSystemLocaleFileForTest(path);
    EXPECT_EQ(GetSystemDefaultLCID(), 1033u);
    SetSystemLocaleFileForTest(path + ".missing");
    EXPECT_EQ(GetSystemDefaultLCID(), 1033u);
    SetSystemLocaleFileForTest("");
    std::remove(path.c_str());
}

}  // namespace
