// CPelloraProxy: IPellora over the object RPC, for a tray object that arrives from another
// process.
//
// An object that crosses the RPC arrives as a proxy that answers IRpcCall (calls by
// method ordinal) but not IPellora itself. This wrapper maps each IPellora operation onto
// its ordinal in slot order (BubbleHelp 1 … GetPrivatePort 10). Its IUnknown identity is
// the wrapped proxy's, so two wrappers of the same remote tray compare as one object.
#pragma once

#include <atomic>

#include "idl/TrayInterfaces.h"
#include "rpc/IRpcCall.h"

class CPelloraProxy final : public IPellora {
public:
    // The tray behind `object`: itself when it is a local IPellora, else a wrapper of its
    // IRpcCall; null when it offers neither.
    static CComPtr<IPellora> FromUnknown(IUnknown* object);

    HRESULT QueryInterface(const IID& iid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                       const VARIANT& varExtras) override;
    HRESULT SetPrivatePort(USHORT Port) override;
    HRESULT SetTip(BSTR bstrTipText) override;
    HRESULT GetTip(BSTR* pbstrTipText) override;
    HRESULT SetIcon(BSTR bstrIcon) override;
    HRESULT GetIcon(BSTR* pbstrIcon) override;
    HRESULT GetMenu(IMenu** pVal) override;
    HRESULT TestAlive() override;
    HRESULT DestroyTrayIcon() override;
    HRESULT GetPrivatePort(USHORT* pPort) override;

private:
    CPelloraProxy(CComPtr<IRpcCall> call, CComPtr<IUnknown> identity)
        : m_call(std::move(call)), m_identity(std::move(identity)) {}
    ~CPelloraProxy() = default;
    HRESULT Call(ULONG method, UINT cArgs, VARIANT* rgArgs);

    std::atomic<ULONG> m_cRef{1};
    CComPtr<IRpcCall> m_call;
    CComPtr<IUnknown> m_identity;
};
