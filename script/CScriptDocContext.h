// CScriptDocContext: a range of a page's text, as a debugger sees it.
//
// A context names a stretch of a page (start and length in characters) together with
// the script block, document and script context it came from, so that the engine can
// find the engines' code contexts for it. The program recognises its own contexts by
// the marker interface ICorvane_Reserved.
#pragma once

#include "com/Unknown.h"
#include "idl/ServiceInterfaces.h"
#include "script/ScriptDebugInterfaces.h"

class CScriptEngine;

class CScriptDocContext
    : public CComObjectRoot<CScriptDocContext, IDebugDocumentContext, ICorvane_Reserved> {
public:
    CScriptDocContext(CScriptEngine* pEngine, ULONG ulCharPos, ULONG ulNumChars,
                      DWORD dwBlockContext, DWORD dwSourceContext, DWORD dwSubContext);
    ~CScriptDocContext() override;

    // IDebugDocumentContext
    HRESULT GetDocument(IDebugDocument** ppsd) override;
    HRESULT EnumCodeContexts(IEnumDebugCodeContexts** ppescc) override;

    const CComPtr<CScriptEngine> m_pEngine;
    const ULONG m_ulCharPos;
    const ULONG m_ulNumChars;
    const DWORD m_dwBlockContext;
    const DWORD m_dwSourceContext;
    const DWORD m_dwSubContext;
};
