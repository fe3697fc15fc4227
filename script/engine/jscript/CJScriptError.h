// The error of a JScript script, as the engine reports it to its site.
//
// `Describe` reads a thrown value: an Error object gives its message, its line (Duktape
// records the line of the instruction that failed) and, for errors raised by host
// objects, the status in `number`; any other thrown value gives its text. Syntax errors
// are "JScript compilation error" (1002), everything else "JScript runtime error" with
// the JScript numbers of the error types (5009 undefined name, 5007 object expected,
// 28 out of stack space for too deep recursion, 5022 for a thrown value). Duktape does
// not record the column of an error, only its line; the character position reported is
// that of the first character of the line that is not a space or tab (where the
// failing statement most likely begins), 0 for a blank line or an unknown line.
#pragma once
#include <string>
#include "com/Unknown.h"
#include "duktape.h"
#include "script/engine/ActiveScript.h"

struct CJScriptErrorDetails {
    BSTR source;
    BSTR description;
    SCODE scode = 0;
    long line = -1;        // 1-based line of the script text, -1 when unknown
    std::string fileName;  // the name the script was compiled under
};

class CJScriptError : public CComObjectRoot<CJScriptError, IActiveScriptError> {
public:
    CJScriptError(CJScriptErrorDetails details, DWORD cookie, ULONG line, LONG character,
                  BSTR lineText)
        : m_details(std::move(details)),
          m_cookie(cookie),
          m_line(line),
          m_character(character),
          m_lineText(std::move(lineText)) {}

    // The details of the thrown value at `index` (read without running script code).
    static CJScriptErrorDetails Describe(duk_context* ctx, duk_idx_t index, bool compile);

    HRESULT GetExceptionInfo(EXCEPINFO* pexcepinfo) override;
    HRESULT GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                              LONG* plCharacterPosition) override;
    HRESULT GetSourceLineText(BSTR* pbstrSourceLine) override;

private:
    CJScriptErrorDetails m_details;
    DWORD m_cookie;
    ULONG m_line;
    LONG m_character;
    BSTR m_lineText;
};
