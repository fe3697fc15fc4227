// IPellora over IRpcCall; see PelloraProxy.h.
#include "service/PelloraProxy.h"

#include <new>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "sessions/MenuProxy.h"

namespace {

enum PelloraOrdinal : ULONG {
    kBubbleHelp = 1,
    kSetPrivatePort,
    kSetTip,
    kGetTip,
    kSetIcon,
    kGetIcon,
    kGetMenu,
    kTestAlive,
    kDestroyTrayIcon,
    kGetPrivatePort,
};

}  // namespace

CComPtr<IPellora> CPelloraProxy::FromUnknown(IUnknown* object) {
    if (!object)
        return nullptr;
    if (CComPtr<IPellora> local = ComQuery<IPellora>(object))
        return local;
    CComPtr<IRpcCall> call = ComQuery<IRpcCall>(object);
    if (!call)
        return nullptr;
    CComPtr<IPellora> wrapper;
    auto* proxy = new (std::nothrow) CPelloraProxy(call, ComQuery<IUnknown>(object));
    if (CheckExpression(!proxy))
        return nullptr;
    wrapper.Attach(proxy);
    return wrapper;
}

HRESULT CPelloraProxy::QueryInterface(const IID& iid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (iid == IIDOf<IUnknown>()) {
        // The remote object's identity, so identity tests see through the wrapper.
        m_identity->AddRef();
        *ppv = m_identity.Get();
        return S_OK;
    }
    if (iid == IIDOf<IPellora>()) {
        AddRef();
        *ppv = static_cast<IPellora*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG CPelloraProxy::AddRef() {
    return m_cRef.fetch_add(1) + 1;
}

ULONG CPelloraProxy::Release() {
    ULONG n = m_cRef.fetch_sub(1) - 1;
    if (n == 0)
        delete this;
    return n;
}

HRESULT CPelloraProxy::Call(ULONG method, UINT cArgs, VARIANT* rgArgs) {
    CComVariant result;
    return m_call->RpcCall(IID_IPellora, method, cArgs, rgArgs, &result);
}

HRESULT CPelloraProxy::BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                                  const VARIANT& varExtras) {
    CComVariant args[4] = {CComVariant(bstrTitle), CComVariant(bstrMessage),
                           CComVariant(bstrClickURL), CComVariant(varExtras)};
    return Call(kBubbleHelp, 4, args);
}

HRESULT CPelloraProxy::SetPrivatePort(USHORT Port) {
    CComVariant arg;
    arg.vt = VT_UI2;
    arg.uiVal = Port;
    return Call(kSetPrivatePort, 1, &arg);
}

HRESULT CPelloraProxy::SetTip(BSTR bstrTipText) {
    CComVariant arg(bstrTipText);
    return Call(kSetTip, 1, &arg);
}

HRESULT CPelloraProxy::GetTip(BSTR* pbstrTipText) {
    if (CheckExpression(!pbstrTipText))
        return E_POINTER;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR | VT_BYREF;
    arg.pbstrVal = pbstrTipText;
    return Call(kGetTip, 1, &arg);
}

HRESULT CPelloraProxy::SetIcon(BSTR bstrIcon) {
    CComVariant arg(bstrIcon);
    return Call(kSetIcon, 1, &arg);
}

HRESULT CPelloraProxy::GetIcon(BSTR* pbstrIcon) {
    if (CheckExpression(!pbstrIcon))
        return E_POINTER;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR | VT_BYREF;
    arg.pbstrVal = pbstrIcon;
    return Call(kGetIcon, 1, &arg);
}

HRESULT CPelloraProxy::GetMenu(IMenu** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = nullptr;
    IUnknown* menu = nullptr;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_UNKNOWN | VT_BYREF;
    arg.ppunkVal = &menu;
    HRESULT hr = Call(kGetMenu, 1, &arg);
    CComPtr<IUnknown> held;
    held.Attach(menu);
    if (FAILED(hr) || !held)
        return hr;
    // The tray's menu arrives as a proxy that answers IDispatch, not IMenu.
    CComPtr<IMenu> wrapped = CMenuProxy::FromUnknown(held.Get());
    if (CheckExpression(!wrapped))
        return E_NOINTERFACE;
    *pVal = wrapped.Detach();
    return S_OK;
}

HRESULT CPelloraProxy::TestAlive() {
    return Call(kTestAlive, 0, nullptr);
}

HRESULT CPelloraProxy::DestroyTrayIcon() {
    return Call(kDestroyTrayIcon, 0, nullptr);
}

HRESULT CPelloraProxy::GetPrivatePort(USHORT* pPort) {
    if (CheckExpression(!pPort))
        return E_POINTER;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_UI2 | VT_BYREF;
    arg.puiVal = pPort;
    return Call(kGetPrivatePort, 1, &arg);
}
