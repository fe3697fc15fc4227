// How the relay moves bytes: start, readiness, reads handed through the classification
// gate into the queues, writes out of them, splice bursts once decided, and teardown.
// The gate itself and the decisions are in PassthruClassify.cpp.
#include "passthru/Passthru.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "com/DiagnosticLog.h"
#include "http/HTTPRequest.h"
#include "passthru/HTTPClassifier.h"
#include "passthru/PipePool.h"
#include "passthru/ProtocolDetector.h"

namespace {

CInstanceCount g_relays;

// Bytes one splice moves into the pipe at most.
constexpr std::size_t kSpliceChunk = 1 << 20;
// Bytes of the application's data that the request watch looks at before a splice.
constexpr std::size_t kWatchBytes = 8192;

}  // namespace

struct CPassthru::CPendingOps {
    std::mutex lock;  // guards count and ended; innermost
    long count = 0;
    bool ended = false;  // Term has run: whoever brings the count to 0 frees the relay
};

std::string_view CPassthru::View(const CBuffer* buffer) {
    if (!buffer)
        return {};
    return {reinterpret_cast<const char*>(buffer->data()), buffer->length()};
}

const CInstanceCount& CPassthru::Instances() {
    return g_relays;
}

CPassthru::CPassthru(CComPtr<IUnknown> ptrSession, CSocketHandle sockInner, CSocketHandle sockOuter,
                     std::string strHost)
    : m_ptrSession(std::move(ptrSession)),
      m_sockInner(std::move(sockInner)),
      m_sockOuter(std::move(sockOuter)),
      m_strHost(std::move(strHost)),
      m_pending(std::make_shared<CPendingOps>()) {
    g_relays.Add();
}

CPassthru::~CPassthru() {
    for (auto& queue : m_queue) {
        for (CBuffer* buffer : queue)
            delete buffer;
    }
    for (auto& pipe : m_pipe)
        CPipePool::Give(pipe, false);
    g_relays.Remove();
}

// ---- References and pending operations ---------------------------------------------

void CPassthru::AddRef() {
    ++m_nRefs;
}

void CPassthru::Release() {
    if (--m_nRefs == 0)
        Stop();
}

void CPassthru::BeginPending() {
    std::lock_guard guard(m_pending->lock);
    ++m_pending->count;
}

void CPassthru::EndPending() {
    // Once the count is down, teardown may free the relay: the caller touches nothing of
    // it from here on. The last operation to end after Term frees it here.
    const std::shared_ptr<CPendingOps> pending = m_pending;  // outlives the unlock
    bool last;
    {
        std::lock_guard guard(pending->lock);
        last = --pending->count == 0 && pending->ended;
    }
    if (last)
        Destroy();
}

CPassthru*& CPassthru::ClassifyingHere() {
    static thread_local CPassthru* t_pRelay = nullptr;
    return t_pRelay;
}

void CPassthru::Signal(Side target) {
    // Signals coalesce until the call that serves them starts, like an auto-reset event
    // with one waiter; the call counts as an operation in flight.
    if (m_bWriteSignalled[target].exchange(true))
        return;
    BeginPending();
    if (ClassifyingHere() == this) {
        m_bSignalHeld[target] = true;
        return;
    }
    auto call = CAsyncCall::CreateCall<&CPassthru::OnWriteSignal>(this, static_cast<int>(target));
    CAsyncThreadPool* pool = THREAD_POOL::exists() ? THREAD_POOL::instance() : nullptr;
    if (call && pool && CheckResult(pool->QueueCall(call, WT_EXECUTELONGFUNCTION)))
        return;
    CheckExpression(!call || !pool);
    m_bWriteSignalled[target] = false;
    Stop();
    EndPending();  // last: the relay may be gone from here on
}

void CPassthru::OnWriteSignal(int target) {
    // Cleared first: a signal from here on queues a new call, which finds its data.
    m_bWriteSignalled[target] = false;
    OnWriteReady(0, target == kInner ? &m_sockInner : &m_sockOuter);
    EndPending();
}

