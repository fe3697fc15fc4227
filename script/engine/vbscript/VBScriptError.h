// A script error as the engine hands it to its site: exception information, the cookie
// of the script text, and the line and character of the error.
#pragma once

#include "script/engine/ActiveScript.h"

class CVBScriptError : public CComObjectRoot<CVBScriptError, IActiveScriptError> {
public:
    CVBScriptError(BSTR source, BSTR description, HRESULT scode, DWORD cookie, ULONG line,
                   LONG character, BSTR lineText)
        : m_source(std::move(source)),
          m_description(std::move(description)),
          m_scode(scode),
          m_cookie(cookie),
          m_line(line),
          m_character(character),
          m_lineText(std::move(lineText)) {}

    HRESULT GetExceptionInfo(EXCEPINFO* pexcepinfo) override;
    HRESULT GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                              LONG* plCharacterPosition) override;
    HRESULT GetSourceLineText(BSTR* pbstrSourceLine) override;

private:
    BSTR m_source;
    BSTR m_description;
    HRESULT m_scode;
    DWORD m_cookie;
    ULONG m_line;
    LONG m_character;
    BSTR m_lineText;
};
