// CScriptInstance: engine objects per language, named items, clones, runs, calls of
// script procedures and the routing of script errors to the engine.
#include "script/CScriptInstance.h"

#include <cstdio>
#include <unordered_map>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "script/CScriptEngine.h"

namespace {
// The program's type library, added to every engine object.
constexpr GUID kLibid = MakeGUID("{D53C533F-4D4F-450D-8A2F-60CA5D6FBEBA}");
// How the globals of one language are offered to the others.
constexpr DWORD kGlobalMembersFlags = 0x4A;  // visible, global members, persistent
constexpr DWORD kNamedObjectFlags = SCRIPTITEM_ISVISIBLE | SCRIPTITEM_ISPERSISTENT;
constexpr DWORD kParseFlags = 0xC2;  // visible, persistent, host manages source
constexpr std::u16string_view kGlobalMembersPrefix = u"__";
constexpr std::u16string_view kGlobalMembersSuffix = u"_GlobalMembers";

std::u16string GlobalMembersName(std::u16string_view progId) {
    std::u16string name(kGlobalMembersPrefix);
    name += progId;
    name += kGlobalMembersSuffix;
    return name;
}

// The ProgID of a "__<ProgID>_GlobalMembers" name (at most 63 characters, no "_").
bool ParseGlobalMembersName(std::u16string_view name, std::u16string* progId) {
    if (name.size() <= kGlobalMembersPrefix.size() + kGlobalMembersSuffix.size() ||
        name.substr(0, 2) != kGlobalMembersPrefix ||
        name.substr(name.size() - kGlobalMembersSuffix.size()) != kGlobalMembersSuffix)
        return false;
    std::u16string_view middle =
        name.substr(2, name.size() - kGlobalMembersPrefix.size() - kGlobalMembersSuffix.size());
    if (middle.size() > 63 || middle.find(u'_') != std::u16string_view::npos)
        return false;
    progId->assign(middle);
    return true;
}

// The process-wide table of installed languages, ProgID → CLSID, filled on first need.
struct LanguageTable {
    std::mutex lock;  // a leaf lock
    std::unordered_map<std::u16string, CLSID> byProgId{17};
    std::vector<std::pair<std::u16string, CLSID>> inOrder;
};
LanguageTable& Languages() {
    static LanguageTable table;
    return table;
}
}  // namespace

// Engine objects hold their site, so an instance is destroyed only after Close (or when
// its engine objects never took it as their site); they go with their own destructors.
CScriptInstance::~CScriptInstance() = default;

std::vector<ULONG> CScriptInstance::LinePositions(std::u16string_view strScript) {
    std::vector<ULONG> lines{0};
    for (std::size_t i = 0; i < strScript.size(); ++i)
        if (strScript[i] == u'\n')
            lines.push_back(static_cast<ULONG>(i));
    lines.push_back(static_cast<ULONG>(strScript.size()));
    return lines;
}

HRESULT CScriptInstance::Init(CScriptEngine* pEngine) {
    if (CheckExpression(!pEngine))
        return E_INVALIDARG;
    CCritSecLock guard(m_lock);
    m_pEngine = pEngine;
    if (!m_arrScriptContexts)
        m_arrScriptContexts = std::make_shared<const ContextTable>();
    return S_OK;
}

HRESULT CScriptInstance::DetermineScriptLanguage(const BSTR& strName, CLSID* pclsid) {
    if (CheckExpression(!pclsid))
        return E_POINTER;
    try {
        LanguageTable& table = Languages();
        std::lock_guard guard(table.lock);
        if (table.inOrder.empty()) {
            // The class registry's categories stand for the component-category manager.
            for (const CLSID& clsid :
                 CClassRegistry::Instance().ClassesOfCategory(CATID_ActiveScriptParse)) {
                std::u16string progId;
                if (FAILED(ProgIDFromCLSID(clsid, &progId)))
                    continue;
                if (table.byProgId.emplace(progId, clsid).second)
                    table.inOrder.emplace_back(progId, clsid);
            }
        }
        for (const auto& [progId, clsid] : table.inOrder) {
            if (EqualsNoCase(progId, strName.View())) {
                *pclsid = clsid;
                return S_OK;
            }
        }
        CheckExpression(E_FAIL);
        return E_FAIL;
    } catch (...) {
        return ReportException("CScriptInstance::DetermineScriptLanguage", CV_HERE);
    }
}

