// The pool's threads, queued calls and registered waits.
#include "async/AsyncThreadPool.h"

#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <algorithm>
#include <condition_variable>

namespace {
constexpr unsigned kMaxThreads = 128;
constexpr auto kExtraThreadIdle = std::chrono::seconds(30);
// How long every thread must be in a long call, with none of them finishing, before the
// pool adds a thread: quick long calls (write completions under load) never wait this
// long, blocked ones (a script, a peer that does not read) do.
constexpr auto kLongCallGrace = std::chrono::milliseconds(5);
}  // namespace

// One registered wait. Arming, firing and the time-out run on the wait's strand, so
// callbacks of one wait never overlap; the event decides which of signal and time-out
// wins by whether it still has the wait armed.
class CAsyncThreadPool::CWaitEntry final : public IEventWaiter,
                                           public std::enable_shared_from_this<CWaitEntry> {
public:
    CWaitEntry(asio::io_context& io, WaitCallback callback, void* parameter,
               std::shared_ptr<CEvent> event, DWORD timeoutMs, bool once)
        : m_strand(asio::make_strand(io)),
          m_timer(m_strand),
          m_callback(callback),
          m_parameter(parameter),
          m_event(std::move(event)),
          m_timeoutMs(timeoutMs),
          m_once(once) {}

    void Start() {
        asio::dispatch(m_strand, [self = shared_from_this()] { self->Arm(); });
    }

    void OnClaimed() override {
        asio::post(m_strand, [self = shared_from_this()] {
            if (self->m_timeoutMs != INFINITE)
                self->m_timer.cancel();
            self->Fire(false);
        });
    }

    // Marks the wait cancelled and waits for a running callback (not when the caller is
    // that callback).
    void Cancel() {
        {
            std::unique_lock lock(m_lock);
            m_cancelled = true;
            ++m_cancelWaiters;
            m_cv.wait(lock,
                      [this] { return !m_running || m_runner == std::this_thread::get_id(); });
            --m_cancelWaiters;
        }
        m_event->Disarm(this);
        asio::post(m_strand, [self = shared_from_this()] { self->m_timer.cancel(); });
    }

private:
    // On the strand.
    void Arm() {
        {
            // Holding the wait's lock while arming orders it against Cancel: a cancelled
            // wait is never armed again.
            std::lock_guard lock(m_lock);
            if (m_cancelled)
                return;
            if (!m_event->Arm(shared_from_this())) {
                ++m_generation;
                if (m_timeoutMs != INFINITE) {
                    m_timer.expires_after(std::chrono::milliseconds(m_timeoutMs));
                    m_timer.async_wait(asio::bind_executor(
                        m_strand, [self = shared_from_this(), gen = m_generation](
                                      const std::error_code& ec) { self->OnTimer(ec, gen); }));
                }
                return;
            }
        }
        // Already signalled: the event gave us its signal without arming.
        asio::post(m_strand, [self = shared_from_this()] { self->Fire(false); });
    }

    // On the strand.
    void OnTimer(const std::error_code& ec, std::uint64_t generation) {
        if (ec || generation != m_generation)
            return;
        if (m_event->Disarm(this))
            Fire(true);
    }

    // On the strand.
    void Fire(bool timedOut) {
        {
            std::lock_guard lock(m_lock);
            if (m_cancelled)
                return;
            m_running = true;
            m_runner = std::this_thread::get_id();
        }
        try {
            m_callback(timedOut ? 1 : 0, m_parameter);
        } catch (...) {
            ReportException("CAsyncThreadPool::WaitFn", CV_HERE);
        }
        bool again, waiters;
        {
            std::lock_guard lock(m_lock);
            m_running = false;
            m_runner = {};
            again = !m_cancelled && !m_once;
            waiters = m_cancelWaiters > 0;
        }
        if (waiters)
            m_cv.notify_all();
        if (again)
            Arm();
    }

    asio::strand<asio::io_context::executor_type> m_strand;
    asio::steady_timer m_timer;      // used on the strand only
    std::uint64_t m_generation = 0;  // strand only: tells a stale time-out from a live one
    const WaitCallback m_callback;
    void* const m_parameter;
    const std::shared_ptr<CEvent> m_event;
    const DWORD m_timeoutMs;
    const bool m_once;

    // Guards the cancelled and running state; taken before the event's lock.
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_cancelled = false;
    bool m_running = false;
    int m_cancelWaiters = 0;
    std::thread::id m_runner;
};

CAsyncThreadPool::CAsyncThreadPool(unsigned threads) : m_work(asio::make_work_guard(m_io)) {
    if (threads == 0)
        threads = std::max(4u, 2 * std::thread::hardware_concurrency());
    CCritSecLock guard(m_lock);
    for (unsigned i = 0; i < threads; ++i) {
        m_threads.push_back(Worker{std::thread([this] { m_io.run(); }), nullptr});
    }
    m_threadCount = m_threads.size();
    m_watcher = std::thread([this] { WatchLongCalls(); });
}

CAsyncThreadPool::~CAsyncThreadPool() {
    std::vector<std::shared_ptr<CWaitEntry>> waits;
    {
        CCritSecLock guard(m_lock);
        for (auto& [handle, entry] : m_waits)
            waits.push_back(entry);
        m_waits.clear();
    }
    for (auto& entry : waits)
        entry->Cancel();
    {
        std::lock_guard watch(m_watchLock);
        m_stopping = true;
    }
    m_watchCv.notify_all();
    if (m_watcher.joinable())
        m_watcher.join();
    m_work.reset();
    m_io.stop();
    std::vector<Worker> threads;
    {
        CCritSecLock guard(m_lock);
        threads.swap(m_threads);
    }
    for (auto& w : threads)
        if (w.thread.joinable())
            w.thread.join();
}

