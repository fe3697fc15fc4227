// One run of the site's application script.
#include "storage/ApplicationScript.h"

#include <vector>

#include "com/DiagnosticLog.h"
#include "objects/ObjectInterfaces2.h"
#include "storage/StorageManager.h"

CApplicationScript::~CApplicationScript() {
    Close();
}

HRESULT CApplicationScript::Open(LCID lcid) {
    if (CheckExpression(m_ptrSI))
        return E_UNEXPECTED;
    try {
        CStorageManager* pManager = STORAGE_MANAGER::instance();
        if (CheckExpression(!pManager))
            return E_OUTOFMEMORY;
        CComPtr<IScriptEntity> ptrEntity;
        HRESULT hr = pManager->LoadEntity(lcid, kGlobalAsa, IIDOf<IScriptEntity>(),
                                          reinterpret_cast<IUnknown**>(ptrEntity.Receive()));
        if (!CheckResult(hr))
            return hr;
        hr = ptrEntity->Instantiate(m_ptrSI.Receive());
        if (!CheckResult(hr))
            return hr;
        m_lcid = lcid;
        return S_OK;
    } catch (...) {
        return ReportException("CApplicationScript::Open", CV_HERE);
    }
}

HRESULT CApplicationScript::AddNamedObject(std::u16string_view strName, IDispatch* pDisp) {
    if (CheckExpression(!m_ptrSI))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrSI->AddNamedObject(BSTR(strName), pDisp));
}

HRESULT CApplicationScript::Run() {
    if (CheckExpression(!m_ptrSI))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrSI->Run());
}

HRESULT CApplicationScript::Invoke(std::u16string_view strProcedure,
                                   std::span<const CComVariant> args, VARIANT* pResult) {
    if (CheckExpression(!m_ptrSI))
        return E_UNEXPECTED;
    try {
        // Dispatch takes the arguments last first.
        std::vector<CComVariant> arrArgs;
        arrArgs.reserve(args.size());
        for (auto it = args.rbegin(); it != args.rend(); ++it)
            arrArgs.emplace_back(*it);
        DISPPARAMS params{};
        params.rgvarg = arrArgs.empty() ? nullptr : arrArgs.data();
        params.cArgs = static_cast<UINT>(arrArgs.size());
        CComVariant varResult;
        const HRESULT hr = m_ptrSI->Invoke(BSTR(strProcedure), GUID_NULL, m_lcid, DISPATCH_METHOD,
                                           &params, &varResult, nullptr, nullptr);
        // A procedure the file does not define is the caller's to judge.
        if (hr != DISP_E_UNKNOWNNAME && !CheckResult(hr))
            return hr;
        if (SUCCEEDED(hr) && pResult)
            return CheckResultValue(VariantCopy(pResult, &varResult));
        return hr;
    } catch (...) {
        return ReportException("CApplicationScript::Invoke", CV_HERE);
    }
}

HRESULT CApplicationScript::Close() {
    if (!m_ptrSI)
        return S_OK;
    try {
        // A script that stopped between Application.Lock and UnLock must not keep every
        // other thread out of the application.
        CComPtr<IDispatch> ptrApplication;
        if (SUCCEEDED(m_ptrSI->GetNamedObject(BSTR(u"Application"), ptrApplication.Receive())) &&
            ptrApplication)
            if (CComPtr<IApplicationEx> ptrAppEx = ComQuery<IApplicationEx>(ptrApplication.Get()))
                ptrAppEx->ReleaseScriptLocks();
        CComPtr<IScriptInstance> ptrSI = std::move(m_ptrSI);
        return CheckResultValue(ptrSI->Close());
    } catch (...) {
        return ReportException("CApplicationScript::Close", CV_HERE);
    }
}