void CPassthru::ServeHeldSignals() {
    // The destination's side first: on a decision to go on, the held request.
    for (Side s : {kOuter, kInner})
        if (std::exchange(m_bSignalHeld[s], false))
            OnWriteSignal(s);
}

// ---- Start --------------------------------------------------------------------------

HRESULT CPassthru::Start(CBuffer* buffer) {
    bool running = false;
    try {
        if (buffer && buffer->length() > 0)
            m_queue[kOuter].push_back(buffer);
        else
            delete buffer;
        buffer = nullptr;

        HRESULT hr = S_OK;
        if (CheckExpression(!THREAD_POOL::instance()))
            hr = E_OUTOFMEMORY;
        if (SUCCEEDED(hr))
            hr = CheckResultValue(m_watch[kInner].Open(m_sockInner));
        if (SUCCEEDED(hr))
            hr = CheckResultValue(m_watch[kOuter].Open(m_sockOuter));
        if (FAILED(hr)) {
            delete this;  // nothing is running yet
            return hr;
        }

        // One reference per side that is watched; each goes when its direction has ended.
        // The first side may fail, and its teardown run, before the second is armed:
        // Start counts as an operation in flight, so the relay is not freed under it.
        running = true;
        BeginPending();
        AddRef();
        AddRef();
        hr = ArmRead(kInner);
        if (CheckResult(hr))
            hr = CheckResultValue(ArmRead(kOuter));
        if (FAILED(hr)) {
            Release();
            Release();  // the relay stops
        }
        EndPending();  // the relay may be gone from here on
        return hr;
    } catch (...) {
        const HRESULT hr = ReportException("CPassthru::Start", CV_HERE);
        if (!running) {
            delete buffer;  // null once queued
            delete this;
        }
        return hr;
    }
}

// ---- Readiness and reads ------------------------------------------------------------

HRESULT CPassthru::ArmRead(Side s) {
    BeginPending();
    const HRESULT hr =
        m_watch[s].WaitReadable([this, s](const std::error_code& ec, std::size_t bytes) {
            OnReadReady(s, ec, bytes);
            EndPending();
        });
    if (FAILED(hr))
        EndPending();
    return hr;
}

void CPassthru::OnReadReady(Side s, const std::error_code& ec, std::size_t bytes) {
    try {
        if (ec == asio::error::operation_aborted || m_bStopping)
            return;
        // The peek tells the events apart: a byte waiting is FD_READ, the end of the
        // stream or a failure is FD_CLOSE with its error.
        const bool fdRead = !ec && bytes > 0;
        const DWORD closeError = fdRead ? 0 : SocketError(ec);
        HRESULT hr = S_OK;
        bool burst = false;
        bool handedOn = false;  // a chunk went to HandleChunk, which may leave a classification
        {
            CCritSecLock relay(m_lockRelay);
            if (!fdRead) {
                // The peek that saw the end of the stream or a failure has said all that
                // a read would: the end goes straight to the queues, and a failure (an
                // abort included, which a read would only repeat) stops the relay. No
                // read follows on this socket, whose readiness Asio now takes as spent.
                if (closeError != 0) {
                    hr = HRESULT_FROM_WIN32(static_cast<long>(closeError));
                } else if (!m_bReading[s] && !m_bEndQueued[s]) {
                    m_bCloseSeen[s] = true;
                    bool take = false;
                    CBuffer* marker = new CBuffer();
                    HandleChunk(s, marker, true, take);
                    handedOn = true;
                    if (!take)
                        delete marker;
                } else {
                    m_bCloseSeen[s] = true;
                }
            } else if (CanSplice(s)) {
                m_bReading[s] = true;
                m_bWriting[Other(s)] = true;
                AddRef();
                BeginPending();
                burst = true;
            } else {
                hr = Read(s);
            }
        }
        if (handedOn)
            RunPendingClassification();
        if (FAILED(hr)) {
            LogTrace("Passthru %s: %s side failed: 0x%08X", m_strHost.c_str(),
                     s == kInner ? "application" : "destination", static_cast<unsigned>(hr));
            Stop();
        } else if (burst) {
            Burst(s);
        }
    } catch (...) {
        ReportException("CPassthru::OnReadReady", CV_HERE);
        Stop();
    }
}

