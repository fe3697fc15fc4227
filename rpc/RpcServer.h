// CRpcServer: a listener of the object RPC on a Unix-domain socket path.
//
// `Listen` creates the socket's directory when it is missing (with `dirMode`), binds the
// socket under a temporary name, gives it `socketMode` and only then renames it onto
// the path, so no client can connect while its permissions are still wrong. 0600 suits a
// per-user socket; 0666 in a root-owned 0755 directory suits the service. Every accepted
// connection serves `root` as its root object; callers' credentials come from the
// socket (CRpcConnection::Peer, CurrentRpcCaller during a call).
//
// Locks: m_lock guards the list of connections and the stopped state; it is never held
// while a connection is created or closed.
#pragma once

#include <asio/local/stream_protocol.hpp>

#include <sys/types.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rpc/RpcConnection.h"

class CRpcServer : public std::enable_shared_from_this<CRpcServer> {
public:
    static HRESULT Listen(const std::string& path, mode_t socketMode, mode_t dirMode,
                          IUnknown* root, std::shared_ptr<CRpcServer>* out,
                          CAsyncThreadPool* pool = nullptr);
    ~CRpcServer();

    // Stops accepting, closes every connection and removes the socket file.
    void Stop();
    // The connections still open.
    std::vector<std::shared_ptr<CRpcConnection>> Connections() const;

private:
    CRpcServer(CAsyncThreadPool& pool, IUnknown* root, std::string path);
    void StartAccept();

    CAsyncThreadPool& m_pool;
    CComPtr<IUnknown> m_root;
    std::string m_path;
    asio::local::stream_protocol::acceptor m_acceptor;  // accept chain, and Stop under m_lock
    mutable std::mutex m_lock;
    bool m_stopped = false;                                    // m_lock
    std::vector<std::weak_ptr<CRpcConnection>> m_connections;  // m_lock
};
