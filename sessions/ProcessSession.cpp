// The process session and the script object User; see ProcessSession.h.
#include "sessions/ProcessSession.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "com/Locale.h"
#include "idl/DispatchIds.h"
#include "idl/ServiceInterfaces.h"
#include "sessions/ProcessInfo.h"
#include "sessions/UserEvents.h"
#include "sessions/UserSession.h"

const CDispatchTable& CProcessSession::GetDispatchTable() {
    using C = CProcessSession;
    static const CDispatchTable table(
        u"IUserObject",
        {
            DispGet<&C::get_Value>(u"Value", DISPID_IUSEROBJECT_VALUE),
            DispPut<&C::put_Value>(u"Value", DISPID_IUSEROBJECT_VALUE),
            DispPutRef<&C::putref_Value>(u"Value", DISPID_IUSEROBJECT_VALUE),
            DispGet<&C::get_CodePage>(u"CodePage", DISPID_IUSEROBJECT_CODEPAGE),
            DispPut<&C::put_CodePage>(u"CodePage", DISPID_IUSEROBJECT_CODEPAGE),
            DispGet<&C::get_LCID>(u"LCID", DISPID_IUSEROBJECT_LCID),
            DispPut<&C::put_LCID>(u"LCID", DISPID_IUSEROBJECT_LCID),
            DispGet<&C::get_Timeout>(u"Timeout", DISPID_IUSEROBJECT_TIMEOUT),
            DispPut<&C::put_Timeout>(u"Timeout", DISPID_IUSEROBJECT_TIMEOUT),
            DispGet<&C::get_StaticObjects>(u"StaticObjects", DISPID_IUSEROBJECT_STATICOBJECTS),
            DispGet<&C::get_Contents>(u"Contents", DISPID_IUSEROBJECT_CONTENTS),
            DispGet<&C::get_Name>(u"Name", DISPID_IUSEROBJECT_NAME),
            DispGet<&C::get_CurrentProcess>(u"CurrentProcess", DISPID_IUSEROBJECT_CURRENTPROCESS),
            DispGet<&C::get_TrayIcon>(u"TrayIcon", DISPID_IUSEROBJECT_TRAYICON),
            DispMethod<&C::SetTimer>(u"SetTimer", DISPID_IUSEROBJECT_SETTIMER),
            DispMethod<&C::CancelTimer>(u"CancelTimer", DISPID_IUSEROBJECT_CANCELTIMER),
            DispGet<&C::get_LocalURL>(u"LocalURL", DISPID_IUSEROBJECT_LOCALURL),
        });
    return table;
}

namespace {

// A pidfd on the process, or -1 when the kernel has none for it (it may be gone already,
// or the call may be missing or refused); the caller then reads /proc instead.
int OpenPidfd(LONG pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    return -1;
#endif
}

// Whether the process behind a pidfd still runs: 1 yes, 0 it has ended (a zombie counts as
// ended), -1 the pidfd could not be asked.
int PidfdAlive(int pidfd) {
    pollfd entry{pidfd, POLLIN, 0};
    int n;
    do
        n = ::poll(&entry, 1, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 || (entry.revents & POLLNVAL))
        return -1;
    return n == 0 ? 1 : 0;
}

}  // namespace

