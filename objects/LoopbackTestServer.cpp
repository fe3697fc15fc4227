// The tests' loopback TCP server.
#include "objects/LoopbackTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

int BoundLoopbackSocket(std::uint16_t* pPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("bind");
    }
    *pPort = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

CLoopbackTestServer::CLoopbackTestServer(Handler handler) : m_handler(std::move(handler)) {
    m_fdListen = BoundLoopbackSocket(&m_port);
    if (::listen(m_fdListen, 16) != 0) {
        ::close(m_fdListen);
        throw std::runtime_error("listen");
    }
    m_thread = std::thread([this] { Run(); });
}

CLoopbackTestServer::~CLoopbackTestServer() {
    // Shutting the listening socket down wakes the blocked accept.
    ::shutdown(m_fdListen, SHUT_RDWR);
    m_thread.join();
    ::close(m_fdListen);
}

void CLoopbackTestServer::Run() {
    for (;;) {
        const int fd = ::accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        m_handler(fd);
        ::close(fd);
    }
}

bool CLoopbackTestServer::ReadExact(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size) {
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CLoopbackTestServer::WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string CLoopbackTestServer::ReadRequestHead(int fd) {
    std::string head;
    char c;
    while (head.size() < 65536 && ReadExact(fd, &c, 1)) {
        head.push_back(c);
        if (head.ends_with("\r\n\r\n"))
            break;
    }
    return head;
}

CClosedLoopbackPort::CClosedLoopbackPort() {
    m_fd = BoundLoopbackSocket(&m_port);
}

CClosedLoopbackPort::~CClosedLoopbackPort() {
    ::close(m_fd);
}
