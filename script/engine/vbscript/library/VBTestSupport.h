// Test helpers: calling built-ins by name with arguments in source order.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "com/CComVariant.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

inline HRESULT CallBuiltin(VBBuiltinContext& ctx, std::u16string_view name,
                           std::vector<CComVariant> args, CComVariant* result) {
    const VBBuiltin* fn = FindVBScriptBuiltin(name);
    if (!fn) {
        ADD_FAILURE() << "no built-in " << Utf16ToUtf8(name);
        return E_FAIL;
    }
    EXPECT_GE(args.size(), fn->minArgs);
    EXPECT_LE(args.size(), fn->maxArgs);
    std::vector<VARIANT> raw(args.begin(), args.end());
    result->Clear();
    return fn->fn(ctx, raw.data(), static_cast<unsigned>(raw.size()), result);
}

// The result as text (for comparing in tables), or "!<error number>" on failure and
// "Null" for Null.
inline std::string Show(HRESULT hr, const CComVariant& v) {
    if (FAILED(hr))
        return "!" + std::to_string(hr & 0xFFFF);
    if (v.vt == VT_NULL)
        return "Null";
    if (v.vt == VT_EMPTY)
        return "Empty";
    CComVariant text;
    if (FAILED(VariantChangeTypeEx(&text, &v, 1033, VARIANT_ALPHABOOL, VT_BSTR)))
        return "?";
    return Utf16ToUtf8(text.Text());
}

inline CComVariant I(LONG v) {
    return CComVariant(v);
}
inline CComVariant S(const char16_t* s) {
    return CComVariant(s);
}
inline CComVariant D(double v) {
    return CComVariant(v);
}