CProcessSession::~CProcessSession() {
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

HRESULT CProcessSession::Init(const std::shared_ptr<CUserSession>& user, const BSTR& processName,
                              LONG processId, GUID* key) {
    try {
        if (CheckExpression(!user || !key))
            return E_POINTER;
        // What Init sets is read without a lock from then on: it is set once.
        if (CheckExpression(m_pUser != nullptr))
            return E_UNEXPECTED;
        // NewGUID reads the kernel's random source (getrandom): a key is a capability.
        m_guidKey = NewGUID();
        m_strKey = GUID2String(m_guidKey);
        if (CheckExpression(m_strKey.empty()))
            return E_UNEXPECTED;
        if (CheckExpression(m_pidfd >= 0))
            return E_UNEXPECTED;
        if (processId > 0) {
            // The pidfd first: the start time read after it belongs to the same process
            // unless that has ended by then, which the pidfd shows.
            m_pidfd = OpenPidfd(processId);
            m_startTime = ProcessStartTime(processId);
        }
        m_pUser = user;
        m_lProcessId = processId;
        m_strProcessName = processName;
        *key = m_guidKey;
        return S_OK;
    } catch (...) {
        return ReportException("CProcessSession::Init", CV_HERE);
    }
}

HRESULT CProcessSession::GetKey(GUID* pGuid) const {
    if (CheckExpression(!pGuid))
        return E_POINTER;
    *pGuid = m_guidKey;
    return S_OK;
}

bool CProcessSession::IsOpen() const {
    const LONG pid = m_lProcessId.load();
    if (pid <= 0)
        return true;
    if (m_bEnded.load(std::memory_order_relaxed))
        return false;
    // A process that was gone already when it attached has no start time; it is dead.
    int alive = m_startTime ? -1 : 0;
    if (alive < 0 && m_pidfd >= 0)
        alive = PidfdAlive(m_pidfd);
    if (alive < 0)
        alive = IsProcessAlive(pid, m_startTime) ? 1 : 0;
    if (alive == 0)
        m_bEnded.store(true, std::memory_order_relaxed);
    return alive == 1;
}

bool CProcessSession::IsOpenRecently() const {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    const std::int64_t seen = m_nSeenOpenAt.load(std::memory_order_relaxed);
    if (seen != 0 && now - seen < kSeenOpenForNs && !m_bEnded.load(std::memory_order_relaxed))
        return true;
    if (!IsOpen())
        return false;
    m_nSeenOpenAt.store(now, std::memory_order_relaxed);
    return true;
}

HRESULT CProcessSession::Detach() {
    try {
        const std::shared_ptr<CUserSession> user = m_pUser;
        m_lProcessId = 0;
        // The user session may end this session's user events; no lock of ours is needed.
        if (user)
            user->RemoveProcessSession(m_strKey);
        return S_OK;
    } catch (...) {
        return ReportException("CProcessSession::Detach", CV_HERE);
    }
}

std::shared_ptr<CUserSession> CProcessSession::UserSession() const {
    return m_pUser;
}

HRESULT CProcessSession::CallOnStart(LCID lcid) {
    try {
        auto events = GetUserEvents();
        if (!events)
            return S_OK;
        HRESULT hr = events->OnStart(this, lcid);
        // A site without User_OnStart has nothing to run when a user arrives; refusing
        // every process of every user for it would stop all browsing.
        if (hr == DISP_E_UNKNOWNNAME)
            return S_OK;
        return CheckResultValue(hr);
    } catch (...) {
        return ReportException("CProcessSession::CallOnStart", CV_HERE);
    }
}

HRESULT CProcessSession::CallOnEnd(LCID lcid) {
    try {
        auto events = GetUserEvents();
        if (!events)
            return S_OK;
        HRESULT hr = events->OnEnd(this, lcid);
        // A site without User_OnEnd is not an error.
        if (hr == DISP_E_UNKNOWNNAME)
            return S_OK;
        return CheckResultValue(hr);
    } catch (...) {
        return ReportException("CProcessSession::CallOnEnd", CV_HERE);
    }
}

HRESULT CProcessSession::CallOnTimer(LCID lcid, const BSTR& function) {
    try {
        auto events = GetUserEvents();
        if (!events)
            return S_OK;
        HRESULT hr = events->OnTimer(this, lcid, function);
        if (hr == DISP_E_UNKNOWNNAME)
            return S_OK;
        return CheckResultValue(hr);
    } catch (...) {
        return ReportException("CProcessSession::CallOnTimer", CV_HERE);
    }
}

HRESULT CProcessSession::get_Value(BSTR bstrName, VARIANT* pvar) {
    try {
        if (CheckExpression(!pvar))
            return E_POINTER;
        CUserSession* const user = m_pUser.get();
        if (CheckExpression(!user))
            return E_UNEXPECTED;
        return user->GetValue(bstrName, pvar);
    } catch (...) {
        return ReportException("CProcessSession::get_Value", CV_HERE);
    }
}

HRESULT CProcessSession::put_Value(BSTR bstrName, const VARIANT& var) {
    try {
        // The program's own objects carry the private marker and may not be stored.
        CComPtr<ICorvane_Reserved> ptrReserved;
        if (CheckExpression(var.vt == VT_DISPATCH && var.pdispVal &&
                            SUCCEEDED(var.pdispVal->QueryInterface(IIDOf<ICorvane_Reserved>(),
                                                                   ptrReserved.ReceiveVoid()))))
            return E_ACCESSDENIED;
        if (CheckExpression(var.vt == VT_UNKNOWN && var.punkVal &&
                            SUCCEEDED(var.punkVal->QueryInterface(IIDOf<ICorvane_Reserved>(),
                                                                  ptrReserved.ReceiveVoid()))))
            return E_ACCESSDENIED;
        if (CheckExpression(var.vt == (VT_DISPATCH | VT_BYREF) && var.ppdispVal && *var.ppdispVal &&
                            SUCCEEDED((*var.ppdispVal)
                                          ->QueryInterface(IIDOf<ICorvane_Reserved>(),
                                                           ptrReserved.ReceiveVoid()))))
            return E_ACCESSDENIED;
        if (CheckExpression(var.vt == (VT_UNKNOWN | VT_BYREF) && var.ppunkVal && *var.ppunkVal &&
                            SUCCEEDED((*var.ppunkVal)
                                          ->QueryInterface(IIDOf<ICorvane_Reserved>(),
                                                           ptrReserved.ReceiveVoid()))))
            return E_ACCESSDENIED;
        auto user = UserSession();
        if (CheckExpression(!user))
            return E_UNEXPECTED;
        return user->PutValue(bstrName, var);
    } catch (...) {
        return ReportException("CProcessSession::put_Value", CV_HERE);
    }
}

HRESULT CProcessSession::putref_Value(BSTR bstrName, const VARIANT& var) {
    return put_Value(std::move(bstrName), var);
}

HRESULT CProcessSession::get_CodePage(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CUserSession* const user = m_pUser.get();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    *pVal = user->CodePage();
    return S_OK;
}

HRESULT CProcessSession::put_CodePage(LONG newVal) {
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    user->SetCodePage(newVal);
    return S_OK;
}

HRESULT CProcessSession::get_LCID(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CUserSession* const user = m_pUser.get();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    *pVal = static_cast<LONG>(user->Lcid());
    return S_OK;
}

HRESULT CProcessSession::put_LCID(LONG newVal) {
    try {
        LCID lcid = newVal == 0 ? GetSystemDefaultLCID() : static_cast<LCID>(newVal);
        if (CheckExpression(!IsValidLocale(lcid, LCID_INSTALLED)))
            return E_INVALIDARG;
        auto user = UserSession();
        if (CheckExpression(!user))
            return E_UNEXPECTED;
        user->SetLcid(lcid);
        return S_OK;
    } catch (...) {
        return ReportException("CProcessSession::put_LCID", CV_HERE);
    }
}

HRESULT CProcessSession::get_Timeout(LONG* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    *pVal = user->Timeout();
    return S_OK;
}

HRESULT CProcessSession::put_Timeout(LONG newVal) {
    // Named like the member it copies, so that a failure logs "m_pUser->SetTimeout(newVal)".
    auto m_pUser = UserSession();
    if (CheckExpression(!m_pUser))
        return E_UNEXPECTED;
    return CheckResultValue(m_pUser->SetTimeout(newVal));
}

// The variable dictionaries come with the application object's dictionary class, which
// this program does not have yet.
HRESULT CProcessSession::get_StaticObjects(IDispatch** pVal) {
    return Dictionary(true, pVal);
}

HRESULT CProcessSession::get_Contents(IDispatch** pVal) {
    return Dictionary(false, pVal);
}

HRESULT CProcessSession::Dictionary(bool bStaticObjects, IDispatch** pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = nullptr;
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    CComPtr<IVariantDictionary> ptrDictionary;
    const HRESULT hr = user->MakeDictionary(bStaticObjects, ptrDictionary.Receive());
    if (!CheckResult(hr))
        return hr;
    *pVal = ptrDictionary.Detach();
    return S_OK;
}

HRESULT CProcessSession::get_Name(BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    *pVal = BSTR::FromUtf8(user->UserName());
    return S_OK;
}

HRESULT CProcessSession::get_CurrentProcess(BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    *pVal = m_strProcessName;
    return S_OK;
}

HRESULT CProcessSession::get_TrayIcon(IDispatch** pVal) {
    try {
        if (CheckExpression(!pVal))
            return E_POINTER;
        *pVal = nullptr;
        CCritSecLock guard(m_lock);
        if (!m_ptrTrayIcon) {
            HRESULT hr = S_OK;
            CComPtr<CTrayIcon> trayIcon = MakeObject<CTrayIcon>(&hr);
            if (CheckExpression(!trayIcon))
                return FAILED(hr) ? hr : E_OUTOFMEMORY;
            trayIcon->SetUser(m_pUser);
            m_ptrTrayIcon = std::move(trayIcon);
        }
        CComPtr<IDispatch> result(m_ptrTrayIcon.Get());
        *pVal = result.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CProcessSession::get_TrayIcon", CV_HERE);
    }
}

HRESULT CProcessSession::SetTimer(LONG mins, BSTR strFuncName) {
    if (CheckExpression(strFuncName.IsNull()))
        return E_POINTER;
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    return user->SetTimer(mins, strFuncName);
}

HRESULT CProcessSession::CancelTimer() {
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    return user->CancelTimer();
}

HRESULT CProcessSession::get_LocalURL(BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    auto user = UserSession();
    if (CheckExpression(!user))
        return E_UNEXPECTED;
    *pVal = BSTR::FromUtf8("http://localhost:" + std::to_string(user->PrivatePort()));
    return S_OK;
}
