// The C entry points of libcorvanelsp.so: the wrapped system calls and the exports.
//
// Every wrapper starts with the cheapest possible test and hands the call on to the C
// library's definition when the library has nothing to do: connect looks at the address
// family, the others at one atomic count (no diverted connect pending or refused in the
// process). Only sockets in CPendingSockets' table take a lock.
//
// Wrapped: connect; the read family (read, readv, recv, recvfrom, recvmsg, recvmmsg and
// the fortified variants the compiler substitutes); the write family (write, writev,
// send, sendto, sendmsg, sendmmsg), where sendto/sendmsg also refuse UDP to port 443;
// getsockopt(SO_ERROR); the readiness waits (poll, ppoll, select, pselect, epoll_ctl,
// epoll_wait, epoll_pwait); close.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "lsp/ConnectDiversion.h"
#include "lsp/CorvaneLsp.h"
#include "lsp/PendingSockets.h"
#include "lsp/RealCalls.h"

#define CV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <class F>
F Next(const char* name) {
    return reinterpret_cast<F>(NextDefinition(name));
}

#define CV_NEXT(name, type) static const auto next_##name = Next<type>(#name)

CPendingSockets& Pending() {
    return CPendingSockets::Instance();
}

bool IsBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

// Before a read of a tracked socket: takes the answer off the stream. False (with
// errno) when the read must fail: still pending on a non-blocking socket, or refused.
bool BeforeRead(int fd, bool dontWait) {
    int error = 0;
    switch (Pending().Check(fd, false, &error)) {
        case CPendingSockets::State::Waiting:
            if (!dontWait && IsBlocking(fd)) {
                if (Pending().Check(fd, true, &error) == CPendingSockets::State::Refused) {
                    errno = error;
                    return false;
                }
                return true;
            }
            errno = EAGAIN;
            return false;
        case CPendingSockets::State::Refused:
            errno = error;
            return false;
        default:
            return true;
    }
}

// Before a write of a tracked socket: a refused connect fails it. While the answer is
// outstanding the data goes on: the service keeps what follows the record.
bool BeforeWrite(int fd) {
    int error = 0;
    if (Pending().Check(fd, false, &error) == CPendingSockets::State::Refused) {
        errno = error;
        return false;
    }
    return true;
}

bool RefuseDatagram(int fd, const sockaddr* addr, socklen_t len) {
    return addr && CConnectDiversion::Instance().RefuseDatagram(fd, addr, len);
}

}  // namespace

// Exports.

CV_EXPORT int IsFilteringAllowed() {
    return CConnectDiversion::IsOwnProgram() ? 0 : 1;
}

CV_EXPORT int IsCorvane(CorvaneLspCallback callback) {
    CConnectDiversion::Instance().SetCallback(callback);
    return 1;
}

// connect and close.

CV_EXPORT int connect(int fd, const sockaddr* addr, socklen_t len) {
    return CConnectDiversion::Instance().Connect(fd, addr, len);
}

CV_EXPORT int close(int fd) {
    CV_NEXT(close, int (*)(int));
    if (Pending().Any())
        Pending().Forget(fd);
    return next_close(fd);
}

// The read family.

CV_EXPORT ssize_t read(int fd, void* buf, size_t n) {
    CV_NEXT(read, ssize_t(*)(int, void*, size_t));
    if (Pending().Any() && !BeforeRead(fd, false))
        return -1;
    return next_read(fd, buf, n);
}

CV_EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t) {
    return read(fd, buf, n);
}

CV_EXPORT ssize_t readv(int fd, const iovec* iov, int count) {
    CV_NEXT(readv, ssize_t(*)(int, const iovec*, int));
    if (Pending().Any() && !BeforeRead(fd, false))
        return -1;
    return next_readv(fd, iov, count);
}

CV_EXPORT ssize_t recv(int fd, void* buf, size_t n, int flags) {
    if (Pending().Any() && !BeforeRead(fd, flags & MSG_DONTWAIT))
        return -1;
    return real::recv(fd, buf, n, flags);
}

