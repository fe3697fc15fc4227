// CRpcConnection: reading, writing, the export table, the proxy map and making calls
// (serving them is in RpcConnectionServe.cpp).
#include "rpc/RpcConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "rpc/RpcProxy.h"

namespace {

// The socket's receive time-out: how long a blocking read waits. A pool thread that has
// served a call waits this long for the peer's next frame before it leaves the socket
// to the pool's watch again; a caller waits this long in a read before it waits in
// poll() for the rest of its time-out.
constexpr int kReadWaitMs = 5;

// Writes a returned value through a caller's by-reference argument, converted to the
// type the reference points at.
HRESULT StoreByRef(VARIANT& arg, const VARIANT& value) {
    const VARTYPE target = arg.vt & ~VT_BYREF;
    if (CheckExpression(!arg.byref))
        return E_POINTER;
    if (target == VT_VARIANT)
        return VariantCopy(arg.pvarVal, &value);
    CComVariant converted;
    HRESULT hr = VariantChangeType(&converted, &value, 0, target);
    if (!CheckResult(hr))
        return hr;
    if (target & VT_ARRAY) {
        if (*arg.pparray)
            SafeArrayDestroy(*arg.pparray);
        *arg.pparray = converted.parray;
        VariantInit(&converted);
        return S_OK;
    }
    switch (target) {
        case VT_BSTR:
            *arg.pbstrVal = converted.Bstr();
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (*arg.ppunkVal)
                (*arg.ppunkVal)->Release();
            *arg.ppunkVal = converted.punkVal;
            VariantInit(&converted);
            return S_OK;
        case VT_DECIMAL: {
            DECIMAL d = converted.decVal;
            d.wReserved = 0;
            *arg.pdecVal = d;
            return S_OK;
        }
        default:
            if (std::size_t n = VariantScalarSize(target)) {
                std::memcpy(arg.byref, &converted.llVal, n);
                return S_OK;
            }
            return DISP_E_BADVARTYPE;
    }
}

}  // namespace

CRpcConnection::CRpcConnection(CAsyncThreadPool& pool, int fd, int watchFd, IUnknown* root)
    : m_pool(pool), m_fd(fd), m_watch(pool.Context(), watchFd), m_root(root) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (!CheckExpression(getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)) {
        m_peer.uid = cred.uid;
        m_peer.gid = cred.gid;
        m_peer.pid = cred.pid;
    }
}

CRpcConnection::~CRpcConnection() {
    ::close(m_fd);
}

HRESULT CRpcConnection::Create(CAsyncThreadPool& pool, Socket socket, IUnknown* root,
                               std::shared_ptr<CRpcConnection>* out) {
    if (CheckExpression(!out || !socket.is_open()))
        return E_INVALIDARG;
    try {
        // The connection reads and writes the socket itself, so it leaves the io_context:
        // an fd registered there would wake a pool thread for every reply a caller reads.
        std::error_code ec;
        const int fd = socket.release(ec);
        if (ec)
            return HResultFromErrno(ec.value());
        const int watchFd = ::epoll_create1(EPOLL_CLOEXEC);
        // Blocking, with a short receive time-out; reads that must not block say so.
        const timeval readWait{0, kReadWaitMs * 1000};
        if (CheckExpression(watchFd < 0) ||
            CheckExpression(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) ||
            CheckExpression(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readWait, sizeof readWait) !=
                            0)) {
            const int err = errno;
            if (watchFd >= 0)
                ::close(watchFd);
            ::close(fd);
            return HResultFromErrno(err);
        }
        std::shared_ptr<CRpcConnection> conn;
        try {
            conn.reset(new CRpcConnection(pool, fd, watchFd, root));
        } catch (...) {
            // Neither descriptor was taken over.
            ::close(watchFd);
            ::close(fd);
            throw;
        }
        conn->m_readBuf.resize(64 * 1024);
        {
            std::lock_guard lock(conn->m_lock);
            // The wait is outstanding before the socket joins the set, so that data already
            // there wakes it.
            conn->WatchSocket();
        }
        *out = std::move(conn);
        return S_OK;
    } catch (...) {
        return ReportException("CRpcConnection::Create", CV_HERE);
    }
}

