// CAsyncThreadPool (THREAD_POOL): the threads that run everything but the main thread.
//
// Three operations: queue a call, register a wait on an event (it fires when the event
// is signalled or its time-out elapses, once or repeatedly), and cancel a wait. Asio's
// io_context is the queue; the socket objects of the program run their completions on
// the same io_context. Calls that may block for long are queued with
// WT_EXECUTELONGFUNCTION, which adds a thread when none is idle, so a few slow scripts
// never starve the accept and I/O work.
//
// Locks: the pool's lock guards the map of registered waits only. It is innermost:
// nothing else is taken while it is held, and it is never held while calling out.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "async/AsyncCall.h"
#include "async/Delegate.h"
#include "async/Event.h"
#include "com/CriticalSection.h"
#include "com/HResult.h"
#include "com/Singleton.h"

constexpr DWORD WT_EXECUTEDEFAULT = 0x00;
constexpr DWORD WT_EXECUTEINIOTHREAD = 0x01;
constexpr DWORD WT_EXECUTEONLYONCE = 0x08;
constexpr DWORD WT_EXECUTELONGFUNCTION = 0x10;

// Identifies a registered wait; 0 is never a valid handle.
using WAITHANDLE = std::uint64_t;

// The handler of a registered wait: (timed-out flag, parameter).
using WaitCallback = CDelegate_2<void, int, void*>;

class CAsyncThreadPool {
public:
    // Starts `threads` pool threads (0: twice the processors, at least four).
    explicit CAsyncThreadPool(unsigned threads = 0);
    ~CAsyncThreadPool();
    CAsyncThreadPool(const CAsyncThreadPool&) = delete;
    CAsyncThreadPool& operator=(const CAsyncThreadPool&) = delete;

    // Queues a call. On success the pool owns it (the pointer is emptied) and deletes it
    // after it has run. A failure before queueing leaves the caller owning it; a failure
    // inside the queue (out of memory) has already released it.
    HRESULT QueueCall(std::unique_ptr<CAsyncCall>& call, DWORD flags);

    // Runs `fn` on the calling thread (a pool thread) as a long call: counted like one
    // queued with WT_EXECUTELONGFUNCTION, so a thread is added if it blocks, without the
    // hop to another thread (a wake-up and a context switch) that queueing costs.
    template <class F>
    void RunLongCallHere(F&& fn) {
        BeginLongCall();
        struct End {
            CAsyncThreadPool* pool;
            ~End() { pool->EndLongCall(); }
        } end{this};
        fn();
    }

    // Registers a wait that calls `object->*Handler(timedOut, parameter)`.
    template <auto Handler, class T>
    HRESULT QueueWait(T* object, WAITHANDLE* newHandle, const std::shared_ptr<CEvent>& event,
                      DWORD timeoutMs, DWORD flags, void* parameter) {
        return RegisterWait(WaitCallback::Bind<Handler>(object), newHandle, event, timeoutMs, flags,
                            parameter);
    }
    HRESULT RegisterWait(WaitCallback callback, WAITHANDLE* newHandle,
                         const std::shared_ptr<CEvent>& event, DWORD timeoutMs, DWORD flags,
                         void* parameter);

    // Unregisters a wait. Returns after any running callback of it has returned, unless
    // called from inside that callback. After it returns the handler is not called again.
    HRESULT CancelWait(WAITHANDLE wait);

    // The io_context on which sockets of the program run.
    asio::io_context& Context() { return m_io; }
    std::size_t ThreadCount() const;

    // The work-item and wait callbacks; a null context does nothing.
    static DWORD WorkItemFn(CAsyncCall* call);

private:
    class CWaitEntry;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;  // set by an extra thread as it leaves
    };
    void RunExtraThread(std::atomic<bool>& done);
    // Count a long call in and out; see QueueCall.
    void BeginLongCall();
    void EndLongCall();
    // Adds a thread when every thread has been in a long call for a while; see QueueCall.
    void WatchLongCalls();
    void AddThread();

    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    std::atomic<int> m_longCalls{0};            // long calls running now
    std::atomic<std::size_t> m_threadCount{0};  // threads that have not left
    std::atomic<std::uint64_t> m_longDone{0};   // long calls finished so far

    // The watcher of long calls: woken when as many long calls are queued or running as
    // there are threads.
    std::mutex m_watchLock;  // guards m_bWatchWake; taken before m_lock
    std::condition_variable m_watchCv;
    bool m_bWatchWake = false;
    std::atomic<bool> m_bWatching{false};  // the watcher is in its grace periods
    std::thread m_watcher;
    std::atomic<bool> m_stopping{false};

    // Guards m_waits, m_threads and m_nextHandle. Innermost lock of the program.
    mutable CComAutoCriticalSection m_lock;
    std::unordered_map<WAITHANDLE, std::shared_ptr<CWaitEntry>> m_waits;
    std::vector<Worker> m_threads;
    WAITHANDLE m_nextHandle = 1;
};

using THREAD_POOL = CSingleton<CAsyncThreadPool, CComAutoCriticalSection>;
