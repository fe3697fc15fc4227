// Array built-ins: Array, Split, Join, Filter, UBound and LBound.
//
// The arrays the library makes are one-dimensional, zero-based arrays of Variants, as
// the language's own arrays are; Join and Filter accept any one-dimensional array
// whose elements convert to text.
#include <cstring>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

// A new zero-based Variant array of `count` elements in `result`, element i set by
// `fill(i, element)` (the elements start Empty).
template <class Fill>
HRESULT MakeArrayOf(std::size_t count, Fill fill, VARIANT* result) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (CheckExpression(!array))
        return VBScriptError(kVBOutOfMemory);
    VARIANT* data = nullptr;
    if (!CheckResult(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)))) {
        SafeArrayDestroy(array);
        return E_UNEXPECTED;
    }
    try {
        for (std::size_t i = 0; i < count; ++i)
            fill(i, &data[i]);
    } catch (...) {
        SafeArrayUnaccessData(array);
        SafeArrayDestroy(array);
        throw;
    }
    SafeArrayUnaccessData(array);
    VariantClear(result);
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = array;
    return S_OK;
}

// Moves `values` into a new zero-based Variant array in `result`.
HRESULT MakeArray(std::vector<CComVariant>& values, VARIANT* result) {
    return MakeArrayOf(
        values.size(), [&](std::size_t i, VARIANT* element) { values[i].Detach(element); }, result);
}

HRESULT Array(VBBuiltinContext&, const VARIANT* args, unsigned argc, VARIANT* result) {
    std::vector<CComVariant> values;
    values.reserve(argc);
    for (unsigned i = 0; i < argc; ++i)
        values.emplace_back(args[i]);
    return MakeArray(values, result);
}

// The elements of a one-dimensional array as text; anything else is error 13, a Null
// element error 94.
HRESULT ArrayTexts(VBBuiltinContext& ctx, const VARIANT& arg, std::vector<std::u16string>* out) {
    if (!(arg.vt & VT_ARRAY) || !arg.parray || SafeArrayGetDim(arg.parray) != 1)
        return VBScriptError(kVBTypeMismatch);
    SAFEARRAY* array = arg.parray;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(array, &vt);
    for (LONG i = low; i <= high; ++i) {
        CComVariant element;
        HRESULT hr;
        if (vt == VT_VARIANT) {
            hr = SafeArrayGetElement(array, &i, &element);
        } else {
            void* p = nullptr;
            hr = SafeArrayPtrOfIndex(array, &i, &p);
            if (SUCCEEDED(hr)) {
                if (vt == VT_BSTR) {
                    element = CComVariant(*static_cast<BSTR*>(p));
                } else if (VariantScalarSize(vt) > 0) {
                    element.vt = vt;
                    std::memcpy(&element.llVal, p, VariantScalarSize(vt));
                } else {
                    hr = VBScriptError(kVBTypeMismatch);
                }
            }
        }
        if (FAILED(hr))
            return VBStatus(hr);
        std::u16string text;
        if (FAILED(hr = ArgText(ctx, element, &text)))
            return hr;
        out->push_back(std::move(text));
    }
    return S_OK;
}

// Split(expression[, delimiter[, count[, compare]]]): count -1 splits everywhere; "" gives
// an empty array.
HRESULT Split(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    LONG count = -1;
    bool textCompare = false;
    HRESULT hr;
    if (FAILED(hr = OptionalLong(ctx, OptionalArg(args, argc, 2), -1, &count)) ||
        FAILED(hr = ArgCompareMode(ctx, OptionalArg(args, argc, 3), &textCompare)))
        return hr;
    if (count < -1)
        return VBScriptError(kVBInvalidCall);
    if (IsNullValue(args[0])) {
        SetNull(result);
        return S_OK;
    }
    CComVariant textHolder, delimiterHolder;
    std::u16string_view text, delimiter = u" ";
    if (FAILED(hr = ArgTextView(ctx, args[0], &textHolder, &text)))
        return hr;
    if (const VARIANT* d = OptionalArg(args, argc, 1);
        d && FAILED(hr = ArgTextView(ctx, *d, &delimiterHolder, &delimiter)))
        return hr;
    // The pieces are found first, so that the array is made at its size and each string
    // once, in place.
    std::vector<std::pair<std::size_t, std::size_t>> pieces;  // start, length
    if (!text.empty() && count != 0) {
        std::size_t pos = 0;
        while (!delimiter.empty() &&
               (count == -1 || static_cast<LONG>(pieces.size()) < count - 1)) {
            std::size_t at = FindText(text, delimiter, pos, textCompare);
            if (at == std::u16string::npos)
                break;
            pieces.emplace_back(pos, at - pos);
            pos = at + delimiter.size();
        }
        pieces.emplace_back(pos, text.size() - pos);
    }
    return MakeArrayOf(
        pieces.size(),
        [&](std::size_t i, VARIANT* element) {
            VariantSetBstr(element, BSTR(text.substr(pieces[i].first, pieces[i].second)));
        },
        result);
}

