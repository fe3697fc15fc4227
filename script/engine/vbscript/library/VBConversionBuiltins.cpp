// Conversion and inspection built-ins: CBool … CStr, Hex, Oct, Asc/Chr and their byte
// and wide forms, Fix, Int, Sgn, Abs, TypeName, VarType and the Is… tests.
//
// Strings hold UTF-16 code units. Asc and Chr work on code units too (0 to 255 for
// Chr, as the single-byte form of the language allows); the byte forms see each code
// unit as its low byte, since a string here cannot hold half a code unit.
#include <cmath>

#include "com/SafeArray.h"
#include "com/TextForms.h"
#include "com/VarMath.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

HRESULT ConvertTo(VBBuiltinContext& ctx, const VARIANT* args, VARTYPE vt, VARIANT* result) {
    CComVariant value;
    HRESULT hr = ConvertArg(ctx, args[0], vt, &value);
    if (FAILED(hr))
        return hr;
    VariantClear(result);
    value.Detach(result);
    return S_OK;
}

HRESULT CBool(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_BOOL, result);
}
HRESULT CByte(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_UI1, result);
}
HRESULT CCur(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_CY, result);
}
HRESULT CDate(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_DATE, result);
}
HRESULT CDbl(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_R8, result);
}
HRESULT CInt(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_I2, result);
}
HRESULT CLng(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_I4, result);
}
HRESULT CSng(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_R4, result);
}
HRESULT CStr(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return ConvertTo(ctx, args, VT_BSTR, result);
}

// Hex and Oct: Null gives Null, Empty "0"; a negative Integer or Byte is written in 16
// bits, anything else is rounded to a Long and written in 32.
HRESULT Radix(VBBuiltinContext& ctx, const VARIANT& arg, unsigned bitsPerDigit, VARIANT* result) {
    if (IsNullValue(arg)) {
        SetNull(result);
        return S_OK;
    }
    std::uint32_t value = 0;
    if (arg.vt == VT_I2 || arg.vt == VT_UI1 || arg.vt == VT_BOOL) {
        CComVariant v;
        HRESULT hr = ConvertArg(ctx, arg, VT_I2, &v);
        if (FAILED(hr))
            return hr;
        value = static_cast<std::uint16_t>(v.iVal);
    } else {
        LONG v = 0;
        HRESULT hr = ArgLong(ctx, arg, &v);
        if (FAILED(hr))
            return hr;
        value = static_cast<std::uint32_t>(v);
    }
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string text;
    const std::uint32_t mask = (1u << bitsPerDigit) - 1;
    do {
        text.insert(text.begin(), kDigits[value & mask]);
        value >>= bitsPerDigit;
    } while (value != 0);
    SetText(result, std::move(text));
    return S_OK;
}

HRESULT Hex(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Radix(ctx, args[0], 4, result);
}
HRESULT Oct(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Radix(ctx, args[0], 3, result);
}

// The first code unit of the argument's text; "" is error 5.
HRESULT FirstUnit(VBBuiltinContext& ctx, const VARIANT& arg, char16_t* unit) {
    std::u16string text;
    HRESULT hr = ArgText(ctx, arg, &text);
    if (FAILED(hr))
        return hr;
    if (text.empty())
        return VBScriptError(kVBInvalidCall);
    *unit = text[0];
    return S_OK;
}

HRESULT AscW(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    char16_t unit = 0;
    HRESULT hr = FirstUnit(ctx, args[0], &unit);
    if (SUCCEEDED(hr))
        SetInteger(result, static_cast<SHORT>(unit));
    return hr;
}
HRESULT Asc(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    char16_t unit = 0;
    HRESULT hr = FirstUnit(ctx, args[0], &unit);
    if (SUCCEEDED(hr))
        SetInteger(result, static_cast<SHORT>(unit));
    return hr;
}
HRESULT AscB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    char16_t unit = 0;
    HRESULT hr = FirstUnit(ctx, args[0], &unit);
    if (SUCCEEDED(hr))
        SetInteger(result, static_cast<SHORT>(unit & 0xFF));
    return hr;
}

