// CProcessSession: one attached process of an interactive user, and the script object
// "User" (IUserObject) of every request and user event that comes from it.
//
// It carries the session key that the process's diverted connections present: 16 bytes
// from the kernel's random source, because whoever knows a key is treated as that
// process. Most members reach the owning user session (values, locale, code page,
// time-out, timer), which every process of the user shares; a process session keeps its
// user session alive through a counted reference, so a relay or script that still holds
// the process session after it left the user session's table can use it safely.
//
// Liveness is asked for every connection and request of the process, so it must be cheap:
// Init opens a pidfd on the process (it names that process and no later one under the
// same pid, and turns readable when the process ends), and IsOpen polls it, one system
// call without reading /proc. Where the kernel has no pidfd (or none could be opened),
// IsOpen reads /proc/PID/stat and compares the start time Init recorded. Once seen ended,
// a session stays ended without asking again. IsOpenRecently takes a running process that
// was seen running less than a millisecond ago at its word: a browser's connections ask
// thousands of times a second, and the answer could only change by the process ending,
// which takes its connections with it.
//
// Locks: m_lock guards the tray icon; it is taken before the user session's lock. The
// user-session reference, the process name, the key, the process id, the start time and
// the pidfd are set by Init before the session is handed to anyone and fixed after it (the
// id only drops to 0 at Detach): they are read without the lock, which matters because
// every script call of every request reads the user session. The ended flag is atomic.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "sessions/TrayIconObject.h"
#include "sessions/UserObject.h"

class CUserSession;

class CProcessSession
    : public CComObjectRoot<CProcessSession, IDispatchImpl<CProcessSession, IUserObject>> {
public:
    static const CDispatchTable& GetDispatchTable();

    ~CProcessSession() override;

    // Binds the session to its user session and process and makes a fresh key.
    HRESULT Init(const std::shared_ptr<CUserSession>& user, const BSTR& processName, LONG processId,
                 GUID* key);
    HRESULT GetKey(GUID* pGuid) const;
    // GUID2String of the key; fixed after Init.
    const std::string& KeyText() const { return m_strKey; }
    LONG ProcessId() const { return m_lProcessId.load(); }
    // Alive while the process runs; a detached session (process id 0) and the program's
    // own session count as alive.
    bool IsOpen() const;
    // IsOpen, answered without asking again when a call less than kSeenOpenForNs ago found
    // the process running.
    bool IsOpenRecently() const;
    static constexpr std::int64_t kSeenOpenForNs = 1'000'000;
    // Leaves the user session's table; the process id becomes 0.
    HRESULT Detach();

    // The user-level script events, run with this session as "User".
    HRESULT CallOnStart(LCID lcid);
    HRESULT CallOnEnd(LCID lcid);
    HRESULT CallOnTimer(LCID lcid, const BSTR& function);

    std::shared_ptr<CUserSession> UserSession() const;

    // IUserObject
    HRESULT get_Value(BSTR bstrName, VARIANT* pvar) override;
    HRESULT put_Value(BSTR bstrName, const VARIANT& var) override;
    HRESULT putref_Value(BSTR bstrName, const VARIANT& var) override;
    HRESULT get_CodePage(LONG* pVal) override;
    HRESULT put_CodePage(LONG newVal) override;
    HRESULT get_LCID(LONG* pVal) override;
    HRESULT put_LCID(LONG newVal) override;
    HRESULT get_Timeout(LONG* pVal) override;
    HRESULT put_Timeout(LONG newVal) override;
    HRESULT get_StaticObjects(IDispatch** pVal) override;
    HRESULT get_Contents(IDispatch** pVal) override;
    // User.StaticObjects and User.Contents: the user session's collections.
    HRESULT Dictionary(bool bStaticObjects, IDispatch** pVal);
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT get_CurrentProcess(BSTR* pVal) override;
    HRESULT get_TrayIcon(IDispatch** pVal) override;
    HRESULT SetTimer(LONG mins, BSTR strFuncName) override;
    HRESULT CancelTimer() override;
    HRESULT get_LocalURL(BSTR* pVal) override;

private:
    // Guards m_ptrTrayIcon. Taken before the user session's lock and the tray icon's.
    mutable CComAutoCriticalSection m_lock;
    std::shared_ptr<CUserSession> m_pUser;  // fixed after Init
    BSTR m_strProcessName;                  // fixed after Init
    std::atomic<LONG> m_lProcessId{0};
    std::optional<std::uint64_t> m_startTime;   // tells a reused pid from the process
    int m_pidfd = -1;                           // the process's pidfd, or -1: read /proc
    mutable std::atomic<bool> m_bEnded{false};  // the process was seen ended
    // When IsOpenRecently last found the process running (steady clock, ns; 0: never).
    mutable std::atomic<std::int64_t> m_nSeenOpenAt{0};
    GUID m_guidKey;
    std::string m_strKey;
    // User.TrayIcon, made at its first use; guarded by m_lock.
    CComPtr<CTrayIcon> m_ptrTrayIcon;
};
