// CScriptEngine: documents, the root instance, error routing back to pages, and the
// debugger hooks.
#include "script/CScriptEngine.h"

#include <algorithm>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "registry/RegistryStore.h"
#include "script/CEnumDebugCodeContexts.h"
#include "script/CScriptDocContext.h"
#include "script/CScriptDocument.h"
#include "script/CScriptInstance.h"

CScriptEngine::CScriptEngine() = default;
CScriptEngine::~CScriptEngine() = default;

HRESULT CScriptEngine::Init(CScriptHandler* pHandler) {
    try {
        CCritSecLock guard(m_lock);
        CRegistryStore store;
        DWORD debugging = 0;
        if (SUCCEEDED(store.GetDword(kCorvaneKey, "Debugging", &debugging)) && debugging == 1) {
            CComPtr<IProcessDebugManager32> manager;
            HRESULT hr = CoCreateInstance(CLSID_ProcessDebugManager, nullptr, CLSCTX_ALL,
                                          IIDOf<IProcessDebugManager32>(), manager.ReceiveVoid());
            // Without a debug manager on this machine, debugging simply stays off.
            if (CheckResult(hr)) {
                CComPtr<IDebugApplication32> app;
                hr = manager->GetDefaultApplication(app.Receive());
                if (!CheckResult(hr))
                    return hr;
                hr = app->SetName(BSTR(u"Corvane"));
                if (!CheckResult(hr))
                    return hr;
                m_ptrDebugApp = app;
                m_bDebugging.store(true, std::memory_order_release);
            }
        }
        HRESULT hr = S_OK;
        CComPtr<CScriptInstance> root = MakeObject<CScriptInstance>(&hr);
        if (CheckExpression(!root))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        m_pHandler = pHandler;
        hr = root->Init(this);
        if (!CheckResult(hr))
            return hr;
        m_pRootInstance = root;
        return S_OK;
    } catch (...) {
        return ReportException("CScriptEngine::Init", CV_HERE);
    }
}

HRESULT CScriptEngine::AddScriptPage(ITextPage* ptrPage, ITextPage* pParentPage,
                                     DWORD* pdwContext) {
    if (CheckExpression(!ptrPage || !pdwContext))
        return E_POINTER;
    try {
        CCritSecLock guard(m_lock);
        CComPtr<IUnknown> identity = ComQuery<IUnknown>(ptrPage);
        for (std::size_t i = 0; i < m_arrDocuments.size(); ++i) {
            if (m_arrDocuments[i].m_ptrIdentity == identity) {
                *pdwContext = static_cast<DWORD>(i);
                return S_OK;
            }
        }
        Document doc;
        doc.m_ptrPage = ptrPage;
        doc.m_ptrIdentity = identity;
        if (pParentPage) {
            CComPtr<IUnknown> parent = ComQuery<IUnknown>(pParentPage);
            auto found = std::find_if(m_arrDocuments.begin(), m_arrDocuments.end(),
                                      [&](const Document& d) { return d.m_ptrIdentity == parent; });
            if (CheckExpression(found == m_arrDocuments.end()))
                return E_INVALIDARG;
            doc.m_dwParent = static_cast<DWORD>(found - m_arrDocuments.begin());
        }
        const DWORD index = static_cast<DWORD>(m_arrDocuments.size());
        if (m_ptrDebugApp) {
            HRESULT hr = m_ptrDebugApp->CreateApplicationNode(doc.m_ptrNode.Receive());
            if (!CheckResult(hr))
                return hr;
            doc.m_pDoc = MakeObject<CScriptDocument>(&hr, this, index);
            if (CheckExpression(!doc.m_pDoc))
                return FAILED(hr) ? hr : E_OUTOFMEMORY;
            hr = doc.m_ptrNode->SetDocumentProvider(doc.m_pDoc.Get());
            if (!CheckResult(hr))
                return hr;
            CComPtr<IDebugApplicationNode> parentNode;
            if (doc.m_dwParent != kNoParent)
                parentNode = m_arrDocuments[doc.m_dwParent].m_ptrNode;
            else if (!CheckResult(hr = m_ptrDebugApp->GetRootNode(parentNode.Receive())))
                return hr;
            hr = doc.m_ptrNode->Attach(parentNode.Get());
            if (!CheckResult(hr))
                return hr;
        }
        m_arrDocuments.push_back(std::move(doc));
        *pdwContext = index;
        return S_OK;
    } catch (...) {
        return ReportException("CScriptEngine::AddScriptPage", CV_HERE);
    }
}

