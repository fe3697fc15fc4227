// CInstanceCount: how many objects of a self-deleting class are alive.
//
// Readers and writers own themselves once started, so nobody holds a pointer that would
// show when the last of them has gone. Each class keeps one of these counters; shutdown
// (and the tests) wait on it for the objects to finish before the sockets' io_context
// goes away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "com/Types.h"

class CInstanceCount {
public:
    void Add() {
        std::lock_guard guard(m_lock);
        ++m_count;
    }
    void Remove() {
        std::lock_guard guard(m_lock);
        if (--m_count == 0)
            m_zero.notify_all();
    }
    long Count() const {
        std::lock_guard guard(m_lock);
        return m_count;
    }
    // True once no object is alive; false when `timeoutMs` elapsed first.
    bool WaitForNone(DWORD timeoutMs) const {
        std::unique_lock guard(m_lock);
        return m_zero.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_count == 0; });
    }

private:
    // Guards m_count; innermost, held for the count only.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_zero;
    long m_count = 0;
};
