// An empty built-in library, linked only while the real one is not in the tree: no
// functions, no constants, no creatable classes.
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

std::span<const VBBuiltin> VBScriptBuiltins() {
    return {};
}

const VBBuiltin* FindVBScriptBuiltin(std::u16string_view) {
    return nullptr;
}

std::span<const VBBuiltinConstant> VBScriptConstants() {
    return {};
}

HRESULT CreateVBScriptBuiltinClass(std::u16string_view, IDispatch** ppObject) {
    if (ppObject)
        *ppObject = nullptr;
    return DISP_E_UNKNOWNNAME;
}

void RegisterVBScriptLibraryClasses() {}
