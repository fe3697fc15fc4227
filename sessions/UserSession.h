// CUserSession: one interactive user with at least one attached process.
//
// It owns the user's process sessions (keyed by the text of their keys), the user's tray
// program, the user's private port (a loopback port bound for the session's life and
// never listened on; the local web server is reached under it in this user's context),
// and what the user's scripts share: locale, code page, the session values, one time-out
// and one repeating timer. A repeating clean-up wait removes process sessions whose
// process has ended and, when none is left, has the owner (the socket server) drop the
// session.
//
// Script events never run under a lock: operations that cause one hand it back in a
// `CSessionEvents`, which the caller runs after leaving its own locks.
//
// Locks: m_lock guards every member below it. Order: the owner's lock, then a process
// session's lock, then this lock; the thread pool's lock is innermost. Waits are
// cancelled only with m_lock released, because their handlers take it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "idl/TrayInterfaces.h"
#include "objects/VariantDictionary.h"
#include "sessions/ProcessSession.h"

class CUserSession;

// Intervals of the session waits. Tests shorten them: in the program through
// CORVANE_SESSION_CLEANUP_MS, CORVANE_USER_END_DELAY_MS and CORVANE_MINUTE_MS.
struct UserSessionTimings {
    DWORD cleanupMs = 30000;    // the clean-up tick
    DWORD endDelayMs = 5000;    // User_OnEnd after the last process left (time-out set)
    DWORD msPerMinute = 60000;  // the unit of Timeout and SetTimer
    static UserSessionTimings& Current();
    // Applies those variables that hold a positive number.
    static void ReadEnvironment();
};

// The owner of the user sessions (the socket server).
class IUserSessionOwner {
public:
    // The session has found no process session left. The owner takes its own lock, asks
    // `MarkStoppingIfEmpty` and, when that agrees, drops the session from its table.
    virtual void OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) = 0;

protected:
    ~IUserSessionOwner() = default;
};

// Script events to run once the caller has left its locks: User_OnEnd first (a tray
// replaced the old one), then User_OnStart (the user's first process).
struct CSessionEvents {
    CComPtr<CProcessSession> end;
    CComPtr<CProcessSession> start;
    LCID lcid = 0;
    // Runs them; the status of User_OnStart (failures are logged).
    HRESULT Run();
};

class CUserSession : public std::enable_shared_from_this<CUserSession> {
public:
    // Makes and starts the session of `uid`; `creator` is the process whose attach made it
    // (its environment gives the user's locale).
    static HRESULT Create(IUserSessionOwner* owner, uid_t uid, pid_t creator,
                          std::shared_ptr<CUserSession>* out);
    ~CUserSession();
    CUserSession(const CUserSession&) = delete;
    CUserSession& operator=(const CUserSession&) = delete;

    // The process session of `processId`: the existing one (S_FALSE) or a new one (S_OK),
    // whose key is written to `key`. A session that is stopping refuses with E_ABORT.
    HRESULT GetProcessSession(LONG processId, const BSTR& processName, GUID* key,
                              CComPtr<CProcessSession>* out, CSessionEvents* events);
    // Binds a tray object to the session (null: nothing changes). A different tray, or the
    // held one no longer answering, ends all process sessions (User_OnEnd on the last one,
    // handed back in `events`). The tray calls run with no lock held.
    HRESULT SetTray(IPellora* tray, CSessionEvents* events);
    // The process session under `key`, only when its process is alive.
    bool FindProcessSession(const std::string& key, CComPtr<CProcessSession>* out);
    void RemoveProcessSession(const std::string& key);
    std::size_t ProcessSessionCount() const;

    // For the owner, under its lock: true (and the session stops accepting processes) when
    // no process session is left.
    bool MarkStoppingIfEmpty();
    // Cancels the waits and drops everything. Called once, after the owner dropped it.
    void Stop();

    HRESULT SetTimeout(LONG minutes);
    LONG Timeout() const;
    HRESULT SetTimer(LONG minutes, const BSTR& function);
    HRESULT CancelTimer();

