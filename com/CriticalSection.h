// The re-entrant lock of the program's critical sections.
//
// A thread that holds the lock may take it again (call-backs from a running script
// re-enter the lock of the page that runs it); the lock knows its owner, so an unlock
// by a thread that does not hold it does nothing instead of corrupting the lock.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class CComAutoCriticalSection {
public:
    void Lock() {
        const auto self = std::this_thread::get_id();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            ++m_depth;
            return;
        }
        m_mutex.lock();
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
    }
    bool TryLock() {
        const auto self = std::this_thread::get_id();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            ++m_depth;
            return true;
        }
        if (!m_mutex.try_lock()) return false;
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
        return true;
    }
    // Returns false (and changes nothing) when the calling thread does not hold the lock.
    bool Unlock() {
        if (m_owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
        if (--m_depth == 0) {
            m_owner.store(std::thread::id(), std::memory_order_relaxed);
            m_mutex.unlock();
        }
        return true;
    }
    bool IsHeldByCurrentThread() const {
        return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    // BasicLockable, for std::lock_guard and std::unique_lock.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    std::mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
    unsigned m_depth = 0;  // guarded by m_mutex
};

// Holds a CComAutoCriticalSection for a scope.
using CCritSecLock = std::lock_guard<CComAutoCriticalSection>;
