// Operand handling shared by the variant arithmetic and logic operators.
#include "com/VarOperands.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

#include "com/DiagnosticLog.h"
#include "com/Locale.h"

namespace var_detail {

Rank RankOf(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return kEmpty;
        case VT_NULL:
            return kNull;
        case VT_BOOL:
            return kBool;
        case VT_UI1:
            return kByte;
        case VT_I1:
        case VT_I2:
            return kInteger;
        case VT_UI2:
        case VT_I4:
        case VT_INT:
            return kLong;
        case VT_UI4:
        case VT_UINT:
        case VT_I8:
            return kLongLong;
        case VT_UI8:
        case VT_DECIMAL:
            return kDecimal;
        case VT_R4:
            return kSingle;
        case VT_R8:
            return kDouble;
        case VT_CY:
            return kCurrency;
        case VT_DATE:
            return kDate;
        case VT_BSTR:
            return kString;
        default:
            return kInvalid;
    }
}

bool IsIntegerRank(Rank r) {
    return r >= kByte && r <= kLongLong;
}

HRESULT Resolve(const VARIANT* l, const VARIANT* r, Operands* ops) {
    if (CheckExpression(!l || !r))
        return E_INVALIDARG;
    LCID lcid = GetUserDefaultLCID();
    HRESULT hr = ResolveVariantValue(l, lcid, &ops->a);
    if (SUCCEEDED(hr))
        hr = ResolveVariantValue(r, lcid, &ops->b);
    if (FAILED(hr))
        return hr;
    ops->ra = RankOf(ops->a.vt);
    ops->rb = RankOf(ops->b.vt);
    if (ops->ra == kInvalid || ops->rb == kInvalid)
        return DISP_E_TYPEMISMATCH;
    return S_OK;
}

HRESULT Number(const VARIANT& v, VariantNumber* n) {
    return NumberOfVariant(v, GetUserDefaultLCID(), n);
}

HRESULT Double(const VARIANT& v, double* d) {
    VariantNumber n;
    HRESULT hr = Number(v, &n);
    return SUCCEEDED(hr) ? NumberToDouble(n, d) : hr;
}

HRESULT Integer(const VARIANT& v, __int128* i) {
    VariantNumber n;
    HRESULT hr = Number(v, &n);
    return SUCCEEDED(hr) ? NumberToInteger(n, i) : hr;
}

HRESULT Decimal(const VARIANT& v, DecimalValue* d) {
    VariantNumber n;
    HRESULT hr = Number(v, &n);
    return SUCCEEDED(hr) ? NumberToDecimal(n, d) : hr;
}

HRESULT Currency(const VARIANT& v, LONGLONG* cy) {
    VariantNumber n;
    HRESULT hr = Number(v, &n);
    return SUCCEEDED(hr) ? NumberToCurrency(n, cy) : hr;
}

void Put(VARIANT* out, CComVariant value) {
    VariantClear(out);
    value.Detach(out);
}

// An integer result in the smallest type of the ladder Byte → Integer → Long → Double
// (LongLong → Double) at or above `rank`.
CComVariant IntegerResult(__int128 v, Rank rank) {
    if (rank <= kByte && v >= 0 && v <= 255)
        return CComVariant(static_cast<BYTE>(v));
    if (rank <= kInteger && v >= INT16_MIN && v <= INT16_MAX)
        return CComVariant(static_cast<SHORT>(v));
    if (rank <= kLong && v >= INT32_MIN && v <= INT32_MAX)
        return CComVariant(static_cast<LONG>(v));
    if (rank == kLongLong && v >= INT64_MIN && v <= INT64_MAX)
        return CComVariant(static_cast<LONGLONG>(v));
    return CComVariant(static_cast<double>(v));
}

HRESULT DoubleResult(double d, Rank rank, VARIANT* out) {
    if (!std::isfinite(d))
        return DISP_E_OVERFLOW;
    if (rank == kSingle && std::fabs(d) <= FLT_MAX) {
        Put(out, CComVariant(static_cast<float>(d)));
    } else if (rank == kDate) {
        if (!(d > -657435.0 && d < 2958466.0))
            return DISP_E_OVERFLOW;
        Put(out, CComVariant::Date(d));
    } else {
        Put(out, CComVariant(d));
    }
    return S_OK;
}

HRESULT CurrencyResult(__int128 v, VARIANT* out) {
    if (v > INT64_MAX || v < INT64_MIN)
        return DISP_E_OVERFLOW;
    Put(out, CComVariant::Currency(static_cast<LONGLONG>(v)));
    return S_OK;
}

HRESULT DecimalResult(const DecimalValue& d, VARIANT* out) {
    CComVariant v;
    if (!DECIMALFromDecimal(d, &v.decVal))
        return DISP_E_OVERFLOW;
    v.vt = VT_DECIMAL;
    Put(out, std::move(v));
    return S_OK;
}

HRESULT DecimalFromLongDouble(long double x, DecimalValue* out) {
    if (!std::isfinite(x))
        return DISP_E_OVERFLOW;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%.18LE", x);
    auto parsed = ParseAsciiNumber(buf);
    VariantNumber n;
    n.kind = VariantNumber::Text;
    n.text = *parsed;
    return NumberToDecimal(n, out);
}

long double DecimalToLong(const DecimalValue& d) {
    long double m = static_cast<long double>(d.mantissa);
    for (int i = 0; i < d.scale; ++i)
        m /= 10;
    return d.negative ? -m : m;
}

__int128 Signed(const DecimalValue& d) {
    return d.negative ? -static_cast<__int128>(d.mantissa) : static_cast<__int128>(d.mantissa);
}

DecimalValue FromSigned(__int128 v, int scale) {
    DecimalValue d;
    d.negative = v < 0;
    d.mantissa = static_cast<unsigned __int128>(v < 0 ? -v : v);
    d.scale = scale;
    return d;
}

// Operands of \ and Mod, and of the logical operators: integers of the ladder types.
// Booleans are Integers here (the logical operators keep a pair of them apart).
HRESULT IntegerOperand(const VARIANT& v, Rank rank, __int128* value, Rank* integerRank) {
    if (rank == kEmpty || rank == kBool) {
        *integerRank = kInteger;
    } else if (IsIntegerRank(rank)) {
        *integerRank = rank;
    } else {
        *integerRank = kLong;
    }
    HRESULT hr = Integer(v, value);
    if (FAILED(hr))
        return hr;
    if (*integerRank == kLong && !IsIntegerRank(rank) && (*value < INT32_MIN || *value > INT32_MAX))
        return DISP_E_OVERFLOW;
    return S_OK;
}

// The single operand of Neg, Abs, Fix, Int and Round, resolved.
HRESULT ResolveOne(const VARIANT* in, CComVariant* value, Rank* rank) {
    if (CheckExpression(!in))
        return E_INVALIDARG;
    HRESULT hr = ResolveVariantValue(in, GetUserDefaultLCID(), value);
    if (FAILED(hr))
        return hr;
    *rank = RankOf(value->vt);
    return *rank == kInvalid ? DISP_E_TYPEMISMATCH : S_OK;
}

}  // namespace var_detail
