// CTaskTray: the tray object (IPellora) that the service drives.
//
// One object per tray program. It keeps the tooltip and icon name that the service set,
// the root of the icon's menu, and the port of the service's local web server; everything
// that shows on screen is posted to the tray window (ITrayWindow), whose thread does the
// GTK work. The object answers IPellora locally and, for the object RPC, IRpcCall with the
// methods' ordinals in slot order (BubbleHelp 1 … GetPrivatePort 10).
//
// The window appears once the GTK loop runs (SetWindow); until then, and after it has
// gone, the posting methods answer E_UNEXPECTED, and SetPrivatePort first waits a bounded
// time for it to come.
//
// Locks: m_lock guards the strings and the window pointer; the methods that post hold it
// while posting (posting only queues), so posts keep the order of the calls. The menu's
// locks are never taken under it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "com/CriticalSection.h"
#include "idl/TrayInterfaces.h"
#include "rpc/IRpcCall.h"
#include "tray/MenuImpl.h"
#include "tray/TrayWindow.h"

class CTaskTray : public CComObjectRoot<CTaskTray, IPellora, IRpcCall> {
public:
    // How long SetPrivatePort waits for the window.
    explicit CTaskTray(std::chrono::milliseconds readyTimeout = std::chrono::milliseconds(5000))
        : m_readyTimeout(readyTimeout) {}

    HRESULT FinalConstruct();
    void FinalRelease();

    // The window is up (or, with null, gone). Called by the window's thread.
    void SetWindow(ITrayWindow* window);
    // Called when DestroyTrayIcon has been asked for, after the icon was taken down.
    void SetDestroyHandler(std::function<void()> handler);
    // Forgets what the last service set: tooltip, icon name, menu items and port.
    void Reset();
    // The root menu, for the window.
    CComPtr<CMenuImpl> RootMenu() const { return m_ptrRootMenu; }

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

    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs,
                    VARIANT* pResult) override;

private:
    HRESULT PostString(BSTR text, BSTR& stored, TrayMessage message);

    const std::chrono::milliseconds m_readyTimeout;
    std::shared_ptr<CMenuContext> m_context;
    CComPtr<CMenuImpl> m_ptrRootMenu;

    CComAutoCriticalSection m_lock;  // the object lock; guards the members below
    BSTR m_bstrTip;
    BSTR m_bstrIcon;
    std::atomic<USHORT> m_uPort{0};  // the port last handed to the window
    std::function<void()> m_onDestroy;

    // The window and its ready state: m_lockReady guards them; innermost.
    std::mutex m_lockReady;
    std::condition_variable m_cvReady;
    bool m_bReady = false;
    ITrayWindow* m_pWindow = nullptr;
};