HRESULT CScriptInstance::AddScript(const BSTR& strLanguage, const BSTR& strScript,
                                   DWORD dwSourceContext, DWORD dwSubContext,
                                   IDebugApplicationNode* pDebugAppNode) {
    try {
        CCritSecLock guard(m_lock);
        CLSID clsid;
        HRESULT hr = DetermineScriptLanguage(strLanguage, &clsid);
        if (!CheckResult(hr))
            return hr;
        auto found = m_mapScriptEngines.find(clsid);
        if (found == m_mapScriptEngines.end()) {
            CComPtr<IActiveScript> engine;
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IIDOf<IActiveScript>(),
                                  engine.ReceiveVoid());
            if (!CheckResult(hr))
                return hr;
            hr = engine->SetScriptSite(static_cast<IActiveScriptSite*>(this));
            if (!CheckResult(hr))
                return hr;
            CComPtr<IActiveScriptParse> parse = ComQuery<IActiveScriptParse>(engine.Get());
            if (CheckExpression(!parse))
                return E_NOINTERFACE;
            hr = parse->InitNew();
            if (!CheckResult(hr))
                return hr;
            hr = AddNamedItems(engine.Get());
            if (!CheckResult(hr))
                return hr;
            hr = engine->AddTypeLib(kLibid, 2, 0, 0);
            if (!CheckResult(hr))
                return hr;
            std::u16string progId;
            hr = ProgIDFromCLSID(clsid, &progId);
            if (!CheckResult(hr))
                return hr;
            for (auto& [otherClsid, other] : m_mapScriptEngines) {
                std::u16string otherProgId;
                hr = ProgIDFromCLSID(otherClsid, &otherProgId);
                if (!CheckResult(hr))
                    return hr;
                hr =
                    engine->AddNamedItem(BSTR(GlobalMembersName(otherProgId)), kGlobalMembersFlags);
                if (!CheckResult(hr))
                    return hr;
                hr = other->AddNamedItem(BSTR(GlobalMembersName(progId)), kGlobalMembersFlags);
                if (!CheckResult(hr))
                    return hr;
            }
            m_mapScriptEngines.emplace(clsid, engine);
            std::lock_guard haltGuard(m_haltLock);
            m_haltEngines.push_back(engine);
        }
        IActiveScript* engine = m_mapScriptEngines[clsid].Get();
        // The table is shared with clones made earlier: extend a copy.
        auto contexts = std::make_shared<ContextTable>(*m_arrScriptContexts);
        contexts->push_back(
            ScriptContext{clsid, dwSourceContext, dwSubContext, LinePositions(strScript.View())});
        const DWORD cookie = static_cast<DWORD>(contexts->size() - 1);
        m_arrScriptContexts = std::move(contexts);

        CComPtr<IActiveScriptParse> parse = ComQuery<IActiveScriptParse>(engine);
        if (CheckExpression(!parse))
            return E_NOINTERFACE;
        m_ptrCurrDAN = pDebugAppNode;
        hr = parse->ParseScriptText(strScript, BSTR(), nullptr, BSTR(), cookie, 0, kParseFlags,
                                    nullptr, nullptr);
        m_ptrCurrDAN = nullptr;
        return CheckResultValue(hr);
    } catch (...) {
        m_ptrCurrDAN = nullptr;
        return ReportException("CScriptInstance::AddScript", CV_HERE);
    }
}

