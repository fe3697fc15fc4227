// The category protocol's TCP server: the acceptor and one object per connection.
#include "tools/categories/CategoryServer.h"

#include <algorithm>
#include <array>
#include <asio/read.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <charconv>
#include <string>

#include "com/DiagnosticLog.h"
#include "tools/categories/CategoryAnswer.h"

namespace {

HRESULT ResultOf(const std::error_code& ec) {
    return ec.category() == std::system_category() ? HResultFromErrno(ec.value()) : E_FAIL;
}

}  // namespace

class CCategoryServer::CConnection : public std::enable_shared_from_this<CConnection> {
public:
    CConnection(CCategoryServer* pServer, asio::ip::tcp::socket socket)
        : m_pServer(pServer), m_socket(std::move(socket)), m_timer(m_socket.get_executor()) {
        ++m_pServer->m_connections;
    }
    ~CConnection() { --m_pServer->m_connections; }

    void Start() { ReadHeader(); }

private:
    // Closes the connection when the next bytes take too long.
    void ArmTimer() {
        m_timer.expires_after(m_pServer->m_idleTimeout.load());
        m_timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec)
                return;  // re-armed or closed
            WriteLog("Category connection idle for too long; closed", nullptr);
            self->Close();
        });
    }

    void Close() {
        std::error_code ignored;
        m_timer.cancel();
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }

    void ReadHeader() {
        ArmTimer();
        asio::async_read(m_socket, asio::buffer(m_header),
                         [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                             self->OnHeader(ec, n);
                         });
    }

    void OnHeader(const std::error_code& ec, std::size_t n) {
        if (ec) {
            // A client that closes between requests is done; one that closes inside a
            // header sent a short request.
            CheckExpression(n != 0 && ec == asio::error::eof);
            CheckExpression(ec != asio::error::eof && ec != asio::error::operation_aborted);
            Close();
            return;
        }
        m_request = CCategoryAnswer::ParseRequestHeader(m_header.data());
        if (m_request.pszRefused) {
            CheckExpressionAt(true, m_request.pszRefused, CV_HERE);
            m_reply = CCategoryAnswer::Reply(m_request.messageID, CCategoryAnswer::CSP_ERROR, {});
            Write(true);
            return;
        }
        m_url.resize(m_request.urlLength);
        asio::async_read(m_socket, asio::buffer(m_url),
                         [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                             self->OnURL(ec);
                         });
    }

    void OnURL(const std::error_code& ec) {
        if (ec) {
            // The client closed inside the URL: a short request, nobody to answer.
            CheckExpression(ec == asio::error::eof);
            CheckExpression(ec != asio::error::eof && ec != asio::error::operation_aborted);
            Close();
            return;
        }
        try {
            const auto ptrLists = m_pServer->Lists();
            if (CheckExpression(!ptrLists))
                m_reply =
                    CCategoryAnswer::Reply(m_request.messageID, CCategoryAnswer::CSP_ERROR, {});
            else
                m_reply = CCategoryAnswer::Answer(*ptrLists, m_request, m_url.data(), m_url.size());
        } catch (...) {
            ReportException("CCategoryServer::CConnection::OnURL", CV_HERE);
            m_reply = CCategoryAnswer::Reply(m_request.messageID, CCategoryAnswer::CSP_ERROR, {});
        }
        Write(false);
    }

    // Sends the reply; then reads the next request, or, when the stream cannot be framed
    // any more, ends the connection.
    void Write(bool bThenClose) {
        asio::async_write(
            m_socket, asio::buffer(m_reply),
            [self = shared_from_this(), bThenClose](const std::error_code& ec, std::size_t) {
                if (CheckExpression(ec.value() != 0)) {
                    self->Close();
                    return;
                }
                if (bThenClose)
                    self->Drain();
                else
                    self->ReadHeader();
            });
    }

    // Ends sending and reads what the client still sends until it closes, so that closing
    // does not reset the connection before the client has read the reply. The idle
    // time-out is armed once: a client that keeps trickling bytes is still cut off.
    void Drain() {
        std::error_code ignored;
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        ArmTimer();
        m_url.resize(512);
        DrainMore();
    }

    void DrainMore() {
        m_socket.async_read_some(asio::buffer(m_url), [self = shared_from_this()](
                                                          const std::error_code& ec, std::size_t) {
            if (ec)
                self->Close();
            else
                self->DrainMore();
        });
    }

    CCategoryServer* m_pServer;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer;
    std::array<BYTE, CCategoryAnswer::kRequestHeaderSize> m_header{};
    CCategoryAnswer::RequestHeader m_request;
    std::vector<BYTE> m_url;
    std::vector<BYTE> m_reply;
};