HRESULT Join(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    std::u16string delimiter = u" ";
    HRESULT hr;
    if (const VARIANT* d = OptionalArg(args, argc, 1);
        d && FAILED(hr = ArgText(ctx, *d, &delimiter)))
        return hr;
    std::vector<std::u16string> texts;
    if (FAILED(hr = ArrayTexts(ctx, args[0], &texts)))
        return hr;
    std::u16string joined;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            joined += delimiter;
        joined += texts[i];
    }
    SetText(result, std::move(joined));
    return S_OK;
}

// Filter(strings, value[, include[, compare]]): the elements that contain (or, with
// include False, do not contain) value.
HRESULT Filter(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    if (IsNullValue(args[0]) || IsNullValue(args[1]))
        return VBScriptError(kVBInvalidNull);
    bool include = true, textCompare = false;
    HRESULT hr;
    if (const VARIANT* i = OptionalArg(args, argc, 2); i && FAILED(hr = ArgBool(ctx, *i, &include)))
        return hr;
    if (FAILED(hr = ArgCompareMode(ctx, OptionalArg(args, argc, 3), &textCompare)))
        return hr;
    std::u16string value;
    if (FAILED(hr = ArgText(ctx, args[1], &value)))
        return hr;
    std::vector<std::u16string> texts;
    if (FAILED(hr = ArrayTexts(ctx, args[0], &texts)))
        return hr;
    std::vector<CComVariant> kept;
    for (const std::u16string& text : texts) {
        bool found = FindText(text, value, 0, textCompare) != std::u16string::npos;
        if (found == include)
            kept.emplace_back(std::u16string_view(text));
    }
    return MakeArray(kept, result);
}

HRESULT Bound(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, bool upper,
              VARIANT* result) {
    const VARIANT& arg = args[0];
    if (!(arg.vt & VT_ARRAY))
        return VBScriptError(kVBTypeMismatch);
    LONG dimension = 1;
    HRESULT hr = OptionalLong(ctx, OptionalArg(args, argc, 1), 1, &dimension);
    if (FAILED(hr))
        return hr;
    if (dimension < 1 || static_cast<UINT>(dimension) > SafeArrayGetDim(arg.parray))
        return VBScriptError(kVBSubscript);
    LONG bound = 0;
    hr = upper ? SafeArrayGetUBound(arg.parray, static_cast<UINT>(dimension), &bound)
               : SafeArrayGetLBound(arg.parray, static_cast<UINT>(dimension), &bound);
    if (FAILED(hr))
        return VBStatus(hr);
    SetLong(result, bound);
    return S_OK;
}

HRESULT UBound(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return Bound(ctx, args, argc, true, result);
}
HRESULT LBound(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc, VARIANT* result) {
    return Bound(ctx, args, argc, false, result);
}

constexpr VBBuiltin kArrays[] = {
    {u"Array", Array, 0, 255}, {u"Filter", Filter, 2, 4}, {u"Join", Join, 1, 2},
    {u"LBound", LBound, 1, 2}, {u"Split", Split, 1, 4},   {u"UBound", UBound, 1, 2},
};

}  // namespace

std::span<const VBBuiltin> VBArrayBuiltins() {
    return kArrays;
}
