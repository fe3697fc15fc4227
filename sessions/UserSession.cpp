// The user session; see UserSession.h.
#include "sessions/UserSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>

#include "com/Strings.h"
#include "sessions/UserAccount.h"

UserSessionTimings& UserSessionTimings::Current() {
    static UserSessionTimings timings;
    return timings;
}

void UserSessionTimings::ReadEnvironment() {
    // Test clocks: each variable, when it holds a positive number of milliseconds,
    // replaces one interval.
    const struct {
        const char* name;
        DWORD UserSessionTimings::*field;
    } overrides[] = {
        {"CORVANE_SESSION_CLEANUP_MS", &UserSessionTimings::cleanupMs},
        {"CORVANE_USER_END_DELAY_MS", &UserSessionTimings::endDelayMs},
        {"CORVANE_MINUTE_MS", &UserSessionTimings::msPerMinute},
    };
    for (const auto& item : overrides) {
        const char* text = std::getenv(item.name);
        if (!text || !*text)
            continue;
        char* end = nullptr;
        unsigned long ms = std::strtoul(text, &end, 10);
        if (CheckExpression(*end != '\0' || ms == 0 || ms > 0x7FFFFFFF))
            continue;
        Current().*item.field = static_cast<DWORD>(ms);
    }
}

HRESULT CSessionEvents::Run() {
    if (end)
        CheckResult(end->CallOnEnd(lcid));
    end = nullptr;
    HRESULT hr = S_OK;
    if (start)
        hr = start->CallOnStart(lcid);
    start = nullptr;
    return hr;
}

CUserSession::CUserSession(IUserSessionOwner* owner, uid_t uid) : m_pOwner(owner), m_uid(uid) {}

CUserSession::~CUserSession() {
    if (m_sockPrivate >= 0)
        ::close(m_sockPrivate);
}

HRESULT CUserSession::Create(IUserSessionOwner* owner, uid_t uid, pid_t creator,
                             std::shared_ptr<CUserSession>* out) {
    try {
        if (CheckExpression(!out))
            return E_POINTER;
        out->reset();
        std::shared_ptr<CUserSession> session(new CUserSession(owner, uid));
        HRESULT hr = session->Init(creator);
        if (FAILED(hr)) {
            session->Stop();
            return hr;
        }
        *out = std::move(session);
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::Create", CV_HERE);
    }
}

HRESULT CUserSession::Init(pid_t creator) {
    m_strSid = SidStringOfUid(m_uid);
    m_strUserName = UserNameOfUid(m_uid);
    {
        CCritSecLock guard(m_lock);
        m_lcid = UserDefaultLcidOfProcess(creator);
        m_lCodePage = 65001;  // the ANSI code page of this platform, always
    }

    m_sockPrivate = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (CheckExpression(m_sockPrivate < 0))
        return HRESULT_FROM_WIN32(WinsockFromErrno(errno));
    sockaddr_in service{};
    service.sin_family = AF_INET;
    service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    service.sin_port = 0;
    if (CheckExpression(
            ::bind(m_sockPrivate, reinterpret_cast<sockaddr*>(&service), sizeof(service)) != 0))
        return HRESULT_FROM_WIN32(WinsockFromErrno(errno));
    socklen_t namelen = sizeof(service);
    if (CheckExpression(
            ::getsockname(m_sockPrivate, reinterpret_cast<sockaddr*>(&service), &namelen) != 0))
        return HRESULT_FROM_WIN32(WinsockFromErrno(errno));
    m_uPrivatePort = ntohs(service.sin_port);

    m_hWaitEvent_Timeout = CEvent::Create();
    m_hWaitEvent_Cleanup = CEvent::Create();
    m_hWaitEvent_Timer = CEvent::Create();
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (CheckExpression(!pool))
        return E_OUTOFMEMORY;
    CCritSecLock guard(m_lock);
    return CheckResultValue(pool->QueueWait<&CUserSession::OnCleanup>(
        this, &m_hWaitCleanup, m_hWaitEvent_Cleanup, UserSessionTimings::Current().cleanupMs,
        WT_EXECUTELONGFUNCTION, nullptr));
}

void CUserSession::CancelWaits(const std::vector<WAITHANDLE>& waits) {
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (!pool)
        return;
    for (WAITHANDLE wait : waits)
        if (wait)
            CheckResult(pool->CancelWait(wait));
}