HRESULT CRpcConnection::Connect(const std::string& path, std::shared_ptr<CRpcConnection>* out,
                                CAsyncThreadPool* pool) {
    if (CheckExpression(!out || path.empty()))
        return E_INVALIDARG;
    try {
        CAsyncThreadPool& p = pool ? *pool : *THREAD_POOL::instance();
        Socket socket(p.Context());
        std::error_code ec;
        socket.connect(asio::local::stream_protocol::endpoint(path), ec);
        if (ec) {
            LogTrace("CRpcConnection::Connect: %s: %s\n", path.c_str(), ec.message().c_str());
            return HResultFromErrno(ec.value());
        }
        return CheckResultValue(Create(p, std::move(socket), nullptr, out));
    } catch (...) {
        return ReportException("CRpcConnection::Connect", CV_HERE);
    }
}

HRESULT CRpcConnection::GetRoot(IUnknown** ppRoot) {
    if (CheckExpression(!ppRoot))
        return E_POINTER;
    *ppRoot = nullptr;
    CComVariant result;
    HRESULT hr = Call(0, GUID_NULL, 0, RPC_CALL_GETROOT, 0, 0, nullptr, 0, nullptr, &result,
                      nullptr, nullptr);
    if (FAILED(hr))
        return hr;
    if (CheckExpression((result.vt != VT_UNKNOWN && result.vt != VT_DISPATCH) || !result.punkVal))
        return E_NOINTERFACE;
    return result.punkVal->QueryInterface(IIDOf<IUnknown>(), reinterpret_cast<void**>(ppRoot));
}

bool CRpcConnection::IsConnected() const {
    std::lock_guard lock(m_lock);
    return !m_closed;
}

void CRpcConnection::SetCallTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard lock(m_lock);
    m_timeout = timeout;
}

std::size_t CRpcConnection::ExportCount() const {
    std::lock_guard lock(m_lock);
    return m_exports.size();
}

void CRpcConnection::Close() {
    Disconnect(nullptr);
}

void CRpcConnection::Disconnect(const char* reason) {
    std::unordered_map<std::uint64_t, Export> exports;
    {
        std::lock_guard lock(m_lock);
        if (m_closed)
            return;
        m_closed = true;
        exports.swap(m_exports);
        m_exportIds.clear();
        for (auto& [id, pending] : m_pending)
            pending->cv.notify_all();
    }
    if (reason)
        LogTrace("CRpcConnection: connection closed: %s\n", reason);
    {
        // Ends both directions: a reader sees the end of the stream, a sender fails.
        std::lock_guard lock(m_lockWrite);
        ::shutdown(m_fd, SHUT_RDWR);
    }
    {
        // A wait of the pool that a caller had disarmed completes now and lets go of
        // the connection.
        std::lock_guard lock(m_lock);
        if (m_waitPending) {
            m_watchEvents = 0;
            WatchSocket();
        }
    }
    // The exported objects are released here, with no lock held.
}

// Reading.

void CRpcConnection::WatchSocket() {
    if (m_closed && !m_waitPending)
        return;
    if (!m_waitPending) {
        m_waitPending = true;
        auto self = shared_from_this();
        m_watch.async_wait(asio::posix::stream_descriptor::wait_read,
                           [self](const std::error_code& ec) { self->OnReadable(ec); });
    }
    // Frames matter to the pool only when the peer has something here to call; otherwise
    // it watches for the peer's end alone, and the replies that callers read themselves
    // do not wake it.
    const std::uint32_t events = m_root || !m_exports.empty() || m_closed ? EPOLLIN : EPOLLRDHUP;
    if (m_watchEvents != events) {
        epoll_event event{};
        event.events = events | EPOLLONESHOT;
        event.data.fd = m_fd;
        const int watchFd = m_watch.native_handle();
        if (::epoll_ctl(watchFd, EPOLL_CTL_MOD, m_fd, &event) != 0 &&
            CheckExpression(::epoll_ctl(watchFd, EPOLL_CTL_ADD, m_fd, &event) != 0))
            return;
        m_watchEvents = events;
    }
}

void CRpcConnection::UnwatchSocket() {
    if (!(m_watchEvents & EPOLLIN))
        return;
    epoll_event event{};
    event.events = EPOLLONESHOT;
    event.data.fd = m_fd;
    CheckExpression(::epoll_ctl(m_watch.native_handle(), EPOLL_CTL_MOD, m_fd, &event) != 0);
    m_watchEvents = 0;
}

void CRpcConnection::ReleaseReader() {
    m_reading = false;
    if (m_closed)
        return;
    // A caller still waiting for its reply reads next; otherwise the pool watches.
    for (auto& [id, pending] : m_pending) {
        if (!pending->done) {
            pending->lead = true;
            m_reading = true;
            pending->cv.notify_one();
            return;
        }
    }
    WatchSocket();
}

