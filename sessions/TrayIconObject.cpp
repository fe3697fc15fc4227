// The script object User.TrayIcon; see TrayIconObject.h.
#include "sessions/TrayIconObject.h"

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"
#include "sessions/UserSession.h"

const CDispatchTable& CTrayIcon::GetDispatchTable() {
    using C = CTrayIcon;
    static const CDispatchTable table(
        u"ITrayIcon", {
                          DispGet<&C::get_Tip>(u"Tip", DISPID_ITRAYICON_TIP),
                          DispPut<&C::put_Tip>(u"Tip", DISPID_ITRAYICON_TIP),
                          DispMethod<&C::BubbleHelp>(u"BubbleHelp", DISPID_ITRAYICON_BUBBLEHELP),
                          DispGet<&C::get_Icon>(u"Icon", DISPID_ITRAYICON_ICON),
                          DispPut<&C::put_Icon>(u"Icon", DISPID_ITRAYICON_ICON),
                          DispGet<&C::get_MenuDispatch>(u"Menu", DISPID_ITRAYICON_MENU),
                      });
    return table;
}

void CTrayIcon::SetUser(const std::shared_ptr<CUserSession>& user) {
    CCritSecLock guard(m_lock);
    m_pUser = user;
}

std::shared_ptr<CUserSession> CTrayIcon::User() const {
    CCritSecLock guard(m_lock);
    return m_pUser.lock();
}

// The members name their copy of the user session like the member, so that a failed
// check logs "!m_pUser" and the forwarded call as "m_pUser->...".

HRESULT CTrayIcon::get_Tip(BSTR* pVal) {
    try {
        if (CheckExpression(!pVal))
            return E_POINTER;
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        return CheckResultValue(m_pUser->GetTip(pVal));
    } catch (...) {
        return ReportException("CTrayIcon::get_Tip", CV_HERE);
    }
}

HRESULT CTrayIcon::put_Tip(BSTR newVal) {
    try {
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        return CheckResultValue(m_pUser->SetTip(newVal));
    } catch (...) {
        return ReportException("CTrayIcon::put_Tip", CV_HERE);
    }
}

HRESULT CTrayIcon::BubbleHelp(BSTR bstrTitle, BSTR bstrMessage, BSTR bstrClickURL,
                              const VARIANT* varParams) {
    try {
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        // Extras left out reach the tray as missing, which it shows as no extras.
        CComVariant varArgs =
            varParams ? CComVariant(*varParams) : CComVariant::Error(DISP_E_PARAMNOTFOUND);
        // clang-format off
        return CheckResultValue(m_pUser->BubbleHelp(bstrTitle,bstrMessage,bstrClickURL,varArgs));
        // clang-format on
    } catch (...) {
        return ReportException("CTrayIcon::BubbleHelp", CV_HERE);
    }
}

HRESULT CTrayIcon::get_Icon(BSTR* pVal) {
    try {
        if (CheckExpression(!pVal))
            return E_POINTER;
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        return CheckResultValue(m_pUser->GetIcon(pVal));
    } catch (...) {
        return ReportException("CTrayIcon::get_Icon", CV_HERE);
    }
}

HRESULT CTrayIcon::put_Icon(BSTR newVal) {
    try {
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        return CheckResultValue(m_pUser->SetIcon(newVal));
    } catch (...) {
        return ReportException("CTrayIcon::put_Icon", CV_HERE);
    }
}

HRESULT CTrayIcon::get_Menu(IMenu** pVal) {
    try {
        if (CheckExpression(!pVal))
            return E_POINTER;
        *pVal = nullptr;
        auto m_pUser = User();
        if (CheckExpression(!m_pUser))
            return E_UNEXPECTED;
        return CheckResultValue(m_pUser->GetMenu(pVal));
    } catch (...) {
        return ReportException("CTrayIcon::get_Menu", CV_HERE);
    }
}

HRESULT CTrayIcon::get_MenuDispatch(IDispatch** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = nullptr;
    CComPtr<IMenu> menu;
    HRESULT hr = get_Menu(menu.Receive());
    if (FAILED(hr))
        return hr;
    *pVal = menu.Detach();
    return hr;
}
