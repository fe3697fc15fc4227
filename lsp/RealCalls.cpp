// The C library's definitions behind the wrappers; see RealCalls.h.
#include "lsp/RealCalls.h"

#include <dlfcn.h>

#include <cerrno>

void* NextDefinition(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

namespace {

// The next definition of one call, resolved on first use.
template <class F>
F Next(const char* name) {
    return reinterpret_cast<F>(NextDefinition(name));
}

}  // namespace

#define CV_FORWARD(fn, ret, params, args)                  \
    ret real::fn params {                                  \
        static const auto next = Next<ret(*) params>(#fn); \
        if (!next) {                                       \
            errno = ENOSYS;                                \
            return -1;                                     \
        }                                                  \
        return next args;                                  \
    }

CV_FORWARD(connect, int, (int fd, const sockaddr* addr, socklen_t len), (fd, addr, len))
CV_FORWARD(recv, ssize_t, (int fd, void* buf, size_t n, int flags), (fd, buf, n, flags))
CV_FORWARD(send, ssize_t, (int fd, const void* buf, size_t n, int flags), (fd, buf, n, flags))
CV_FORWARD(getsockopt, int, (int fd, int level, int name, void* value, socklen_t* len),
           (fd, level, name, value, len))
CV_FORWARD(poll, int, (pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
CV_FORWARD(epoll_ctl, int, (int epfd, int op, int fd, epoll_event* event), (epfd, op, fd, event))
