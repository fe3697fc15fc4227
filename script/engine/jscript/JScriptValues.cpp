// Conversions of values and text between Automation and the Duktape heap.
#include "script/engine/jscript/JScriptValues.h"

#include <cmath>
#include <ctime>
#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "script/engine/jscript/CJScriptBuiltins.h"
#include "script/engine/jscript/CJScriptHeap.h"
#include "script/engine/jscript/CJScriptHostObject.h"
#include "script/engine/jscript/CJScriptObjectDispatch.h"

namespace {
constexpr double kMsPerDay = 86400000.0;
constexpr double kOleEpochDays = 25569.0;  // 1970-01-01 as an OLE date

std::string ToCesu8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string FromCesu8(const char* p, std::size_t n) {
    std::u16string out;
    out.reserve(n);
    auto cont = [&](std::size_t i) {
        return i < n && (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
    };
    for (std::size_t i = 0; i < n;) {
        const unsigned char b = static_cast<unsigned char>(p[i]);
        if (b < 0x80) {
            out.push_back(b);
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && cont(i + 1)) {
            out.push_back(static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F)));
            i += 2;
        } else if ((b & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
            out.push_back(static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                                (p[i + 2] & 0x3F)));
            i += 3;
        } else if ((b & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            char32_t cp = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) |
                          ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
            if (cp >= 0x10000 && cp <= 0x10FFFF) {
                cp -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                out.push_back(u'\uFFFD');
            }
            i += 4;
        } else {
            out.push_back(u'\uFFFD');
            i += 1;
        }
    }
    return out;
}

// Seconds east of UTC of the local zone at a UTC instant.
long LocalOffsetAt(double seconds) {
    std::time_t t = static_cast<std::time_t>(std::floor(seconds));
    std::tm local{};
    if (!localtime_r(&t, &local))
        return 0;
    return local.tm_gmtoff;
}

// OLE dates count the time of day forward from midnight even before day 0; a linear day
// count makes the arithmetic plain.
double LinearFromOle(double date) {
    if (date >= 0)
        return date;
    const double day = std::trunc(date);
    return day - (date - day);
}

double OleFromLinear(double linear) {
    if (linear >= 0)
        return linear;
    const double day = std::floor(linear);
    const double fraction = linear - day;
    return day - fraction;
}

void PushArray(duk_context* ctx, const VARIANT& value) {
    SAFEARRAY* psa =
        (value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray;
    if (!psa) {
        duk_push_null(ctx);
        return;
    }
    CJScriptBuiltins::PushVBArray(ctx, psa);
}
}  // namespace

void PushText(duk_context* ctx, std::u16string_view text) {
    const std::string cesu = ToCesu8(text);
    duk_push_lstring(ctx, cesu.data(), cesu.size());
}

std::u16string GetText(duk_context* ctx, duk_idx_t index) {
    duk_size_t n = 0;
    const char* p = nullptr;
    if (duk_is_string(ctx, index)) {
        p = duk_get_lstring(ctx, index, &n);
        return FromCesu8(p, n);
    }
    duk_dup(ctx, index);
    p = duk_safe_to_lstring(ctx, -1, &n);
    std::u16string text = FromCesu8(p, n);
    duk_pop(ctx);
    return text;
}

double OleDateFromTimeValue(double timeValue) {
    const double seconds = timeValue / 1000.0;
    const double local = timeValue + LocalOffsetAt(seconds) * 1000.0;
    return OleFromLinear(local / kMsPerDay + kOleEpochDays);
}

double TimeValueFromOleDate(double date) {
    const double localMs = (LinearFromOle(date) - kOleEpochDays) * kMsPerDay;
    // The zone offset at the instant itself: guess with the local reading, then correct.
    double utc = localMs - LocalOffsetAt(localMs / 1000.0) * 1000.0;
    utc = localMs - LocalOffsetAt(utc / 1000.0) * 1000.0;
    return utc;
}