void CRpcConnection::OnReadable(const std::error_code& ec) {
    try {
        {
            std::lock_guard lock(m_lock);
            m_waitPending = false;
            m_watchEvents = 0;  // the once-only registration has fired
            epoll_event events[4];
            while (::epoll_wait(m_watch.native_handle(), events, 4, 0) > 0) {
            }
            if (ec || m_closed || m_reading)
                return;  // a reading caller watches again when it stops reading
            m_reading = true;
        }
        for (bool lingering = false;; lingering = true) {
            FrameList calls;
            ReadResult read = ReadFrames(calls, lingering);
            {
                std::lock_guard lock(m_lock);
                ReleaseReader();
            }
            if (read == ReadResult::Nothing && lingering)
                return;
            // All but the last call go to the pool; the last is served on this thread.
            if (calls.empty())
                return;
            std::unique_ptr<RpcFrame> last = std::move(calls.back());
            calls.pop_back();
            for (auto& frame : calls)
                QueueServe(std::move(frame));
            // A peer that makes a series of calls sends the next one soon after the reply:
            // this thread takes the reading role back before the reply goes and waits a
            // short while for that call, which saves waking the pool for each call.
            if (!Serve(last->call, true))
                return;
        }
    } catch (...) {
        ReportException("CRpcConnection::OnReadable", CV_HERE);
        Disconnect("exception while reading");
    }
}

CRpcConnection::ReadResult CRpcConnection::ReadFrames(FrameList& calls, bool wait) try {
    ssize_t bytes;
    do
        bytes = ::recv(m_fd, m_readBuf.data() + m_readLen, m_readBuf.size() - m_readLen,
                       wait ? 0 : MSG_DONTWAIT);
    while (bytes < 0 && errno == EINTR);
    if (bytes < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ReadResult::Nothing;
    if (bytes <= 0) {
        Disconnect(bytes < 0 ? "read failed" : nullptr);
        return ReadResult::Ended;
    }
    m_readLen += static_cast<std::size_t>(bytes);
    // Cut out the complete frames and decode them in order.
    FrameList frames;
    std::size_t used = 0;
    HRESULT hr = S_OK;
    for (;;) {
        std::size_t frameSize = 0;
        hr = CRpcFrameCodec::ParseHeader(m_readBuf.data() + used, m_readLen - used, &frameSize);
        if (hr != S_OK)
            break;
        if (m_readLen - used < frameSize) {
            if (frameSize > m_readBuf.size())
                m_readBuf.resize(frameSize);
            break;
        }
        auto frame = std::make_unique<RpcFrame>();
        hr = CRpcFrameCodec::Decode(m_readBuf.data() + used, frameSize, this, frame.get());
        if (FAILED(hr))
            break;
        frames.push_back(std::move(frame));
        used += frameSize;
    }
    if (FAILED(hr)) {
        CheckResult(hr);
        Disconnect("malformed frame");
        return ReadResult::Ended;
    }
    std::memmove(m_readBuf.data(), m_readBuf.data() + used, m_readLen - used);
    m_readLen -= used;
    if (m_readLen == m_readBuf.size())
        m_readBuf.resize(m_readBuf.size() * 2);
    // Replies and releases take effect before the next read, so that they keep their
    // order against later frames (a release sent before a reply is applied before the
    // caller of that reply goes on).
    for (auto& frame : frames) {
        if (frame->type == RpcFrameType::Reply)
            DeliverReply(frame->reply);
        else if (frame->type == RpcFrameType::Release)
            ApplyRelease(frame->release);
        else
            calls.push_back(std::move(frame));
    }
    return ReadResult::Read;
} catch (...) {
    ReportException("CRpcConnection::ReadFrames", CV_HERE);
    Disconnect("exception while reading");
    return ReadResult::Ended;
}

void CRpcConnection::QueueServe(std::unique_ptr<RpcFrame> frame) {
    try {
        std::shared_ptr<RpcFrame> queued(std::move(frame));
        auto self = shared_from_this();
        auto call = CAsyncCall::CreateFunctionCall([self, queued] { self->Serve(queued->call); });
        if (CheckExpression(!call) || !CheckResult(m_pool.QueueCall(call, WT_EXECUTELONGFUNCTION)))
            LogTrace("CRpcConnection: an incoming call could not be queued\n");
    } catch (...) {
        ReportException("CRpcConnection::QueueServe", CV_HERE);
    }
}

void CRpcConnection::DeliverReply(RpcReplyFrame& reply) {
    std::lock_guard lock(m_lock);
    auto it = m_pending.find(reply.callId);
    if (it == m_pending.end())
        return;  // timed out; its objects are released with the frame
    Pending* pending = it->second;
    m_pending.erase(it);
    pending->reply = std::move(reply);
    pending->done = true;
    pending->cv.notify_all();
}

void CRpcConnection::ApplyRelease(const RpcReleaseFrame& release) {
    CComPtr<IUnknown> dropped;
    std::lock_guard lock(m_lock);
    auto it = m_exports.find(release.objectId);
    if (CheckExpression(it == m_exports.end()))
        return;
    Export& entry = it->second;
    if (CheckExpression(release.count > entry.refs))
        entry.refs = release.count;
    entry.refs -= release.count;
    if (entry.refs == 0) {
        dropped = std::move(entry.object);
        m_exportIds.erase(dropped.Get());
        m_exports.erase(it);
    }
    // `dropped` is released after the lock (declared before the guard).
}

// Writing.

HRESULT CRpcConnection::Send(const std::vector<BYTE>& frame) {
    std::lock_guard lock(m_lockWrite);
    {
        std::lock_guard state(m_lock);
        if (m_closed)
            return RPC_E_DISCONNECTED;
    }
    std::size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n =
            ::send(m_fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The peer is not reading: wait for room, but not forever.
            pollfd p{m_fd, POLLOUT, 0};
            int ready = ::poll(&p, 1, 30000);
            if (ready > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL)))
                continue;
        }
        return RPC_E_DISCONNECTED;
    }
    return S_OK;
}

