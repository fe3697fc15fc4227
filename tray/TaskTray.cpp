// The tray object; see TaskTray.h.
#include "tray/TaskTray.h"

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"

namespace {

// IPellora's methods in slot order.
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

bool IsByRef(const VARIANT& v, VARTYPE type) {
    return v.vt == (type | VT_BYREF) && v.byref;
}

}  // namespace

HRESULT CTaskTray::FinalConstruct() {
    if (m_ptrRootMenu)
        return S_OK;
    m_context = std::make_shared<CMenuContext>();
    HRESULT hr = S_OK;
    m_ptrRootMenu = MakeObject<CMenuImpl>(&hr, m_context);
    if (!m_ptrRootMenu) {
        LogTrace("CTaskTray::FinalConstruct: Menu creation failed (0x%x)\n",
                 static_cast<unsigned>(FAILED(hr) ? hr : E_OUTOFMEMORY));
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    // Menu changes reach the window, whichever thread makes them.
    m_context->SetOnChange([this] {
        std::lock_guard ready(m_lockReady);
        if (m_pWindow)
            m_pWindow->MenuChanged();
    });
    return S_OK;
}

void CTaskTray::FinalRelease() {
    if (m_context)
        m_context->SetOnChange(nullptr);
}

void CTaskTray::SetWindow(ITrayWindow* window) {
    {
        std::lock_guard ready(m_lockReady);
        m_pWindow = window;
        m_bReady = window != nullptr;
    }
    m_cvReady.notify_all();
}

void CTaskTray::SetDestroyHandler(std::function<void()> handler) {
    std::lock_guard guard(m_lock);
    m_onDestroy = std::move(handler);
}

void CTaskTray::Reset() {
    {
        std::lock_guard guard(m_lock);
        m_bstrTip = BSTR();
        m_bstrIcon = BSTR();
        m_uPort = 0;
        std::lock_guard ready(m_lockReady);
        if (m_pWindow)
            m_pWindow->Reset();
    }
    if (m_ptrRootMenu)
        m_ptrRootMenu->Clear();
}

HRESULT CTaskTray::BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                              const VARIANT& varExtras) {
    try {
        std::lock_guard guard(m_lock);
        TrayPost post;
        post.message = TrayMessage::Balloon;
        post.balloon.strTitle = bstrTitle.ToUtf8();
        post.balloon.strMessage = bstrMessage.ToUtf8();
        post.balloon.strClickUrl = bstrClickURL.ToUtf8();
        HRESULT hr = ExtrasText(&varExtras, &post.balloon.strExtras);
        if (FAILED(hr))
            return hr;
        std::lock_guard ready(m_lockReady);
        if (CheckExpression(!m_pWindow))
            return E_UNEXPECTED;
        m_pWindow->Post(std::move(post));
        return S_OK;
    } catch (...) {
        return ReportException("CTaskTray::BubbleHelp()", CV_HERE);
    }
}

HRESULT CTaskTray::SetPrivatePort(USHORT Port) {
    try {
        std::lock_guard guard(m_lock);
        std::unique_lock ready(m_lockReady);
        if (!m_cvReady.wait_for(ready, m_readyTimeout, [this] { return m_bReady; })) {
            LogTrace("CTaskTray::SetPrivatePort: Tray window timed out. Returning E_FAIL (0x%x)\n",
                     static_cast<unsigned>(E_FAIL));
            return E_FAIL;
        }
        if (!m_pWindow) {
            LogTrace(
                "CTaskTray::SetPrivatePort: Tray window gone!!! Returning E_UNEXPECTED (0x%x)\n",
                static_cast<unsigned>(E_UNEXPECTED));
            return E_UNEXPECTED;
        }
        TrayPost post;
        post.message = TrayMessage::SetPrivatePort;
        post.uValue = Port;
        m_pWindow->Post(std::move(post));
        m_uPort = Port;
        return S_OK;
    } catch (...) {
        return ReportException("CTaskTray::SetPrivatePort()", CV_HERE);
    }
}

HRESULT CTaskTray::PostString(BSTR text, BSTR& stored, TrayMessage message) {
    std::lock_guard guard(m_lock);
    if (text.View() == stored.View() && text.IsNull() == stored.IsNull())
        return S_OK;
    stored = text;
    std::lock_guard ready(m_lockReady);
    if (CheckExpression(!m_pWindow))
        return E_UNEXPECTED;
    TrayPost post;
    post.message = message;
    post.strText = text.ToUtf8();
    m_pWindow->Post(std::move(post));
    return S_OK;
}

HRESULT CTaskTray::SetTip(BSTR bstrTipText) {
    try {
        return PostString(bstrTipText, m_bstrTip, TrayMessage::SetTip);
    } catch (...) {
        return ReportException("CTaskTray::SetTip()", CV_HERE);
    }
}

HRESULT CTaskTray::SetIcon(BSTR bstrIcon) {
    try {
        return PostString(bstrIcon, m_bstrIcon, TrayMessage::SetIcon);
    } catch (...) {
        return ReportException("CTaskTray::SetIcon()", CV_HERE);
    }
}

HRESULT CTaskTray::GetTip(BSTR* pbstrTipText) {
    if (CheckExpression(!pbstrTipText))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    *pbstrTipText = BSTR(m_bstrTip.Str());
    return S_OK;
}

