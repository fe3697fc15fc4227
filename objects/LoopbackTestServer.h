// CLoopbackTestServer: a TCP server on 127.0.0.1 for tests, on a port the system picks.
// Each accepted connection is handed to the test's handler on the server's thread, one
// connection after another, and closed when the handler returns. Destruction stops
// accepting and joins the thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class CLoopbackTestServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit CLoopbackTestServer(Handler handler);
    ~CLoopbackTestServer();
    CLoopbackTestServer(const CLoopbackTestServer&) = delete;
    CLoopbackTestServer& operator=(const CLoopbackTestServer&) = delete;

    std::uint16_t Port() const { return m_port; }

    // Helpers for handlers: all bytes or false.
    static bool ReadExact(int fd, void* data, std::size_t size);
    static bool WriteAll(int fd, const std::string& bytes);
    // Reads up to and including the blank line that ends an HTTP request's head.
    static std::string ReadRequestHead(int fd);

private:
    void Run();

    Handler m_handler;
    int m_fdListen = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

// A port on 127.0.0.1 that nothing listens on (bound, never listened, so nobody else
// gets it while the socket lives): connects to it are refused.
class CClosedLoopbackPort {
public:
    CClosedLoopbackPort();
    ~CClosedLoopbackPort();
    CClosedLoopbackPort(const CClosedLoopbackPort&) = delete;
    CClosedLoopbackPort& operator=(const CClosedLoopbackPort&) = delete;
    std::uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};
