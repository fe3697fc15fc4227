// CRpcConnection: reading, writing, the export table, the proxy map and serving calls.
#include "rpc/RpcConnection.h"

#include <asio/read.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "com/DiagnosticLog.h"
#include "com/ErrorInfo.h"
#include "com/SafeArray.h"
#include "rpc/RpcProxy.h"

namespace {

thread_local const RpcCaller* t_pCaller = nullptr;

// Marks the current thread as serving a call of `caller` for a scope.
class CCallerScope {
public:
    explicit CCallerScope(const RpcCaller* caller) : m_previous(t_pCaller) { t_pCaller = caller; }
    ~CCallerScope() { t_pCaller = m_previous; }

private:
    const RpcCaller* m_previous;
};


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

// Storage behind the by-reference arguments of a served call.
struct ByRefSlot {
    CComVariant var;
    BSTR str;
    DECIMAL dec{};

    // Points `arg` at this slot, which takes over `value`.
    void Bind(VARTYPE type, CComVariant& value, VARIANT* arg) {
        VariantInit(arg);
        arg->vt = type | VT_BYREF;
        if (type == VT_VARIANT) {
            var = std::move(value);
            arg->pvarVal = &var;
            return;
        }
        CComVariant typed;
        if (FAILED(VariantChangeType(&typed, &value, 0, type)))
            typed.Clear();
        if (type == VT_BSTR) {
            str = typed.vt == VT_BSTR ? typed.Bstr() : BSTR();
            arg->pbstrVal = &str;
        } else if (type == VT_DECIMAL) {
            if (typed.vt == VT_DECIMAL)
                dec = typed.decVal;
            dec.wReserved = 0;
            arg->pdecVal = &dec;
        } else {
            if (typed.vt != type) {
                typed.Clear();
                typed.vt = type;
                typed.llVal = 0;
            }
            var = std::move(typed);
            arg->byref = (type & VT_ARRAY) ? static_cast<void*>(&var.parray)
                                           : static_cast<void*>(&var.llVal);
        }
    }
    // The slot's final value.
    CComVariant Value(VARTYPE type) const {
        if (type == VT_BSTR)
            return CComVariant(str);
        if (type == VT_DECIMAL) {
            CComVariant v;
            v.decVal = dec;
            v.vt = VT_DECIMAL;
            return v;
        }
        return var;
    }
};

}  // namespace

std::optional<RpcCaller> CurrentRpcCaller() {
    if (!t_pCaller)
        return std::nullopt;
    return *t_pCaller;
}

CRpcConnection::CRpcConnection(CAsyncThreadPool& pool, Socket socket, IUnknown* root)
    : m_pool(pool), m_socket(std::move(socket)), m_fd(m_socket.native_handle()), m_root(root) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (!CheckExpression(getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)) {
        m_peer.uid = cred.uid;
        m_peer.gid = cred.gid;
        m_peer.pid = cred.pid;
    }
}

CRpcConnection::~CRpcConnection() = default;

HRESULT CRpcConnection::Create(CAsyncThreadPool& pool, Socket socket, IUnknown* root,
                               std::shared_ptr<CRpcConnection>* out) {
    if (CheckExpression(!out || !socket.is_open()))
        return E_INVALIDARG;
    try {
        std::shared_ptr<CRpcConnection> conn(new CRpcConnection(pool, std::move(socket), root));
        conn->m_readBuf.resize(64 * 1024);
        conn->StartRead();
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
        // Wakes the reading chain, which closes the socket.
        std::lock_guard lock(m_lockWrite);
        ::shutdown(m_fd, SHUT_RDWR);
    }
    // The exported objects are released here, with no lock held.
}

// Reading.

void CRpcConnection::StartRead() {
    auto self = shared_from_this();
    m_socket.async_read_some(
        asio::buffer(m_readBuf.data() + m_readLen, m_readBuf.size() - m_readLen),
        [self](const std::error_code& ec, std::size_t bytes) { self->OnRead(ec, bytes); });
}

