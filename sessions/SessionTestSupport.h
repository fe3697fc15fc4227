// Test helpers for sessions: a recording IUserEvents, a fake tray program and short
// session intervals.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sessions/ProcessSession.h"
#include "sessions/UserEvents.h"
#include "sessions/UserSession.h"

struct RecordedEvent {
    std::string kind;  // "start", "end", "timer:<function>"
    LONG pid;
    std::chrono::steady_clock::time_point when;
};

class CRecordingEvents : public IUserEvents {
public:
    HRESULT OnStart(IUserObject* user, LCID) override { return Record("start", user); }
    HRESULT OnEnd(IUserObject* user, LCID) override { return Record("end", user); }
    HRESULT OnTimer(IUserObject* user, LCID, const BSTR& function) override {
        return Record("timer:" + function.ToUtf8(), user);
    }
    // Waits (bounded) until at least `n` events were recorded; a copy of them.
    std::vector<RecordedEvent> WaitFor(std::size_t n,
                                       std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, bound, [&] { return m_events.size() >= n; });
        return m_events;
    }
    std::vector<RecordedEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    HRESULT Record(std::string kind, IUserObject* user) {
        auto* session = static_cast<CProcessSession*>(user);
        std::lock_guard lock(m_mutex);
        m_events.push_back(
            {std::move(kind), session->ProcessId(), std::chrono::steady_clock::now()});
        m_cv.notify_all();
        return S_OK;
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<RecordedEvent> m_events;
};

class CFakeTray : public CComObjectRoot<CFakeTray, IPellora> {
public:
    HRESULT BubbleHelp(BSTR, BSTR, BSTR, const VARIANT&) override { return S_OK; }
    HRESULT SetPrivatePort(USHORT port) override {
        m_port = port;
        return S_OK;
    }
    HRESULT SetTip(BSTR text) override {
        m_tip = text;
        return S_OK;
    }
    HRESULT GetTip(BSTR* text) override {
        *text = m_tip;
        return S_OK;
    }
    HRESULT SetIcon(BSTR) override { return S_OK; }
    HRESULT GetIcon(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetMenu(IMenu**) override { return E_NOTIMPL; }
    HRESULT TestAlive() override { return m_alive ? S_OK : E_FAIL; }
    HRESULT DestroyTrayIcon() override { return S_OK; }
    HRESULT GetPrivatePort(USHORT* port) override {
        *port = m_port;
        return S_OK;
    }
    std::atomic<USHORT> m_port{0};
    std::atomic<bool> m_alive{true};
    BSTR m_tip;
};

// Short intervals for a test's life: one "minute" is `minuteMs`.
class CShortTimings {
public:
    CShortTimings(DWORD cleanupMs, DWORD endDelayMs, DWORD minuteMs)
        : m_saved(UserSessionTimings::Current()) {
        UserSessionTimings::Current() = {cleanupMs, endDelayMs, minuteMs};
    }
    ~CShortTimings() { UserSessionTimings::Current() = m_saved; }

private:
    UserSessionTimings m_saved;
};
