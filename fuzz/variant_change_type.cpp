// Fuzzes VariantChangeTypeEx with text input: every target type, two locales, and the
// text forms read back. The first byte picks the locale and flags; the rest is UTF-8
// text. Conversions may fail but must never crash, leak or leave a half-made value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "com/CComVariant.h"
#include "com/VarMath.h"

namespace {

constexpr VARTYPE kTargets[] = {VT_EMPTY, VT_NULL,    VT_I1,       VT_UI1,    VT_I2,   VT_UI2,
                                VT_I4,    VT_UI4,     VT_I8,       VT_UI8,    VT_INT,  VT_UINT,
                                VT_R4,    VT_R8,      VT_CY,       VT_DATE,   VT_BSTR, VT_BOOL,
                                VT_ERROR, VT_DECIMAL, VT_DISPATCH, VT_UNKNOWN};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const LCID lcid = (data[0] & 1) ? 0x0407 : 0x0409;
    const WORD flags = (data[0] & 2) ? VARIANT_ALPHABOOL : 0;
    CComVariant text(
        BSTR::FromUtf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1)));
    for (VARTYPE vt : kTargets) {
        CComVariant out;
        if (FAILED(VariantChangeTypeEx(&out, &text, lcid, flags, vt))) {
            if (out.vt != VT_EMPTY)
                __builtin_trap();
            continue;
        }
        // Whatever was read must be writable as text again in the same locale.
        CComVariant back;
        VariantChangeTypeEx(&back, &out, lcid, flags, VT_BSTR);
        VarCmp(&out, &text, lcid, 0);
    }
    CComVariant sum, cmp;
    VarAdd(&text, &text, &sum);
    VarCat(&text, &sum, &cmp);
    return 0;
}