HRESULT CScriptEngine::AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                                 const std::vector<ScriptBlock>& arrBlocks) {
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pRootInstance))
            return E_UNEXPECTED;
        if (CheckExpression(dwContext >= m_arrDocuments.size()))
            return E_INVALIDARG;
        // An unknown language adds nothing, not even the document's context.
        CLSID clsid;
        HRESULT hr = CScriptInstance::DetermineScriptLanguage(strLanguage, &clsid);
        if (FAILED(hr))
            return hr;
        // Every block names the document its text came from.
        std::vector<ScriptBlock> blocks = arrBlocks;
        for (ScriptBlock& block : blocks) {
            if (block.dwSourceContext == kScriptPage)
                block.dwSourceContext = dwContext;
            if (CheckExpression(block.dwSourceContext >= m_arrDocuments.size()))
                return E_INVALIDARG;
        }
        Document& doc = m_arrDocuments[dwContext];
        doc.m_arrContexts.push_back(Context{std::move(blocks), {}});
        const DWORD dwSubContext = static_cast<DWORD>(doc.m_arrContexts.size() - 1);
        hr = m_pRootInstance->AddScript(strLanguage, strScript, dwContext, dwSubContext,
                                        doc.m_ptrNode.Get());
        if (FAILED(hr) && m_ptrDebugApp && m_bEnterDebugger.load())
            m_ptrDebugApp->StartDebugSession();
        return hr;
    } catch (...) {
        return ReportException("CScriptEngine::AddScript", CV_HERE);
    }
}

HRESULT CScriptEngine::Instantiate(IScriptInstance** ppSI) {
    if (CheckExpression(!ppSI))
        return E_POINTER;
    *ppSI = nullptr;
    CComPtr<CScriptInstance> root;
    {
        CCritSecLock guard(m_lock);
        root = m_pRootInstance;
    }
    if (CheckExpression(!root))
        return E_UNEXPECTED;
    // Cloning takes the root instance's lock only, so runs of one page do not queue
    // behind each other here longer than the copy itself.
    HRESULT hr = root->Clone(ppSI);
    CheckResult(hr);
    return hr;
}

HRESULT CScriptEngine::GetPage(DWORD dwSourceContext, ITextPage** ppPage) {
    if (CheckExpression(!ppPage))
        return E_POINTER;
    *ppPage = nullptr;
    CCritSecLock guard(m_lock);
    if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
        return E_INVALIDARG;
    *ppPage = CComPtr<ITextPage>(m_arrDocuments[dwSourceContext].m_ptrPage).Detach();
    return S_OK;
}