    USHORT PrivatePort() const { return m_uPrivatePort; }
    const std::string& Sid() const { return m_strSid; }
    uid_t Uid() const { return m_uid; }
    const std::string& UserName() const { return m_strUserName; }
    LCID Lcid() const;
    void SetLcid(LCID lcid);
    LONG CodePage() const;
    void SetCodePage(LONG codePage);
    // The session values (case-insensitive names); a missing name reads as empty.
    HRESULT GetValue(const BSTR& name, VARIANT* value) const;
    HRESULT PutValue(const BSTR& name, const VARIANT& value);
    // What closes the running tray programs when one answers GetMenu with E_UNEXPECTED;
    // true when it found any. Process-wide; the program sets it.
    static void SetStuckTrayHandler(std::function<bool()> handler);

    // A collection over the contents or the static objects; it keeps this session alive.
    HRESULT MakeDictionary(bool bStaticObjects, IVariantDictionary** ppDictionary);

    // The tray program's operations; E_UNEXPECTED without a tray.
    HRESULT BubbleHelp(const BSTR& title, const BSTR& message, const BSTR& url,
                       const VARIANT& extras);
    HRESULT GetTip(BSTR* text);
    HRESULT SetTip(const BSTR& text);
    HRESULT GetIcon(BSTR* text);
    HRESULT SetIcon(const BSTR& text);
    HRESULT GetMenu(IMenu** menu);
    bool HasTray() const;

private:
    CUserSession(IUserSessionOwner* owner, uid_t uid);
    HRESULT Init(pid_t creator);
    CComPtr<IPellora> Tray() const;
    // Handlers of the waits and their queued work.
    void OnCleanup(int timedOut, void* parameter);
    void OnTimeout(int timedOut, void* parameter);
    void OnTimer(int timedOut, void* parameter);
    void DoTimer();
    // Registers the one-shot time-out wait; the old handle goes to `cancel`. m_lock held.
    HRESULT ArmTimeout(DWORD ms, CComPtr<CProcessSession> session, WAITHANDLE* cancel);
    static void CancelWaits(const std::vector<WAITHANDLE>& waits);

    IUserSessionOwner* const m_pOwner;
    const uid_t m_uid;
    std::string m_strSid;
    std::string m_strUserName;
    int m_sockPrivate = -1;  // bound, never listening; closed in the destructor
    USHORT m_uPrivatePort = 0;
    std::shared_ptr<CEvent> m_hWaitEvent_Cleanup, m_hWaitEvent_Timeout, m_hWaitEvent_Timer;
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_bCancellingTimer{false};

    // Guards everything below. See the file comment for its place in the lock order.
    mutable CComAutoCriticalSection m_lock;
    WAITHANDLE m_hWaitCleanup = 0;
    CComPtr<IPellora> m_ptrTray;
    CComPtr<IUnknown> m_ptrTrayIdentity;  // tells one tray object from another
    LONG m_lTrayUsers = 0;
    LCID m_lcid = 0;
    LONG m_lCodePage = 65001;
    LONG m_lTimeout = 0;  // minutes as last set; nothing is armed before the first set
    WAITHANDLE m_hWaitTimeout = 0;
    std::uint64_t m_uTimeoutGeneration = 0;        // tells the armed time-out from stale ones
    CComPtr<CProcessSession> m_ptrTimeoutSession;  // User_OnEnd target of the armed wait
    WAITHANDLE m_hWaitTimer = 0;
    BSTR m_strTimerFunction;
    // The session variables, as the application keeps its own: names compare as
    // Automation compares strings (case-sensitively), and scripts see them through
    // `User.Contents` (read-write) and `User.StaticObjects` (read-only).
    CVariantMap m_mapContents;
    CVariantMap m_mapStaticObjects;
    // Process sessions in order of arrival (the first is the one the time-out and the
    // timer run on); a user has few processes, so they are found by a scan.
    std::vector<CComPtr<CProcessSession>> m_processes;
};