HRESULT CScriptInstance::AddNamedItem(const BSTR& strName, IDispatch* pDisp, DWORD dwFlags) {
    if (CheckExpression(!pDisp))
        return E_INVALIDARG;
    try {
        CCritSecLock guard(m_lock);
        auto [item, added] = m_mapNamedItems.try_emplace(strName.Str(), NamedItem{pDisp, dwFlags});
        if (!added) {
            item->second = NamedItem{pDisp, dwFlags};
            return S_OK;
        }
        for (auto& [clsid, engine] : m_mapScriptEngines) {
            HRESULT hr = engine->AddNamedItem(strName, dwFlags);
            if (!CheckResult(hr))
                return hr;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CScriptInstance::AddNamedItem", CV_HERE);
    }
}

HRESULT CScriptInstance::AddNamedItems(IActiveScript* pActiveScript) {
    if (CheckExpression(!pActiveScript))
        return E_INVALIDARG;
    CCritSecLock guard(m_lock);
    for (const auto& [name, item] : m_mapNamedItems) {
        HRESULT hr = pActiveScript->AddNamedItem(BSTR(name), item.dwFlags);
        if (!CheckResult(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CScriptInstance::AddNamedObject(BSTR bstrName, IDispatch* pDisp) {
    return AddNamedItem(bstrName, pDisp, kNamedObjectFlags);
}

HRESULT CScriptInstance::GetNamedObject(BSTR bstrName, IDispatch** ppDisp) {
    if (CheckExpression(!ppDisp))
        return E_POINTER;
    *ppDisp = nullptr;
    try {
        CCritSecLock guard(m_lock);
        auto found = m_mapNamedItems.find(bstrName.Str());
        if (found == m_mapNamedItems.end())
            return E_INVALIDARG;
        *ppDisp = CComPtr<IDispatch>(found->second.pDisp).Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CScriptInstance::GetNamedObject", CV_HERE);
    }
}

HRESULT CScriptInstance::Clone(IScriptInstance** ppSI) {
    if (CheckExpression(!ppSI))
        return E_POINTER;
    *ppSI = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CScriptInstance> clone = MakeObject<CScriptInstance>(&hr);
        if (CheckExpression(!clone))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pEngine))
            return E_UNEXPECTED;
        clone->m_pEngine = m_pEngine;
        clone->m_arrScriptContexts = m_arrScriptContexts;
        clone->m_ptrCurrDAN = m_ptrCurrDAN;
        for (auto& [clsid, engine] : m_mapScriptEngines) {
            CComPtr<IActiveScript> copy;
            hr = engine->Clone(copy.Receive());
            if (CheckResult(hr))
                hr = copy->SetScriptSite(static_cast<IActiveScriptSite*>(clone.Get()));
            if (!CheckResult(hr)) {
                if (copy)
                    copy->Close();
                clone->Close();
                return hr;
            }
            clone->m_mapScriptEngines.emplace(clsid, copy);
            clone->m_haltEngines.push_back(std::move(copy));
        }
        *ppSI = static_cast<IScriptInstance*>(clone.Detach());
        return S_OK;
    } catch (...) {
        return ReportException("CScriptInstance::Clone", CV_HERE);
    }
}

HRESULT CScriptInstance::Run() {
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(!m_pEngine))
            return E_UNEXPECTED;
        if (m_pEngine->IsDebugging()) {
            for (auto& [clsid, engine] : m_mapScriptEngines) {
                // An engine object without debugging support has nothing to attach.
                if (!ComQuery<IActiveScriptDebug32>(engine.Get()))
                    continue;
                const ContextTable& contexts = *m_arrScriptContexts;
                for (std::size_t i = 0; i < contexts.size(); ++i) {
                    if (contexts[i].clsidEngine != clsid)
                        continue;
                    HRESULT hr = m_pEngine->AttachEngine(contexts[i].dwSourceContext,
                                                         contexts[i].dwSubContext,
                                                         static_cast<DWORD>(i), engine.Get());
                    if (!CheckResult(hr))
                        return hr;
                }
            }
        }
        for (auto& [clsid, engine] : m_mapScriptEngines) {
            // A halt (Response.End in an earlier engine's script) ends the whole run.
            if (m_bHalted.load(std::memory_order_acquire))
                break;
            HRESULT hr = engine->SetScriptState(SCRIPTSTATE_CONNECTED);
            if (FAILED(hr))
                return CheckResultValue(hr);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CScriptInstance::Run", CV_HERE);
    }
}

HRESULT CScriptInstance::Halt() {
    // Not under m_lock: the thread that runs the script holds it until the script ends.
    m_bHalted.store(true, std::memory_order_release);
    std::vector<CComPtr<IActiveScript>> engines;
    {
        std::lock_guard guard(m_haltLock);
        engines = m_haltEngines;
    }
    EXCEPINFO info;
    info.bstrSource = BSTR(u"CScriptInstance::Halt");
    for (auto& engine : engines)
        engine->InterruptScriptThread(SCRIPTTHREADID_ALL, &info, 0);
    return S_OK;
}

void CScriptInstance::CloseEngines() {
    std::map<CLSID, CComPtr<IActiveScript>> engines;
    {
        std::lock_guard haltGuard(m_haltLock);
        m_haltEngines.clear();
    }
    engines.swap(m_mapScriptEngines);
    for (auto& [clsid, engine] : engines)
        engine->Close();
}

HRESULT CScriptInstance::Close() {
    try {
        CCritSecLock guard(m_lock);
        if (m_pEngine && m_pEngine->IsDebugging() && m_arrScriptContexts) {
            const ContextTable& contexts = *m_arrScriptContexts;
            for (auto& [clsid, engine] : m_mapScriptEngines) {
                for (std::size_t i = 0; i < contexts.size(); ++i) {
                    if (contexts[i].clsidEngine != clsid)
                        continue;
                    HRESULT hr =
                        m_pEngine->DetachEngine(contexts[i].dwSourceContext,
                                                contexts[i].dwSubContext, static_cast<DWORD>(i));
                    if (!CheckResult(hr))
                        return hr;
                }
            }
        }
        CloseEngines();
        m_mapNamedItems.clear();
        return S_OK;
    } catch (...) {
        return ReportException("CScriptInstance::Close", CV_HERE);
    }
}

HRESULT CScriptInstance::Invoke(BSTR bstrFunction, const IID& riid, LCID lcid, WORD wFlags,
                                DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                UINT* puArgErr) {
    EXCEPINFO localInfo;
    if (!pExcepInfo)
        pExcepInfo = &localInfo;
    try {
        CCritSecLock guard(m_lock);
        std::vector<CComPtr<IDispatch>> dispatches;
        for (auto& [clsid, engine] : m_mapScriptEngines) {
            CComPtr<IDispatch> disp;
            if (SUCCEEDED(engine->GetScriptDispatch(BSTR(), disp.Receive())) && disp)
                dispatches.push_back(std::move(disp));
        }
        const std::u16string name = bstrFunction.Str();
        const char16_t* names[] = {name.c_str()};
        for (auto& disp : dispatches) {
            DISPID id = DISPID_UNKNOWN;
            if (FAILED(disp->GetIDsOfNames(GUID_NULL, names, 1, lcid, &id)))
                continue;
            try {
                return disp->Invoke(id, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                                    puArgErr);
            } catch (...) {
                ReportException("CScriptInstance::Invoke", CV_HERE);
                return pExcepInfo->scode ? pExcepInfo->scode : DISP_E_EXCEPTION;
            }
        }
        CheckExpression(DISP_E_UNKNOWNNAME);
        return DISP_E_UNKNOWNNAME;
    } catch (...) {
        return ReportException("CScriptInstance::Invoke", CV_HERE);
    }
}

HRESULT CScriptInstance::GetLCID(LCID* plcid) {
    if (CheckExpression(!plcid))
        return E_POINTER;
    if (CheckExpression(!m_pEngine))
        return E_UNEXPECTED;
    return m_pEngine->GetLCID(plcid);
}

HRESULT CScriptInstance::ItemInfoOf(IDispatch* pDisp, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                    ITypeInfo** ppti) {
    if (dwReturnMask & SCRIPTINFO_ITYPEINFO) {
        HRESULT hr = pDisp->GetTypeInfo(0, LOCALE_USER_DEFAULT, ppti);
        if (!CheckResult(hr))
            return hr;
    }
    if (dwReturnMask & SCRIPTINFO_IUNKNOWN) {
        HRESULT hr = pDisp->QueryInterface(IIDOf<IUnknown>(), reinterpret_cast<void**>(ppiunkItem));
        if (!CheckResult(hr)) {
            if (ppti && *ppti) {
                (*ppti)->Release();
                *ppti = nullptr;
            }
            return hr;
        }
    }
    return S_OK;
}

HRESULT CScriptInstance::GetItemInfo(const BSTR& name, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                     ITypeInfo** ppti) {
    if (CheckExpression(((dwReturnMask & SCRIPTINFO_ITYPEINFO) && !ppti) ||
                        ((dwReturnMask & SCRIPTINFO_IUNKNOWN) && !ppiunkItem)))
        return E_INVALIDARG;
    if (ppti)
        *ppti = nullptr;
    if (ppiunkItem)
        *ppiunkItem = nullptr;
    try {
        CCritSecLock guard(m_lock);
        std::u16string progId;
        if (ParseGlobalMembersName(name.View(), &progId)) {
            CLSID clsid;
            HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
            if (!CheckResult(hr))
                return hr;
            auto found = m_mapScriptEngines.find(clsid);
            if (found == m_mapScriptEngines.end())
                return TYPE_E_ELEMENTNOTFOUND;
            CComPtr<IDispatch> disp;
            hr = found->second->GetScriptDispatch(BSTR(), disp.Receive());
            if (!CheckResult(hr))
                return hr;
            return ItemInfoOf(disp.Get(), dwReturnMask, ppiunkItem, ppti);
        }
        auto found = m_mapNamedItems.find(name.Str());
        if (found == m_mapNamedItems.end())
            return TYPE_E_ELEMENTNOTFOUND;
        return ItemInfoOf(found->second.pDisp.Get(), dwReturnMask, ppiunkItem, ppti);
    } catch (...) {
        return ReportException("CScriptInstance::GetItemInfo", CV_HERE);
    }
}

HRESULT CScriptInstance::GetDocVersionString(BSTR*) {
    return E_NOTIMPL;
}
HRESULT CScriptInstance::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) {
    return S_OK;
}
HRESULT CScriptInstance::OnStateChange(SCRIPTSTATE) {
    return S_OK;
}
HRESULT CScriptInstance::OnEnterScript() {
    return S_OK;
}
HRESULT CScriptInstance::OnLeaveScript() {
    return S_OK;
}

