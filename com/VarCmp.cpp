// VarCmp: comparison of variants, strings through an ICU collator.
#include "com/VarMath.h"

#include <unicode/ucol.h>

#include <map>
#include <memory>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/Strings.h"
#include "com/VariantNumber.h"

namespace {

struct CollatorCloser {
    void operator()(UCollator* c) const { ucol_close(c); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorCloser>;

// One collator per (locale, flags) and thread: collators are cheap to keep and this
// avoids any question of sharing one between threads.
UCollator* CollatorFor(LCID lcid, ULONG flags) {
    thread_local std::map<std::pair<LCID, ULONG>, CollatorPtr> collators;
    auto& slot = collators[{lcid, flags}];
    if (!slot) {
        std::string id = IcuLocaleFromLcid(lcid);
        UErrorCode status = U_ZERO_ERROR;
        slot.reset(ucol_open(id.empty() ? "en_US" : id.c_str(), &status));
        if (U_FAILURE(status) || !slot) {
            status = U_ZERO_ERROR;
            slot.reset(ucol_open("", &status));
        }
        if (!slot)
            return nullptr;
        UCollationStrength strength = UCOL_TERTIARY;
        if (flags & NORM_IGNORECASE)
            strength = UCOL_SECONDARY;
        if (flags & NORM_IGNORENONSPACE)
            strength = UCOL_PRIMARY;
        ucol_setStrength(slot.get(), strength);
        if ((flags & NORM_IGNORENONSPACE) && !(flags & NORM_IGNORECASE))
            ucol_setAttribute(slot.get(), UCOL_CASE_LEVEL, UCOL_ON, &status);
        if (flags & NORM_IGNORESYMBOLS)
            ucol_setAttribute(slot.get(), UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &status);
    }
    return slot.get();
}

HRESULT CompareStrings(std::u16string_view a, std::u16string_view b, LCID lcid, ULONG flags) {
    int order = 0;
    if (UCollator* coll = CollatorFor(lcid, flags)) {
        order = ucol_strcoll(
            coll, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
            reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
    }
    if (order == 0) {
        // Texts the collator finds equal are ordered by code units, so only equal texts
        // (equal after upper-casing when case is ignored) compare equal.
        order = (flags & NORM_IGNORECASE) ? CompareNoCase(a, b) : a.compare(b);
    }
    return order < 0 ? VARCMP_LT : order > 0 ? VARCMP_GT : VARCMP_EQ;
}

template <class T>
HRESULT Order(const T& a, const T& b) {
    return a < b ? VARCMP_LT : b < a ? VARCMP_GT : VARCMP_EQ;
}

bool IsNumeric(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
        case VT_DECIMAL:
            return true;
        default:
            return false;
    }
}

HRESULT CompareNumbers(const VARIANT& a, const VARIANT& b, LCID lcid) {
    VariantNumber x, y;
    HRESULT hr = NumberOfVariant(a, lcid, &x);
    if (SUCCEEDED(hr))
        hr = NumberOfVariant(b, lcid, &y);
    if (FAILED(hr))
        return hr;
    if (x.kind == VariantNumber::Integer && y.kind == VariantNumber::Integer)
        return Order(x.integer, y.integer);
    if (x.kind == VariantNumber::Real || y.kind == VariantNumber::Real) {
        double dx = 0, dy = 0;
        NumberToDouble(x, &dx);
        NumberToDouble(y, &dy);
        return Order(dx, dy);
    }
    // Integers, currencies and decimals compare exactly as decimals of a common scale.
    DecimalValue p, q;
    if (FAILED(NumberToDecimal(x, &p)) || FAILED(NumberToDecimal(y, &q))) {
        double dx = 0, dy = 0;
        NumberToDouble(x, &dx);
        NumberToDouble(y, &dy);
        return Order(dx, dy);
    }
    auto scaled = [](const DecimalValue& d, int scale) {
        __int128 m = static_cast<__int128>(d.mantissa);
        for (int i = d.scale; i < scale; ++i)
            m *= 10;
        return d.negative ? -m : m;
    };
    int scale = std::max(p.scale, q.scale);
    if (scale - std::min(p.scale, q.scale) > 9)
        return Order(DecimalToDouble(p), DecimalToDouble(q));
    return Order(scaled(p, scale), scaled(q, scale));
}

}  // namespace

HRESULT VarCmp(const VARIANT* pvarLeft, const VARIANT* pvarRight, LCID lcid, ULONG dwFlags) {
    if (CheckExpression(!pvarLeft || !pvarRight))
        return E_INVALIDARG;
    try {
        lcid = ResolveLcid(lcid);
        // Two strings, the common case (a dictionary's keys), compare without copies.
        if (pvarLeft->vt == VT_BSTR && pvarRight->vt == VT_BSTR)
            return CompareStrings(VariantText(*pvarLeft), VariantText(*pvarRight), lcid, dwFlags);
        CComVariant a, b;
        HRESULT hr = ResolveVariantValue(pvarLeft, lcid, &a);
        if (SUCCEEDED(hr))
            hr = ResolveVariantValue(pvarRight, lcid, &b);
        if (FAILED(hr))
            return hr;
        if (a.vt == VT_NULL || b.vt == VT_NULL)
            return VARCMP_NULL;
        bool sa = a.vt == VT_BSTR, sb = b.vt == VT_BSTR;
        if (sa && sb)
            return CompareStrings(a.Text(), b.Text(), lcid, dwFlags);
        if (sa && b.vt == VT_EMPTY)
            return CompareStrings(a.Text(), u"", lcid, dwFlags);
        if (sb && a.vt == VT_EMPTY)
            return CompareStrings(u"", b.Text(), lcid, dwFlags);
        if (sa && IsNumeric(b.vt))
            return VARCMP_GT;
        if (sb && IsNumeric(a.vt))
            return VARCMP_LT;
        if (!IsNumeric(a.vt) || !IsNumeric(b.vt))
            return DISP_E_TYPEMISMATCH;
        return CompareNumbers(a, b, lcid);
    } catch (...) {
        return ReportException("VarCmp", CV_HERE);
    }
}
