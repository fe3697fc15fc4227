// The built-in functions, constants and classes of VBScript, as the interpreter calls them.
//
// A built-in function receives its arguments already evaluated, dereferenced (no BYREF)
// and in source order, and writes its result. It fails with a VBScript error status
// (`VBScriptError(n)`, 0x800A0000 + the error number: 5 "Invalid procedure call or
// argument", 13 "Type mismatch", 6 "Overflow", 9 "Subscript out of range", …) or with any
// other HRESULT, which the interpreter maps as it maps failures of host calls. The
// context carries the state the library shares with the interpreter: the current locale
// (SetLocale changes it) and the random-number state (Randomize, Rnd).
//
// Functions that need the interpreter itself (Eval, Execute, ExecuteGlobal, GetRef) are
// not in this table: the interpreter implements them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "com/Dispatch.h"
#include "com/HResult.h"
#include "com/Variant.h"

constexpr HRESULT VBScriptError(unsigned number) {
    return MakeHResult(0x800A0000u | number);
}

struct VBBuiltinContext {
    LCID lcid = 1033;                 // the script's locale; SetLocale changes it
    std::uint32_t rndSeed = 0x50000;  // Rnd's state (the 24-bit generator of the language)
    float rndLast = 0.0f;             // the last number Rnd returned, for Rnd(0)
};

using VBBuiltinFn = HRESULT (*)(VBBuiltinContext& ctx, const VARIANT* args, unsigned argc,
                                VARIANT* result);

struct VBBuiltin {
    std::u16string_view name;  // as the reference spells it; looked up case-insensitively
    VBBuiltinFn fn;
    std::uint8_t minArgs;
    std::uint8_t maxArgs;
};

// Every built-in function of the library, sorted by upper-cased name.
std::span<const VBBuiltin> VBScriptBuiltins();

// Finds a built-in by name (case-insensitive); null when there is none.
const VBBuiltin* FindVBScriptBuiltin(std::u16string_view name);

struct VBBuiltinConstant {
    std::u16string_view name;  // vbCrLf, vbTextCompare, vbSunday, …
    VARIANT value;             // VT_I4, VT_I2, VT_BSTR (owned by the table) …
};

// The named constants of the language (vbCr, vbLf, vbCrLf, vbNewLine, vbNullChar,
// vbNullString, vbTab, vbTrue, vbFalse, vbUseDefault, vbBinaryCompare, vbTextCompare,
// the vbVarType values, the date and colour constants, vbObjectError, …).
std::span<const VBBuiltinConstant> VBScriptConstants();

// Randomize [number]: reseeds Rnd from the number, or from the time of day when `seed`
// is null. The interpreter calls it for the Randomize statement.
HRESULT VBRandomize(VBBuiltinContext& ctx, const VARIANT* seed);

// Creates an instance of a class the language provides by name with `New` (RegExp);
// DISP_E_UNKNOWNNAME (or VBScriptError(506) "Class not defined") when there is none.
HRESULT CreateVBScriptBuiltinClass(std::u16string_view className, IDispatch** ppObject);

// Registers the creatable classes of the library with the class registry
// ("Scripting.Dictionary", and "VBScript.RegExp"). Idempotent.
void RegisterVBScriptLibraryClasses();