HRESULT CScriptInstance::OnScriptError(IActiveScriptError* pscripterror) {
    if (CheckExpression(!pscripterror))
        return E_POINTER;
    try {
        EXCEPINFO info;
        HRESULT hr = pscripterror->GetExceptionInfo(&info);
        if (!CheckResult(hr))
            return hr;
        if (info.pfnDeferredFillIn) {
            info.pfnDeferredFillIn(&info);
            info.pfnDeferredFillIn = nullptr;
        }
        if (info.scode == E_FAIL)
            return S_OK;
        DWORD cookie = 0;
        ULONG line = 0;
        LONG character = 0;
        hr = pscripterror->GetSourcePosition(&cookie, &line, &character);
        if (!CheckResult(hr))
            return hr;
        std::shared_ptr<const ContextTable> contexts;
        {
            CCritSecLock guard(m_lock);
            contexts = m_arrScriptContexts;
        }
        if (CheckExpression(!contexts || cookie >= contexts->size()))
            return E_INVALIDARG;
        const ScriptContext& context = (*contexts)[cookie];
        // Line n > 0 starts after the line feed that entry n records.
        if (CheckExpression(line + 1 >= context.arrLines.size() || character < 0))
            return E_INVALIDARG;
        const ULONG lineStart = line == 0 ? 0 : context.arrLines[line] + 1;
        const ULONG position = lineStart + static_cast<ULONG>(character);
        return m_pEngine->OnScriptError(context.dwSourceContext, context.dwSubContext, position,
                                        &info);
    } catch (...) {
        return ReportException("CScriptInstance::OnScriptError", CV_HERE);
    }
}