HRESULT CharOf(VBBuiltinContext& ctx, const VARIANT& arg, LONG low, LONG high, VARIANT* result) {
    LONG code = 0;
    HRESULT hr = ArgLong(ctx, arg, &code);
    if (FAILED(hr))
        return hr;
    if (code < low || code > high)
        return VBScriptError(kVBInvalidCall);
    SetText(result, std::u16string(1, static_cast<char16_t>(code & 0xFFFF)));
    return S_OK;
}

HRESULT Chr(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return CharOf(ctx, args[0], 0, 255, result);
}
HRESULT ChrB(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return CharOf(ctx, args[0], 0, 255, result);
}
HRESULT ChrW(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return CharOf(ctx, args[0], -32768, 65535, result);
}

using UnaryMath = HRESULT (*)(const VARIANT*, VARIANT*);

// Fix, Int and Abs keep the argument's type (a string becomes a Double); Null passes.
HRESULT Unary(VBBuiltinContext& ctx, const VARIANT& arg, UnaryMath op, VARIANT* result) {
    if (IsNullValue(arg)) {
        SetNull(result);
        return S_OK;
    }
    CComVariant in(arg);
    if (arg.vt == VT_BSTR || arg.vt == VT_DISPATCH) {
        HRESULT hr = ConvertArg(ctx, arg, VT_R8, &in);
        if (FAILED(hr))
            return hr;
    }
    CComVariant out;
    HRESULT hr = op(&in, &out);
    if (FAILED(hr))
        return VBStatus(hr);
    VariantClear(result);
    out.Detach(result);
    return S_OK;
}

HRESULT Fix(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Unary(ctx, args[0], VarFix, result);
}
HRESULT Int(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Unary(ctx, args[0], VarInt, result);
}
HRESULT Abs(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    return Unary(ctx, args[0], VarAbs, result);
}

HRESULT Sgn(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    if (IsNullValue(args[0]))
        return VBScriptError(kVBInvalidNull);
    double value = 0;
    HRESULT hr = ArgDouble(ctx, args[0], &value);
    if (FAILED(hr))
        return hr;
    SetInteger(result, static_cast<SHORT>(value > 0 ? 1 : (value < 0 ? -1 : 0)));
    return S_OK;
}

std::u16string_view ScalarTypeName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return u"Empty";
        case VT_NULL:
            return u"Null";
        case VT_I2:
            return u"Integer";
        case VT_I4:
            return u"Long";
        case VT_R4:
            return u"Single";
        case VT_R8:
            return u"Double";
        case VT_CY:
            return u"Currency";
        case VT_DATE:
            return u"Date";
        case VT_BSTR:
            return u"String";
        case VT_DISPATCH:
            return u"Object";
        case VT_ERROR:
            return u"Error";
        case VT_BOOL:
            return u"Boolean";
        case VT_VARIANT:
            return u"Variant";
        case VT_DECIMAL:
            return u"Decimal";
        case VT_UI1:
            return u"Byte";
        case VT_I1:
            return u"SByte";
        case VT_UI2:
            return u"UShort";
        case VT_UI4:
            return u"ULong";
        case VT_I8:
            return u"LongLong";
        case VT_UI8:
            return u"ULongLong";
        case VT_INT:
            return u"Long";
        case VT_UINT:
            return u"ULong";
        default:
            return u"Unknown";
    }
}

HRESULT TypeName(VBBuiltinContext&, const VARIANT* args, unsigned, VARIANT* result) {
    const VARIANT& v = args[0];
    if (v.vt & VT_ARRAY) {
        SetText(result, std::u16string(ScalarTypeName(v.vt & VT_TYPEMASK)) + u"()");
        return S_OK;
    }
    if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && !v.punkVal) {
        SetText(result, u"Nothing");
        return S_OK;
    }
    if (v.vt == VT_DISPATCH) {
        // A host object reports the name of its dispatch interface when it has one.
        CComPtr<ITypeInfo> info;
        BSTR name;
        if (SUCCEEDED(v.pdispVal->GetTypeInfo(0, LCID_EN_US, info.Receive())) && info &&
            SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)) &&
            name.Length() > 0) {
            SetText(result, std::u16string(name.View()));
            return S_OK;
        }
    }
    SetText(result, std::u16string(ScalarTypeName(v.vt)));
    return S_OK;
}

