// Exact numeric forms for conversions and arithmetic.
#include "com/VariantNumber.h"

#include <cmath>
#include <cstdio>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Dispatch.h"

namespace {

constexpr unsigned __int128 kDecimalLimit = static_cast<unsigned __int128>(1) << 96;

__int128 Pow10(int n) {
    __int128 v = 1;
    for (int i = 0; i < n; ++i)
        v *= 10;
    return v;
}

// Smallest and largest doubles that still round into a 128-bit integer safely.
constexpr double kInt128Bound = 1.0e37;

bool DecimalFromParsed(const ParsedNumber& p, DecimalValue* out) {
    if (p.radix) {
        out->negative = p.radixValue < 0;
        out->mantissa = static_cast<unsigned __int128>(
            p.radixValue < 0 ? -static_cast<__int128>(p.radixValue) : p.radixValue);
        out->scale = 0;
        return true;
    }
    long intDigits = static_cast<long>(p.digits.size()) + p.exponent;
    int scale = 0;
    if (p.exponent < 0)
        scale = static_cast<int>(std::max(
            0L, std::min({28L, -static_cast<long>(p.exponent), 29 - std::max(intDigits, 0L)})));
    __int128 v = 0;
    if (!ParsedToScaled(p, scale, &v))
        return false;
    unsigned __int128 m = static_cast<unsigned __int128>(v < 0 ? -v : v);
    while (m >= kDecimalLimit && scale > 0) {
        m = static_cast<unsigned __int128>(DivideRoundEven(static_cast<__int128>(m), 10));
        --scale;
    }
    if (m >= kDecimalLimit)
        return false;
    out->negative = p.negative && m != 0;
    out->mantissa = m;
    out->scale = scale;
    return true;
}

}  // namespace

__int128 DivideRoundEven(__int128 v, __int128 divisor) {
    __int128 q = v / divisor;
    __int128 r = v % divisor;
    if (r == 0)
        return q;
    __int128 twice = 2 * (r < 0 ? -r : r);
    __int128 absDiv = divisor < 0 ? -divisor : divisor;
    bool negative = (v < 0) != (divisor < 0);
    if (twice > absDiv || (twice == absDiv && (q & 1)))
        q += negative ? -1 : 1;
    return q;
}

DecimalValue DecimalFromDECIMAL(const DECIMAL& d) {
    DecimalValue out;
    out.negative = DecimalIsNegative(d);
    out.mantissa = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
    out.scale = d.scale <= 28 ? d.scale : 28;
    return out;
}

bool DECIMALFromDecimal(DecimalValue value, DECIMAL* out) {
    while (value.mantissa >= kDecimalLimit && value.scale > 0) {
        value.mantissa = static_cast<unsigned __int128>(
            DivideRoundEven(static_cast<__int128>(value.mantissa), 10));
        --value.scale;
    }
    while (value.scale > 28) {
        value.mantissa = static_cast<unsigned __int128>(
            DivideRoundEven(static_cast<__int128>(value.mantissa), 10));
        --value.scale;
    }
    if (value.mantissa >= kDecimalLimit)
        return false;
    out->wReserved = VT_DECIMAL;
    out->scale = static_cast<BYTE>(value.scale);
    out->sign = value.negative && value.mantissa ? DECIMAL_NEG : 0;
    out->Hi32 = static_cast<ULONG>(value.mantissa >> 64);
    out->Lo64 = static_cast<ULONGLONG>(value.mantissa);
    return true;
}

double DecimalToDouble(const DecimalValue& d) {
    auto p = ParseAsciiNumber(DecimalToAscii(d));
    return p ? ParsedToDouble(*p) : 0.0;
}

std::string DecimalToAscii(const DecimalValue& d) {
    std::string digits;
    unsigned __int128 m = d.mantissa;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m);
    if (d.scale > 0) {
        if (static_cast<int>(digits.size()) <= d.scale)
            digits.insert(0, static_cast<std::size_t>(d.scale) + 1 - digits.size(), '0');
        digits.insert(digits.size() - d.scale, ".");
        while (digits.back() == '0')
            digits.pop_back();
        if (digits.back() == '.')
            digits.pop_back();
    }
    if (d.negative && digits != "0")
        digits.insert(0, "-");
    return digits;
}