CV_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t n, size_t, int flags) {
    return recv(fd, buf, n, flags);
}

CV_EXPORT ssize_t recvfrom(int fd, void* buf, size_t n, int flags, sockaddr* from,
                           socklen_t* fromLen) {
    CV_NEXT(recvfrom, ssize_t(*)(int, void*, size_t, int, sockaddr*, socklen_t*));
    if (Pending().Any() && !BeforeRead(fd, flags & MSG_DONTWAIT))
        return -1;
    return next_recvfrom(fd, buf, n, flags, from, fromLen);
}

CV_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t n, size_t, int flags, sockaddr* from,
                                 socklen_t* fromLen) {
    return recvfrom(fd, buf, n, flags, from, fromLen);
}

CV_EXPORT ssize_t recvmsg(int fd, msghdr* msg, int flags) {
    CV_NEXT(recvmsg, ssize_t(*)(int, msghdr*, int));
    if (Pending().Any() && !BeforeRead(fd, flags & MSG_DONTWAIT))
        return -1;
    return next_recvmsg(fd, msg, flags);
}

CV_EXPORT int recvmmsg(int fd, mmsghdr* msgs, unsigned int count, int flags, timespec* timeout) {
    CV_NEXT(recvmmsg, int (*)(int, mmsghdr*, unsigned int, int, timespec*));
    if (Pending().Any() && !BeforeRead(fd, flags & MSG_DONTWAIT))
        return -1;
    return next_recvmmsg(fd, msgs, count, flags, timeout);
}

// The write family.

CV_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
    CV_NEXT(write, ssize_t(*)(int, const void*, size_t));
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return next_write(fd, buf, n);
}

CV_EXPORT ssize_t writev(int fd, const iovec* iov, int count) {
    CV_NEXT(writev, ssize_t(*)(int, const iovec*, int));
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return next_writev(fd, iov, count);
}

CV_EXPORT ssize_t send(int fd, const void* buf, size_t n, int flags) {
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return real::send(fd, buf, n, flags);
}

CV_EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* to,
                         socklen_t toLen) {
    CV_NEXT(sendto, ssize_t(*)(int, const void*, size_t, int, const sockaddr*, socklen_t));
    if (RefuseDatagram(fd, to, toLen))
        return -1;
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return next_sendto(fd, buf, n, flags, to, toLen);
}

CV_EXPORT ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    CV_NEXT(sendmsg, ssize_t(*)(int, const msghdr*, int));
    if (msg && RefuseDatagram(fd, static_cast<const sockaddr*>(msg->msg_name), msg->msg_namelen))
        return -1;
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return next_sendmsg(fd, msg, flags);
}

CV_EXPORT int sendmmsg(int fd, mmsghdr* msgs, unsigned int count, int flags) {
    CV_NEXT(sendmmsg, int (*)(int, mmsghdr*, unsigned int, int));
    for (unsigned int i = 0; msgs && i < count; ++i) {
        const msghdr& m = msgs[i].msg_hdr;
        if (RefuseDatagram(fd, static_cast<const sockaddr*>(m.msg_name), m.msg_namelen))
            return -1;
    }
    if (Pending().Any() && !BeforeWrite(fd))
        return -1;
    return next_sendmmsg(fd, msgs, count, flags);
}

// Socket state.

CV_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    if (level == SOL_SOCKET && name == SO_ERROR && Pending().Any() && value && len &&
        *len >= sizeof(int)) {
        int error = 0;
        if (Pending().SocketError(fd, &error)) {
            *static_cast<int*>(value) = error;
            *len = sizeof(int);
            return 0;
        }
    }
    return real::getsockopt(fd, level, name, value, len);
}

// Readiness.