HRESULT CUserSession::GetProcessSession(LONG processId, const BSTR& processName, GUID* key,
                                        CComPtr<CProcessSession>* out, CSessionEvents* events) {
    try {
        if (CheckExpression(!key || !out || !events))
            return E_POINTER;
        CCritSecLock guard(m_lock);
        if (m_bStopping)
            return E_ABORT;
        for (const auto& process : m_processes) {
            if (process->ProcessId() == processId) {
                HRESULT hr = process->GetKey(key);
                if (FAILED(hr))
                    return hr;
                *out = process;
                return S_FALSE;
            }
        }
        HRESULT hr = S_OK;
        CComPtr<CProcessSession> process = MakeObject<CProcessSession>(&hr);
        if (CheckExpression(!process))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        hr = process->Init(shared_from_this(), processName, processId, key);
        if (FAILED(hr))
            return hr;
        const bool bCallStart = m_processes.empty();
        m_processes.push_back(process);
        *out = process;
        if (bCallStart) {
            events->start = process;
            events->lcid = m_lcid;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::GetProcessSession", CV_HERE);
    }
}

HRESULT CUserSession::SetTray(IPellora* tray, CSessionEvents* events) {
    try {
        if (!tray)
            return S_OK;
        if (CheckExpression(!events))
            return E_POINTER;
        CComPtr<IUnknown> identity = ComQuery<IUnknown>(tray);
        CComPtr<IPellora> held;
        CComPtr<IUnknown> heldIdentity;
        {
            CCritSecLock guard(m_lock);
            held = m_ptrTray;
            heldIdentity = m_ptrTrayIdentity;
        }
        // The tray calls go to another process; no lock is held during them.
        bool keep = false;
        if (held && heldIdentity == identity)
            keep = CheckResult(held->TestAlive());
        if (!keep) {
            HRESULT hr = tray->SetPrivatePort(m_uPrivatePort);
            if (!CheckResult(hr))
                return hr;
        }

        std::vector<CComPtr<CProcessSession>> removed;
        {
            CCritSecLock guard(m_lock);
            if (m_ptrTray.Get() != held.Get()) {
                // Another attach changed the tray meanwhile; this one replaces it as well.
                keep = false;
            }
            if (!keep) {
                if (m_ptrTray) {
                    // All of the old tray's processes leave; the last one gets User_OnEnd.
                    // They leave without arming the delayed User_OnEnd of a removal, and
                    // the scripts' time-out stays as it is.
                    if (!m_processes.empty()) {
                        events->end = m_processes.back();
                        events->lcid = m_lcid;
                    }
                    removed.swap(m_processes);
                }
                m_lTrayUsers = 0;
                m_ptrTray = tray;
                m_ptrTrayIdentity = identity;
            }
            ++m_lTrayUsers;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::SetTray", CV_HERE);
    }
}

bool CUserSession::FindProcessSession(const std::string& key, CComPtr<CProcessSession>* out) {
    CComPtr<CProcessSession> found;
    {
        CCritSecLock guard(m_lock);
        for (const auto& process : m_processes) {
            if (process->KeyText() == key) {
                found = process;
                break;
            }
        }
    }
    // Reading /proc needs no lock.
    if (!found || !found->IsOpen())
        return false;
    *out = std::move(found);
    return true;
}

void CUserSession::RemoveProcessSession(const std::string& key) {
    WAITHANDLE stale = 0;
    CComPtr<CProcessSession> removed;
    {
        CCritSecLock guard(m_lock);
        for (auto it = m_processes.begin(); it != m_processes.end(); ++it) {
            if ((*it)->KeyText() == key) {
                removed = *it;
                m_processes.erase(it);
                break;
            }
        }
        if (removed && m_processes.empty() && m_hWaitTimeout) {
            // The user's last process went: User_OnEnd follows shortly, on it.
            if (FAILED(ArmTimeout(UserSessionTimings::Current().endDelayMs, removed, &stale))) {
                m_ptrTimeoutSession = removed;
                stale = std::exchange(m_hWaitTimeout, 0);
                // Run the end at once, from the pool.
                auto self = shared_from_this();
                auto call = CAsyncCall::CreateFunctionCall([self] { self->OnTimeout(1, nullptr); });
                if (call && THREAD_POOL::instance())
                    CheckResult(THREAD_POOL::instance()->QueueCall(call, WT_EXECUTEDEFAULT));
            }
        }
    }
    CancelWaits({stale});
}

std::size_t CUserSession::ProcessSessionCount() const {
    CCritSecLock guard(m_lock);
    return m_processes.size();
}

bool CUserSession::MarkStoppingIfEmpty() {
    CCritSecLock guard(m_lock);
    if (!m_processes.empty())
        return false;
    m_bStopping = true;
    return true;
}

void CUserSession::Stop() {
    m_bStopping = true;
    std::vector<WAITHANDLE> waits;
    std::vector<CComPtr<CProcessSession>> processes;
    CComPtr<IPellora> tray;
    CVariantMap contents, staticObjects;  // the variables, released outside the lock
    {
        CCritSecLock guard(m_lock);
        waits = {std::exchange(m_hWaitCleanup, 0), std::exchange(m_hWaitTimeout, 0),
                 std::exchange(m_hWaitTimer, 0)};
        processes.swap(m_processes);
        tray = std::move(m_ptrTray);
        m_ptrTrayIdentity = nullptr;
        m_ptrTimeoutSession = nullptr;
        contents.swap(m_mapContents);
        staticObjects.swap(m_mapStaticObjects);
    }
    // Cancelling waits for a running handler, which takes m_lock.
    CancelWaits(waits);
    // Released here, outside the lock: a process session's last reference may be ours.
    processes.clear();
    tray = nullptr;
}

void CUserSession::OnCleanup(int timedOut, void*) {
    try {
        if (!timedOut || m_bStopping)
            return;
        std::vector<std::string> dead;
        {
            CCritSecLock guard(m_lock);
            for (const auto& process : m_processes) {
                if (!process->IsOpen()) {
                    dead.push_back(process->KeyText());
                    --m_lTrayUsers;
                }
            }
        }
        for (const auto& key : dead)
            RemoveProcessSession(key);
        if (ProcessSessionCount() == 0 && m_pOwner) {
            // The owner takes its lock first, then asks us again under ours.
            m_pOwner->OnUserSessionEmpty(shared_from_this());
        }
    } catch (...) {
        ReportException("CUserSession::OnCleanup", CV_HERE);
    }
}

HRESULT CUserSession::ArmTimeout(DWORD ms, CComPtr<CProcessSession> session, WAITHANDLE* cancel) {
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (CheckExpression(!pool))
        return E_OUTOFMEMORY;
    WAITHANDLE old = std::exchange(m_hWaitTimeout, 0);
    if (cancel)
        *cancel = old;
    const std::uint64_t generation = ++m_uTimeoutGeneration;
    m_ptrTimeoutSession = std::move(session);
    HRESULT hr = pool->QueueWait<&CUserSession::OnTimeout>(
        this, &m_hWaitTimeout, m_hWaitEvent_Timeout, ms, WT_EXECUTEONLYONCE,
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(generation)));
    if (FAILED(hr))
        m_hWaitTimeout = 0;
    return CheckResultValue(hr);
}

HRESULT CUserSession::SetTimeout(LONG minutes) {
    try {
        if (CheckExpression(minutes < 0))
            return E_INVALIDARG;
        WAITHANDLE stale = 0;
        HRESULT hr;
        {
            CCritSecLock guard(m_lock);
            m_lTimeout = minutes;
            hr = ArmTimeout(static_cast<DWORD>(minutes) * UserSessionTimings::Current().msPerMinute,
                            nullptr, &stale);
        }
        CancelWaits({stale});
        return hr;
    } catch (...) {
        return ReportException("CUserSession::SetTimeout", CV_HERE);
    }
}

LONG CUserSession::Timeout() const {
    CCritSecLock guard(m_lock);
    return m_lTimeout;
}

void CUserSession::OnTimeout(int timedOut, void* parameter) {
    try {
        if (!timedOut || m_bStopping)
            return;
        CComPtr<CProcessSession> session;
        WAITHANDLE fired = 0;
        LCID lcid = 0;
        {
            CCritSecLock guard(m_lock);
            // A handler of a wait that was replaced meanwhile does nothing.
            if (parameter && reinterpret_cast<std::uintptr_t>(parameter) != m_uTimeoutGeneration)
                return;
            fired = std::exchange(m_hWaitTimeout, 0);
            session = std::move(m_ptrTimeoutSession);
            if (!session && !m_processes.empty())
                session = m_processes.front();
            lcid = m_lcid;
        }
        CancelWaits({fired});  // forgets the one-shot wait; safe from inside its handler
        if (!session)
            return;
        CheckResult(CancelTimer());
        CheckResult(session->CallOnEnd(lcid));
    } catch (...) {
        ReportException("CUserSession::OnTimeout", CV_HERE);
    }
}

HRESULT CUserSession::SetTimer(LONG minutes, const BSTR& function) {
    try {
        if (CheckExpression(minutes < 0))
            return E_INVALIDARG;
        HRESULT hr = CancelTimer();
        if (FAILED(hr))
            return hr;
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool))
            return E_OUTOFMEMORY;
        CCritSecLock guard(m_lock);
        m_strTimerFunction = function;
        // A zero interval would fire without pause; one millisecond is the least.
        DWORD ms = static_cast<DWORD>(minutes) * UserSessionTimings::Current().msPerMinute;
        return CheckResultValue(pool->QueueWait<&CUserSession::OnTimer>(
            this, &m_hWaitTimer, m_hWaitEvent_Timer, ms ? ms : 1, WT_EXECUTEDEFAULT, nullptr));
    } catch (...) {
        return ReportException("CUserSession::SetTimer", CV_HERE);
    }
}