void CAsyncThreadPool::RunExtraThread(std::atomic<bool>& done) {
    // An extra thread leaves once it has found nothing to do for a while.
    while (!m_stopping && m_io.run_one_for(kExtraThreadIdle) > 0) {
    }
    --m_threadCount;
    done = true;
}

std::size_t CAsyncThreadPool::ThreadCount() const {
    CCritSecLock guard(m_lock);
    return m_threads.size();
}

void CAsyncThreadPool::WatchLongCalls() {
    const auto saturated = [this] {
        return static_cast<std::size_t>(m_longCalls.load()) >= m_threadCount.load();
    };
    std::unique_lock lock(m_watchLock);
    while (!m_stopping) {
        m_watchCv.wait(lock, [&] { return m_stopping || m_bWatchWake || saturated(); });
        m_bWatchWake = false;
        // While the long calls queued or running are as many as the threads, a grace
        // period in which none of them finishes adds a thread, so the calls queued
        // behind them still run. Callers do not wake the watcher while it watches.
        m_bWatching = true;
        while (!m_stopping && saturated()) {
            const std::uint64_t done = m_longDone.load();
            m_watchCv.wait_for(lock, kLongCallGrace, [this] { return m_stopping.load(); });
            if (!m_stopping && saturated() && m_longDone.load() == done)
                AddThread();
        }
        m_bWatching = false;
    }
}

void CAsyncThreadPool::AddThread() {
    CCritSecLock guard(m_lock);
    // Extra threads that have left are joined (at once: they have returned) and forgotten.
    std::erase_if(m_threads, [](Worker& w) {
        if (!w.done || !w.done->load())
            return false;
        w.thread.join();
        return true;
    });
    if (m_threads.size() >= kMaxThreads)
        return;
    auto done = std::make_shared<std::atomic<bool>>(false);
    ++m_threadCount;
    m_threads.push_back(Worker{std::thread([this, done] { RunExtraThread(*done); }), done});
}

DWORD CAsyncThreadPool::WorkItemFn(CAsyncCall* call) {
    if (!call)
        return 0;
    try {
        call->Invoke();
    } catch (...) {
        ReportException("CAsyncThreadPool::WorkItemFn", CV_HERE);
    }
    return 0;
}

void CAsyncThreadPool::BeginLongCall() {
    // Only calls that may block are counted, so ordinary calls cost no shared counter.
    // When the long calls queued or running are as many as the threads, the watcher
    // looks: if none of them finishes for a short while, it adds a thread for the rest.
    // Blocked calls so get a thread; a burst of quick long calls (write completions under
    // load) does not grow the pool.
    const int counted = ++m_longCalls;
    if (static_cast<std::size_t>(counted) >= m_threadCount.load() && !m_bWatching.load()) {
        {
            std::lock_guard watch(m_watchLock);
            m_bWatchWake = true;
        }
        m_watchCv.notify_one();
    }
}

void CAsyncThreadPool::EndLongCall() {
    ++m_longDone;
    --m_longCalls;
}

HRESULT CAsyncThreadPool::QueueCall(std::unique_ptr<CAsyncCall>& call, DWORD flags) {
    if (CheckExpression(!call))
        return E_POINTER;
    if (CheckExpression(m_stopping.load()))
        return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
    try {
        if (flags & WT_EXECUTELONGFUNCTION) {
            BeginLongCall();
            try {
                asio::post(m_io, [this, owned = std::move(call)] {
                    WorkItemFn(owned.get());
                    EndLongCall();
                });
            } catch (...) {
                EndLongCall();
                throw;
            }
        } else {
            asio::post(m_io, [owned = std::move(call)] { WorkItemFn(owned.get()); });
        }
        return S_OK;
    } catch (...) {
        return ReportException("CAsyncThreadPool::QueueCall", CV_HERE);
    }
}

HRESULT CAsyncThreadPool::RegisterWait(WaitCallback callback, WAITHANDLE* newHandle,
                                       const std::shared_ptr<CEvent>& event, DWORD timeoutMs,
                                       DWORD flags, void* parameter) {
    if (CheckExpression(!newHandle || !event || !callback))
        return E_INVALIDARG;
    *newHandle = 0;
    try {
        auto entry = std::make_shared<CWaitEntry>(m_io, callback, parameter, event, timeoutMs,
                                                  (flags & WT_EXECUTEONLYONCE) != 0);
        {
            CCritSecLock guard(m_lock);
            *newHandle = m_nextHandle++;
            m_waits.emplace(*newHandle, entry);
        }
        entry->Start();
        return S_OK;
    } catch (...) {
        return ReportException("CAsyncThreadPool::QueueWait", CV_HERE);
    }
}

HRESULT CAsyncThreadPool::CancelWait(WAITHANDLE wait) {
    std::shared_ptr<CWaitEntry> entry;
    {
        CCritSecLock guard(m_lock);
        auto it = m_waits.find(wait);
        if (it != m_waits.end()) {
            entry = std::move(it->second);
            m_waits.erase(it);
        }
    }
    // Waiting for a running callback happens outside the pool's lock, so a callback
    // that uses the pool cannot deadlock with its own cancellation.
    if (entry)
        entry->Cancel();
    return S_OK;
}
