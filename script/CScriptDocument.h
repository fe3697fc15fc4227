// CScriptDocument: a page of an entity as a read-only text document for a debugger.
//
// One exists per page document of an engine while debugging is switched on. Its text,
// size and line queries are the page's own; positions are mapped to page contexts
// through the engine, which knows the script blocks. No syntax colouring is offered:
// every character is reported as non-source text.
#pragma once

#include "com/Unknown.h"
#include "script/ScriptDebugInterfaces.h"

class CScriptEngine;
struct ITextPage;

class CScriptDocument
    : public CComObjectRoot<CScriptDocument, IDebugDocumentProvider, IDebugDocumentText> {
public:
    CScriptDocument(CScriptEngine* pEngine, DWORD dwSourceContext);
    ~CScriptDocument() override;

    // IDebugDocumentInfo
    HRESULT GetName(DOCUMENTNAMETYPE dnt, BSTR* pbstrName) override;
    HRESULT GetDocumentClassId(CLSID* pclsidDocument) override;
    // IDebugDocumentProvider
    HRESULT GetDocument(IDebugDocument** ppssd) override;
    // IDebugDocumentText
    HRESULT GetDocumentAttributes(TEXT_DOC_ATTR* ptextdocattr) override;
    HRESULT GetSize(ULONG* pcNumLines, ULONG* pcNumChars) override;
    HRESULT GetPositionOfLine(ULONG cLineNumber, ULONG* pcCharacterPosition) override;
    HRESULT GetLineOfPosition(ULONG cCharacterPosition, ULONG* pcLineNumber,
                              ULONG* pcCharacterOffsetInLine) override;
    HRESULT GetText(ULONG cCharacterPosition, char16_t* pcharText, SOURCE_TEXT_ATTR* pstaTextAttr,
                    ULONG* pcNumChars, ULONG cMaxChars) override;
    HRESULT GetPositionOfContext(IDebugDocumentContext* psc, ULONG* pcCharacterPosition,
                                 ULONG* cNumChars) override;
    HRESULT GetContextOfPosition(ULONG cCharacterPosition, ULONG cNumChars,
                                 IDebugDocumentContext** ppsc) override;

private:
    HRESULT Page(CComPtr<ITextPage>* page);

    const CComPtr<CScriptEngine> m_pEngine;
    const DWORD m_dwSourceContext;
};
