// Script errors for the site. See VBScriptError.h.
#include "script/engine/vbscript/VBScriptError.h"

#include "com/DiagnosticLog.h"

HRESULT CVBScriptError::GetExceptionInfo(EXCEPINFO* pexcepinfo) {
    if (CheckExpression(!pexcepinfo))
        return E_POINTER;
    *pexcepinfo = EXCEPINFO();
    pexcepinfo->bstrSource = m_source;
    pexcepinfo->bstrDescription = m_description;
    pexcepinfo->scode = m_scode;
    return S_OK;
}

HRESULT CVBScriptError::GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                                          LONG* plCharacterPosition) {
    if (pdwSourceContext)
        *pdwSourceContext = m_cookie;
    if (pulLineNumber)
        *pulLineNumber = m_line;
    if (plCharacterPosition)
        *plCharacterPosition = m_character;
    return S_OK;
}

HRESULT CVBScriptError::GetSourceLineText(BSTR* pbstrSourceLine) {
    if (CheckExpression(!pbstrSourceLine))
        return E_POINTER;
    *pbstrSourceLine = m_lineText;
    return S_OK;
}
