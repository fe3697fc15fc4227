// CScriptDocContext: a page range that answers its document and code contexts through
// the engine that made it.
#include "script/CScriptDocContext.h"

#include "com/DiagnosticLog.h"
#include "script/CScriptEngine.h"

CScriptDocContext::CScriptDocContext(CScriptEngine* pEngine, ULONG ulCharPos, ULONG ulNumChars,
                                     DWORD dwBlockContext, DWORD dwSourceContext,
                                     DWORD dwSubContext, DWORD dwScriptDocument)
    : m_pEngine(pEngine),
      m_ulCharPos(ulCharPos),
      m_ulNumChars(ulNumChars),
      m_dwBlockContext(dwBlockContext),
      m_dwSourceContext(dwSourceContext),
      m_dwSubContext(dwSubContext),
      m_dwScriptDocument(dwScriptDocument == kScriptPage ? dwSourceContext : dwScriptDocument) {}

CScriptDocContext::~CScriptDocContext() = default;

HRESULT CScriptDocContext::GetDocument(IDebugDocument** ppsd) {
    if (CheckExpression(!ppsd))
        return E_POINTER;
    return m_pEngine->GetDocument(m_dwSourceContext, ppsd);
}

HRESULT CScriptDocContext::EnumCodeContexts(IEnumDebugCodeContexts** ppescc) {
    if (CheckExpression(!ppescc))
        return E_POINTER;
    return m_pEngine->EnumCodeContexts(m_dwScriptDocument, m_dwSubContext, m_dwBlockContext,
                                       m_ulCharPos, m_ulNumChars, ppescc);
}