HRESULT CScriptEngine::OnScriptError(DWORD dwSourceContext, DWORD dwSubContext, ULONG ulCharPos,
                                     const EXCEPINFO* pei) {
    try {
        CComPtr<ITextPage> page;
        ULONG pagePosition = 0;
        CScriptHandler* handler = nullptr;
        bool canDebug = false;
        {
            CCritSecLock guard(m_lock);
            if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
                return E_INVALIDARG;
            const Document& doc = m_arrDocuments[dwSourceContext];
            if (CheckExpression(dwSubContext >= doc.m_arrContexts.size()))
                return E_INVALIDARG;
            const std::vector<ScriptBlock>& blocks = doc.m_arrContexts[dwSubContext].m_arrBlocks;
            auto block = std::find_if(blocks.begin(), blocks.end(), [&](const ScriptBlock& b) {
                return ULONGLONG(b.ulScriptStart) + b.ulLength > ulCharPos;
            });
            if (block != blocks.end()) {
                // A position in generated glue before the block counts as the block's start.
                pagePosition = std::max(ulCharPos, block->ulScriptStart) - block->ulScriptStart +
                               block->ulPageStart;
            } else if (!blocks.empty()) {
                // After the last block (a syntax error found at the end of the script, a
                // failing write call after the last code): the end of that block.
                --block;
                pagePosition = block->ulPageStart + block->ulLength;
            }
            // A script without any page text at all reports the start of its page.
            page = m_arrDocuments[block != blocks.end() ? block->dwSourceContext : dwSourceContext]
                       .m_ptrPage;
            handler = m_pHandler;
            canDebug = m_ptrDebugApp != nullptr;
        }
        if (CheckExpression(!handler))
            return E_UNEXPECTED;
        HRESULT hr = handler->OnScriptError(page.Get(), pagePosition, pei, canDebug);
        if (hr == S_FALSE && canDebug)
            m_bEnterDebugger.store(true);
        return hr;
    } catch (...) {
        return ReportException("CScriptEngine::OnScriptError", CV_HERE);
    }
}

HRESULT CScriptEngine::GetLCID(LCID* plcid) {
    if (CheckExpression(!plcid))
        return E_POINTER;
    if (CheckExpression(!m_pHandler))
        return E_UNEXPECTED;
    return m_pHandler->GetLCID(plcid);
}

HRESULT CScriptEngine::GetApplication(IDebugApplication32** ppda) {
    if (CheckExpression(!ppda))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *ppda = CComPtr<IDebugApplication32>(m_ptrDebugApp).Detach();
    return S_OK;
}

HRESULT CScriptEngine::OnScriptErrorDebug(IActiveScriptErrorDebug*, BOOL* pfEnterDebugger,
                                          BOOL* pfCallOnScriptErrorWhenContinuing) {
    if (CheckExpression(!pfEnterDebugger || !pfCallOnScriptErrorWhenContinuing))
        return E_POINTER;
    *pfCallOnScriptErrorWhenContinuing = 1;
    *pfEnterDebugger = IsDebugging() ? 1 : 0;
    return S_OK;
}

HRESULT CScriptEngine::Close() {
    try {
        CCritSecLock guard(m_lock);
        for (Document& doc : m_arrDocuments) {
            if (!doc.m_ptrNode)
                continue;
            doc.m_ptrNode->Detach();
            doc.m_ptrNode->Close();
            doc.m_ptrNode = nullptr;
        }
        if (m_pRootInstance) {
            HRESULT hr = m_pRootInstance->Close();
            if (!CheckResult(hr))
                return hr;
            m_pRootInstance = nullptr;
        }
        // The documents hold this engine; let them go so the engine can be destroyed.
        for (Document& doc : m_arrDocuments)
            doc.m_pDoc = nullptr;
        return S_OK;
    } catch (...) {
        return ReportException("CScriptEngine::Close", CV_HERE);
    }
}

HRESULT CScriptEngine::AttachEngine(DWORD dwContext, DWORD dwSubContext, DWORD dwScriptContext,
                                    IActiveScript* pActiveScript) {
    if (!IsDebugging())
        return S_OK;
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(dwContext >= m_arrDocuments.size()))
            return E_INVALIDARG;
        Document& doc = m_arrDocuments[dwContext];
        if (CheckExpression(dwSubContext >= doc.m_arrContexts.size()))
            return E_INVALIDARG;
        CComPtr<IActiveScriptDebug32> ptrASD = ComQuery<IActiveScriptDebug32>(pActiveScript);
        if (CheckExpression(!ptrASD))
            return E_INVALIDARG;
        doc.m_arrContexts[dwSubContext].m_mapEngines[dwScriptContext] = ptrASD;
        return S_OK;
    } catch (...) {
        return ReportException("CScriptEngine::AttachEngine", CV_HERE);
    }
}

