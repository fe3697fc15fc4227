// The ASP entity: compiling a page once and running it for each request.
#include "pages/entities/ASPEntity.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

#include "com/CComVariant.h"
#include "com/ClassRegistry.h"
#include "com/CodePage.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "idl/DispatchIds.h"
#include "idl/Identifiers.h"
#include "idl/Resources.h"
#include "pages/entities/WriteFormats.h"
#include "script/engine/ActiveScript.h"
#include "sessions/UserObject.h"
#include "storage/StorageManager.h"

namespace {

// Appended to the critical-error message when a debugger could be started.
constexpr const char* kDebugQuestion = "\n\nDo you wish to debug?";

std::mutex& HookLock() {
    static std::mutex s_lock;
    return s_lock;
}
CASPEntity::ServerObjectFactory& ServerFactory() {
    static CASPEntity::ServerObjectFactory s_factory;
    return s_factory;
}
CASPEntity::CriticalErrorNotifier& Notifier() {
    static CASPEntity::CriticalErrorNotifier s_notifier;
    return s_notifier;
}

// IRequest and IApplication are the object model's dual interfaces, declared where
// they are implemented; each derives from IDispatch alone, so its IUnknown sits at the
// same address and the object can be asked for IDispatch through it.
template <class I>
HRESULT DispatchOf(I* p, CComPtr<IDispatch>* pptrDisp) {
    return reinterpret_cast<IUnknown*>(p)->QueryInterface(IIDOf<IDispatch>(),
                                                          pptrDisp->ReceiveVoid());
}

template <class... Args>
std::string Format(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0)
        return {};
    std::string str(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(str.data(), str.size(), format, args...);
    str.resize(static_cast<size_t>(n));
    return str;
}

// The compiler hands its pages and scripts to the entity's engine.
class CEngineTarget : public CASPCompiler::Target {
public:
    explicit CEngineTarget(CScriptEngine* pEngine) : m_pEngine(pEngine) {}
    HRESULT AddScriptPage(ITextPage* pPage, ITextPage* pParentPage, DWORD* pdwContext) override {
        return m_pEngine->AddScriptPage(pPage, pParentPage, pdwContext);
    }
    HRESULT AddScript(const BSTR& strLanguage, const BSTR& strScript, DWORD dwContext,
                      const std::vector<CScriptEngine::ScriptBlock>& arrBlocks) override {
        return m_pEngine->AddScript(strLanguage, strScript, dwContext, arrBlocks);
    }

private:
    CScriptEngine* m_pEngine;
};

}  // namespace

HRESULT CASPEntity::RegisterClass() {
    return CheckResultValue(
        CClassRegistry::Instance().RegisterClass<CASPEntity>(CLSID_ASPEntity, PROGID_ASPEntity));
}

void CASPEntity::SetServerObjectFactory(ServerObjectFactory factory) {
    std::lock_guard guard(HookLock());
    ServerFactory() = std::move(factory);
}

void CASPEntity::SetCriticalErrorNotifier(CriticalErrorNotifier notifier) {
    std::lock_guard guard(HookLock());
    Notifier() = std::move(notifier);
}

CASPEntity::CASPEntity() = default;

CASPEntity::~CASPEntity() = default;

void CASPEntity::FinalRelease() {
    // The engine and its root instance hold each other until the engine is closed.
    if (m_pEngine) {
        m_pEngine->Close();
        m_pEngine.Reset();
    }
}

void CASPEntity::SetPageLoader(CASPCompiler::PageLoader loader) {
    CCritSecLock lock(m_cs);
    m_loader = std::move(loader);
}

