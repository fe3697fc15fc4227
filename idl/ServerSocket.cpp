// Where the service's Server object listens; see ServerSocket.h.
#include "idl/ServerSocket.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

const char* const kSystemServerSocket = "/run/corvane/server.sock";
const char* const kSystemBrowserList = "/var/lib/corvane/browsers";

namespace {

// Empty values count as unset.
const char* Environment(const char* name) {
    const char* value = secure_getenv(name);
    return value && *value ? value : nullptr;
}

const char* Override() {
    return Environment("CORVANE_SERVER_SOCKET");
}

bool IsSocket(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool Exists(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0;
}

}  // namespace

std::string PerUserServerSocket() {
    const char* runtime = Environment("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::string(runtime) + "/corvane/server.sock";
    return "/tmp/corvane-" + std::to_string(getuid()) + "/server.sock";
}

std::string BrowserListBeside(const std::string& socketPath) {
    const std::size_t slash = socketPath.rfind('/');
    return (slash == std::string::npos ? std::string() : socketPath.substr(0, slash + 1)) +
           "browsers";
}

std::string ServiceServerSocketPath() {
    if (const char* path = Override())
        return path;
    if (geteuid() == 0)
        return kSystemServerSocket;
    return PerUserServerSocket();
}

std::string ServiceBrowserListPath() {
    if (const char* path = Override())
        return BrowserListBeside(path);
    if (geteuid() == 0)
        return kSystemBrowserList;
    return BrowserListBeside(PerUserServerSocket());
}

std::string ClientServerSocketPath() {
    if (const char* path = Override())
        return path;
    if (IsSocket(kSystemServerSocket))
        return kSystemServerSocket;
    return PerUserServerSocket();
}

LibraryServicePaths LibraryPaths() {
    return LibraryPathsWith(kSystemServerSocket, kSystemBrowserList);
}

LibraryServicePaths LibraryPathsWith(const char* systemSocket, const char* systemList) {
    LibraryServicePaths paths;
    if (IsSocket(systemSocket) || Exists(systemList)) {
        paths.socket = systemSocket;
        paths.browserList = systemList;
        paths.installed = true;
        return paths;
    }
    const char* path = Override();
    paths.socket = path ? std::string(path) : PerUserServerSocket();
    paths.browserList = BrowserListBeside(paths.socket);
    return paths;
}
