// Relayed connections judged by the site's application script.
#include "passthru/ScriptFilterPolicy.h"

#include <utility>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "http/HTTPRequest.h"
#include "objects/RequestObject.h"
#include "passthru/ConnectionObject.h"
#include "passthru/FilterObject.h"
#include "sessions/ProcessSession.h"
#include "storage/ApplicationScript.h"

namespace {

// A script error that the script host has already reported.
constexpr HRESULT SCRIPT_E_REPORTED = MakeHResult(0x80020101);

// The process session behind a relay's session, when it is one and its process runs.
CProcessSession* OpenSession(IUnknown* pSession) {
    auto* pProcess = dynamic_cast<CProcessSession*>(pSession);
    return pProcess && pProcess->IsOpenRecently() ? pProcess : nullptr;
}

// Opens "global.asa" for the session's locale with "User" and "Connection" added.
HRESULT OpenScript(CProcessSession* pSession, const CConnectionFacts& facts,
                   CApplicationScript& script) {
    LONG lLcid = 0;
    HRESULT hr = pSession->get_LCID(&lLcid);
    if (!CheckResult(hr))
        return hr;
    hr = script.Open(static_cast<LCID>(lLcid));
    if (!CheckResult(hr))
        return hr;
    hr = script.AddNamedObject(u"User", static_cast<IUserObject*>(pSession));
    if (!CheckResult(hr))
        return hr;
    BSTR bstrProcess;
    CheckResult(pSession->get_CurrentProcess(&bstrProcess));
    CComPtr<CConnectionObject> ptrConnection =
        CConnectionObject::Create(facts.protocol, facts.strHost, facts.strServerName, bstrProcess);
    if (CheckExpression(!ptrConnection))
        return E_OUTOFMEMORY;
    return CheckResultValue(
        script.AddNamedObject(u"Connection", static_cast<IConnection*>(ptrConnection.Get())));
}

}  // namespace

bool CScriptFilterPolicy::IsProtocolAllowed(const CConnectionFacts& facts) {
    try {
        CProcessSession* pSession = OpenSession(facts.ptrSession.Get());
        if (!pSession)
            return false;
        CApplicationScript script;
        HRESULT hr = OpenScript(pSession, facts, script);
        if (SUCCEEDED(hr))
            hr = script.Run();
        if (FAILED(hr))
            return false;
        const CComVariant args[2] = {CComVariant(static_cast<LONG>(facts.protocol)),
                                     CComVariant(BSTR::FromUtf8(facts.strHost))};
        CComVariant varResult;
        hr = script.Invoke(u"Filtering_IsProtocolAllowed", args, &varResult);
        script.Close();
        if (hr == DISP_E_UNKNOWNNAME)
            return true;
        if (FAILED(hr))
            return false;
        // Only the Boolean True allows: a number or a string that looks true does not.
        return varResult.vt == VT_BOOL && varResult.boolVal == VARIANT_TRUE;
    } catch (...) {
        ReportException("CScriptFilterPolicy::IsProtocolAllowed", CV_HERE);
        return false;
    }
}

HRESULT CScriptFilterPolicy::ClassifyRequest(const CConnectionFacts& facts,
                                             const CHTTPRequest& request,
                                             IFilterDecision* pDecision) {
    if (CheckExpression(!pDecision))
        return E_POINTER;
    try {
        CProcessSession* pSession = OpenSession(facts.ptrSession.Get());
        if (!pSession)
            return CheckResultValue(pDecision->Close());
        CApplicationScript script;
        HRESULT hr = OpenScript(pSession, facts, script);
        if (!CheckResult(hr))
            return hr;
        CComPtr<CFilterObject> ptrFilter = MakeObject<CFilterObject>(&hr);
        if (!CheckResult(hr))
            return hr;
        ptrFilter->Init(pDecision, script.Instance());
        hr = script.AddNamedObject(u"Filter", static_cast<IFilterObject*>(ptrFilter.Get()));
        if (!CheckResult(hr))
            return hr;
        hr = script.Run();
        if (!CheckResult(hr))
            return hr;
        CComPtr<CRequestObject> ptrRequest = MakeObject<CRequestObject>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrRequest->Init(&request, nullptr);
        if (!CheckResult(hr))
            return hr;
        const CComVariant args[2] = {CComVariant(static_cast<IDispatch*>(ptrRequest.Get())),
                                     CComVariant(BSTR::FromUtf8(request.GetFullURL()))};
        hr = script.Invoke(u"Filtering_IsHTTPAllowed", args);
        const HRESULT hrClose = script.Close();
        // The error has been reported with its position; the data stays held unless the
        // script decided before it. A runtime error inside a procedure that the host
        // called comes back through dispatch as an exception, after the engine has
        // reported it to the host.
        if (hr == SCRIPT_E_REPORTED || hr == DISP_E_EXCEPTION)
            return S_OK;
        return FAILED(hr) ? hr : hrClose;
    } catch (...) {
        return ReportException("CScriptFilterPolicy::ClassifyRequest", CV_HERE);
    }
}
