// The socket server; see SocketServer.h.
#include "intake/SocketServer.h"

#include "passthru/Passthru.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "com/Strings.h"
#include "intake/BrowserRegistry.h"
#include "intake/HandOn.h"
#include "registry/RegistryStore.h"
#include "rpc/IRpcCall.h"
#include "sessions/UserAccount.h"

// An onward connect in progress. Its lock serialises the connect's start with a cancel.
// The onward socket stays a bare descriptor while the connect is done at once (loopback
// destinations are): it is registered with the pool only after the answer has gone, or
// when the connect has to wait for writability. An unconnected socket registered early
// would report a hang-up and wake a pool thread for nothing.
struct CSocketServer::Connecting {
    explicit Connecting(asio::io_context& io) : socket(io) {}
    ~Connecting() {
        if (fd >= 0)
            ::close(fd);
    }
    std::mutex lock;
    int fd = -1;                   // the onward socket until it moves into `socket`
    asio::ip::tcp::socket socket;  // the onward socket while the connect waits
    bool cancelled = false;        // Stop came first: the connect does not wait
    CSocketHandle client;
    CBuffer* buffer = nullptr;  // the application's first data; owned until handed on
    CComPtr<CProcessSession> session;
    std::string host;
    bool local = false;
};

CSocketServer::~CSocketServer() {
    Stop();
}

HRESULT CSocketServer::Start() {
    try {
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pool))
            return E_OUTOFMEMORY;
        auto listen = std::make_unique<asio::ip::tcp::acceptor>(pool->Context());
        std::error_code ec;
        listen->open(asio::ip::tcp::v4(), ec);
        if (CheckExpression(ec))
            return SocketStatus(ec);
        asio::ip::tcp::endpoint service(asio::ip::address_v4::loopback(), 0);
        listen->bind(service, ec);
        if (CheckExpression(ec))
            return SocketStatus(ec);
        service = listen->local_endpoint(ec);
        if (CheckExpression(ec))
            return SocketStatus(ec);
        listen->listen(asio::socket_base::max_listen_connections, ec);
        if (CheckExpression(ec))
            return SocketStatus(ec);
        listen->non_blocking(true, ec);
        if (CheckExpression(ec))
            return SocketStatus(ec);
        m_uPrivatePort = service.port();
        // Relays send the browsers they turn away to the local pages at this port.
        CPassthru::SetPrivatePort(m_uPrivatePort);
        {
            std::lock_guard guard(m_lockListen);
            m_sockListen = std::move(listen);
            m_bStopping = false;
        }
        SetBrowsers(ReadBrowserList(*REGISTRY_STORE::instance()));
        {
            std::lock_guard guard(m_lockConnections);
            m_bAcceptRunning = true;
        }
        WaitForAccept();
        return S_OK;
    } catch (...) {
        return ReportException("CSocketServer::Start", CV_HERE);
    }
}

void CSocketServer::Stop() {
    try {
        {
            std::lock_guard guard(m_lockListen);
            m_bStopping = true;
            std::error_code ec;
            if (m_sockListen)
                m_sockListen->close(ec);
        }
        {
            std::unique_lock lock(m_lockConnections);
            // Ending the connections makes their handlers run once more and leave.
            for (auto& [fd, socket] : m_reading)
                socket.Shutdown(asio::socket_base::shutdown_both);
            for (auto& connecting : m_connecting) {
                std::lock_guard guard(connecting->lock);
                connecting->cancelled = true;
                std::error_code ec;
                connecting->socket.close(ec);
            }
            const bool idle = m_idle.wait_for(lock, std::chrono::seconds(30), [this] {
                return m_reading.empty() && m_connecting.empty() && !m_bAcceptRunning;
            });
            CheckExpression(!idle);
        }
        std::unordered_map<std::string, std::shared_ptr<CUserSession>> sessions;
        {
            CCritSecLock guard(m_lock);
            sessions.swap(m_userSessions);
        }
        for (auto& [sid, session] : sessions)
            session->Stop();
        std::lock_guard guard(m_lockListen);
        m_sockListen.reset();
    } catch (...) {
        ReportException("CSocketServer::Stop", CV_HERE);
    }
}

void CSocketServer::EndAcceptChain() {
    std::lock_guard lock(m_lockConnections);
    m_bAcceptRunning = false;
    m_idle.notify_all();
}

void CSocketServer::WaitForAccept() {
    {
        std::lock_guard guard(m_lockListen);
        if (!m_bStopping && m_sockListen) {
            m_sockListen->async_wait(asio::socket_base::wait_read,
                                     [this](const std::error_code& ec) { OnAccept(ec); });
            return;
        }
    }
    EndAcceptChain();
}