HRESULT CTaskTray::GetIcon(BSTR* pbstrIcon) {
    if (CheckExpression(!pbstrIcon))
        return E_POINTER;
    std::lock_guard guard(m_lock);
    *pbstrIcon = BSTR(m_bstrIcon.Str());
    return S_OK;
}

HRESULT CTaskTray::GetMenu(IMenu** pVal) {
    std::lock_guard guard(m_lock);
    if (!m_ptrRootMenu) {
        LogTrace("CTaskTray::GetMenu: Menu gone!!! Returning E_UNEXPECTED (0x%x)\n",
                 static_cast<unsigned>(E_UNEXPECTED));
        return E_UNEXPECTED;
    }
    if (!pVal) {
        LogTrace(
            "CTaskTray::GetMenu: Invalid pointer parameter supplied; Returning E_POINTER (0x%x)\n",
            static_cast<unsigned>(E_POINTER));
        return E_POINTER;
    }
    CComPtr<CMenuImpl> menu = m_ptrRootMenu;
    *pVal = menu.Detach();
    return S_OK;
}

HRESULT CTaskTray::TestAlive() {
    return S_OK;
}

HRESULT CTaskTray::DestroyTrayIcon() {
    try {
        std::function<void()> onDestroy;
        {
            std::lock_guard guard(m_lock);
            onDestroy = m_onDestroy;
        }
        {
            std::lock_guard ready(m_lockReady);
            if (m_pWindow)
                m_pWindow->Destroy();
        }
        if (onDestroy)
            onDestroy();
        return S_OK;
    } catch (...) {
        return ReportException("CTaskTray::DestroyTrayIcon()", CV_HERE);
    }
}

HRESULT CTaskTray::GetPrivatePort(USHORT* pPort) {
    if (CheckExpression(!pPort))
        return E_POINTER;
    *pPort = m_uPort;
    return S_OK;
}

HRESULT CTaskTray::RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) {
    try {
        if (iid != IID_IPellora)
            return E_NOINTERFACE;
        if (CheckExpression(cArgs && !rgArgs))
            return E_POINTER;
        auto text = [&](UINT i, BSTR* out) {
            CComVariant v;
            if (FAILED(VariantChangeType(&v, &rgArgs[i], 0, VT_BSTR)))
                return false;
            *out = v.Bstr();
            return true;
        };
        switch (method) {
            case kBubbleHelp: {
                if (CheckExpression(cArgs != 3 && cArgs != 4))
                    return DISP_E_BADPARAMCOUNT;
                BSTR title, message, url;
                if (CheckExpression(!text(0, &title) || !text(1, &message) || !text(2, &url)))
                    return DISP_E_TYPEMISMATCH;
                CComVariant missing;
                missing.vt = VT_ERROR;
                missing.scode = DISP_E_PARAMNOTFOUND;
                return BubbleHelp(title, message, url, cArgs == 4 ? rgArgs[3] : missing);
            }
            case kSetPrivatePort: {
                CComVariant port;
                if (CheckExpression(cArgs != 1))
                    return DISP_E_BADPARAMCOUNT;
                if (CheckExpression(FAILED(VariantChangeType(&port, &rgArgs[0], 0, VT_UI2))))
                    return DISP_E_TYPEMISMATCH;
                return SetPrivatePort(port.uiVal);
            }
            case kSetTip:
            case kSetIcon: {
                BSTR value;
                if (CheckExpression(cArgs != 1))
                    return DISP_E_BADPARAMCOUNT;
                if (CheckExpression(!text(0, &value)))
                    return DISP_E_TYPEMISMATCH;
                return method == kSetTip ? SetTip(value) : SetIcon(value);
            }
            case kGetTip:
            case kGetIcon:
                if (CheckExpression(cArgs != 1))
                    return DISP_E_BADPARAMCOUNT;
                if (CheckExpression(!IsByRef(rgArgs[0], VT_BSTR)))
                    return DISP_E_TYPEMISMATCH;
                return method == kGetTip ? GetTip(rgArgs[0].pbstrVal) : GetIcon(rgArgs[0].pbstrVal);
            case kGetMenu: {
                if (CheckExpression(cArgs != 1))
                    return DISP_E_BADPARAMCOUNT;
                if (CheckExpression(!IsByRef(rgArgs[0], VT_UNKNOWN) &&
                                    !IsByRef(rgArgs[0], VT_DISPATCH)))
                    return DISP_E_TYPEMISMATCH;
                IMenu* menu = nullptr;
                HRESULT hr = GetMenu(&menu);
                if (FAILED(hr))
                    return hr;
                // The slot owns what it holds: let go of any value there first.
                IUnknown** slot = rgArgs[0].ppunkVal;
                if (*slot)
                    (*slot)->Release();
                *slot = menu;  // IMenu's first base is IUnknown through IDispatch
                return hr;
            }
            case kTestAlive:
                return TestAlive();
            case kDestroyTrayIcon:
                return DestroyTrayIcon();
            case kGetPrivatePort:
                if (CheckExpression(cArgs != 1))
                    return DISP_E_BADPARAMCOUNT;
                if (CheckExpression(!IsByRef(rgArgs[0], VT_UI2)))
                    return DISP_E_TYPEMISMATCH;
                return GetPrivatePort(rgArgs[0].puiVal);
            default:
                return E_NOTIMPL;
        }
    } catch (...) {
        return ReportException("CTaskTray::RpcCall()", CV_HERE);
    }
}