HRESULT CScriptEngine::DetachEngine(DWORD dwContext, DWORD dwSubContext, DWORD dwScriptContext) {
    if (!IsDebugging())
        return S_OK;
    CCritSecLock guard(m_lock);
    if (CheckExpression(dwContext >= m_arrDocuments.size()))
        return E_INVALIDARG;
    Document& doc = m_arrDocuments[dwContext];
    if (CheckExpression(dwSubContext >= doc.m_arrContexts.size()))
        return E_INVALIDARG;
    doc.m_arrContexts[dwSubContext].m_mapEngines.erase(dwScriptContext);
    return S_OK;
}

HRESULT CScriptEngine::GetDocument(DWORD dwSourceContext, IDebugDocument** ppsd) {
    if (CheckExpression(!ppsd))
        return E_POINTER;
    *ppsd = nullptr;
    CCritSecLock guard(m_lock);
    if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
        return E_INVALIDARG;
    const Document& doc = m_arrDocuments[dwSourceContext];
    if (CheckExpression(!doc.m_pDoc))
        return E_UNEXPECTED;
    *ppsd = CComPtr<IDebugDocument>(static_cast<IDebugDocumentText*>(doc.m_pDoc.Get())).Detach();
    return S_OK;
}

HRESULT CScriptEngine::NewContext(DWORD dwPageDocument, DWORD dwScriptDocument, DWORD dwSubContext,
                                  DWORD dwBlock, ULONG ulPageStart, ULONG ulLength,
                                  IDebugDocumentContext** ppsc) {
    HRESULT hr = S_OK;
    CComPtr<CScriptDocContext> context = MakeObject<CScriptDocContext>(
        &hr, this, ulPageStart, ulLength, dwBlock, dwPageDocument, dwSubContext, dwScriptDocument);
    if (CheckExpression(!context))
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    *ppsc = CComPtr<IDebugDocumentContext>(context.Get()).Detach();
    return S_OK;
}

HRESULT CScriptEngine::GetDocumentContextFromPosition(DWORD dwSourceContext, DWORD dwSubContext,
                                                      ULONG uCharacterOffset, ULONG uNumChars,
                                                      IDebugDocumentContext** ppsc) {
    if (CheckExpression(!ppsc))
        return E_POINTER;
    *ppsc = nullptr;
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
            return E_INVALIDARG;
        const Document& doc = m_arrDocuments[dwSourceContext];
        if (CheckExpression(dwSubContext >= doc.m_arrContexts.size()))
            return E_INVALIDARG;
        const std::vector<ScriptBlock>& blocks = doc.m_arrContexts[dwSubContext].m_arrBlocks;
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            const ScriptBlock& b = blocks[k];
            const ULONGLONG end = ULONGLONG(b.ulScriptStart) + b.ulLength;
            if (end <= uCharacterOffset)
                continue;
            const ULONGLONG a = std::max<ULONGLONG>(uCharacterOffset, b.ulScriptStart);
            const ULONGLONG z = std::min<ULONGLONG>(ULONGLONG(uCharacterOffset) + uNumChars, end);
            return NewContext(b.dwSourceContext, dwSourceContext, dwSubContext,
                              static_cast<DWORD>(k),
                              static_cast<ULONG>(a - b.ulScriptStart + b.ulPageStart),
                              static_cast<ULONG>(z > a ? z - a : 0), ppsc);
        }
        CheckExpression(E_INVALIDARG);
        return E_INVALIDARG;
    } catch (...) {
        return ReportException("CScriptEngine::GetDocumentContextFromPosition", CV_HERE);
    }
}