void PushVariant(duk_context* ctx, const VARIANT& value) {
    if (value.vt & VT_ARRAY) {
        PushArray(ctx, value);
        return;
    }
    if (value.vt & VT_BYREF) {
        CComVariant direct;
        if (FAILED(VariantCopyInd(&direct, &value))) {
            duk_push_undefined(ctx);
            return;
        }
        PushVariant(ctx, direct);
        return;
    }
    switch (value.vt) {
        case VT_EMPTY:
            duk_push_undefined(ctx);
            return;
        case VT_NULL:
            duk_push_null(ctx);
            return;
        case VT_BOOL:
            duk_push_boolean(ctx, value.boolVal != 0);
            return;
        case VT_BSTR:
            if (value.bstrVal == nullptr)
                duk_push_null(ctx);
            else
                PushText(ctx, VariantText(value));
            return;
        case VT_DATE:
            duk_get_global_string(ctx, "Date");
            duk_push_number(ctx, TimeValueFromOleDate(value.date));
            duk_new(ctx, 1);
            return;
        case VT_DISPATCH:
            CJScriptHostObject::Push(ctx, value.pdispVal);
            return;
        case VT_UNKNOWN: {
            CComPtr<IDispatch> disp = ComQuery<IDispatch>(value.punkVal);
            if (disp)
                CJScriptHostObject::Push(ctx, disp.Get());
            else
                duk_push_undefined(ctx);
            return;
        }
        case VT_ERROR:
            // A left-out argument reads as undefined.
            duk_push_undefined(ctx);
            return;
        default:
            break;
    }
    CComVariant number;
    if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)))
        duk_push_number(ctx, number.dblVal);
    else
        duk_push_undefined(ctx);
}

HRESULT GetVariant(duk_context* ctx, duk_idx_t index, VARIANT* out) {
    if (CheckExpression(!out))
        return E_POINTER;
    VariantInit(out);
    index = duk_normalize_index(ctx, index);
    switch (duk_get_type(ctx, index)) {
        case DUK_TYPE_UNDEFINED:
        case DUK_TYPE_NONE:
            return S_OK;
        case DUK_TYPE_NULL:
            VariantSetBstr(out, BSTR());
            return S_OK;
        case DUK_TYPE_BOOLEAN:
            out->vt = VT_BOOL;
            out->boolVal = duk_get_boolean(ctx, index) ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case DUK_TYPE_NUMBER: {
            const double d = duk_get_number(ctx, index);
            if (d >= -2147483648.0 && d <= 2147483647.0 && d == std::trunc(d) &&
                !(d == 0 && std::signbit(d))) {
                out->vt = VT_I4;
                out->lVal = static_cast<LONG>(d);
            } else {
                out->vt = VT_R8;
                out->dblVal = d;
            }
            return S_OK;
        }
        case DUK_TYPE_STRING:
            VariantSetBstr(out, BSTR(GetText(ctx, index)));
            return S_OK;
        case DUK_TYPE_OBJECT:
            break;
        case DUK_TYPE_LIGHTFUNC: {
            // A built-in method: the host gets the view of an equivalent function object.
            duk_dup(ctx, index);
            duk_to_object(ctx, -1);
            HRESULT hr = GetVariant(ctx, -1, out);
            duk_pop(ctx);
            return hr;
        }
        default:
            return S_OK;
    }
    if (IDispatch* host = CJScriptHostObject::DispatchOf(ctx, index)) {
        out->vt = VT_DISPATCH;
        out->pdispVal = host;
        host->AddRef();
        return S_OK;
    }
    if (SAFEARRAY* psa = CJScriptBuiltins::ArrayOf(ctx, index)) {
        SAFEARRAY* copy = nullptr;
        HRESULT hr = SafeArrayCopy(psa, &copy);
        if (CheckExpression(FAILED(hr)))
            return hr;
        out->vt = static_cast<VARTYPE>(VT_ARRAY | psa->vt);
        out->parray = copy;
        return S_OK;
    }
    duk_get_global_string(ctx, "Date");
    const bool isDate = duk_instanceof(ctx, index, -1);
    duk_pop(ctx);
    if (isDate) {
        duk_get_prop_string(ctx, index, "getTime");
        duk_dup(ctx, index);
        duk_call_method(ctx, 0);
        const double t = duk_get_number(ctx, -1);
        duk_pop(ctx);
        if (std::isnan(t)) {
            out->vt = VT_NULL;
            return S_OK;
        }
        out->vt = VT_DATE;
        out->date = OleDateFromTimeValue(t);
        return S_OK;
    }
    CComPtr<IDispatch> view;
    HRESULT hr = CJScriptObjectDispatch::Create(ctx, index, view.Receive());
    if (CheckExpression(FAILED(hr)))
        return hr;
    out->vt = VT_DISPATCH;
    out->pdispVal = view.Detach();
    return S_OK;
}
