// Where the service's Server object listens; see ServerSocket.h.
#include "idl/ServerSocket.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

const char* const kSystemServerSocket = "/run/corvane/server.sock";

namespace {

const char* Override() {
    const char* path = std::getenv("CORVANE_SERVER_SOCKET");
    return path && *path ? path : nullptr;
}

}  // namespace

std::string PerUserServerSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return std::string(runtime) + "/corvane/server.sock";
    return "/tmp/corvane-" + std::to_string(getuid()) + "/server.sock";
}

std::string ServiceServerSocketPath() {
    if (const char* path = Override()) return path;
    if (geteuid() == 0) return kSystemServerSocket;
    return PerUserServerSocket();
}

std::string ClientServerSocketPath() {
    if (const char* path = Override()) return path;
    struct stat st {};
    if (stat(kSystemServerSocket, &st) == 0 && S_ISSOCK(st.st_mode)) return kSystemServerSocket;
    return PerUserServerSocket();
}