HRESULT CUserSession::CancelTimer() {
    WAITHANDLE wait;
    {
        CCritSecLock guard(m_lock);
        wait = std::exchange(m_hWaitTimer, 0);
    }
    if (!wait)
        return S_OK;
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (CheckExpression(!pool))
        return E_UNEXPECTED;
    m_bCancellingTimer = true;
    HRESULT hr = pool->CancelWait(wait);
    m_bCancellingTimer = false;
    return CheckResultValue(hr);
}

void CUserSession::OnTimer(int timedOut, void*) {
    if (!timedOut || m_bCancellingTimer || m_bStopping)
        return;
    auto self = shared_from_this();
    auto call = CAsyncCall::CreateFunctionCall([self] { self->DoTimer(); });
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (CheckExpression(!call || !pool))
        return;
    CheckResult(pool->QueueCall(call, WT_EXECUTEDEFAULT));
}

void CUserSession::DoTimer() {
    try {
        CComPtr<CProcessSession> session;
        BSTR function;
        LCID lcid;
        {
            CCritSecLock guard(m_lock);
            if (m_processes.empty() || !m_hWaitTimer)
                return;
            session = m_processes.front();
            function = m_strTimerFunction;
            lcid = m_lcid;
        }
        CheckResult(session->CallOnTimer(lcid, function));
    } catch (...) {
        ReportException("CUserSession::DoTimer", CV_HERE);
    }
}