HRESULT NumberOfVariant(const VARIANT& v, LCID lcid, VariantNumber* out) {
    out->kind = VariantNumber::Integer;
    switch (v.vt) {
        case VT_EMPTY:
            out->integer = 0;
            return S_OK;
        case VT_BOOL:
            out->integer = v.boolVal ? -1 : 0;
            return S_OK;
        case VT_I1:
            out->integer = static_cast<signed char>(v.cVal);
            return S_OK;
        case VT_UI1:
            out->integer = v.bVal;
            return S_OK;
        case VT_I2:
            out->integer = v.iVal;
            return S_OK;
        case VT_UI2:
            out->integer = v.uiVal;
            return S_OK;
        case VT_I4:
        case VT_INT:
            out->integer = v.lVal;
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            out->integer = v.ulVal;
            return S_OK;
        case VT_I8:
            out->integer = v.llVal;
            return S_OK;
        case VT_UI8:
            out->integer = v.ullVal;
            return S_OK;
        case VT_R4:
            out->kind = VariantNumber::Real;
            out->real = v.fltVal;
            return S_OK;
        case VT_R8:
        case VT_DATE:
            out->kind = VariantNumber::Real;
            out->real = v.dblVal;
            return S_OK;
        case VT_CY:
            out->kind = VariantNumber::Currency;
            out->currency = v.cyVal.int64;
            return S_OK;
        case VT_DECIMAL:
            out->kind = VariantNumber::Decimal;
            out->decimal = DecimalFromDECIMAL(v.decVal);
            return S_OK;
        case VT_BSTR: {
            auto parsed = ParseNumberText(BSTR::ViewOf(v.bstrVal), lcid);
            if (!parsed)
                return DISP_E_TYPEMISMATCH;
            out->kind = VariantNumber::Text;
            out->text = std::move(*parsed);
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT NumberToInteger(const VariantNumber& n, __int128* out) {
    switch (n.kind) {
        case VariantNumber::Integer:
            *out = n.integer;
            return S_OK;
        case VariantNumber::Real:
            if (!std::isfinite(n.real) || std::fabs(n.real) > kInt128Bound)
                return DISP_E_OVERFLOW;
            *out = static_cast<__int128>(std::nearbyint(n.real));
            return S_OK;
        case VariantNumber::Currency:
            *out = DivideRoundEven(n.currency, 10000);
            return S_OK;
        case VariantNumber::Decimal: {
            __int128 m = static_cast<__int128>(n.decimal.mantissa);
            *out = DivideRoundEven(n.decimal.negative ? -m : m, Pow10(n.decimal.scale));
            return S_OK;
        }
        case VariantNumber::Text:
            return ParsedToScaled(n.text, 0, out) ? S_OK : DISP_E_OVERFLOW;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT NumberToDouble(const VariantNumber& n, double* out) {
    switch (n.kind) {
        case VariantNumber::Integer:
            *out = static_cast<double>(n.integer);
            break;
        case VariantNumber::Real:
            *out = n.real;
            break;
        case VariantNumber::Currency:
            *out = static_cast<double>(n.currency) / 10000.0;
            break;
        case VariantNumber::Decimal:
            *out = DecimalToDouble(n.decimal);
            break;
        case VariantNumber::Text:
            *out = ParsedToDouble(n.text);
            break;
    }
    return std::isfinite(*out) ? S_OK : DISP_E_OVERFLOW;
}

HRESULT NumberToCurrency(const VariantNumber& n, LONGLONG* out) {
    __int128 v = 0;
    switch (n.kind) {
        case VariantNumber::Integer:
            if (n.integer > INT64_MAX / 10000 || n.integer < INT64_MIN / 10000)
                return DISP_E_OVERFLOW;
            v = n.integer * 10000;
            break;
        case VariantNumber::Real:
            if (!std::isfinite(n.real) || std::fabs(n.real) > 1e15)
                return DISP_E_OVERFLOW;
            v = static_cast<__int128>(std::nearbyint(n.real * 10000.0));
            break;
        case VariantNumber::Currency:
            v = n.currency;
            break;
        case VariantNumber::Decimal: {
            __int128 m = static_cast<__int128>(n.decimal.mantissa);
            if (n.decimal.negative)
                m = -m;
            v = n.decimal.scale >= 4 ? DivideRoundEven(m, Pow10(n.decimal.scale - 4))
                                     : m * Pow10(4 - n.decimal.scale);
            break;
        }
        case VariantNumber::Text:
            if (!ParsedToScaled(n.text, 4, &v))
                return DISP_E_OVERFLOW;
            break;
    }
    if (v > INT64_MAX || v < INT64_MIN)
        return DISP_E_OVERFLOW;
    *out = static_cast<LONGLONG>(v);
    return S_OK;
}

HRESULT NumberToDecimal(const VariantNumber& n, DecimalValue* out) {
    switch (n.kind) {
        case VariantNumber::Integer:
            out->negative = n.integer < 0;
            out->mantissa = static_cast<unsigned __int128>(n.integer < 0 ? -n.integer : n.integer);
            out->scale = 0;
            return out->mantissa < kDecimalLimit ? S_OK : DISP_E_OVERFLOW;
        case VariantNumber::Real: {
            if (!std::isfinite(n.real))
                return DISP_E_OVERFLOW;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.14E", n.real);  // 15 significant digits
            auto p = ParseAsciiNumber(buf);
            return p && DecimalFromParsed(*p, out) ? S_OK : DISP_E_OVERFLOW;
        }
        case VariantNumber::Currency:
            out->negative = n.currency < 0;
            out->mantissa = static_cast<unsigned __int128>(
                n.currency < 0 ? -static_cast<__int128>(n.currency) : n.currency);
            out->scale = 4;
            return S_OK;
        case VariantNumber::Decimal:
            *out = n.decimal;
            return S_OK;
        case VariantNumber::Text:
            return DecimalFromParsed(n.text, out) ? S_OK : DISP_E_OVERFLOW;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ResolveVariantValue(const VARIANT* src, LCID lcid, VARIANT* out) {
    if (CheckExpression(!src || !out))
        return E_POINTER;
    CComVariant value;
    HRESULT hr = VariantCopyInd(&value, src);
    if (FAILED(hr))
        return hr;
    // An object's default property may itself be an object; a short chain is followed.
    for (int depth = 0; value.vt == VT_DISPATCH && depth < 8; ++depth) {
        if (!value.pdispVal)
            return DISP_E_TYPEMISMATCH;
        DISPPARAMS none;
        CComVariant result;
        hr = value.pdispVal->Invoke(DISPID_VALUE, GUID_NULL, lcid, DISPATCH_PROPERTYGET, &none,
                                    &result, nullptr, nullptr);
        if (FAILED(hr))
            return hr == DISP_E_MEMBERNOTFOUND ? DISP_E_TYPEMISMATCH : hr;
        hr = VariantCopyInd(&value, &result);
        if (FAILED(hr))
            return hr;
    }
    if (value.vt == VT_DISPATCH)
        return DISP_E_TYPEMISMATCH;
    VariantClear(out);
    value.Detach(out);
    return S_OK;
}
