// CRpcProxy: forwards IDispatch and IRpcCall calls to the peer's object.
#include "rpc/RpcProxy.h"

#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"
#include "rpc/RpcConnection.h"

CRpcProxy::CRpcProxy(std::shared_ptr<CRpcConnection> connection, std::uint64_t id, bool dispatch)
    : m_connection(std::move(connection)), m_id(id), m_dispatch(dispatch) {}

HRESULT CRpcProxy::QueryInterface(const IID& iid, void** ppv) {
    if (CheckExpression(!ppv))
        return E_POINTER;
    *ppv = nullptr;
    if (iid == IIDOf<IUnknown>())
        *ppv = static_cast<IUnknown*>(static_cast<IDispatch*>(this));
    else if (iid == IIDOf<IDispatch>() && m_dispatch)
        *ppv = static_cast<IDispatch*>(this);
    else if (iid == IIDOf<IRpcCall>())
        *ppv = static_cast<IRpcCall*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CRpcProxy::AddRef() {
    return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool CRpcProxy::TryAddRef() {
    ULONG n = m_cRef.load(std::memory_order_relaxed);
    while (n != 0)
        if (m_cRef.compare_exchange_weak(n, n + 1, std::memory_order_relaxed))
            return true;
    return false;
}

ULONG CRpcProxy::Release() {
    ULONG n = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) {
        // Keeps the connection alive until the release has been sent.
        std::shared_ptr<CRpcConnection> connection = m_connection;
        connection->ProxyGone(this);
        delete this;
    }
    return n;
}

HRESULT CRpcProxy::GetTypeInfoCount(UINT* pctinfo) {
    if (CheckExpression(!pctinfo))
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT CRpcProxy::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT CRpcProxy::GetIDsOfNames(const IID&, const char16_t** rgszNames, UINT cNames, LCID lcid,
                                 DISPID* rgDispId) {
    if (CheckExpression(!rgszNames || !rgDispId || cNames == 0))
        return E_POINTER;
    try {
        for (UINT i = 1; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        CComVariant name(rgszNames[0]);
        CComVariant id;
        HRESULT hr = m_connection->Call(m_id, GUID_NULL, 0, RPC_CALL_GETIDSOFNAMES, lcid, 1, &name,
                                        0, nullptr, &id, nullptr, nullptr);
        if (FAILED(hr)) {
            rgDispId[0] = DISPID_UNKNOWN;
            return hr;
        }
        rgDispId[0] = id.vt == VT_I4 ? id.lVal : DISPID_UNKNOWN;
        return cNames > 1 ? DISP_E_UNKNOWNNAME : S_OK;
    } catch (...) {
        return ReportException("CRpcProxy::GetIDsOfNames", CV_HERE);
    }
}

HRESULT CRpcProxy::Invoke(DISPID dispIdMember, const IID&, LCID lcid, WORD wFlags,
                          DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                          UINT*) {
    try {
        DISPPARAMS none;
        DISPPARAMS* params = pDispParams ? pDispParams : &none;
        BSTR source, description;
        HRESULT hr = m_connection->Call(
            m_id, GUID_NULL, dispIdMember, wFlags, lcid, params->cArgs, params->rgvarg,
            params->cNamedArgs, params->rgdispidNamedArgs, pVarResult, &source, &description);
        if (FAILED(hr) && (!source.IsNull() || !description.IsNull())) {
            if (!pExcepInfo)
                return hr;
            *pExcepInfo = EXCEPINFO();
            pExcepInfo->bstrSource = source;
            pExcepInfo->bstrDescription = description;
            pExcepInfo->scode = hr;
            return DISP_E_EXCEPTION;
        }
        return hr;
    } catch (...) {
        return ReportException("CRpcProxy::Invoke", CV_HERE);
    }
}

HRESULT CRpcProxy::RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                           VARIANT* pResult) {
    try {
        BSTR source, description;
        HRESULT hr =
            m_connection->Call(m_id, iid, static_cast<std::int32_t>(method), RPC_CALL_CUSTOM, 0,
                               cArgs, rgArgs, 0, nullptr, pResult, &source, &description);
        if (FAILED(hr) && (!source.IsNull() || !description.IsNull()))
            ReportError(hr, source.View(), description.View());
        return hr;
    } catch (...) {
        return ReportException("CRpcProxy::RpcCall", CV_HERE);
    }
}
