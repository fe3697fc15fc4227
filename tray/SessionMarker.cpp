// The tray program's per-session marker; see SessionMarker.h.
#include "tray/SessionMarker.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "com/DiagnosticLog.h"

CSessionMarker::~CSessionMarker() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CSessionMarker::Create(const std::string& name) {
    if (m_fd >= 0)
        return true;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (CheckExpression(fd < 0))
        return false;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    // The abstract namespace: a leading NUL, then the name without a terminator.
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
        if (errno != EADDRINUSE)
            LogTrace("The marker \"%s\" could not be created: %s", name.c_str(),
                     std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

std::string CSessionMarker::NameForThisSession() {
    const char* session = std::getenv("XDG_SESSION_ID");
    return std::string("Local\\Pellora813054C6-") +
           (session && *session ? std::string(session) : std::to_string(getuid()));
}
