// CScriptDocument: names, text and position queries of a page for a debugger.
#include "script/CScriptDocument.h"

#include <algorithm>

#include "com/DiagnosticLog.h"
#include "script/CScriptDocContext.h"
#include "script/CScriptEngine.h"

CScriptDocument::CScriptDocument(CScriptEngine* pEngine, DWORD dwSourceContext)
    : m_pEngine(pEngine), m_dwSourceContext(dwSourceContext) {}

CScriptDocument::~CScriptDocument() = default;

HRESULT CScriptDocument::Page(CComPtr<ITextPage>* page) {
    return m_pEngine->GetPage(m_dwSourceContext, page->Receive());
}

HRESULT CScriptDocument::GetName(DOCUMENTNAMETYPE dnt, BSTR* pbstrName) {
    if (CheckExpression(!pbstrName))
        return E_POINTER;
    try {
        CComPtr<ITextPage> page;
        HRESULT hr = Page(&page);
        if (!CheckResult(hr))
            return hr;
        BSTR name;
        hr = page->GetName(&name);
        if (FAILED(hr))
            return hr;
        if (dnt == DOCUMENTNAMETYPE_URL) {
            *pbstrName = std::move(name);
            return S_OK;
        }
        const std::u16string_view full = name.View();
        const std::size_t slash = full.rfind(u'/');
        *pbstrName = BSTR(slash == std::u16string_view::npos ? full : full.substr(slash + 1));
        return S_OK;
    } catch (...) {
        return ReportException("CScriptDocument::GetName", CV_HERE);
    }
}

HRESULT CScriptDocument::GetDocumentClassId(CLSID* pclsidDocument) {
    if (CheckExpression(!pclsidDocument))
        return E_POINTER;
    *pclsidDocument = GUID_NULL;
    return S_OK;
}

HRESULT CScriptDocument::GetDocument(IDebugDocument** ppssd) {
    if (CheckExpression(!ppssd))
        return E_POINTER;
    *ppssd = CComPtr<IDebugDocument>(static_cast<IDebugDocumentText*>(this)).Detach();
    return S_OK;
}

HRESULT CScriptDocument::GetDocumentAttributes(TEXT_DOC_ATTR* ptextdocattr) {
    if (CheckExpression(!ptextdocattr))
        return E_POINTER;
    *ptextdocattr = TEXT_DOC_ATTR_READONLY;
    return S_OK;
}

HRESULT CScriptDocument::GetSize(ULONG* pcNumLines, ULONG* pcNumChars) {
    CComPtr<ITextPage> page;
    HRESULT hr = Page(&page);
    if (!CheckResult(hr))
        return hr;
    return page->GetSize(pcNumLines, pcNumChars);
}

HRESULT CScriptDocument::GetPositionOfLine(ULONG cLineNumber, ULONG* pcCharacterPosition) {
    CComPtr<ITextPage> page;
    HRESULT hr = Page(&page);
    if (!CheckResult(hr))
        return hr;
    return page->GetPositionOfLine(cLineNumber, pcCharacterPosition);
}

HRESULT CScriptDocument::GetLineOfPosition(ULONG cCharacterPosition, ULONG* pcLineNumber,
                                           ULONG* pcCharacterOffsetInLine) {
    if (CheckExpression(!pcLineNumber))
        return E_POINTER;
    CComPtr<ITextPage> page;
    HRESULT hr = Page(&page);
    if (!CheckResult(hr))
        return hr;
    hr = page->GetLineOfPosition(cCharacterPosition, pcLineNumber);
    if (FAILED(hr) || !pcCharacterOffsetInLine)
        return hr;
    ULONG lineStart = 0;
    hr = page->GetPositionOfLine(*pcLineNumber, &lineStart);
    if (FAILED(hr))
        return hr;
    *pcCharacterOffsetInLine = cCharacterPosition - lineStart;
    return S_OK;
}

HRESULT CScriptDocument::GetText(ULONG cCharacterPosition, char16_t* pcharText,
                                 SOURCE_TEXT_ATTR* pstaTextAttr, ULONG* pcNumChars,
                                 ULONG cMaxChars) {
    if (CheckExpression(!pcNumChars))
        return E_POINTER;
    try {
        CComPtr<ITextPage> page;
        HRESULT hr = Page(&page);
        if (!CheckResult(hr))
            return hr;
        if (!pcharText) {
            ULONG lines = 0;
            hr = page->GetSize(&lines, pcNumChars);
            if (FAILED(hr))
                return hr;
            if (pstaTextAttr)
                std::fill_n(pstaTextAttr, std::min(*pcNumChars, cMaxChars),
                            SOURCETEXT_ATTR_NONSOURCE);
            return S_OK;
        }
        BSTR text;
        hr = page->GetText(cCharacterPosition, cMaxChars, &text);
        if (FAILED(hr))
            return hr;
        const ULONG count = std::min(static_cast<ULONG>(text.View().size()), cMaxChars);
        std::copy_n(text.View().data(), count, pcharText);
        if (pstaTextAttr)
            std::fill_n(pstaTextAttr, count, SOURCETEXT_ATTR_NONSOURCE);
        *pcNumChars = count;
        return S_OK;
    } catch (...) {
        return ReportException("CScriptDocument::GetText", CV_HERE);
    }
}

HRESULT CScriptDocument::GetPositionOfContext(IDebugDocumentContext* psc,
                                              ULONG* pcCharacterPosition, ULONG* cNumChars) {
    if (CheckExpression(!pcCharacterPosition || !cNumChars))
        return E_POINTER;
    if (CheckExpression(!psc))
        return E_INVALIDARG;
    // Only the program's own contexts carry the marker; only those can be read.
    CComPtr<ICorvane_Reserved> marker = ComQuery<ICorvane_Reserved>(psc);
    if (CheckExpression(!marker))
        return E_INVALIDARG;
    auto* pDC = dynamic_cast<CScriptDocContext*>(marker.Get());
    if (CheckExpression(!pDC || pDC->m_pEngine != m_pEngine ||
                        pDC->m_dwSourceContext != m_dwSourceContext))
        return E_INVALIDARG;
    *pcCharacterPosition = pDC->m_ulCharPos;
    *cNumChars = pDC->m_ulNumChars;
    return S_OK;
}

HRESULT CScriptDocument::GetContextOfPosition(ULONG cCharacterPosition, ULONG cNumChars,
                                              IDebugDocumentContext** ppsc) {
    if (CheckExpression(!ppsc))
        return E_POINTER;
    return m_pEngine->GetContextOfPosition(m_dwSourceContext, cCharacterPosition, cNumChars, ppsc);
}
