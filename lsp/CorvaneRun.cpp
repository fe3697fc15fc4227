// corvane-run PROGRAM ARGS…: runs a program with its connections diverted through the
// Corvane service.
//
// It finds libcorvanelsp.so (next to this executable, then in the build tree it was
// built in, then the installed /usr/lib/corvane), puts it into LD_PRELOAD (after the
// sanitizer runtime in a sanitizer build, which has to come first) and executes the
// program in its own place. Before that it checks that the service's Server object
// answers at its socket; when it does not, it says so on stderr and runs the program
// anyway: the program's connections then fail (they are never let past the filter).
//
// It also sets CORVANE_FAIL_CLOSED=1: the program asked for diversion, so the library
// refuses its connects while the service is unreachable even when it is not one of the
// service's listed browsers (which would otherwise connect unfiltered then).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "idl/ServerSocket.h"

namespace {

const char* const kLibraryName = "libcorvanelsp.so";
const char* const kInstalledLibrary = "/usr/lib/corvane/libcorvanelsp.so";

bool IsFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FindLibrary() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir.erase(dir.rfind('/') + 1);
        if (IsFile(dir + kLibraryName))
            return dir + kLibraryName;
    }
    if (IsFile(CORVANE_LSP_BUILD_PATH))
        return CORVANE_LSP_BUILD_PATH;
    if (IsFile(kInstalledLibrary))
        return kInstalledLibrary;
    return {};
}

// 0 when the service's socket accepts a connection, else the errno of the attempt.
int ProbeService(const std::string& path) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (path.size() >= sizeof where.sun_path)
        return ENAMETOOLONG;
    std::memcpy(where.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int error = ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: corvane-run PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::string library = FindLibrary();
    if (library.empty()) {
        std::fprintf(stderr, "corvane-run: %s not found next to corvane-run or in %s\n",
                     kLibraryName, kInstalledLibrary);
        return 127;
    }
    // The socket the library will attach to.
    const std::string socketPath = LibraryPaths().socket;
    if (int error = ProbeService(socketPath)) {
        std::fprintf(stderr,
                     "corvane-run: the Corvane service is not reachable at %s (%s); "
                     "the connections of %s will be refused.\n",
                     socketPath.c_str(), std::strerror(error), argv[1]);
    }

    std::string preload;
    const std::string runtime = CORVANE_LSP_SANITIZER_RUNTIME;
    if (!runtime.empty() && runtime.front() == '/')
        preload = runtime + ":";
    preload += library;
    if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv("CORVANE_FAIL_CLOSED", "1", 1);

    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "corvane-run: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