LCID CUserSession::Lcid() const {
    CCritSecLock guard(m_lock);
    return m_lcid;
}

void CUserSession::SetLcid(LCID lcid) {
    CCritSecLock guard(m_lock);
    m_lcid = lcid;
}

LONG CUserSession::CodePage() const {
    CCritSecLock guard(m_lock);
    return m_lCodePage;
}

void CUserSession::SetCodePage(LONG codePage) {
    CCritSecLock guard(m_lock);
    m_lCodePage = codePage;
}

namespace {

// The entry of a variable named `key`: the exact name, else one that differs only in
// letter case (scripts are written in languages whose names ignore case, and a session
// variable is found however a page spells it).
template <class Map>
auto FindVariable(Map& map, const CComVariant& key) {
    auto it = map.find(key);
    if (it != map.end() || key.vt != VT_BSTR)
        return it;
    const std::u16string_view name = BSTR::ViewOf(key.bstrVal);
    for (auto candidate = map.begin(); candidate != map.end(); ++candidate)
        if (candidate->first.vt == VT_BSTR &&
            EqualsNoCase(BSTR::ViewOf(candidate->first.bstrVal), name))
            return candidate;
    return map.end();
}

}  // namespace

HRESULT CUserSession::GetValue(const BSTR& name, VARIANT* value) const {
    try {
        if (CheckExpression(!value))
            return E_POINTER;
        VariantInit(value);
        const CComVariant key(name.IsNull() ? BSTR::Empty() : name);
        CCritSecLock guard(m_lock);
        for (const CVariantMap* pmap : {&m_mapContents, &m_mapStaticObjects}) {
            const auto it = FindVariable(*pmap, key);
            if (it != pmap->end())
                return CheckResultValue(VariantCopyOwnText(value, &it->second));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::GetValue", CV_HERE);
    }
}

HRESULT CUserSession::PutValue(const BSTR& name, const VARIANT& value) {
    try {
        CComVariant copy;
        HRESULT hr = VariantCopyInd(&copy, &value);
        if (!CheckResult(hr))
            return hr;
        CComVariant key(name.IsNull() ? BSTR::Empty() : name);
        CComVariant old;
        {
            CCritSecLock guard(m_lock);
            auto it = FindVariable(m_mapContents, key);
            if (it == m_mapContents.end())
                it = m_mapContents.emplace(std::move(key), CComVariant()).first;
            old = std::move(it->second);
            it->second = std::move(copy);
        }
        // The old value (maybe an object) is released outside the lock.
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::PutValue", CV_HERE);
    }
}

namespace {

// Keeps a user session alive for as long as a collection over its variables lives.
class CUserSessionHolder : public CComObjectRoot<CUserSessionHolder, IUnknown> {
public:
    std::shared_ptr<CUserSession> session;
};

}  // namespace

HRESULT CUserSession::MakeDictionary(bool bStaticObjects, IVariantDictionary** ppDictionary) {
    if (CheckExpression(!ppDictionary))
        return E_POINTER;
    *ppDictionary = nullptr;
    try {
        HRESULT hr = S_OK;
        CComPtr<CUserSessionHolder> ptrHolder = MakeObject<CUserSessionHolder>(&hr);
        if (!CheckResult(hr))
            return hr;
        ptrHolder->session = shared_from_this();
        CComPtr<CVariantDictionary> ptrDictionary = MakeObject<CVariantDictionary>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrDictionary->Init(&m_lock, static_cast<IUnknown*>(ptrHolder.Get()),
                                 bStaticObjects ? &m_mapStaticObjects : &m_mapContents,
                                 bStaticObjects);
        if (!CheckResult(hr))
            return hr;
        *ppDictionary = ptrDictionary.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CUserSession::MakeDictionary", CV_HERE);
    }
}

// The tray operations below name their copy of the tray like the member, so that a failed
// check logs "!m_ptrTray" and the tray call as the member's.
CComPtr<IPellora> CUserSession::Tray() const {
    CCritSecLock guard(m_lock);
    return m_ptrTray;
}

bool CUserSession::HasTray() const {
    return static_cast<bool>(Tray());
}

HRESULT CUserSession::BubbleHelp(const BSTR& title, const BSTR& message, const BSTR& url,
                                 const VARIANT& extras) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrTray->BubbleHelp(title, message, url, extras));
}

