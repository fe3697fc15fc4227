// CCategoryServer: a TCP server of the URL category protocol on Asio. It answers each
// request from the category lists it holds; the lists can be swapped while it runs (a
// reload), and requests already being answered finish with the lists they started with.
//
// One Asio io_context is run by a small, fixed number of threads; each connection is an
// object that owns its socket, keeps itself alive while an operation is pending and
// reads as a chain of completions: header, URL, reply, and again, until the client
// closes, a request cannot be framed, or the connection is idle for too long. Handlers of
// one connection run on its strand, so a connection is never touched by two threads at
// once.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "com/HResult.h"
#include "tools/categories/CategoryLists.h"

class CCategoryServer {
public:
    // Connections beyond this many are closed as soon as they are accepted.
    static constexpr std::size_t kMaxConnections = 1024;
    static constexpr unsigned kMaxThreads = 16;

    explicit CCategoryServer(std::shared_ptr<const CCategoryLists> ptrLists);
    ~CCategoryServer();
    CCategoryServer(const CCategoryServer&) = delete;
    CCategoryServer& operator=(const CCategoryServer&) = delete;

    // Binds and listens on "ADDRESS:PORT" (an IPv4 address, or an IPv6 one in brackets;
    // port 0 lets the system pick one). E_INVALIDARG for text that is not such an address.
    HRESULT Listen(std::string_view strAddress);
    std::uint16_t Port() const;

    // Starts answering on `threads` threads (1 to kMaxThreads); Stop ends it.
    HRESULT Start(unsigned threads);
    void Stop();

    void SetLists(std::shared_ptr<const CCategoryLists> ptrLists);
    std::shared_ptr<const CCategoryLists> Lists() const;

    // How long a connection may take to send a whole request, or to close after a reply
    // that ends it (30 s by default); then it is closed.
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }
    std::size_t ConnectionCount() const { return m_connections.load(); }

private:
    class CConnection;

    void Accept();
    void RunThread();

    // Declared before the io_context so that connections, which the io_context destroys
    // with its pending handlers, still find them.
    mutable std::mutex m_lockLists;  // guards m_ptrLists only; innermost, held for a copy
    std::shared_ptr<const CCategoryLists> m_ptrLists;
    std::atomic<std::size_t> m_connections{0};
    std::atomic<std::chrono::milliseconds> m_idleTimeout{std::chrono::seconds(30)};

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_retryTimer;  // paces accepting again after an accept error
    std::vector<std::thread> m_threads;
};