// Objects across the wire.

HRESULT CRpcConnection::MarshalObject(IUnknown* punk, RpcObjectRef* ref) {
    // A proxy of the peer's own object goes back as that object's id.
    CComPtr<IUnknown> identity;
    HRESULT hr = punk->QueryInterface(IIDOf<IUnknown>(), identity.ReceiveVoid());
    if (!CheckResult(hr) || CheckExpression(!identity))
        return FAILED(hr) ? hr : E_NOINTERFACE;
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(identity.Get());
    CComPtr<IRpcCall> rpc = ComQuery<IRpcCall>(identity.Get());
    if (auto* proxy = dynamic_cast<CRpcProxy*>(rpc.Get()); proxy && proxy->Connection() == this) {
        ref->kind = RpcObjectRef::ReceiverObject;
        ref->dispatch = proxy->IsDispatch();
        ref->id = proxy->RemoteId();
        return S_OK;
    }
    std::lock_guard lock(m_lock);
    if (m_closed)
        return RPC_E_DISCONNECTED;
    std::uint64_t id;
    if (auto it = m_exportIds.find(identity.Get()); it != m_exportIds.end()) {
        id = it->second;
    } else {
        id = m_nextExportId++;
        m_exports[id].object = identity;
        m_exportIds[identity.Get()] = id;
        // The peer may call it from now on.
        if (!m_reading)
            WatchSocket();
    }
    ++m_exports[id].refs;
    ref->kind = RpcObjectRef::SenderObject;
    ref->dispatch = dispatch != nullptr;
    ref->id = id;
    return S_OK;
}

HRESULT CRpcConnection::UnmarshalObject(const RpcObjectRef& ref, VARTYPE vt, void** ppv) {
    *ppv = nullptr;
    const IID& iid = vt == VT_DISPATCH ? IIDOf<IDispatch>() : IIDOf<IUnknown>();
    if (ref.kind == RpcObjectRef::ReceiverObject) {
        CComPtr<IUnknown> object;
        {
            std::lock_guard lock(m_lock);
            auto it = m_exports.find(ref.id);
            if (CheckExpression(it == m_exports.end()))
                return RPC_E_INVALID_OBJECT;
            object = it->second.object;
        }
        return object->QueryInterface(iid, ppv);
    }
    if (vt == VT_DISPATCH && CheckExpression(!ref.dispatch))
        return E_NOINTERFACE;
    CRpcProxy* proxy = nullptr;
    {
        std::lock_guard lock(m_lock);
        if (m_closed)
            return RPC_E_DISCONNECTED;
        auto it = m_proxies.find(ref.id);
        if (it != m_proxies.end() && it->second->TryAddRef()) {
            proxy = it->second;
        } else {
            proxy = new CRpcProxy(shared_from_this(), ref.id, ref.dispatch);
            m_proxies[ref.id] = proxy;
        }
        ++proxy->m_cRemoteRefs;
    }
    if (vt == VT_DISPATCH)
        *ppv = static_cast<IDispatch*>(proxy);
    else
        *ppv = static_cast<IUnknown*>(static_cast<IDispatch*>(proxy));
    return S_OK;
}