HRESULT CASPEntity::Init(LCID lcid, IApplication* pApp, IPage* pPage) {
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(!pPage))
            return E_INVALIDARG;
        if (CheckExpression(m_pEngine))
            return E_UNEXPECTED;
        BSTR strName;
        HRESULT hr = pPage->GetName(&strName);
        if (!CheckResult(hr))
            return hr;
        m_lcid = lcid;
        m_uCodePage = GetACP();
        if (pApp) {
            hr = DispatchOf(pApp, &m_ptrApplication);
            if (!CheckResult(hr))
                return hr;
        }
        hr = pPage->QueryInterface(IIDOf<ITextPage>(), m_ptrPage.ReceiveVoid());
        if (!CheckResult(hr))
            return hr;

        CComPtr<CScriptEngine> pEngine = MakeObject<CScriptEngine>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = pEngine->Init(this);
        if (!CheckResult(hr)) {
            pEngine->Close();
            return hr;
        }
        m_pEngine = pEngine;

        CASPCompiler::PageLoader loader = m_loader ? m_loader : StorageManagerLoader();
        CEngineTarget target(m_pEngine.Get());
        CASPCompiler compiler(target, std::move(loader), CWriteFormats::Process(), m_lcid);
        hr = compiler.Compile(m_ptrPage.Get());
        if (!CheckResult(hr)) {
            m_pEngine->Close();
            m_pEngine.Reset();
            return hr;
        }
        m_strLanguage = compiler.Language();
        m_lcid = compiler.GetLCID();
        m_uCodePage = compiler.GetCodePage();
        m_arrWriteBlocks = std::move(compiler.WriteBlocks());
        return S_OK;
    } catch (...) {
        return ReportException("CASPEntity::Init", CV_HERE);
    }
}

HRESULT CASPEntity::GetLCID(LCID* plcid) {
    if (CheckExpression(!plcid))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        if (!m_bRunning || !m_ptrRunningResponse) {
            *plcid = m_lcid;
            return S_OK;
        }
        // A script may have changed Response.LCID.
        CComVariant varLcid;
        DISPPARAMS params;
        HRESULT hr =
            m_ptrRunningResponse->Invoke(DISPID_IRESPONSE_LCID, GUID(), m_lcid,
                                         DISPATCH_PROPERTYGET, &params, &varLcid, nullptr, nullptr);
        if (!CheckResult(hr))
            return hr;
        CComVariant varLong;
        hr = VariantChangeType(&varLong, &varLcid, 0, VT_I4);
        if (!CheckResult(hr))
            return hr;
        *plcid = static_cast<LCID>(varLong.lVal);
        return S_OK;
    } catch (...) {
        return ReportException("CASPEntity::GetLCID", CV_HERE);
    }
}

HRESULT CASPEntity::Close() {
    try {
        CCritSecLock lock(m_cs);
        if (!m_pEngine)
            return S_OK;
        const HRESULT hr = m_pEngine->Close();
        if (!CheckResult(hr))
            return hr;
        m_pEngine.Reset();
        return S_OK;
    } catch (...) {
        return ReportException("CASPEntity::Close", CV_HERE);
    }
}

HRESULT CASPEntity::Get(IRequest* pRequest, IUserObject* pSession, IHTTPResponse* pResponse) {
    if (CheckExpression(!pResponse))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(!m_pEngine))
            return E_UNEXPECTED;
        if (m_ptrSI) {
            m_ptrSI->Halt();
            EndRun();
        }

        BSTR strMimeType;
        HRESULT hr = m_ptrPage->GetMimeType(&strMimeType);
        if (!CheckResult(hr))
            return hr;
        if (strMimeType.View() == u"text/asp")
            strMimeType = BSTR(u"text/html");
        hr = pResponse->put_ContentType(strMimeType);
        if (!CheckResult(hr))
            return hr;
        hr = pResponse->put_CodePage(static_cast<LONG>(m_uCodePage));
        if (!CheckResult(hr))
            return hr;
        hr = pResponse->put_LCID(static_cast<LONG>(m_lcid));
        if (!CheckResult(hr))
            return hr;

        hr = m_pEngine->Instantiate(m_ptrSI.Receive());
        if (!CheckResult(hr))
            return hr;
        CComPtr<IDispatch> ptrResponse;
        hr = pResponse->QueryInterface(IIDOf<IDispatch>(), ptrResponse.ReceiveVoid());
        if (CheckResult(hr))
            hr = AddNamedObjects(ptrResponse.Get(), pRequest, pSession);
        if (!CheckResult(hr)) {
            EndRun();
            return hr;
        }

        m_ptrRunningResponse = ptrResponse;
        m_bRunning = true;
        hr = m_ptrSI->Run();
        EndRun();
        // A script error has been written into the page where its output stopped: the
        // page is served with it, not replaced by the internal-error page.
        if (hr == SCRIPT_E_REPORTED)
            return S_OK;
        return CheckResultValue(hr);
    } catch (...) {
        EndRun();
        return ReportException("CASPEntity::Get", CV_HERE);
    }
}