HRESULT CUserSession::GetTip(BSTR* text) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrTray->GetTip(text));
}

HRESULT CUserSession::SetTip(const BSTR& text) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrTray->SetTip(text));
}

HRESULT CUserSession::GetIcon(BSTR* text) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrTray->GetIcon(text));
}

HRESULT CUserSession::SetIcon(const BSTR& text) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    return CheckResultValue(m_ptrTray->SetIcon(text));
}

namespace {

std::mutex& StuckTrayLock() {
    static std::mutex s_lock;  // guards the handler only; a leaf lock
    return s_lock;
}

std::function<bool()>& StuckTrayHandler() {
    static std::function<bool()> s_handler;
    return s_handler;
}

}  // namespace

void CUserSession::SetStuckTrayHandler(std::function<bool()> handler) {
    std::lock_guard guard(StuckTrayLock());
    StuckTrayHandler() = std::move(handler);
}

HRESULT CUserSession::GetMenu(IMenu** menu) {
    CComPtr<IPellora> m_ptrTray = Tray();
    if (CheckExpression(!m_ptrTray))
        return E_UNEXPECTED;
    const HRESULT hr = m_ptrTray->GetMenu(menu);
    if (hr == E_UNEXPECTED) {
        // A tray program without a menu is stuck: the running ones are closed (they are
        // started again for the session) and the script goes on without a menu.
        std::function<bool()> handler;
        {
            std::lock_guard guard(StuckTrayLock());
            handler = StuckTrayHandler();
        }
        if (handler && handler())
            return S_OK;
    }
    return CheckResultValue(hr);
}
