// The C library's own definitions of the calls that the connect() library wraps.
//
// The library defines connect, the read and write families, the readiness waits and a
// few others under their C names, so the program's calls reach it first. Its own work
// on a socket (the connect to the private port, the record, the answer) must reach the
// system directly, never its own wrappers: these are the next definitions after this
// library (dlsym with RTLD_NEXT), looked up once on first use.
#pragma once

#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace real {

int connect(int fd, const sockaddr* addr, socklen_t len);
ssize_t recv(int fd, void* buf, size_t n, int flags);
ssize_t send(int fd, const void* buf, size_t n, int flags);
int getsockopt(int fd, int level, int name, void* value, socklen_t* len);
int poll(pollfd* fds, nfds_t n, int timeout);
int epoll_ctl(int epfd, int op, int fd, epoll_event* event);

}  // namespace real

// Looks up the next definition of `name` (the C library's), or null.
void* NextDefinition(const char* name);