bool CSocketServer::CanAccept(const asio::ip::tcp::endpoint& peer) {
    try {
        if (CheckExpression(!peer.address().is_v4()))
            return false;
        if (CheckExpression(peer.address().to_v4() != asio::ip::address_v4::loopback()))
            return false;
        return true;
    } catch (...) {
        ReportException("CSocketServer::CanAccept", CV_HERE);
        return false;
    }
}

void CSocketServer::OnAccept(const std::error_code& ec) {
    try {
        if (ec == asio::error::operation_aborted) {
            EndAcceptChain();
            return;
        }
        CheckExpression(ec);
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        // Every connection waiting now is taken; the next wait sees any later ones.
        for (int i = 0; i < 64 && pool; ++i) {
            asio::ip::tcp::socket socket(pool->Context());
            asio::ip::tcp::endpoint peer;
            std::error_code dwErr;
            {
                std::lock_guard guard(m_lockListen);
                if (m_bStopping || !m_sockListen)
                    break;
                m_sockListen->accept(socket, peer, dwErr);
            }
            if (dwErr == asio::error::would_block || dwErr == asio::error::try_again)
                break;
            if (CheckExpression(dwErr))
                break;
            if (!CanAccept(peer)) {
                // Refused callers are accepted and closed at once.
                socket.close(dwErr);
                continue;
            }
            CSocketHandle client;
            if (!CheckResult(client.Attach(std::move(socket))))
                continue;
            // The record usually arrives with the connection: taking what is there now
            // spares the reader one wait for readiness, and a complete record is handled
            // here at once, without a reader.
            std::unique_ptr<CBuffer> first;
            unsigned char bytes[2048];
            const ssize_t got = ::recv(client.socket(), bytes, sizeof bytes, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                continue;  // closed or failed before it said anything
            if (got > 0) {
                first = std::make_unique<CBuffer>(static_cast<std::uint32_t>(got));
                if (first->append(bytes, got) != 0)
                    first.reset();
                bool keepBuffer = false;
                // Answers true when the record is not complete yet: the reader goes on.
                if (first && !ReadSessionKey(0, client, first.get(), false, keepBuffer)) {
                    if (keepBuffer)
                        first.release();  // handed on or freed by the hand-off
                    continue;
                }
            }
            // Tracked from here on, so that Stop can end the read.
            Track(client);
            auto reader = std::make_unique<CAsyncRead>(client, first.get());
            // Reading the record only parses it and starts the onward connect: it runs
            // on this thread, and the usual record, already here, is handled at once.
            reader->SetInlineCompletion(true);
            if (CheckExpression(FAILED(reader->read<&CSocketServer::ReadSessionKey>(this)))) {
                reader.reset();
                Untrack(client);
                continue;
            }
            reader.release();  // it owns itself now, and the buffer
            first.release();
        }
    } catch (...) {
        ReportException("CSocketServer::OnAccept", CV_HERE);
    }
    WaitForAccept();
}

void CSocketServer::Track(const CSocketHandle& socket) {
    std::lock_guard lock(m_lockConnections);
    m_reading[socket.socket()] = socket;
}

void CSocketServer::Untrack(const CSocketHandle& socket) {
    std::lock_guard lock(m_lockConnections);
    m_reading.erase(socket.socket());
    if (m_reading.empty())
        m_idle.notify_all();
}

bool CSocketServer::ReadSessionKey(DWORD error, CSocketHandle socket, CBuffer* buffer,
                                   bool endOfStream, bool& keepBuffer) {
    bool movedOn = false;
    try {
        if (error == 0 && buffer) {
            CHandoffRecord record;
            switch (record.Read(buffer->data(), buffer->length())) {
                case CHandoffRecord::Parse::NeedMore:
                    if (!endOfStream)
                        return true;
                    break;
                case CHandoffRecord::Parse::Malformed:
                    CheckExpression(buffer->length() > CHandoffRecord::kMaxPendingBytes);
                    break;
                case CHandoffRecord::Parse::Complete:
                    keepBuffer = true;
                    movedOn = HandOff(socket, buffer, record);
                    break;
            }
        }
    } catch (...) {
        ReportException("CSocketServer::ReadSessionKey", CV_HERE);
    }
    // Last: once untracked, Stop may return and this object go.
    if (!movedOn)
        Untrack(socket);
    return false;
}

bool CSocketServer::HandOff(const CSocketHandle& socket, CBuffer* buffer,
                            const CHandoffRecord& record) {
    const std::string strKey = GUID2String(record.Key());
    if (CheckExpression(strKey.empty())) {
        RespondToConnect(socket, WSAEACCES, buffer);
        return false;
    }
    CComPtr<CProcessSession> session = FindProcessSession(strKey);
    if (!session) {
        RespondToConnect(socket, WSAEACCES, buffer);
        return false;
    }
    buffer->consume(static_cast<std::uint32_t>(record.RecordLength()));

    std::string host = "localhost";
    bool self = false, local = false;
    if (record.IsIPv4()) {
        const sockaddr_in& addr = record.IPv4();
        if (addr.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            local = true;
            const USHORT port = ntohs(addr.sin_port);
            self = port == m_uPrivatePort || IsUserSessionPort(port);
        } else {
            host = record.IPv4Text();
        }
    }
    if (self) {
        if (RespondToConnect(socket, 0, nullptr))
            HandToLocalServer(session.Get(), socket, buffer);
        else
            delete buffer;
        return false;
    }
    if (!record.IsIPv4()) {
        // A family-2 address too short to hold an address is the caller's fault.
        const bool ipv4 = record.Family() == AF_INET;
        CheckExpression(record.Family() != AF_INET);
        RespondToConnect(socket, ipv4 ? WSAEFAULT : WSAEHOSTUNREACH, buffer);
        return false;
    }

    CAsyncThreadPool* pool = THREAD_POOL::instance();
    if (CheckExpression(!pool)) {
        RespondToConnect(socket, WSAENETDOWN, buffer);
        return false;
    }
    auto connecting = std::make_shared<Connecting>(pool->Context());
    connecting->client = socket;
    connecting->buffer = buffer;
    connecting->session = session;
    connecting->host = host;
    connecting->local = local;
    {
        std::lock_guard lock(m_lockConnections);
        m_connecting.push_back(connecting);
        m_reading.erase(socket.socket());
    }
    std::error_code ec;
    {
        std::lock_guard guard(connecting->lock);
        // A connect that is done at once (a loopback destination is, by the time the call
        // returns) goes on here without a trip through the pool; any other waits for the
        // socket to become writable without holding a thread.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (CheckExpression(fd < 0)) {
            ec = std::error_code(errno, asio::error::get_system_category());
        } else {
            connecting->fd = fd;
            const sockaddr_in& addr = record.IPv4();
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
                errno != EISCONN) {
                ec = std::error_code(errno, asio::error::get_system_category());
                if ((ec == asio::error::in_progress || ec == asio::error::would_block) &&
                    !IsConnectDone(fd, &ec)) {
                    if (connecting->cancelled) {
                        ec = asio::error::operation_aborted;
                    } else {
                        connecting->socket.assign(asio::ip::tcp::v4(), fd, ec);
                        if (!CheckExpression(ec)) {
                            connecting->fd = -1;  // the Asio socket owns it now
                            connecting->socket.async_wait(
                                asio::socket_base::wait_write,
                                [this, connecting](const std::error_code& waitError) {
                                    std::error_code result = waitError;
                                    if (!result) {
                                        std::lock_guard guard(connecting->lock);
                                        if (!IsConnectDone(connecting->socket.native_handle(),
                                                           &result))
                                            result = asio::error::timed_out;
                                    }
                                    OnConnected(connecting, result);
                                });
                            return true;
                        }
                    }
                }
            }
        }
    }
    // Done, refused or failed at once: the same completion as a connect that waited.
    OnConnected(connecting, ec);
    return true;
}

