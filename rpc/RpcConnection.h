// CRpcConnection: one Unix-domain stream connection of the object RPC, either end.
//
// Both ends are alike: each can call objects of the other (through proxies) and serve
// calls on its own exported objects, so callbacks flow both ways over one connection.
//
// Reading: one thread at a time holds the reading role and reads frames from the
// socket; frames are decoded in that thread in the order they were sent (object
// references are resolved in that order), replies are handed to their callers and
// releases applied before the next read. A thread that makes a call and finds no other
// reader reads its own reply (it leads); callers that find a reader wait for it to
// hand their reply over, and the leader passes the role on to one of them when its own
// reply has come. Calls that a leading caller reads go to the pool as long calls. When
// no caller waits, the pool watches the socket (an epoll set holding the socket
// once-only, watched through the io_context) and a pool thread takes the role: it
// reads, gives the role back and serves the calls it read, the last on the same
// thread and any others queued to the pool; it then waits a few milliseconds for the
// peer's next frame itself before it leaves the socket to the pool again. So a caller
// pays no thread hand-off for its reply, and the pool is not woken for replies that a
// caller reads itself. A connection with neither a root object nor exported objects
// has nothing the peer can call: the pool then watches only for the peer's end, and
// anything else the peer sends (a GetRoot of this side, say) is read with the next
// call this side makes.
//
// A call a caller makes blocks that caller until its reply arrives, the time-out
// passes (RPC_E_TIMEOUT) or the connection ends (RPC_E_DISCONNECTED). A malformed or
// oversized frame ends the connection. After the end, every pending and later call
// fails with RPC_E_DISCONNECTED and the export table is dropped.
//
// Locks, in the order they may be taken:
//   m_lockWrite  serialises whole frames onto the socket; only the send itself (and the
//                shutdown at the end) happens under it.
//   m_lock       guards the export table, the proxy map, the pending calls, the reading
//                role and the closed state; innermost apart from the thread pool's own
//                lock.
// Neither is held while calling into an object (QueryInterface, Invoke, Release of an
// exported object all happen after it is dropped), nor while reading.
#pragma once

#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "rpc/IRpcCall.h"
#include "rpc/RpcFrame.h"

class CRpcProxy;

// "The requested object does not exist": a call to an id the export table does not hold.
constexpr HRESULT RPC_E_INVALID_OBJECT = MakeHResult(0x80010114);

class CRpcConnection final : public std::enable_shared_from_this<CRpcConnection>,
                             private IRpcObjectMap {
public:
    using Socket = asio::local::stream_protocol::socket;

    // Takes over a connected socket (of `pool`'s io_context) and starts reading. `root`
    // is what a peer's GetRoot receives (may be null).
    static HRESULT Create(CAsyncThreadPool& pool, Socket socket, IUnknown* root,
                          std::shared_ptr<CRpcConnection>* out);
    // Connects to a listener's socket path.
    static HRESULT Connect(const std::string& path, std::shared_ptr<CRpcConnection>* out,
                           CAsyncThreadPool* pool = nullptr);

    ~CRpcConnection();

    // The peer's root object as a proxy.
    HRESULT GetRoot(IUnknown** ppRoot);
    // Ends the connection: pending calls fail with RPC_E_DISCONNECTED, exported objects
    // are released. Idempotent.
    void Close();
    bool IsConnected() const;
    // The peer process's credentials (SO_PEERCRED at connection time).
    const RpcCaller& Peer() const { return m_peer; }
    void SetCallTimeout(std::chrono::milliseconds timeout);
    // Number of objects in the export table (diagnostics and tests).
    std::size_t ExportCount() const;

    // Makes a call on the peer's object `objectId`. By-reference arguments receive the
    // callee's final values; on failure with error information, `pSource` and
    // `pDescription` (when given) receive it.
    HRESULT Call(std::uint64_t objectId, const IID& iid, std::int32_t member, WORD kind, LCID lcid,
                 UINT cArgs, VARIANT* rgArgs, UINT cNamed, const DISPID* rgNamed, VARIANT* pResult,
                 BSTR* pSource, BSTR* pDescription);

    // Called by a proxy whose last reference went.
    void ProxyGone(CRpcProxy* proxy);

private:
    struct Export {
        CComPtr<IUnknown> object;
        std::uint64_t refs = 0;
    };
    struct Pending {
        std::condition_variable cv;
        bool done = false;  // the reply is in `reply`
        bool lead = false;  // the reading role was handed to this caller
        RpcReplyFrame reply;
    };
    using FrameList = std::vector<std::unique_ptr<RpcFrame>>;

    CRpcConnection(CAsyncThreadPool& pool, int fd, int watchFd, IUnknown* root);

    HRESULT MarshalObject(IUnknown* punk, RpcObjectRef* ref) override;
    HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE vt, void** ppv) override;

    // The reading role. The holder reads the socket; these run with m_lock held.
    void ReleaseReader();
    void WatchSocket();
    void UnwatchSocket();
    // The pool found the socket readable.
    void OnReadable(const std::error_code& ec);
    // One read by the holder of the reading role: decodes the complete frames, delivers
    // replies, applies releases and appends the calls to `calls`. With `wait` it blocks
    // a short while (the socket's receive time-out) for data to come.
    enum class ReadResult { Read, Nothing, Ended };
    ReadResult ReadFrames(FrameList& calls, bool wait);
    void QueueServe(std::unique_ptr<RpcFrame> frame);
    void Disconnect(const char* reason);
    HRESULT Send(const std::vector<BYTE>& frame);
    void DeliverReply(RpcReplyFrame& reply);
    void ApplyRelease(const RpcReleaseFrame& release);
    // Serves an incoming call and sends its reply. With `keepReading` the thread takes
    // the reading role (when free) before the reply goes; true when it did.
    bool Serve(RpcCallFrame& call, bool keepReading = false);
    HRESULT Dispatch(RpcCallFrame& call, std::vector<VARIANT>& args, VARIANT* result, BSTR* source,
                     BSTR* description);

    CAsyncThreadPool& m_pool;
    int m_fd;  // the socket; closed by the destructor
    // An epoll set holding the socket once-only (EPOLLONESHOT), watched by the pool.
    asio::posix::stream_descriptor m_watch;
    RpcCaller m_peer;
    CComPtr<IUnknown> m_root;
    std::vector<BYTE> m_readBuf;  // holder of the reading role only
    std::size_t m_readLen = 0;    // holder of the reading role only

    std::mutex m_lockWrite;
    mutable std::mutex m_lock;
    bool m_closed = false;                                     // m_lock
    std::unordered_map<std::uint64_t, Export> m_exports;       // m_lock
    std::unordered_map<IUnknown*, std::uint64_t> m_exportIds;  // m_lock
    std::uint64_t m_nextExportId = 1;                          // m_lock
    std::unordered_map<std::uint64_t, CRpcProxy*> m_proxies;   // m_lock
    std::unordered_map<std::uint64_t, Pending*> m_pending;     // m_lock
    std::uint64_t m_nextCallId = 1;                            // m_lock
    std::chrono::milliseconds m_timeout{30000};                // m_lock
    bool m_reading = false;           // m_lock: a thread holds the reading role
    bool m_waitPending = false;       // m_lock: a wait on m_watch is outstanding
    std::uint32_t m_watchEvents = 0;  // m_lock: what m_watch's set is armed for
};
