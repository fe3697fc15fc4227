// Events: auto-reset or manual-reset signals that threads and registered waits wait on.
//
// An auto-reset event wakes exactly one waiter per Set and then is unsignalled again;
// with nobody waiting it stays signalled until one comes. A manual-reset event stays
// signalled until Reset and wakes every waiter. Registered waits of the thread pool are
// `IEventWaiter`s: the event hands a signal to the first armed one by removing it from
// its list and calling `OnClaimed` (under the event's lock, so a claim only posts work).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "com/Types.h"

constexpr DWORD INFINITE = 0xFFFFFFFF;

class IEventWaiter {
public:
    // The event gave this waiter a signal. Called with the event's lock held.
    virtual void OnClaimed() = 0;

protected:
    ~IEventWaiter() = default;
};

class CEvent {
public:
    static std::shared_ptr<CEvent> Create(bool manualReset = false, bool initialState = false);
    CEvent(bool manualReset, bool initialState)
        : m_manualReset(manualReset), m_signaled(initialState) {}

    void Set();
    void Reset();
    // Blocks the calling thread until signalled or until the time-out (milliseconds,
    // INFINITE for none) elapses; true when signalled.
    bool Wait(DWORD timeoutMs = INFINITE);
    bool IsSignaled() const;

    // For the pool's registered waits: arms a waiter. Returns true, without arming, when
    // the event is already signalled (the signal is consumed for an auto-reset event).
    bool Arm(const std::shared_ptr<IEventWaiter>& waiter);
    // Disarms; true when the waiter was armed (it had not been claimed yet).
    bool Disarm(const IEventWaiter* waiter);

private:
    // Guards the signal state and the armed waiters. Taken after a wait's own lock and
    // before the pool's lock; nothing is called out while it is held except OnClaimed.
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    const bool m_manualReset;
    bool m_signaled;
    int m_blockedThreads = 0;
    std::vector<std::shared_ptr<IEventWaiter>> m_waiters;
};