HRESULT CASPEntity::AddNamedObjects(IDispatch* pResponse, IRequest* pRequest,
                                    IUserObject* pSession) {
    HRESULT hr = m_ptrSI->AddNamedObject(BSTR(u"Response"), pResponse);
    if (!CheckResult(hr))
        return hr;
    // The request, application and user are added when the caller has them.
    if (pRequest) {
        CComPtr<IDispatch> ptrRequest;
        hr = DispatchOf(pRequest, &ptrRequest);
        if (!CheckResult(hr))
            return hr;
        hr = m_ptrSI->AddNamedObject(BSTR(u"Request"), ptrRequest.Get());
        if (!CheckResult(hr))
            return hr;
    }
    if (m_ptrApplication) {
        hr = m_ptrSI->AddNamedObject(BSTR(u"Application"), m_ptrApplication.Get());
        if (!CheckResult(hr))
            return hr;
    }
    CComPtr<IDispatch> ptrServer;
    hr = CreateServerObject(ptrServer.Receive());
    if (!CheckResult(hr))
        return hr;
    if (ptrServer) {
        hr = m_ptrSI->AddNamedObject(BSTR(u"Server"), ptrServer.Get());
        if (!CheckResult(hr))
            return hr;
    }
    if (pSession) {
        hr = m_ptrSI->AddNamedObject(BSTR(u"User"), pSession);
        if (!CheckResult(hr))
            return hr;
    }
    return S_OK;
}

void CASPEntity::EndRun() {
    if (m_ptrSI) {
        m_ptrSI->Close();
        m_ptrSI.Reset();
    }
    m_ptrRunningResponse.Reset();
    m_bRunning = false;
    // A page that stopped between Application.Lock and UnLock must not keep every other
    // thread out of the application.
    if (m_ptrApplication)
        if (CComPtr<IApplicationEx> ptrAppEx = ComQuery<IApplicationEx>(m_ptrApplication.Get()))
            ptrAppEx->ReleaseScriptLocks();
}

HRESULT CASPEntity::GetBlockText(ULONG ulBlockNumber, BSTR* pbstrText) {
    if (CheckExpression(!pbstrText))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(ulBlockNumber >= m_arrWriteBlocks.size()))
            return E_INVALIDARG;
        *pbstrText = m_arrWriteBlocks[ulBlockNumber].strText;
        return S_OK;
    } catch (...) {
        return ReportException("CASPEntity::GetBlockText", CV_HERE);
    }
}

HRESULT CASPEntity::End() {
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(!m_bRunning || !m_ptrSI))
            return E_UNEXPECTED;
        return CheckResultValue(m_ptrSI->Halt());
    } catch (...) {
        return ReportException("CASPEntity::End", CV_HERE);
    }
}