HRESULT CPassthru::Read(Side s) {
    auto* reader = new (std::nothrow) CAsyncRead(Sock(s));
    if (CheckExpression(!reader))
        return E_OUTOFMEMORY;
    m_bReading[s] = true;
    AddRef();
    BeginPending();
    const HRESULT hr = s == kInner ? reader->read<&CPassthru::OnReadSide<kInner>>(this)
                                   : reader->read<&CPassthru::OnReadSide<kOuter>>(this);
    if (!CheckResult(hr)) {
        delete reader;
        m_bReading[s] = false;
        Release();
        EndPending();
    }
    return hr;
}

HRESULT CPassthru::ReadNow(Side s) {
    CCritSecLock relay(m_lockRelay);
    // Read onto the stack and give the chunk a buffer of its own size: a request is a few
    // hundred bytes, and a block of kWatchBytes for every read would take the allocator's
    // path for large blocks (which first merges every small block freed since) each time.
    unsigned char bytes[kWatchBytes];
    ssize_t n = 0;
    do {
        n = ::recv(m_watch[s].Descriptor(), bytes, sizeof(bytes), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ArmRead(s);  // nothing after all: readiness tells when there is
    if (n < 0) {
        const DWORD error = SocketError(std::error_code(errno, std::system_category()));
        LogTrace("Passthru %s: reading the %s side failed with %lu", m_strHost.c_str(),
                 s == kInner ? "application" : "destination", static_cast<unsigned long>(error));
        return HRESULT_FROM_WIN32(static_cast<long>(error));
    }
    auto buffer = std::make_unique<CBuffer>(static_cast<std::uint32_t>(n));
    if (CheckExpression(buffer->append(bytes, n) != 0))
        return E_OUTOFMEMORY;
    m_bReading[s] = true;
    bool take = false;
    HandleChunk(s, buffer.get(), n == 0, take);
    if (take)
        buffer.release();  // queued: the writer frees it
    return S_OK;
}

template <int S>
bool CPassthru::OnReadSide(DWORD error, CSocketHandle, CBuffer* buffer, bool endOfStream,
                           bool& takeBuffer) {
    OnRead(static_cast<Side>(S), error, buffer, endOfStream, takeBuffer);
    return false;  // every read is one chunk; readiness starts the next
}

void CPassthru::OnRead(Side s, DWORD error, CBuffer* buffer, bool endOfStream, bool& takeBuffer) {
    try {
        if (error != 0) {
            // A reset or a failed receive: the connection cannot be relayed faithfully.
            LogTrace("Passthru %s: reading the %s side failed with %lu", m_strHost.c_str(),
                     s == kInner ? "application" : "destination",
                     static_cast<unsigned long>(error));
            Stop();
        } else if (!m_bStopping) {
            HandleChunk(s, buffer, endOfStream, takeBuffer);
            RunPendingClassification();
        }
    } catch (...) {
        ReportException("CPassthru::OnRead", CV_HERE);
        Stop();
    }
    Release();
    EndPending();
}

void CPassthru::HandleChunk(Side s, CBuffer* buffer, bool endOfStream, bool& takeBuffer) {
    const Side t = Other(s);
    CCritSecLock relay(m_lockRelay);
    if (s == kInner && !endOfStream)
        WatchRequest(buffer);

    bool bPassOn = false;
    if (!CheckResult(Classify(buffer, s == kInner, endOfStream, bPassOn))) {
        // Nothing can decide for this connection any more.
        Stop();
        return;
    }

    m_bReading[s] = false;
    if (!endOfStream) {
        takeBuffer = true;
        {
            CCritSecLock queue(m_lockQueue);
            m_queue[t].push_back(buffer);
        }
        if (bPassOn)
            Signal(t);
        if (!CheckResult(ArmRead(s)))
            Stop();
        return;
    }

    // A read that returns nothing is the peer's orderly close.
    m_bCloseSeen[s] = true;
    if (m_bEndQueued[s])
        return;
    m_bEndQueued[s] = true;
    // A connection that is already gone altogether (both directions ended) has nothing
    // left to shut; that is the normal end of most connections, not a failure.
    const HRESULT hrShutdown = Sock(s).Shutdown(asio::socket_base::shutdown_receive);
    if (hrShutdown != HRESULT_FROM_WIN32(WSAENOTCONN))
        CheckResult(hrShutdown);
    CBuffer* marker = buffer;
    if (marker) {
        takeBuffer = true;
        marker->consume(marker->length());
    } else {
        marker = new CBuffer();
    }
    AddRef();  // the marker's reference
    {
        CCritSecLock queue(m_lockQueue);
        m_queue[t].push_back(marker);
    }
    if (bPassOn)
        Signal(t);
}

// ---- Writes -------------------------------------------------------------------------

void CPassthru::OnWriteReady(int timedOut, void* context) {
    try {
        if (CheckExpression(timedOut)) {
            Stop();
            return;
        }
        const Side target = context == &m_sockInner ? kInner : kOuter;
        CCritSecLock relay(m_lockRelay);
        if (!m_bWriting[target]) {
            m_bWriting[target] = true;
            WriteNext(target);
        }
    } catch (...) {
        ReportException("CPassthru::OnWriteReady", CV_HERE);
        Stop();
    }
}

HRESULT CPassthru::WriteNext(Side target) {
    CCritSecLock relay(m_lockRelay);
    const Side source = Other(target);
    for (;;) {
        CBuffer* buffer = nullptr;
        {
            CCritSecLock queue(m_lockQueue);
            auto& q = m_queue[target];
            if (q.empty() || m_bStopping) {
                m_bWriting[target] = false;
                return S_OK;
            }
            // Data queued behind the end-of-stream marker goes first.
            if (q.front()->length() == 0 && m_bEndQueued[source] && q.size() > 1) {
                q.push_back(q.front());
                q.pop_front();
            }
            buffer = q.front();
            q.pop_front();
        }
        if (buffer->length() == 0 && m_bEndQueued[source]) {
            delete buffer;
            if (!m_bSendShut[target])
                CheckResult(Sock(target).Shutdown(asio::socket_base::shutdown_send));
            m_bSendShut[target] = true;
            const bool dropDirection = !m_bDirectionDone[target];
            m_bDirectionDone[target] = true;
            Release();  // the marker's
            if (dropDirection)
                Release();
            continue;
        }
        if (!m_bSendShut[target] && SUCCEEDED(Write(target, buffer)))
            return S_OK;  // the completion writes the next one
        delete buffer;
    }
}

HRESULT CPassthru::Write(Side target, CBuffer* buffer) {
    auto* writer = new (std::nothrow) CAsyncWrite(Sock(target), buffer);
    if (CheckExpression(!writer))
        return E_OUTOFMEMORY;
    AddRef();
    BeginPending();
    const HRESULT hr = target == kInner ? writer->write<&CPassthru::OnWrittenSide<kInner>>(this)
                                        : writer->write<&CPassthru::OnWrittenSide<kOuter>>(this);
    if (!CheckResult(hr)) {
        delete writer;  // the buffer stays the caller's
        Release();
        EndPending();
    }
    return hr;
}

template <int S>
bool CPassthru::OnWrittenSide(DWORD error, CSocketHandle, CBuffer*) {
    OnWritten(static_cast<Side>(S), error);
    return false;  // the writer frees the buffer
}

void CPassthru::OnWritten(Side target, DWORD error) {
    try {
        if (error != 0) {
            LogTrace("Passthru %s: writing to the %s side failed with %lu", m_strHost.c_str(),
                     target == kInner ? "application" : "destination",
                     static_cast<unsigned long>(error));
            Stop();
        } else {
            WriteNext(target);
        }
    } catch (...) {
        ReportException("CPassthru::OnWritten", CV_HERE);
        Stop();
    }
    Release();
    EndPending();
}

// ---- Splice bursts ------------------------------------------------------------------

bool CPassthru::CanSplice(Side s) {
    const Side t = Other(s);
    if (!m_bSplice || m_bStopping || m_nState != kDecided || m_bSendShut[t] || m_bWriting[t] ||
        m_bEndQueued[s] || m_bReading[s])
        return false;
    {
        CCritSecLock queue(m_lockQueue);
        if (!m_queue[t].empty())
            return false;
    }
    if (!CPipePool::Take(m_pipe[s])) {
        // Copy through the queues this time.
        LogTrace("Passthru %s: no pipe for splice (errno %d)", m_strHost.c_str(), errno);
        return false;
    }
    return true;
}

bool CPassthru::KeepSplicing(Side s, bool* pbWatch) {
    const Side t = Other(s);
    CCritSecLock relay(m_lockRelay);
    if (m_bStopping || m_nState != kDecided || m_bSendShut[t])
        return false;
    *pbWatch = s == kInner && m_nProtocol == NetworkProtocol::HTTP;
    CCritSecLock queue(m_lockQueue);
    return m_queue[t].empty();
}

void CPassthru::Burst(Side s) {
    const Side t = Other(s);
    const int source = m_watch[s].Descriptor();
    const int target = m_watch[t].Descriptor();
    for (;;) {
        if (m_nPipeBytes[s] > 0) {
            const ssize_t n = ::splice(m_pipe[s][0], nullptr, target, nullptr, m_nPipeBytes[s],
                                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                m_nPipeBytes[s] -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Park(s))
                    return;  // OnBurstWritable goes on
                continue;
            }
            LogTrace("Passthru %s: splice to the %s side failed (errno %d)", m_strHost.c_str(),
                     t == kInner ? "application" : "destination", n < 0 ? errno : 0);
            EndBurst(s, BurstEnd::Failed);
            return;
        }
        bool watch = false;
        if (!KeepSplicing(s, &watch)) {
            EndBurst(s, BurstEnd::Handover);
            return;
        }
        if (watch) {
            // The application's requests are watched as in a read: the start of what is
            // about to move is looked at first, and a request for a new URL is left to
            // be read, held and classified.
            char head[kWatchBytes];
            const ssize_t n = ::recv(source, head, sizeof(head), MSG_PEEK | MSG_DONTWAIT);
            if (n > 0 && IsNewRequest(std::string_view(head, static_cast<std::size_t>(n)))) {
                EndBurst(s, BurstEnd::NewRequest);
                return;
            }
        }
        const ssize_t n = ::splice(source, nullptr, m_pipe[s][1], nullptr, kSpliceChunk,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            m_nPipeBytes[s] += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            EndBurst(s, BurstEnd::EndOfStream);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            EndBurst(s, BurstEnd::Drained);
            return;
        }
        LogTrace("Passthru %s: splice from the %s side failed (errno %d)", m_strHost.c_str(),
                 s == kInner ? "application" : "destination", errno);
        EndBurst(s, BurstEnd::Failed);
        return;
    }
}

bool CPassthru::Park(Side s) {
    const Side t = Other(s);
    m_bParked[s] = true;
    // Room appearing is an edge: arm first, then look once more.
    if (!m_bWriteWaitArmed[s].exchange(true)) {
        BeginPending();
        const HRESULT hr = m_watch[t].WaitWritable([this, s](const std::error_code& ec) {
            OnBurstWritable(s, ec);
            EndPending();
        });
        if (FAILED(hr)) {
            m_bWriteWaitArmed[s] = false;
            EndPending();
            m_bParked[s] = false;
            EndBurst(s, BurstEnd::Failed);
            return true;
        }
    }
    if (m_watch[t].IsWritable() && m_bParked[s].exchange(false)) {
        // The burst goes on without the wait; it is taken back so that it does not stay
        // queued on the socket in front of a later write.
        m_watch[t].CancelWritable();
        return false;
    }
    return true;
}

void CPassthru::OnBurstWritable(Side s, const std::error_code& ec) {
    m_bWriteWaitArmed[s] = false;
    if (!m_bParked[s].exchange(false))
        return;  // the burst went on without this wait
    // A wait taken back while the burst had parked again (or cancelled at teardown) just
    // lets the burst look once more: it parks anew, or finds the relay stopping.
    if (ec && ec != asio::error::operation_aborted)
        EndBurst(s, BurstEnd::Failed);
    else
        Burst(s);
}

void CPassthru::EndBurst(Side s, BurstEnd how) {
    const Side t = Other(s);
    bool stop = how == BurstEnd::Failed;
    // Idle directions hold no pipe.
    CPipePool::Give(m_pipe[s], m_nPipeBytes[s] == 0);
    m_nPipeBytes[s] = 0;
    {
        CCritSecLock relay(m_lockRelay);
        m_bWriting[t] = false;
        bool queued = false;
        {
            CCritSecLock queue(m_lockQueue);
            queued = !m_queue[t].empty();
        }
        // Whatever was queued for the target meanwhile is the writer's now.
        if (queued && m_nState == kDecided)
            Signal(t);
        if (how == BurstEnd::EndOfStream) {
            bool take = false;
            CBuffer* marker = new CBuffer();
            HandleChunk(s, marker, true, take);
            if (!take)
                delete marker;
        } else if (how == BurstEnd::NewRequest) {
            m_bReading[s] = false;
            stop = m_bStopping || !CheckResult(ReadNow(s));
        } else if (!stop) {
            m_bReading[s] = false;
            stop = m_bStopping || !CheckResult(ArmRead(s));
        }
    }
    RunPendingClassification();
    if (stop)
        Stop();
    Release();
    EndPending();
}

// ---- Teardown -----------------------------------------------------------------------

void CPassthru::Stop() {
    if (m_bStopping.exchange(true))
        return;
    m_watch[kOuter].Cancel();
    m_watch[kInner].Cancel();
    // Term does not block: it is an ordinary call, and runs here when it cannot be queued.
    auto call = CAsyncCall::CreateCall<&CPassthru::Term>(this);
    if (call && THREAD_POOL::exists() &&
        CheckResult(THREAD_POOL::instance()->QueueCall(call, WT_EXECUTEDEFAULT)))
        return;
    Term();
}

void CPassthru::Term() {
    try {
        {
            CCritSecLock relay(m_lockRelay);
            for (Side s : {kInner, kOuter}) {
                Sock(s).Shutdown(asio::socket_base::shutdown_both);
                m_bSendShut[s] = true;
            }
        }
        m_watch[kOuter].Cancel();
        m_watch[kInner].Cancel();
    } catch (...) {
        ReportException("CPassthru::Term", CV_HERE);
    }
    // Reads, writes and bursts end quickly on sockets shut in both directions; the last
    // of them to end frees the relay, or Term does when none is left. Nothing waits.
    const std::shared_ptr<CPendingOps> pending = m_pending;  // outlives the unlock
    bool none;
    {
        std::lock_guard guard(pending->lock);
        pending->ended = true;
        none = pending->count == 0;
    }
    if (none)
        Destroy();
}

void CPassthru::Destroy() {
    LogTrace("Passthru %s: closed", m_strHost.c_str());
    delete this;
}