bool CSocketServer::IsConnectDone(int fd, std::error_code* ec) {
    pollfd p{fd, POLLOUT, 0};
    if (fd < 0) {
        *ec = asio::error::bad_descriptor;
        return true;
    }
    if (::poll(&p, 1, 0) <= 0)
        return false;
    // Writable without an error or a hang-up: connected, and there is no error to fetch.
    if (!(p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        *ec = std::error_code();
        return true;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    *ec = error ? std::error_code(error, asio::error::get_system_category()) : std::error_code();
    return true;
}

void CSocketServer::OnConnected(const std::shared_ptr<Connecting>& connecting,
                                const std::error_code& ec) {
    try {
        CBuffer* buffer = std::exchange(connecting->buffer, nullptr);
        CSocketHandle onward;
        bool answered = true;
        if (ec) {
            const long error = static_cast<long>(SocketError(ec));
            LogTrace("-----Error = %ld-------", error);
            // A failed connect to a loopback destination goes on to the relay.
            if (CheckExpression(!connecting->local)) {
                RespondToConnect(connecting->client, error, buffer);
                answered = false;
            }
        }
        if (answered) {
            if (RespondToConnect(connecting->client, 0, nullptr)) {
                // Registered with the pool only now that the answer has gone.
                if (!ec) {
                    std::lock_guard guard(connecting->lock);
                    CAsyncThreadPool* pool = THREAD_POOL::instance();
                    if (connecting->fd >= 0 && !CheckExpression(!pool)) {
                        const int fd = std::exchange(connecting->fd, -1);
                        asio::ip::tcp::socket socket(pool->Context());
                        std::error_code assignError;
                        socket.assign(asio::ip::tcp::v4(), fd, assignError);
                        if (CheckExpression(assignError))
                            ::close(fd);
                        else
                            CheckResult(onward.Attach(std::move(socket)));
                    } else if (connecting->fd < 0) {
                        CheckResult(onward.Attach(std::move(connecting->socket)));
                    }
                }
                HandToRelay(connecting->session.Get(), connecting->client, onward, connecting->host,
                            buffer);
            } else {
                delete buffer;
            }
        }
    } catch (...) {
        ReportException("CSocketServer::OnConnected", CV_HERE);
    }
    std::lock_guard lock(m_lockConnections);
    std::erase(m_connecting, connecting);
    if (m_connecting.empty())
        m_idle.notify_all();
}

bool CSocketServer::RespondToConnect(const CSocketHandle& socket, long nWSAError, CBuffer* buffer) {
    try {
        if (nWSAError != 0)
            LogTrace("Responding with nWSAError error code %ld", nWSAError);
        // On error paths the client's pending data is discarded.
        delete buffer;
        const auto answer = CHandoffRecord::Answer(static_cast<std::int32_t>(nWSAError));
        // Nothing else uses the client socket between the record and the hand-on, and four
        // bytes fit into a fresh connection's send buffer: most answers go out at once,
        // which spares two trips through the pool. The writer sends whatever is left.
        ssize_t sent =
            ::send(socket.socket(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(answer.size()))
            return nWSAError == 0;
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                CheckExpression(sent < 0);
                return false;
            }
            sent = 0;
        }
        auto output = std::make_unique<CBuffer>(4);
        if (CheckExpression(
                output->append(answer.data() + sent, static_cast<long>(answer.size()) - sent) != 0))
            return false;
        auto writer = std::make_unique<CAsyncWrite>(socket, output.get());
        // On failure the writer and the buffer are still ours; the unique_ptrs free them.
        if (CheckExpression(FAILED(writer->write_and_forget(true, false))))
            return false;
        writer.release();
        output.release();
        return nWSAError == 0;
    } catch (...) {
        ReportException("CSocketServer::RespondToConnect", CV_HERE);
        return false;
    }
}

CComPtr<CProcessSession> CSocketServer::FindProcessSession(const std::string& key) {
    CCritSecLock guard(m_lock);
    for (auto& [sid, user] : m_userSessions) {
        CComPtr<CProcessSession> session;
        if (user->FindProcessSession(key, &session))
            return session;
    }
    return nullptr;
}

bool CSocketServer::IsUserSessionPort(USHORT port) {
    CCritSecLock guard(m_lock);
    for (auto& [sid, user] : m_userSessions)
        if (user->PrivatePort() == port)
            return true;
    return false;
}

void CSocketServer::SetBrowsers(std::vector<std::string> browsers) {
    CCritSecLock guard(m_lock);
    m_browsers = std::move(browsers);
}

bool CSocketServer::IsBrowser(const BSTR& processName) {
    std::string name = processName.ToUtf8();
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    CCritSecLock guard(m_lock);
    for (const auto& browser : m_browsers)
        if (browser == name)
            return true;
    return false;
}

std::size_t CSocketServer::ConnectionsInProgress() const {
    std::lock_guard lock(m_lockConnections);
    return m_reading.size() + m_connecting.size();
}

std::size_t CSocketServer::UserSessionCount() const {
    CCritSecLock guard(m_lock);
    return m_userSessions.size();
}

std::shared_ptr<CUserSession> CSocketServer::FindUserSession(uid_t uid) const {
    CCritSecLock guard(m_lock);
    auto it = m_userSessions.find(SidStringOfUid(uid));
    return it == m_userSessions.end() ? nullptr : it->second;
}

HRESULT CSocketServer::GetSessionKey(LONG processId, const BSTR& processName, IPellora* tray,
                                     GUID* key) {
    auto caller = CurrentRpcCaller();
    return GetSessionKeyFor(caller ? caller->uid : getuid(), processId, processName, tray, key);
}

HRESULT CSocketServer::GetSessionKeyFor(uid_t uid, LONG processId, const BSTR& processName,
                                        IPellora* tray, GUID* key) {
    try {
        if (CheckExpression(!key))
            return E_POINTER;
        if (!IsInteractiveUser(uid)) {
            *key = GUID{};
            return S_OK;
        }
        const std::string sid = SidStringOfUid(uid);
        // A session found stopping (its last process just left) is replaced; twice at most.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::shared_ptr<CUserSession> user;
            {
                CCritSecLock guard(m_lock);
                auto it = m_userSessions.find(sid);
                if (it != m_userSessions.end()) {
                    user = it->second;
                } else {
                    HRESULT hr = CUserSession::Create(this, uid, processId, &user);
                    if (!CheckResult(hr))
                        return hr;
                    m_userSessions.emplace(sid, user);
                }
            }
            CSessionEvents events;
            HRESULT hr = user->SetTray(tray, &events);
            if (!CheckResult(hr)) {
                events.Run();
                return hr;
            }
            CComPtr<CProcessSession> process;
            {
                CCritSecLock guard(m_lock);
                hr = user->GetProcessSession(processId, processName, key, &process, &events);
            }
            // User_OnEnd of a replaced tray and User_OnStart run with no lock held.
            HRESULT hrStart = events.Run();
            if (hr == E_ABORT) {
                CCritSecLock guard(m_lock);
                auto it = m_userSessions.find(sid);
                if (it != m_userSessions.end() && it->second == user)
                    m_userSessions.erase(it);
                continue;
            }
            if (!CheckResult(hr))
                return hr;
            if (hr == S_OK && FAILED(hrStart))
                return hrStart;
            // Only a registered browser is diverted. An existing session is checked as well,
            // so that its key is never handed out for a process that is not diverted.
            if (!IsBrowser(processName))
                *key = GUID{};
            return S_OK;
        }
        return CheckResultValue(E_UNEXPECTED);
    } catch (...) {
        return ReportException("CSocketServer::GetSessionKey", CV_HERE);
    }
}

