// The interfaces between the service and the tray program, and the tray icon as
// scripts see it.
//
// `IPellora` is the tray object that each user's tray program serves; the service drives
// the icon, tooltip, balloons and menu through it. `IMenu` is the icon's popup menu,
// which lives in the tray program and reaches scripts through `ITrayIcon.Menu`.
// `ITrayIcon` is the service's per-process object behind `User.TrayIcon`, which forwards
// to the user's tray program. Methods are listed in their slot order; the dual
// interfaces list their members in the order of their dispatch ids (DispatchIds.h).
//
// A flag that scripts see as a VARIANT_BOOL travels as `bool`, so that dispatch gives
// scripts a Boolean (VT_BOOL, True = -1) and not a number.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Unknown.h"
#include "idl/Identifiers.h"

struct IMenu;

struct IPellora : IUnknown {
    static constexpr IID iid = IID_IPellora;
    // varExtras may be missing: VT_ERROR holding DISP_E_PARAMNOTFOUND.
    virtual HRESULT BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                               const VARIANT& varExtras) = 0;
    virtual HRESULT SetPrivatePort(USHORT Port) = 0;
    virtual HRESULT SetTip(BSTR bstrTipText) = 0;
    virtual HRESULT GetTip(BSTR* pbstrTipText) = 0;
    virtual HRESULT SetIcon(BSTR bstrIcon) = 0;
    virtual HRESULT GetIcon(BSTR* pbstrIcon) = 0;
    virtual HRESULT GetMenu(IMenu** pVal) = 0;
    virtual HRESULT TestAlive() = 0;
    virtual HRESULT DestroyTrayIcon() = 0;
    virtual HRESULT GetPrivatePort(USHORT* pPort) = 0;

protected:
    ~IPellora() = default;
};

// Item indexes are 1-based positions in one menu, separators included.
struct IMenu : IDispatch {
    static constexpr IID iid = IID_IMenu;
    using Bases = std::tuple<IDispatch>;
    // varExtras may be missing (VT_ERROR holding DISP_E_PARAMNOTFOUND).
    virtual HRESULT AddItem(BSTR strText, bool bEnabled, BSTR bstrURL,
                            const VARIANT* varExtras) = 0;
    virtual HRESULT AddSubMenu(BSTR strText, IMenu** ppMenu) = 0;
    virtual HRESULT get_DefaultItem(LONG* pVal) = 0;
    virtual HRESULT put_DefaultItem(LONG newVal) = 0;
    virtual HRESULT get_ItemChecked(LONG index, bool* pVal) = 0;
    virtual HRESULT put_ItemChecked(LONG index, bool newVal) = 0;
    virtual HRESULT get_ItemEnabled(LONG index, bool* pVal) = 0;
    virtual HRESULT put_ItemEnabled(LONG index, bool newVal) = 0;
    virtual HRESULT get_SubMenu(LONG index, IMenu** pVal) = 0;
    virtual HRESULT AddSeparator() = 0;
    virtual HRESULT get_ItemText(LONG index, BSTR* pVal) = 0;
    virtual HRESULT put_ItemText(LONG index, BSTR newVal) = 0;
    virtual HRESULT get_ItemUrl(LONG index, BSTR* pVal) = 0;
    virtual HRESULT put_ItemUrl(LONG index, BSTR newVal) = 0;
    virtual HRESULT get_ItemExtras(LONG index, BSTR* pVal) = 0;
    virtual HRESULT put_ItemExtras(LONG index, BSTR newVal) = 0;
    virtual HRESULT get_ItemCount(LONG* pVal) = 0;

protected:
    ~IMenu() = default;
};

struct ITrayIcon : IDispatch {
    static constexpr IID iid = IID_ITrayIcon;
    using Bases = std::tuple<IDispatch>;
    virtual HRESULT get_Tip(BSTR* pVal) = 0;
    virtual HRESULT put_Tip(BSTR newVal) = 0;
    // varParams may be missing (VT_ERROR holding DISP_E_PARAMNOTFOUND).
    virtual HRESULT BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                               const VARIANT* varParams) = 0;
    virtual HRESULT get_Icon(BSTR* pVal) = 0;
    virtual HRESULT put_Icon(BSTR newVal) = 0;
    virtual HRESULT get_Menu(IMenu** pVal) = 0;

protected:
    ~ITrayIcon() = default;
};
