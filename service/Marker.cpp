// Abstract-namespace socket markers.
#include "service/Marker.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "com/DiagnosticLog.h"

namespace {

// The abstract address: a leading NUL, then the name (no terminator).
socklen_t MakeAddress(const std::string& name, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

CMarker::~CMarker() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CMarker::Create(const std::string& name) {
    if (m_fd >= 0) return true;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (CheckExpression(fd < 0)) return false;
    sockaddr_un address;
    socklen_t length = MakeAddress(name, address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        LogTrace("The marker \"%s\" could not be created: %s", name.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool CMarker::Exists(const std::string& name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address;
    socklen_t length = MakeAddress(name, address);
    bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 &&
                 errno == EADDRINUSE;
    ::close(fd);
    return taken;
}