CV_EXPORT int poll(pollfd* fds, nfds_t n, int timeout) {
    if (!Pending().Any())
        return real::poll(fds, n, timeout);
    std::vector<CPendingSockets::PollSwap> swaps;
    for (;;) {
        swaps.clear();
        Pending().PollEnter(fds, n, &swaps);
        int result = real::poll(fds, n, timeout);
        if (swaps.empty())
            return result;
        int kept = Pending().PollLeave(fds, result, swaps);
        // Only the answer's first bytes woke the wait: wait again when no time-out.
        if (kept != 0 || result <= 0 || timeout >= 0)
            return kept;
    }
}

CV_EXPORT int __poll_chk(pollfd* fds, nfds_t n, int timeout, size_t) {
    return poll(fds, n, timeout);
}

CV_EXPORT int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
    CV_NEXT(ppoll, int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*));
    if (!Pending().Any())
        return next_ppoll(fds, n, timeout, mask);
    std::vector<CPendingSockets::PollSwap> swaps;
    for (;;) {
        swaps.clear();
        Pending().PollEnter(fds, n, &swaps);
        int result = next_ppoll(fds, n, timeout, mask);
        if (swaps.empty())
            return result;
        int kept = Pending().PollLeave(fds, result, swaps);
        if (kept != 0 || result <= 0 || timeout)
            return kept;
    }
}

CV_EXPORT int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                     timeval* timeout) {
    CV_NEXT(select, int (*)(int, fd_set*, fd_set*, fd_set*, timeval*));
    if (!Pending().Any() || !writefds)
        return next_select(nfds, readfds, writefds, exceptfds, timeout);
    fd_set ownRead;
    FD_ZERO(&ownRead);
    fd_set* reads = readfds ? readfds : &ownRead;
    std::vector<CPendingSockets::SelectSwap> swaps;
    Pending().SelectEnter(nfds, reads, writefds, &swaps);
    int result = next_select(nfds, reads, writefds, exceptfds, timeout);
    return swaps.empty() ? result : Pending().SelectLeave(reads, writefds, result, swaps);
}

CV_EXPORT int pselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                      const timespec* timeout, const sigset_t* mask) {
    CV_NEXT(pselect, int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*));
    if (!Pending().Any() || !writefds)
        return next_pselect(nfds, readfds, writefds, exceptfds, timeout, mask);
    fd_set ownRead;
    FD_ZERO(&ownRead);
    fd_set* reads = readfds ? readfds : &ownRead;
    std::vector<CPendingSockets::SelectSwap> swaps;
    Pending().SelectEnter(nfds, reads, writefds, &swaps);
    int result = next_pselect(nfds, reads, writefds, exceptfds, timeout, mask);
    return swaps.empty() ? result : Pending().SelectLeave(reads, writefds, result, swaps);
}

CV_EXPORT int epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
    int result = 0;
    if (Pending().Any() && Pending().EpollCtl(epfd, op, fd, event, &result))
        return result;
    return real::epoll_ctl(epfd, op, fd, event);
}

CV_EXPORT int epoll_wait(int epfd, epoll_event* events, int max, int timeout) {
    CV_NEXT(epoll_wait, int (*)(int, epoll_event*, int, int));
    for (;;) {
        int result = next_epoll_wait(epfd, events, max, timeout);
        if (result <= 0 || !Pending().Any())
            return result;
        int kept = Pending().FilterEpoll(epfd, events, result);
        if (kept != 0 || timeout >= 0)
            return kept;
    }
}

CV_EXPORT int epoll_pwait(int epfd, epoll_event* events, int max, int timeout,
                          const sigset_t* mask) {
    CV_NEXT(epoll_pwait, int (*)(int, epoll_event*, int, int, const sigset_t*));
    for (;;) {
        int result = next_epoll_pwait(epfd, events, max, timeout, mask);
        if (result <= 0 || !Pending().Any())
            return result;
        int kept = Pending().FilterEpoll(epfd, events, result);
        if (kept != 0 || timeout >= 0)
            return kept;
    }
}
