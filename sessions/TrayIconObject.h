// CTrayIcon: the script object User.TrayIcon (ITrayIcon), one per process session.
//
// It keeps no state of its own: the tip, the icon, balloon messages and the menu all
// belong to the user's tray program, which the user session reaches over IPellora. Every
// process session of a user therefore drives the same icon. Without a tray program each
// member fails with E_UNEXPECTED and nothing is kept here.
//
// `Menu` hands scripts the tray's own menu object (IMenu); the members of that menu are
// the tray program's.
//
// The object refers to its user session without keeping it alive: a script may hold the
// object longer than the process session that gave it out (Application values take any
// object), and once the user session is gone every member answers E_UNEXPECTED.
//
// Locks: m_lock guards the user-session reference only and is innermost (the process
// session sets the reference under its own lock). It is not held while the tray is
// called, since the tray lives in another process.
#pragma once

#include <memory>

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/TrayInterfaces.h"

class CUserSession;

class CTrayIcon : public CComObjectRoot<CTrayIcon, IDispatchImpl<CTrayIcon, ITrayIcon>> {
public:
    static const CDispatchTable& GetDispatchTable();

    // Points the object at its user session; set once by the process session.
    void SetUser(const std::shared_ptr<CUserSession>& user);

    // ITrayIcon
    HRESULT get_Tip(BSTR* pVal) override;
    HRESULT put_Tip(BSTR newVal) override;
    HRESULT BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                       const VARIANT* varParams) override;
    HRESULT get_Icon(BSTR* pVal) override;
    HRESULT put_Icon(BSTR newVal) override;
    HRESULT get_Menu(IMenu** pVal) override;

    // `Menu` as scripts receive it: the menu's own dispatch, Nothing when the tray gave
    // no menu.
    HRESULT get_MenuDispatch(IDispatch** pVal);

private:
    std::shared_ptr<CUserSession> User() const;

    mutable CComAutoCriticalSection m_lock;
    std::weak_ptr<CUserSession> m_pUser;  // guarded by m_lock
};