CCategoryServer::CCategoryServer(std::shared_ptr<const CCategoryLists> ptrLists)
    : m_ptrLists(std::move(ptrLists)), m_acceptor(m_io), m_retryTimer(m_io) {}

CCategoryServer::~CCategoryServer() {
    Stop();
}

HRESULT CCategoryServer::Listen(std::string_view strAddress) {
    const std::size_t colon = strAddress.rfind(':');
    if (CheckExpression(colon == std::string_view::npos))
        return E_INVALIDARG;
    std::string_view host = strAddress.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string_view portText = strAddress.substr(colon + 1);
    std::uint16_t port = 0;
    const auto [ptr, ecPort] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    std::error_code ec;
    const asio::ip::address address = asio::ip::make_address(std::string(host), ec);
    if (CheckExpression(portText.empty() || ecPort != std::errc() ||
                        ptr != portText.data() + portText.size() || ec.value() != 0))
        return E_INVALIDARG;

    const asio::ip::tcp::endpoint endpoint(address, port);
    m_acceptor.open(endpoint.protocol(), ec);
    if (CheckExpression(ec.value() != 0))
        return ResultOf(ec);
    m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        m_acceptor.bind(endpoint, ec);
    if (!ec)
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (CheckExpression(ec.value() != 0)) {
        const HRESULT hr = ResultOf(ec);
        std::error_code ignored;
        m_acceptor.close(ignored);
        return hr;
    }
    return S_OK;
}

std::uint16_t CCategoryServer::Port() const {
    std::error_code ec;
    const auto endpoint = m_acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void CCategoryServer::SetLists(std::shared_ptr<const CCategoryLists> ptrLists) {
    std::lock_guard guard(m_lockLists);
    m_ptrLists.swap(ptrLists);
    // The old lists are released outside the lock (when `ptrLists` goes).
}

std::shared_ptr<const CCategoryLists> CCategoryServer::Lists() const {
    std::lock_guard guard(m_lockLists);
    return m_ptrLists;
}

void CCategoryServer::Accept() {
    m_acceptor.async_accept(
        asio::make_strand(m_io), [this](const std::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted)
                return;
            if (CheckExpression(ec.value() != 0)) {
                // Out of descriptors, most likely: try again a little later instead of
                // spinning on the same error.
                m_retryTimer.expires_after(std::chrono::milliseconds(100));
                m_retryTimer.async_wait([this](const std::error_code& ecTimer) {
                    if (!ecTimer)
                        Accept();
                });
                return;
            }
            try {
                if (CheckExpression(m_connections.load() >= kMaxConnections)) {
                    std::error_code ignored;
                    socket.close(ignored);
                } else {
                    std::make_shared<CConnection>(this, std::move(socket))->Start();
                }
            } catch (...) {
                ReportException("CCategoryServer::Accept", CV_HERE);
            }
            Accept();
        });
}

void CCategoryServer::RunThread() {
    for (;;) {
        try {
            m_io.run();
            return;
        } catch (...) {
            ReportException("CCategoryServer::RunThread", CV_HERE);
        }
    }
}

HRESULT CCategoryServer::Start(unsigned threads) {
    if (CheckExpression(!m_acceptor.is_open() || !m_threads.empty()))
        return E_UNEXPECTED;
    if (CheckExpression(threads == 0 || threads > kMaxThreads))
        return E_INVALIDARG;
    try {
        Accept();
        for (unsigned i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { RunThread(); });
        return S_OK;
    } catch (...) {
        const HRESULT hr = ReportException("CCategoryServer::Start", CV_HERE);
        Stop();
        return hr;
    }
}

void CCategoryServer::Stop() {
    m_io.stop();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}