HRESULT VarType(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    const VARIANT& v = args[0];
    VARTYPE vt = v.vt;
    if (vt == VT_DISPATCH && v.pdispVal) {
        // An object with a default property reports the type of that value.
        CComVariant value;
        DISPPARAMS none;
        if (SUCCEEDED(v.pdispVal->Invoke(DISPID_VALUE, GUID_NULL, ctx.lcid, DISPATCH_PROPERTYGET,
                                         &none, &value, nullptr, nullptr)) &&
            value.vt != VT_DISPATCH)
            vt = value.vt;
    }
    SetInteger(result, static_cast<SHORT>(vt));
    return S_OK;
}

HRESULT IsEmpty(VBBuiltinContext&, const VARIANT* args, unsigned, VARIANT* result) {
    SetBool(result, args[0].vt == VT_EMPTY);
    return S_OK;
}
HRESULT IsNull(VBBuiltinContext&, const VARIANT* args, unsigned, VARIANT* result) {
    SetBool(result, args[0].vt == VT_NULL);
    return S_OK;
}
HRESULT IsObject(VBBuiltinContext&, const VARIANT* args, unsigned, VARIANT* result) {
    SetBool(result, args[0].vt == VT_DISPATCH || args[0].vt == VT_UNKNOWN);
    return S_OK;
}
HRESULT IsArray(VBBuiltinContext&, const VARIANT* args, unsigned, VARIANT* result) {
    SetBool(result, (args[0].vt & VT_ARRAY) != 0);
    return S_OK;
}

HRESULT IsNumeric(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    const VARIANT& v = args[0];
    bool numeric = false;
    switch (v.vt) {
        case VT_EMPTY:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_UI1:
        case VT_I1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            numeric = true;
            break;
        case VT_BSTR:
            numeric = ParseNumberText(VariantText(v), ctx.lcid).has_value();
            break;
        default:
            break;
    }
    SetBool(result, numeric);
    return S_OK;
}

HRESULT IsDate(VBBuiltinContext& ctx, const VARIANT* args, unsigned, VARIANT* result) {
    const VARIANT& v = args[0];
    bool date = v.vt == VT_DATE;
    if (v.vt == VT_BSTR)
        date = ParseDateText(VariantText(v), ctx.lcid).has_value();
    SetBool(result, date);
    return S_OK;
}

constexpr VBBuiltin kConversion[] = {
    {u"Abs", Abs, 1, 1},           {u"Asc", Asc, 1, 1},         {u"AscB", AscB, 1, 1},
    {u"AscW", AscW, 1, 1},         {u"CBool", CBool, 1, 1},     {u"CByte", CByte, 1, 1},
    {u"CCur", CCur, 1, 1},         {u"CDate", CDate, 1, 1},     {u"CDbl", CDbl, 1, 1},
    {u"Chr", Chr, 1, 1},           {u"ChrB", ChrB, 1, 1},       {u"ChrW", ChrW, 1, 1},
    {u"CInt", CInt, 1, 1},         {u"CLng", CLng, 1, 1},       {u"CSng", CSng, 1, 1},
    {u"CStr", CStr, 1, 1},         {u"Fix", Fix, 1, 1},         {u"Hex", Hex, 1, 1},
    {u"Int", Int, 1, 1},           {u"IsArray", IsArray, 1, 1}, {u"IsDate", IsDate, 1, 1},
    {u"IsEmpty", IsEmpty, 1, 1},   {u"IsNull", IsNull, 1, 1},   {u"IsNumeric", IsNumeric, 1, 1},
    {u"IsObject", IsObject, 1, 1}, {u"Oct", Oct, 1, 1},         {u"Sgn", Sgn, 1, 1},
    {u"TypeName", TypeName, 1, 1}, {u"VarType", VarType, 1, 1},
};

}  // namespace

std::span<const VBBuiltin> VBConversionBuiltins() {
    return kConversion;
}
