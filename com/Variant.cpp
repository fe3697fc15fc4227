// VARIANT life cycle (init, clear, copy) and VariantChangeType.
#include "com/Variant.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Dispatch.h"
#include "com/Locale.h"
#include "com/SafeArray.h"
#include "com/TextForms.h"
#include "com/VariantNumber.h"

namespace {

bool IsScalarType(VARTYPE t) {
    switch (t) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UNKNOWN:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// Reads the value a by-reference variant points at into `out` (an owning copy).
HRESULT Dereference(const VARIANT* src, VARIANT* out, int depth) {
    VARTYPE base = src->vt & ~VT_BYREF;
    if (CheckExpression(!src->byref))
        return E_INVALIDARG;
    VariantInit(out);
    if (base & VT_ARRAY) {
        SAFEARRAY* copy = nullptr;
        HRESULT hr = SafeArrayCopy(*src->pparray, &copy);
        if (FAILED(hr))
            return hr;
        out->vt = base;
        out->parray = copy;
        return S_OK;
    }
    switch (base) {
        case VT_VARIANT:
            if (depth > 4)
                return E_INVALIDARG;
            if (src->pvarVal->vt & VT_BYREF)
                return Dereference(src->pvarVal, out, depth + 1);
            return VariantCopy(out, src->pvarVal);
        case VT_BSTR:
            VariantSetBstr(out, *src->pbstrVal);
            return S_OK;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            out->vt = base;
            out->punkVal = *src->ppunkVal;
            if (out->punkVal)
                out->punkVal->AddRef();
            return S_OK;
        case VT_DECIMAL:
            out->decVal = *src->pdecVal;
            out->vt = VT_DECIMAL;
            return S_OK;
        default: {
            // Fixed-size values sit at the start of the value union whatever their width.
            std::size_t size = VariantScalarSize(base);
            if (size == 0)
                return DISP_E_BADVARTYPE;
            std::memcpy(&out->llVal, src->byref, size);
            break;
        }
    }
    out->vt = base;
    return S_OK;
}

HRESULT StoreInteger(__int128 v, VARTYPE vt, bool fromBool, VARIANT* out) {
    if (fromBool && v) {
        // A boolean keeps its bits in the unsigned types (True is 255 as a Byte).
        switch (vt) {
            case VT_UI1:
                v = 0xFF;
                break;
            case VT_UI2:
                v = 0xFFFF;
                break;
            case VT_UI4:
            case VT_UINT:
                v = 0xFFFFFFFF;
                break;
            case VT_UI8:
                v = static_cast<__int128>(UINT64_MAX);
                break;
            default:
                v = -1;
                break;
        }
    }
    auto inRange = [&](long double lo, long double hi) {
        return static_cast<long double>(v) >= lo && static_cast<long double>(v) <= hi;
    };
    switch (vt) {
        case VT_I1:
            if (!inRange(-128, 127))
                return DISP_E_OVERFLOW;
            out->cVal = static_cast<CHAR>(v);
            break;
        case VT_UI1:
            if (!inRange(0, 255))
                return DISP_E_OVERFLOW;
            out->bVal = static_cast<BYTE>(v);
            break;
        case VT_I2:
            if (!inRange(-32768, 32767))
                return DISP_E_OVERFLOW;
            out->iVal = static_cast<SHORT>(v);
            break;
        case VT_UI2:
            if (!inRange(0, 65535))
                return DISP_E_OVERFLOW;
            out->uiVal = static_cast<USHORT>(v);
            break;
        case VT_I4:
        case VT_INT:
            if (v < INT32_MIN || v > INT32_MAX)
                return DISP_E_OVERFLOW;
            out->lVal = static_cast<LONG>(v);
            break;
        case VT_UI4:
        case VT_UINT:
            if (v < 0 || v > UINT32_MAX)
                return DISP_E_OVERFLOW;
            out->ulVal = static_cast<ULONG>(v);
            break;
        case VT_I8:
            if (v < INT64_MIN || v > INT64_MAX)
                return DISP_E_OVERFLOW;
            out->llVal = static_cast<LONGLONG>(v);
            break;
        case VT_UI8:
            if (v < 0 || v > static_cast<__int128>(UINT64_MAX))
                return DISP_E_OVERFLOW;
            out->ullVal = static_cast<ULONGLONG>(v);
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    out->vt = vt;
    return S_OK;
}

std::u16string AsciiToUtf16(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

std::string Int128ToAscii(__int128 v) {
    bool neg = v < 0;
    unsigned __int128 m = static_cast<unsigned __int128>(neg ? -v : v);
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m);
    return neg ? "-" + s : s;
}

HRESULT ToText(const VARIANT& v, LCID lcid, WORD flags, BSTR* out) {
    switch (v.vt) {
        case VT_EMPTY:
            *out = BSTR::Empty();
            return S_OK;
        case VT_BSTR:
            *out = VariantBstr(v);
            return S_OK;
        case VT_BOOL:
            if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
                *out = BSTR(FormatBool(v.boolVal != 0));
            else
                *out = BSTR(v.boolVal ? u"-1" : u"0");
            return S_OK;
        case VT_R4:
            *out = BSTR(FormatDouble(v.fltVal, lcid, 7));
            return S_OK;
        case VT_R8:
            *out = BSTR(FormatDouble(v.dblVal, lcid, 15));
            return S_OK;
        case VT_DATE: {
            DateParts parts;
            if (!PartsFromDate(v.date, &parts))
                return E_INVALIDARG;
            *out = BSTR(FormatDate(v.date, lcid));
            return S_OK;
        }
        case VT_CY: {
            DecimalValue d{
                v.cyVal.int64 < 0,
                static_cast<unsigned __int128>(
                    v.cyVal.int64 < 0 ? -static_cast<__int128>(v.cyVal.int64) : v.cyVal.int64),
                4};
            *out = BSTR(LocalizeDecimalText(DecimalToAscii(d), lcid));
            return S_OK;
        }
        case VT_DECIMAL:
            *out = BSTR(LocalizeDecimalText(DecimalToAscii(DecimalFromDECIMAL(v.decVal)), lcid));
            return S_OK;
        default: {
            VariantNumber n;
            HRESULT hr = NumberOfVariant(v, lcid, &n);
            if (FAILED(hr) || n.kind != VariantNumber::Integer)
                return DISP_E_TYPEMISMATCH;
            *out = BSTR(AsciiToUtf16(Int128ToAscii(n.integer)));
            return S_OK;
        }
    }
}

HRESULT ToBool(const VARIANT& v, LCID lcid, VARIANT_BOOL* out) {
    if (v.vt == VT_BSTR) {
        std::u16string_view text = VariantText(v);
        std::size_t b = text.find_first_not_of(u" \t");
        std::size_t e = text.find_last_not_of(u" \t");
        std::u16string_view word = b == std::u16string_view::npos ? u"" : text.substr(b, e - b + 1);
        if (EqualsNoCase(word, u"True") || EqualsNoCase(word, u"#TRUE#")) {
            *out = VARIANT_TRUE;
            return S_OK;
        }
        if (EqualsNoCase(word, u"False") || EqualsNoCase(word, u"#FALSE#")) {
            *out = VARIANT_FALSE;
            return S_OK;
        }
    }
    VariantNumber n;
    HRESULT hr = NumberOfVariant(v, lcid, &n);
    if (FAILED(hr))
        return hr;
    bool nonzero = false;
    switch (n.kind) {
        case VariantNumber::Integer:
            nonzero = n.integer != 0;
            break;
        case VariantNumber::Real:
            nonzero = n.real != 0;
            break;
        case VariantNumber::Currency:
            nonzero = n.currency != 0;
            break;
        case VariantNumber::Decimal:
            nonzero = n.decimal.mantissa != 0;
            break;
        case VariantNumber::Text:
            nonzero = !n.text.digits.empty();
            break;
    }
    *out = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// Converts a scalar, non-object value `v` to `vt` into `out` (empty on entry).
HRESULT ConvertScalar(const VARIANT& v, LCID lcid, WORD flags, VARTYPE vt, VARIANT* out) {
    if (v.vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (vt == VT_ERROR) {
        if (v.vt != VT_ERROR)
            return DISP_E_TYPEMISMATCH;
        *out = v;
        return S_OK;
    }
    if (v.vt == VT_ERROR || v.vt == VT_UNKNOWN || (v.vt & VT_ARRAY))
        return DISP_E_TYPEMISMATCH;
    switch (vt) {
        case VT_BSTR: {
            BSTR text;
            HRESULT hr = ToText(v, lcid, flags, &text);
            if (FAILED(hr))
                return hr;
            VariantSetBstr(out, std::move(text));
            return S_OK;
        }
        case VT_BOOL: {
            VARIANT_BOOL b;
            HRESULT hr = ToBool(v, lcid, &b);
            if (FAILED(hr))
                return hr;
            out->vt = VT_BOOL;
            out->boolVal = b;
            return S_OK;
        }
        case VT_DATE: {
            double d = 0;
            if (v.vt == VT_BSTR) {
                auto parsed = ParseDateText(VariantText(v), lcid);
                if (!parsed)
                    return DISP_E_TYPEMISMATCH;
                d = *parsed;
            } else {
                VariantNumber n;
                HRESULT hr = NumberOfVariant(v, lcid, &n);
                if (SUCCEEDED(hr))
                    hr = NumberToDouble(n, &d);
                if (FAILED(hr))
                    return hr;
                if (!(d > -657435.0 && d < 2958466.0))
                    return DISP_E_OVERFLOW;
            }
            out->vt = VT_DATE;
            out->date = d;
            return S_OK;
        }
        default:
            break;
    }
    VariantNumber n;
    HRESULT hr = NumberOfVariant(v, lcid, &n);
    if (FAILED(hr))
        return hr;
    switch (vt) {
        case VT_R4:
        case VT_R8: {
            double d = 0;
            hr = NumberToDouble(n, &d);
            if (FAILED(hr))
                return hr;
            if (vt == VT_R4) {
                if (std::fabs(d) > FLT_MAX)
                    return DISP_E_OVERFLOW;
                out->fltVal = static_cast<float>(d);
            } else {
                out->dblVal = d;
            }
            out->vt = vt;
            return S_OK;
        }
        case VT_CY: {
            LONGLONG cy = 0;
            hr = NumberToCurrency(n, &cy);
            if (FAILED(hr))
                return hr;
            out->vt = VT_CY;
            out->cyVal.int64 = cy;
            return S_OK;
        }
        case VT_DECIMAL: {
            DecimalValue d;
            hr = NumberToDecimal(n, &d);
            if (FAILED(hr))
                return hr;
            DECIMAL dec;
            if (!DECIMALFromDecimal(d, &dec))
                return DISP_E_OVERFLOW;
            out->decVal = dec;
            out->vt = VT_DECIMAL;
            return S_OK;
        }
        default: {
            __int128 i = 0;
            hr = NumberToInteger(n, &i);
            if (FAILED(hr))
                return hr;
            return StoreInteger(i, vt, v.vt == VT_BOOL, out);
        }
    }
}

HRESULT ChangeType(VARIANT* dest, const VARIANT* src, LCID lcid, WORD flags, VARTYPE vt) {
    if (vt & VT_BYREF)
        return DISP_E_BADVARTYPE;
    if (!IsValidVariantType(vt) && vt != VT_EMPTY && vt != VT_NULL)
        return DISP_E_BADVARTYPE;
    CComVariant value;
    HRESULT hr = VariantCopyInd(&value, src);
    if (FAILED(hr))
        return hr;
    CComVariant result;
    if (vt == VT_EMPTY) {
        // Changing to Empty always succeeds: the value is dropped.
    } else if (vt == VT_NULL) {
        if (value.vt != VT_NULL && value.vt != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        result.vt = VT_NULL;
    } else if (vt & VT_ARRAY) {
        if (value.vt != vt)
            return DISP_E_TYPEMISMATCH;
        result = value;
    } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        if (value.vt != VT_DISPATCH && value.vt != VT_UNKNOWN)
            return DISP_E_TYPEMISMATCH;
        result.vt = vt;
        if (value.punkVal) {
            hr = value.punkVal->QueryInterface(
                vt == VT_DISPATCH ? IIDOf<IDispatch>() : IIDOf<IUnknown>(),
                reinterpret_cast<void**>(&result.punkVal));
            if (FAILED(hr)) {
                result.vt = VT_EMPTY;
                return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
            }
        }
    } else {
        if (value.vt == VT_DISPATCH) {
            if (flags & VARIANT_NOVALUEPROP)
                return DISP_E_TYPEMISMATCH;
            CComVariant resolved;
            hr = ResolveVariantValue(&value, lcid, &resolved);
            if (FAILED(hr))
                return hr;
            value = std::move(resolved);
        }
        hr = ConvertScalar(value, lcid, flags, vt, &result);
        if (FAILED(hr))
            return hr;
    }
    if (dest->vt != VT_EMPTY) {
        hr = VariantClear(dest);
        if (FAILED(hr))
            return hr;
    }
    result.Detach(dest);
    return S_OK;
}

}  // namespace

bool IsValidVariantType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF))
        return false;
    if (vt & VT_ARRAY)
        return IsScalarType(base) || base == VT_VARIANT;
    if (vt & VT_BYREF)
        return IsScalarType(base) || base == VT_VARIANT;
    return base == VT_EMPTY || base == VT_NULL || IsScalarType(base);
}

HRESULT VariantClearAny(VARIANT* pvarg) {
    if (CheckExpression(!pvarg))
        return E_INVALIDARG;
    VARTYPE vt = pvarg->vt;
    if (vt == VT_BSTR) {  // the common owning values first
        BSTR::ReleaseBuffer(pvarg->bstrVal);
        VariantInit(pvarg);
        return S_OK;
    }
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        if (pvarg->punkVal)
            pvarg->punkVal->Release();
        VariantInit(pvarg);
        return S_OK;
    }
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr))
                return hr;
        } else {
            switch (vt) {
                case VT_BSTR:
                    BSTR::ReleaseBuffer(pvarg->bstrVal);
                    break;
                case VT_DISPATCH:
                case VT_UNKNOWN:
                    if (pvarg->punkVal)
                        pvarg->punkVal->Release();
                    break;
                default:
                    if (!IsValidVariantType(vt))
                        return DISP_E_BADVARTYPE;
                    break;
            }
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopyAny(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (CheckExpression(!pvargDest || !pvargSrc))
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    VARIANT copy = *pvargSrc;
    VARTYPE vt = pvargSrc->vt;
    if (vt == VT_BSTR && pvargDest->vt < VT_BSTR) {  // a string into a plain value
        BSTR::AddRefBuffer(copy.bstrVal);
        *pvargDest = copy;
        return S_OK;
    }
    if (!IsValidVariantType(vt) && vt != VT_EMPTY && vt != VT_NULL)
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
            if (FAILED(hr))
                return hr;
        } else if (vt == VT_BSTR) {
            BSTR::AddRefBuffer(copy.bstrVal);
        } else if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && copy.punkVal) {
            copy.punkVal->AddRef();
        }
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantCopyOwnText(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (CheckExpression(!pvargDest || !pvargSrc))
        return E_INVALIDARG;
    if (pvargSrc->vt != VT_BSTR || !pvargSrc->bstrVal ||
        BSTR::ViewOf(pvargSrc->bstrVal).size() > kOwnTextUnits)
        return VariantCopy(pvargDest, pvargSrc);
    try {
        BSTR text(BSTR::ViewOf(pvargSrc->bstrVal));
        HRESULT hr = VariantClear(pvargDest);
        if (FAILED(hr))
            return hr;
        pvargDest->vt = VT_BSTR;
        pvargDest->bstrVal = text.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("VariantCopyOwnText", CV_HERE);
    }
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANT* pvargSrc) {
    if (CheckExpression(!pvarDest || !pvargSrc))
        return E_INVALIDARG;
    if (!(pvargSrc->vt & VT_BYREF))
        return VariantCopy(pvarDest, pvargSrc);
    VARIANT value;
    try {
        HRESULT hr = Dereference(pvargSrc, &value, 0);
        if (FAILED(hr))
            return hr;
    } catch (...) {
        return ReportException("VariantCopyInd", CV_HERE);
    }
    HRESULT hr = VariantClear(pvarDest);
    if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
    }
    *pvarDest = value;
    return S_OK;
}