void CRpcConnection::OnRead(const std::error_code& ec, std::size_t bytes) {
    try {
        if (ec || bytes == 0) {
            Disconnect(ec ? "read failed" : nullptr);
            std::lock_guard lock(m_lockWrite);
            std::error_code ignored;
            m_socket.close(ignored);
            return;
        }
        m_readLen += bytes;
        // Cut out the complete frames and decode them in order.
        std::vector<std::unique_ptr<RpcFrame>> frames;
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
            std::lock_guard lock(m_lockWrite);
            std::error_code ignored;
            m_socket.close(ignored);
            return;
        }
        std::memmove(m_readBuf.data(), m_readBuf.data() + used, m_readLen - used);
        m_readLen -= used;
        if (m_readLen == m_readBuf.size())
            m_readBuf.resize(m_readBuf.size() * 2);
        // Replies and releases take effect before the next read, so that they keep their
        // order against later frames (a release sent before a reply is applied before
        // the caller of that reply goes on).
        std::vector<std::unique_ptr<RpcFrame>> calls;
        for (auto& frame : frames) {
            if (frame->type == RpcFrameType::Reply)
                DeliverReply(frame->reply);
            else if (frame->type == RpcFrameType::Release)
                ApplyRelease(frame->release);
            else
                calls.push_back(std::move(frame));
        }
        frames.clear();
        StartRead();
        // From here on another thread may run the next read: only the calls are ours.
        // All but the last go to the pool; the last is served on this thread.
        RpcFrame* last = nullptr;
        for (auto& frame : calls) {
            if (last) {
                std::shared_ptr<RpcFrame> queued(last);
                auto self = shared_from_this();
                auto call =
                    CAsyncCall::CreateFunctionCall([self, queued] { self->Serve(queued->call); });
                if (call)
                    m_pool.QueueCall(call, WT_EXECUTELONGFUNCTION);
            }
            last = frame.release();
        }
        if (last) {
            std::unique_ptr<RpcFrame> owned(last);
            Serve(owned->call);
        }
    } catch (...) {
        ReportException("CRpcConnection::OnRead", CV_HERE);
        Disconnect("exception while reading");
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
    pending->done.store(true, std::memory_order_release);
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
        lock.unlock();
        hr = Send(frame);
        lock.lock();
        if (FAILED(hr)) {
            m_pending.erase(header.callId);
            lock.unlock();
            Disconnect("write failed");
            return RPC_E_DISCONNECTED;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!pending.done && !m_closed) {
            if (pending.cv.wait_until(lock, deadline) == std::cv_status::timeout)
                break;
        }
        if (!pending.done) {
            m_pending.erase(header.callId);
            return m_closed ? RPC_E_DISCONNECTED : RPC_E_TIMEOUT;
        }
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

void CRpcConnection::Serve(RpcCallFrame& call) {
    try {
        CCallerScope scope(&m_peer);
        const std::size_t n = call.args.size();
        std::vector<VARIANT> args(n);
        std::deque<ByRefSlot> slots;
        std::vector<std::pair<std::uint32_t, ByRefSlot*>> byrefs;
        for (std::size_t i = 0; i < n; ++i) {
            RpcArg& arg = call.args[i];
            if (arg.byref) {
                ByRefSlot& slot = slots.emplace_back();
                slot.Bind(arg.byref, arg.value, &args[i]);
                byrefs.emplace_back(static_cast<std::uint32_t>(i), &slot);
            } else {
                args[i] = arg.value;  // a view: call.args keeps ownership
            }
        }
        CComVariant result;
        BSTR source, description;
        bool hasError = false;
        HRESULT hr = Dispatch(call, args, &result, &source, &description);
        if (FAILED(hr))
            hasError = !source.IsNull() || !description.IsNull();

        std::vector<CComVariant> outValues;
        outValues.reserve(byrefs.size());
        std::vector<std::pair<std::uint32_t, const VARIANT*>> outs;
        for (auto& [index, slot] : byrefs) {
            outValues.push_back(slot->Value(call.args[index].byref));
            outs.emplace_back(index, &outValues.back());
        }
        std::vector<BYTE> frame;
        HRESULT hrEncode = CRpcFrameCodec::EncodeReply(
            call.callId, hr, &result, outs, hasError ? &source : nullptr,
            hasError ? &description : nullptr, this, frame);
        if (!CheckResult(hrEncode)) {
            frame.clear();
            CheckResult(CRpcFrameCodec::EncodeReply(call.callId, hrEncode, nullptr, {}, nullptr,
                                                    nullptr, this, frame));
        }
        // Everything the call held goes before the reply does, so that the release of a
        // proxy among its arguments or result reaches the caller before the caller goes on.
        result.Clear();
        outValues.clear();
        args.clear();
        call.args.clear();
        slots.clear();
        if (!frame.empty())
            Send(frame);
    } catch (...) {
        ReportException("CRpcConnection::Serve", CV_HERE);
    }
}

HRESULT CRpcConnection::Dispatch(RpcCallFrame& call, std::vector<VARIANT>& args, VARIANT* result,
                                 BSTR* source, BSTR* description) {
    if (call.kind == RPC_CALL_GETROOT) {
        if (!m_root)
            return E_NOINTERFACE;
        CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(m_root.Get());
        *static_cast<CComVariant*>(result) =
            dispatch ? CComVariant(dispatch.Get()) : CComVariant(m_root.Get());
        return S_OK;
    }
    CComPtr<IUnknown> object;
    {
        std::lock_guard lock(m_lock);
        auto it = m_exports.find(call.objectId);
        if (it != m_exports.end())
            object = it->second.object;
    }
    if (!object)
        return RPC_E_INVALID_OBJECT;
    if (call.kind == RPC_CALL_CUSTOM) {
        CComPtr<IRpcCall> target = ComQuery<IRpcCall>(object.Get());
        if (!target)
            return E_NOINTERFACE;
        SetErrorInfo(0, nullptr);
        HRESULT hr = target->RpcCall(call.iid, static_cast<ULONG>(call.member),
                                     static_cast<UINT>(args.size()), args.data(), result);
        if (FAILED(hr)) {
            CComPtr<IErrorInfo> info;
            if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
                info->GetSource(source);
                info->GetDescription(description);
            }
        }
        return hr;
    }
    CComPtr<IDispatch> target = ComQuery<IDispatch>(object.Get());
    if (!target)
        return E_NOINTERFACE;
    if (call.kind == RPC_CALL_GETIDSOFNAMES) {
        if (args.size() != 1 || args[0].vt != VT_BSTR)
            return E_INVALIDARG;
        std::u16string name(VariantText(args[0]));
        const char16_t* names[] = {name.c_str()};
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = target->GetIDsOfNames(GUID_NULL, names, 1, call.lcid, &id);
        if (SUCCEEDED(hr))
            *static_cast<CComVariant*>(result) = CComVariant(LONG(id));
        return hr;
    }
    if (call.kind &
        ~(DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        return E_INVALIDARG;
    DISPPARAMS params;
    params.rgvarg = args.data();
    params.cArgs = static_cast<UINT>(args.size());
    params.rgdispidNamedArgs = call.named.data();
    params.cNamedArgs = static_cast<UINT>(call.named.size());
    EXCEPINFO excep;
    UINT argErr = 0;
    HRESULT hr = target->Invoke(call.member, GUID_NULL, call.lcid, call.kind, &params, result,
                                &excep, &argErr);
    if (hr == DISP_E_EXCEPTION) {
        *source = excep.bstrSource;
        *description = excep.bstrDescription;
        if (excep.scode)
            hr = excep.scode;
    }
    return hr;
}
