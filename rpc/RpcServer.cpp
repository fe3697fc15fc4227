// CRpcServer: binding the socket with its permissions, accepting connections.
#include "rpc/RpcServer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "com/DiagnosticLog.h"

CRpcServer::CRpcServer(CAsyncThreadPool& pool, IUnknown* root, std::string path)
    : m_pool(pool), m_root(root), m_path(std::move(path)), m_acceptor(pool.Context()) {}

CRpcServer::~CRpcServer() {
    Stop();
}

HRESULT CRpcServer::Listen(const std::string& path, mode_t socketMode, mode_t dirMode,
                           IUnknown* root, std::shared_ptr<CRpcServer>* out,
                           CAsyncThreadPool* pool) {
    if (CheckExpression(!out || path.empty() || path.back() == '/'))
        return E_INVALIDARG;
    try {
        CAsyncThreadPool& p = pool ? *pool : *THREAD_POOL::instance();
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
        if (slash != std::string::npos && !dir.empty()) {
            if (::mkdir(dir.c_str(), dirMode) == 0) {
                if (CheckExpression(::chmod(dir.c_str(), dirMode) != 0))
                    return HResultFromErrno(errno);
            } else if (errno != EEXIST) {
                int err = errno;
                CheckExpression(err != EEXIST);
                return HResultFromErrno(err);
            }
        }
        // Bind under a temporary name, set the mode, then move it onto the path.
        const std::string temp = path + ".tmp" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        std::shared_ptr<CRpcServer> server(new CRpcServer(p, root, path));
        std::error_code ec;
        asio::local::stream_protocol::endpoint endpoint(temp);
        server->m_acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            server->m_acceptor.bind(endpoint, ec);
        if (ec) {
            LogTrace("CRpcServer::Listen: bind %s: %s\n", temp.c_str(), ec.message().c_str());
            return HResultFromErrno(ec.value());
        }
        if (CheckExpression(::chmod(temp.c_str(), socketMode) != 0) ||
            CheckExpression(::rename(temp.c_str(), path.c_str()) != 0)) {
            int err = errno;
            ::unlink(temp.c_str());
            return HResultFromErrno(err);
        }
        server->m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            return HResultFromErrno(ec.value());
        {
            std::lock_guard lock(server->m_lock);
            server->StartAccept();
        }
        *out = std::move(server);
        return S_OK;
    } catch (...) {
        return ReportException("CRpcServer::Listen", CV_HERE);
    }
}

// Called with m_lock held.
void CRpcServer::StartAccept() {
    std::weak_ptr<CRpcServer> weak = weak_from_this();
    m_acceptor.async_accept(m_pool.Context(), [weak](const std::error_code& ec,
                                                     asio::local::stream_protocol::socket socket) {
        auto self = weak.lock();
        if (!self)
            return;
        try {
            if (!ec) {
                std::shared_ptr<CRpcConnection> conn;
                if (CheckResult(CRpcConnection::Create(self->m_pool, std::move(socket),
                                                       self->m_root.Get(), &conn))) {
                    std::lock_guard lock(self->m_lock);
                    std::erase_if(self->m_connections, [](const auto& w) { return w.expired(); });
                    if (self->m_stopped) {
                        conn->Close();
                    } else {
                        self->m_connections.push_back(conn);
                    }
                }
            }
            std::lock_guard lock(self->m_lock);
            if (!self->m_stopped && ec != asio::error::operation_aborted)
                self->StartAccept();
        } catch (...) {
            ReportException("CRpcServer::OnAccept", CV_HERE);
        }
    });
}

void CRpcServer::Stop() {
    std::vector<std::weak_ptr<CRpcConnection>> connections;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped)
            return;
        m_stopped = true;
        std::error_code ignored;
        m_acceptor.close(ignored);
        connections.swap(m_connections);
    }
    ::unlink(m_path.c_str());
    for (auto& weak : connections)
        if (auto conn = weak.lock())
            conn->Close();
}

std::vector<std::shared_ptr<CRpcConnection>> CRpcServer::Connections() const {
    std::vector<std::shared_ptr<CRpcConnection>> out;
    std::lock_guard lock(m_lock);
    for (auto& weak : m_connections)
        if (auto conn = weak.lock(); conn && conn->IsConnected())
            out.push_back(conn);
    return out;
}
