// Run-time errors of VBScript: the language's numbers and texts, and the one mapping
// from a failed call's status (and exception information) to the error a script sees.
#pragma once

#include <string>

#include "com/Dispatch.h"
#include "com/HResult.h"

inline constexpr char16_t VBSCRIPT_RUNTIME_ERROR_SOURCE[] = u"VBScript runtime error";

// The English text of a run-time error number, or "Unknown runtime error".
std::u16string VBScriptRuntimeErrorText(LONG lNumber);

// An error as a script sees it in the Err object.
struct VBScriptErrorRecord {
    LONG lNumber = 0;
    BSTR source;
    BSTR description;
    HRESULT Result() const;  // 0x800A0000 + number for a language number, else the number
};

// Maps a failed call: DISP_E_EXCEPTION carries its own error in `pExcepInfo`; the
// statuses of the fixed table become language numbers; any other status is its own
// number, described by the thread's error record or the status text.
VBScriptErrorRecord VBScriptErrorFromResult(HRESULT hr, EXCEPINFO* pExcepInfo);
