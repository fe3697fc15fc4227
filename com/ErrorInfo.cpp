// The per-thread error record.
#include "com/ErrorInfo.h"

#include "com/DiagnosticLog.h"

namespace {
thread_local CComPtr<IErrorInfo> t_lastError;
}  // namespace

HRESULT CErrorInfo::GetGUID(GUID* pGUID) {
    if (CheckExpression(!pGUID))
        return E_POINTER;
    *pGUID = m_iid;
    return S_OK;
}

HRESULT CErrorInfo::GetSource(BSTR* pBstrSource) {
    if (CheckExpression(!pBstrSource))
        return E_POINTER;
    *pBstrSource = m_source;
    return S_OK;
}

HRESULT CErrorInfo::GetDescription(BSTR* pBstrDescription) {
    if (CheckExpression(!pBstrDescription))
        return E_POINTER;
    *pBstrDescription = m_description;
    return S_OK;
}

HRESULT CErrorInfo::GetHelpFile(BSTR* pBstrHelpFile) {
    if (CheckExpression(!pBstrHelpFile))
        return E_POINTER;
    *pBstrHelpFile = BSTR();
    return S_OK;
}

HRESULT CErrorInfo::GetHelpContext(DWORD* pdwHelpContext) {
    if (CheckExpression(!pdwHelpContext))
        return E_POINTER;
    *pdwHelpContext = 0;
    return S_OK;
}

HRESULT SetErrorInfo(DWORD dwReserved, IErrorInfo* perrinfo) {
    if (CheckExpression(dwReserved != 0))
        return E_INVALIDARG;
    t_lastError = perrinfo;
    return S_OK;
}

HRESULT GetErrorInfo(DWORD dwReserved, IErrorInfo** pperrinfo) {
    if (CheckExpression(!pperrinfo))
        return E_POINTER;
    *pperrinfo = nullptr;
    if (CheckExpression(dwReserved != 0))
        return E_INVALIDARG;
    *pperrinfo = t_lastError.Detach();
    return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT ReportError(HRESULT hr, std::u16string_view source, std::u16string_view description) {
    try {
        CComPtr<CErrorInfo> info = MakeObject<CErrorInfo>(hr, BSTR(source), BSTR(description));
        SetErrorInfo(0, info.Get());
    } catch (...) {
        ReportException("ReportError", CV_HERE);
    }
    return hr;
}
