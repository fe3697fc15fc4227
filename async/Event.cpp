// Event signalling between threads and registered waits.
#include "async/Event.h"

#include <algorithm>
#include <chrono>

std::shared_ptr<CEvent> CEvent::Create(bool manualReset, bool initialState) {
    return std::make_shared<CEvent>(manualReset, initialState);
}

void CEvent::Set() {
    std::lock_guard guard(m_lock);
    if (m_manualReset) {
        m_signaled = true;
        auto waiters = std::move(m_waiters);
        m_waiters.clear();
        for (auto& w : waiters) w->OnClaimed();
        m_cv.notify_all();
        return;
    }
    if (!m_waiters.empty()) {
        auto waiter = std::move(m_waiters.front());
        m_waiters.erase(m_waiters.begin());
        waiter->OnClaimed();
        return;
    }
    m_signaled = true;
    if (m_blockedThreads > 0) m_cv.notify_one();
}

void CEvent::Reset() {
    std::lock_guard guard(m_lock);
    m_signaled = false;
}

bool CEvent::IsSignaled() const {
    std::lock_guard guard(m_lock);
    return m_signaled;
}

bool CEvent::Wait(DWORD timeoutMs) {
    std::unique_lock lock(m_lock);
    ++m_blockedThreads;
    auto ready = [this] { return m_signaled; };
    bool got;
    if (timeoutMs == INFINITE) {
        m_cv.wait(lock, ready);
        got = true;
    } else {
        got = m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    --m_blockedThreads;
    if (got && !m_manualReset) m_signaled = false;
    return got;
}

bool CEvent::Arm(const std::shared_ptr<IEventWaiter>& waiter) {
    std::lock_guard guard(m_lock);
    if (m_signaled) {
        if (!m_manualReset) m_signaled = false;
        return true;
    }
    m_waiters.push_back(waiter);
    return false;
}

bool CEvent::Disarm(const IEventWaiter* waiter) {
    std::lock_guard guard(m_lock);
    auto it = std::find_if(m_waiters.begin(), m_waiters.end(),
                           [waiter](const auto& w) { return w.get() == waiter; });
    if (it == m_waiters.end()) return false;
    m_waiters.erase(it);
    return true;
}
