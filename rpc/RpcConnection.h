// CRpcConnection: one Unix-domain stream connection of the object RPC, either end.
//
// Both ends are alike: each can call objects of the other (through proxies) and serve
// calls on its own exported objects, so callbacks flow both ways over one connection.
//
// Reading runs on the pool's io_context: one read is outstanding at a time; the frames
// a read completes are decoded in order on that thread (object references are resolved
// in the order they were sent), the next read is started, and then the calls among
// them are served: the last one on the same thread, any others queued to the pool as
// long calls. A call a caller makes blocks that caller until its reply arrives, the
// time-out passes (RPC_E_TIMEOUT) or the connection ends (RPC_E_DISCONNECTED). A
// malformed or oversized frame ends the connection. After the end, every pending and
// later call fails with RPC_E_DISCONNECTED and the export table is dropped.
//
// Locks, in the order they may be taken:
//   m_lockWrite  serialises whole frames onto the socket and guards closing the socket;
//                only the send itself happens under it.
//   m_lock       guards the export table, the proxy map, the pending calls and the
//                closed state; innermost apart from the thread pool's own lock.
// Neither is held while calling into an object (QueryInterface, Invoke, Release of an
// exported object all happen after it is dropped).
#pragma once

#include <asio/local/stream_protocol.hpp>

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
        std::atomic<bool> done{false};  // set under m_lock; read without it while spinning
        RpcReplyFrame reply;
    };

    CRpcConnection(CAsyncThreadPool& pool, Socket socket, IUnknown* root);

    HRESULT MarshalObject(IUnknown* punk, RpcObjectRef* ref) override;
    HRESULT UnmarshalObject(const RpcObjectRef& ref, VARTYPE vt, void** ppv) override;

    void StartRead();
    void OnRead(const std::error_code& ec, std::size_t bytes);
    void Disconnect(const char* reason);
    HRESULT Send(const std::vector<BYTE>& frame);
    void DeliverReply(RpcReplyFrame& reply);
    void ApplyRelease(const RpcReleaseFrame& release);
    void Serve(RpcCallFrame& call);
    HRESULT Dispatch(RpcCallFrame& call, std::vector<VARIANT>& args, VARIANT* result, BSTR* source,
                     BSTR* description);

    CAsyncThreadPool& m_pool;
    Socket m_socket;  // touched only by the reading chain (and under m_lockWrite to close)
    int m_fd;
    RpcCaller m_peer;
    CComPtr<IUnknown> m_root;
    std::vector<BYTE> m_readBuf;  // reading chain only
    std::size_t m_readLen = 0;

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
};
