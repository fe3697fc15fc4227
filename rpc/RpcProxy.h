// CRpcProxy: the local stand-in for an object of the peer process.
//
// One proxy exists per (connection, remote object id); the connection's proxy map finds
// it again when the same object arrives a second time, and its QueryInterface(IUnknown)
// answers the proxy itself, so identity tests work across processes. It forwards
// IDispatch (GetIDsOfNames and Invoke; answered only when the remote object is a
// dispatch object) and IRpcCall (calls of custom interfaces by method ordinal).
//
// Counting: the proxy keeps its own reference count, and separately the number of
// references the peer's export table holds for it (one per time the object was sent);
// when the last local reference goes, the connection sends a release of those.
#pragma once

#include <atomic>
#include <memory>

#include "rpc/IRpcCall.h"

class CRpcConnection;

class CRpcProxy final : public IDispatch, public IRpcCall {
public:
    CRpcProxy(std::shared_ptr<CRpcConnection> connection, std::uint64_t id, bool dispatch);

    // IUnknown
    HRESULT QueryInterface(const IID& iid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IDispatch
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // IRpcCall
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                    VARIANT* pResult) override;

    // Takes a reference only while the count is above zero (a proxy whose count reached
    // zero is on its way out and must not be handed out again).
    bool TryAddRef();

    CRpcConnection* Connection() const { return m_connection.get(); }
    std::uint64_t RemoteId() const { return m_id; }
    bool IsDispatch() const { return m_dispatch; }

    // The peer's references held for this proxy; guarded by the connection's lock.
    std::uint32_t m_cRemoteRefs = 0;

private:
    ~CRpcProxy() = default;

    std::atomic<ULONG> m_cRef{1};
    std::shared_ptr<CRpcConnection> m_connection;
    const std::uint64_t m_id;
    const bool m_dispatch;
};
