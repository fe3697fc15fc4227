// CScriptDocContext: a range of a page's text, as a debugger sees it.
//
// A context names a stretch of a page (start and length in characters) together with
// the script block it came from, so that the engine can find the engines' code contexts
// for it. The block belongs to a script context of the document that holds the script,
// which is another page's document when the text is an included page's code inlined in
// the including page's body script. The program recognises its own contexts by
// the marker interface ICorvane_Reserved.
#pragma once

#include "com/Unknown.h"
#include "idl/ServiceInterfaces.h"
#include "script/ScriptDebugInterfaces.h"

class CScriptEngine;

class CScriptDocContext
    : public CComObjectRoot<CScriptDocContext, IDebugDocumentContext, ICorvane_Reserved> {
public:
    // dwScriptDocument: the document whose script context dwSubContext holds the block;
    // kScriptPage for the page's own document (dwSourceContext).
    CScriptDocContext(CScriptEngine* pEngine, ULONG ulCharPos, ULONG ulNumChars,
                      DWORD dwBlockContext, DWORD dwSourceContext, DWORD dwSubContext,
                      DWORD dwScriptDocument = kScriptPage);
    ~CScriptDocContext() override;

    // IDebugDocumentContext
    HRESULT GetDocument(IDebugDocument** ppsd) override;
    HRESULT EnumCodeContexts(IEnumDebugCodeContexts** ppescc) override;

    const CComPtr<CScriptEngine> m_pEngine;
    const ULONG m_ulCharPos;
    const ULONG m_ulNumChars;
    const DWORD m_dwBlockContext;
    const DWORD m_dwSourceContext;  // the page's document
    const DWORD m_dwSubContext;
    const DWORD m_dwScriptDocument;  // the document that holds script context m_dwSubContext

    static constexpr DWORD kScriptPage = 0xFFFFFFFF;
};