BSTR VariantBstr(const VARIANT& v) {
    if (v.vt == VT_BSTR)
        return BSTR::Share(v.bstrVal);
    if (v.vt == (VT_BSTR | VT_BYREF) && v.pbstrVal)
        return *v.pbstrVal;
    return BSTR();
}

std::u16string_view VariantText(const VARIANT& v) {
    if (v.vt == VT_BSTR)
        return BSTR::ViewOf(v.bstrVal);
    if (v.vt == (VT_BSTR | VT_BYREF) && v.pbstrVal)
        return v.pbstrVal->View();
    return {};
}

void VariantSetBstr(VARIANT* v, BSTR text) {
    VariantClear(v);
    v->vt = VT_BSTR;
    v->bstrVal = text.Detach();
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, WORD wFlags,
                            VARTYPE vt) {
    if (CheckExpression(!pvargDest || !pvarSrc))
        return E_INVALIDARG;
    // A value that has the type already (a string to a string, a Long to a Long) is copied
    // as it is: no flag changes a value into its own type.
    if (pvarSrc->vt == vt && vt != VT_DISPATCH && vt != VT_UNKNOWN && IsScalarType(vt))
        return VariantCopy(pvargDest, pvarSrc);
    try {
        return ChangeType(pvargDest, pvarSrc, ResolveLcid(lcid), wFlags, vt);
    } catch (...) {
        return ReportException("VariantChangeTypeEx", CV_HERE);
    }
}

std::size_t VariantScalarSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        default:
            return 0;
    }
}