HRESULT CASPEntity::FormatScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                      std::u16string* pstrText) {
    if (CheckExpression(!pPage || !pei || !pstrText))
        return E_INVALIDARG;
    ULONG ulLine = 0;
    HRESULT hr = pPage->GetLineOfPosition(ulCharPos, &ulLine);
    if (!CheckResult(hr))
        return hr;
    ULONG ulLineStart = 0;
    hr = pPage->GetPositionOfLine(ulLine, &ulLineStart);
    if (!CheckResult(hr))
        return hr;
    // The page's lookup gives the line before for the first character of a line; the
    // error stands on the line that starts there.
    ULONG ulNextStart = 0;
    if (ulCharPos > ulLineStart && pPage->GetPositionOfLine(ulLine + 1, &ulNextStart) == S_OK &&
        ulNextStart == ulCharPos) {
        ++ulLine;
        ulLineStart = ulNextStart;
    }
    BSTR strName;
    hr = pPage->GetName(&strName);
    if (!CheckResult(hr))
        return hr;
    const std::string strFormat(resources::LoadString(resources::IDS_SCRIPTERROR));
    const std::string strText =
        Format(strFormat.c_str(), pei->bstrSource.ToUtf8().c_str(),
               pei->bstrDescription.ToUtf8().c_str(), static_cast<unsigned long>(ulLine) + 1,
               static_cast<unsigned long>(ulCharPos - ulLineStart) + 1, strName.ToUtf8().c_str());
    *pstrText = Utf8ToUtf16(strText);
    return S_OK;
}

CASPCompiler::PageLoader CASPEntity::StorageManagerLoader() {
    return [](LCID lcidPage, std::u16string_view strPage, IPage** ppPage) {
        CStorageManager* pManager = STORAGE_MANAGER::instance();
        if (CheckExpression(!pManager))
            return E_OUTOFMEMORY;
        return pManager->LoadPage(lcidPage, strPage, ppPage);
    };
}

HRESULT CASPEntity::CreateServerObject(IDispatch** ppServer) {
    if (CheckExpression(!ppServer))
        return E_POINTER;
    *ppServer = nullptr;
    ServerObjectFactory factory;
    {
        std::lock_guard guard(HookLock());
        factory = ServerFactory();
    }
    if (!factory)
        return S_FALSE;
    HRESULT hr = factory(ppServer);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(!*ppServer))
        return E_UNEXPECTED;
    return S_OK;
}

HRESULT CASPEntity::OnScriptError(ITextPage* pPage, ULONG ulCharPos, const EXCEPINFO* pei,
                                  bool bCanDebug) {
    if (CheckExpression(!pPage || !pei))
        return E_INVALIDARG;
    try {
        CCritSecLock lock(m_cs);
        std::u16string strErrorText;
        HRESULT hr = FormatScriptError(pPage, ulCharPos, pei, &strErrorText);
        if (!CheckResult(hr))
            return hr;
        if (m_ptrRunningResponse) {
            CComVariant varText(BSTR{strErrorText});
            DISPPARAMS params;
            params.rgvarg = &varText;
            params.cArgs = 1;
            return CheckResultValue(m_ptrRunningResponse->Invoke(DISPID_IRESPONSE_WRITE, GUID(),
                                                                 m_lcid, DISPATCH_METHOD, &params,
                                                                 nullptr, nullptr, nullptr));
        }
        return ReportCriticalError(strErrorText, bCanDebug);
    } catch (...) {
        return ReportException("CASPEntity::OnScriptError", CV_HERE);
    }
}

HRESULT CASPEntity::ReportCriticalError(const std::u16string& strErrorText, bool bCanDebug) {
    // No message box on this platform: the text goes to the diagnostic log, the journal
    // and the tray program. Nobody can answer the debug question, so it is answered no.
    const std::string strFormat(resources::LoadString(resources::IDS_CRITICALERROR));
    std::string strMessage = Format(strFormat.c_str(), Utf16ToUtf8(strErrorText).c_str());
    if (bCanDebug)
        strMessage += kDebugQuestion;
    WriteLog(strMessage, nullptr);
    syslog(LOG_ERR, "%s", strMessage.c_str());
    CriticalErrorNotifier notifier;
    {
        std::lock_guard guard(HookLock());
        notifier = Notifier();
    }
    if (notifier)
        notifier(Utf8ToUtf16(resources::LoadString(resources::IDS_SERVICENAME)),
                 Utf8ToUtf16(strMessage));
    return S_OK;
}