HRESULT CSocketServer::TermSession(const GUID& key) {
    try {
        const std::string text = GUID2String(key);
        if (text.empty() || key.IsNull())
            return S_OK;
        CComPtr<CProcessSession> session = FindProcessSession(text);
        // Detach takes the process session's and the user session's locks.
        if (session)
            CheckResult(session->Detach());
        return S_OK;
    } catch (...) {
        return ReportException("CSocketServer::TermSession", CV_HERE);
    }
}

int CSocketServer::PrivateNumberCallback(USHORT* puPort, GUID* pclsid) {
    try {
        if (CheckExpression(!puPort || !pclsid))
            return 0;
        const USHORT port = ntohs(*puPort);
        if (port == m_uPrivatePort)
            return 0;
        std::shared_ptr<CUserSession> user;
        {
            CCritSecLock guard(m_lock);
            for (auto& [sid, candidate] : m_userSessions)
                if (candidate->PrivatePort() == port)
                    user = candidate;
        }
        if (!user)
            return 0;
        CSessionEvents events;
        CComPtr<CProcessSession> process;
        HRESULT hr;
        {
            CCritSecLock guard(m_lock);
            hr = user->GetProcessSession(static_cast<LONG>(getpid()), BSTR(u"Corvane"), pclsid,
                                         &process, &events);
        }
        events.Run();
        if (!CheckResult(hr))
            return 0;
        *puPort = htons(m_uPrivatePort);
        return 1;
    } catch (...) {
        ReportException("CSocketServer::PrivateNumberCallback", CV_HERE);
        return 0;
    }
}

int CSocketServer::LspPrivateNumberCallback(USHORT* puPort, GUID* pclsid) {
    CSocketServer* server = SOCKET_SERVER::instance();
    if (CheckExpression(!server))
        return 0;
    return server->PrivateNumberCallback(puPort, pclsid);
}

void CSocketServer::OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) {
    try {
        bool dropped = false;
        {
            CCritSecLock guard(m_lock);
            auto it = m_userSessions.find(session->Sid());
            if (it != m_userSessions.end() && it->second == session &&
                session->MarkStoppingIfEmpty()) {
                m_userSessions.erase(it);
                dropped = true;
            }
        }
        if (!dropped)
            return;
        // Stop cancels the clean-up wait whose handler is calling us; it runs as its own call.
        auto pCall = CAsyncCall::CreateFunctionCall([session] { session->Stop(); });
        CAsyncThreadPool* pool = THREAD_POOL::instance();
        if (CheckExpression(!pCall || !pool))
            return;
        CheckResult(pool->QueueCall(pCall, WT_EXECUTEDEFAULT));
    } catch (...) {
        ReportException("CSocketServer::OnUserSessionEmpty", CV_HERE);
    }
}