void CRpcConnection::ProxyGone(CRpcProxy* proxy) {
    std::uint32_t refs = 0;
    bool closed;
    {
        std::lock_guard lock(m_lock);
        auto it = m_proxies.find(proxy->RemoteId());
        if (it != m_proxies.end() && it->second == proxy)
            m_proxies.erase(it);
        refs = std::exchange(proxy->m_cRemoteRefs, 0);
        closed = m_closed;
    }
    if (refs == 0 || closed)
        return;
    try {
        std::vector<BYTE> frame;
        if (CheckResult(CRpcFrameCodec::EncodeRelease(proxy->RemoteId(), refs, frame)))
            Send(frame);
    } catch (...) {
        ReportException("CRpcConnection::ProxyGone", CV_HERE);
    }
}

// Calls.

HRESULT CRpcConnection::Call(std::uint64_t objectId, const IID& iid, std::int32_t member, WORD kind,
                             LCID lcid, UINT cArgs, VARIANT* rgArgs, UINT cNamed,
                             const DISPID* rgNamed, VARIANT* pResult, BSTR* pSource,
                             BSTR* pDescription) {
    try {
        Pending pending;
        std::vector<BYTE> frame;
        RpcCallHeader header{0, objectId, iid, member, kind, lcid};
        std::chrono::milliseconds timeout;
        {
            std::lock_guard lock(m_lock);
            if (m_closed)
                return RPC_E_DISCONNECTED;
            header.callId = m_nextCallId++;
            timeout = m_timeout;
        }
        HRESULT hr =
            CRpcFrameCodec::EncodeCall(header, rgArgs, cArgs, rgNamed, cNamed, this, frame);
        if (!CheckResult(hr))
            return hr;
        std::unique_lock lock(m_lock);
        if (m_closed)
            return RPC_E_DISCONNECTED;
        m_pending[header.callId] = &pending;
        // With no other reader, this thread reads its own reply. It takes the role before
        // sending, so the pool is not woken for the reply.
        bool lead = !m_reading;
        if (lead) {
            m_reading = true;
            UnwatchSocket();
        }
        lock.unlock();
        hr = Send(frame);
        lock.lock();
        if (FAILED(hr)) {
            m_pending.erase(header.callId);
            if (lead || pending.lead)
                ReleaseReader();
            lock.unlock();
            Disconnect("write failed");
            return RPC_E_DISCONNECTED;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        bool timedOut = false;
        while (!pending.done && !m_closed && !timedOut) {
            if (pending.lead) {
                pending.lead = false;
                lead = true;
            }
            if (!lead) {
                if (pending.cv.wait_until(lock, deadline) == std::cv_status::timeout)
                    timedOut = !pending.done && !pending.lead;
                continue;
            }
            lock.unlock();
            // A blocking read first (most replies come within it), then poll() for the
            // rest of the time-out.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            FrameList calls;
            ReadResult read = ReadResult::Nothing;
            if (left.count() > kReadWaitMs)
                read = ReadFrames(calls, true);
            if (read == ReadResult::Nothing) {
                const auto rest = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                pollfd p{m_fd, POLLIN, 0};
                const int ready =
                    rest.count() > 0
                        ? ::poll(&p, 1,
                                 static_cast<int>(std::min<std::int64_t>(rest.count(), INT32_MAX)))
                        : 0;
                if (ready > 0)
                    read = ReadFrames(calls, false);
                else if (ready == 0)
                    timedOut = true;
            }
            for (auto& call : calls)
                QueueServe(std::move(call));
            lock.lock();
        }
        if (!pending.done)
            m_pending.erase(header.callId);
        if (lead || pending.lead)
            ReleaseReader();
        if (!pending.done)
            return m_closed ? RPC_E_DISCONNECTED : RPC_E_TIMEOUT;
        lock.unlock();

        RpcReplyFrame& reply = pending.reply;
        for (auto& [index, value] : reply.outs) {
            if (CheckExpression(index >= cArgs || !(rgArgs[index].vt & VT_BYREF)))
                continue;
            CheckResult(StoreByRef(rgArgs[index], value));
        }
        if (pResult) {
            VariantClear(pResult);
            reply.result.Detach(pResult);
        }
        if (reply.hasError) {
            if (pSource)
                *pSource = reply.source;
            if (pDescription)
                *pDescription = reply.description;
        }
        return reply.hr;
    } catch (...) {
        return ReportException("CRpcConnection::Call", CV_HERE);
    }
}