HRESULT CScriptEngine::GetContextOfPosition(DWORD dwSourceContext, ULONG cCharacterPosition,
                                            ULONG cNumChars, IDebugDocumentContext** ppsc) {
    if (CheckExpression(!ppsc))
        return E_POINTER;
    *ppsc = nullptr;
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
            return E_INVALIDARG;
        // The page's text may stand in scripts of other documents (an included page's
        // code is part of the including page's body script): the page's own scripts are
        // searched first, then those of every other document in order.
        std::vector<DWORD> order{dwSourceContext};
        for (DWORD d = 0; d < m_arrDocuments.size(); ++d)
            if (d != dwSourceContext)
                order.push_back(d);
        for (const DWORD d : order) {
            const Document& doc = m_arrDocuments[d];
            for (std::size_t c = 0; c < doc.m_arrContexts.size(); ++c) {
                const std::vector<ScriptBlock>& blocks = doc.m_arrContexts[c].m_arrBlocks;
                for (std::size_t k = 0; k < blocks.size(); ++k) {
                    const ScriptBlock& b = blocks[k];
                    const ULONGLONG end = ULONGLONG(b.ulPageStart) + b.ulLength;
                    if (b.dwSourceContext != dwSourceContext || end <= cCharacterPosition)
                        continue;
                    const ULONGLONG a = std::max<ULONGLONG>(cCharacterPosition, b.ulPageStart);
                    const ULONGLONG z =
                        std::min<ULONGLONG>(ULONGLONG(cCharacterPosition) + cNumChars, end);
                    return NewContext(dwSourceContext, d, static_cast<DWORD>(c),
                                      static_cast<DWORD>(k), static_cast<ULONG>(a),
                                      static_cast<ULONG>(z > a ? z - a : 0), ppsc);
                }
            }
        }
        CheckExpression(E_INVALIDARG);
        return E_INVALIDARG;
    } catch (...) {
        return ReportException("CScriptEngine::GetContextOfPosition", CV_HERE);
    }
}

HRESULT CScriptEngine::EnumCodeContexts(DWORD dwSourceContext, DWORD dwSubContext,
                                        DWORD dwBlockContext, ULONG ulCharPos, ULONG ulNumChars,
                                        IEnumDebugCodeContexts** ppescc) {
    if (CheckExpression(!ppescc))
        return E_POINTER;
    *ppescc = nullptr;
    try {
        std::vector<std::pair<DWORD, CComPtr<IActiveScriptDebug32>>> engines;
        ULONG scriptPosition = 0;
        {
            CCritSecLock guard(m_lock);
            if (CheckExpression(dwSourceContext >= m_arrDocuments.size()))
                return E_INVALIDARG;
            const Document& doc = m_arrDocuments[dwSourceContext];
            if (CheckExpression(dwSubContext >= doc.m_arrContexts.size()))
                return E_INVALIDARG;
            const Context& context = doc.m_arrContexts[dwSubContext];
            if (CheckExpression(dwBlockContext >= context.m_arrBlocks.size()))
                return E_INVALIDARG;
            const ScriptBlock& b = context.m_arrBlocks[dwBlockContext];
            if (CheckExpression(ulCharPos < b.ulPageStart))
                return E_INVALIDARG;
            scriptPosition = ulCharPos - b.ulPageStart + b.ulScriptStart;
            engines.assign(context.m_mapEngines.begin(), context.m_mapEngines.end());
        }
        HRESULT hr = S_OK;
        CComPtr<CEnumDebugCodeContexts> combined = MakeObject<CEnumDebugCodeContexts>(&hr);
        if (CheckExpression(!combined))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        for (auto& [cookie, engine] : engines) {
            CComPtr<IEnumDebugCodeContexts> part;
            hr = engine->EnumCodeContextsOfPosition(cookie, scriptPosition, ulNumChars,
                                                    part.Receive());
            if (!CheckResult(hr))
                return hr;
            hr = combined->Append(part.Get());
            if (!CheckResult(hr))
                return hr;
        }
        *ppescc = CComPtr<IEnumDebugCodeContexts>(combined.Get()).Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CScriptEngine::EnumCodeContexts", CV_HERE);
    }
}