HRESULT CScriptInstance::GetDocumentContextFromPosition(DWORD dwSourceContext,
                                                        ULONG uCharacterOffset, ULONG uNumChars,
                                                        IDebugDocumentContext** ppsc) {
    if (CheckExpression(!ppsc))
        return E_POINTER;
    *ppsc = nullptr;
    try {
        CCritSecLock guard(m_lock);
        if (CheckExpression(dwSourceContext >= m_arrScriptContexts->size()))
            return E_INVALIDARG;
        const ScriptContext& context = (*m_arrScriptContexts)[dwSourceContext];
        if (CheckExpression(m_mapScriptEngines.count(context.clsidEngine) == 0))
            return E_UNEXPECTED;
        return m_pEngine->GetDocumentContextFromPosition(
            context.dwSourceContext, context.dwSubContext, uCharacterOffset, uNumChars, ppsc);
    } catch (...) {
        return ReportException("CScriptInstance::GetDocumentContextFromPosition", CV_HERE);
    }
}

HRESULT CScriptInstance::GetApplication(IDebugApplication32** ppda) {
    if (CheckExpression(!m_pEngine))
        return E_UNEXPECTED;
    return m_pEngine->GetApplication(ppda);
}

HRESULT CScriptInstance::GetRootApplicationNode(IDebugApplicationNode** ppdanRoot) {
    if (CheckExpression(!ppdanRoot))
        return E_POINTER;
    CCritSecLock guard(m_lock);
    *ppdanRoot = CComPtr<IDebugApplicationNode>(m_ptrCurrDAN).Detach();
    return S_OK;
}

HRESULT CScriptInstance::OnScriptErrorDebug(IActiveScriptErrorDebug* pErrorDebug,
                                            BOOL* pfEnterDebugger,
                                            BOOL* pfCallOnScriptErrorWhenContinuing) {
    if (CheckExpression(!m_pEngine))
        return E_UNEXPECTED;
    return m_pEngine->OnScriptErrorDebug(pErrorDebug, pfEnterDebugger,
                                         pfCallOnScriptErrorWhenContinuing);
}

HRESULT CScriptInstance::QueryService(const GUID& guidService, const IID& riid, void** ppv) {
    if (CheckExpression(!ppv))
        return E_POINTER;
    *ppv = nullptr;
    if (guidService != IIDOf<IActiveScriptSite>())
        return E_NOINTERFACE;
    return QueryInterface(riid, ppv);
}
