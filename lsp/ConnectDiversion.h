// CConnectDiversion: what the connect() library decides for each connect of a process.
//
// On the process's first connect of an Internet socket (never earlier: the library is
// loaded into every program, most of which never connect) it attaches the process to
// the service through the Server object (CServerAttach) and learns the private port and
// the session key. The socket (and the browser list below) are LibraryPaths(): on a
// machine with an installed service the system ones, whatever the environment says, so
// no user can point a browser at a service of their own. Then, for every connect:
//
//  - a zero key: nothing is diverted;
//  - a non-zero key: each TCP connect (IPv4 or IPv6) goes to 127.0.0.1 at the private
//    port, opened by the hand-off record; a UDP connect to port 443 (and a datagram sent
//    there) is refused so that browsers fall back from QUIC to TCP, which is filtered;
//  - the service unreachable or the attach failing (stopped, restarting, not yet started
//    at boot): the library is loaded into every process of the machine, but only the
//    browsers must not escape the filter. It reads the service's browser list
//    (LookUpBrowser) and compares its own executable:
//      - a listed program, a program whose list cannot be read (no list: a machine
//        where the service never ran) and a program started by corvane-run (which sets
//        CORVANE_FAIL_CLOSED: it asked for diversion) fail closed: every TCP connect
//        fails with ECONNREFUSED and the next connect tries to attach again, so they
//        recover when the service starts;
//      - any other program connects unfiltered, and tries to attach again at a connect
//        a second or more later (kRetryMs), so it does not hammer a dead socket;
//  - callback mode (the service and tray program, through IsCorvane): no attach and no
//    refusal; a TCP connect to a loopback address is diverted only when the callback
//    accepts its port.
//
// The library's own connect to the private port is made with the C library's connect,
// so it never passes through the diversion again.
//
// A blocking socket's connect waits for the 4-byte answer and returns 0 or the errno
// the answer maps to. A non-blocking socket's connect returns EINPROGRESS as soon as the
// record is sent; CPendingSockets takes the answer later.
//
// A forked child starts undecided and attaches with its own process id on its first
// connect. The state is an atomic value read without a lock on the fast path; m_lock
// serialises the attach (and is held across fork so a child never inherits it taken).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <mutex>

#include "lsp/CorvaneLsp.h"

class CConnectDiversion {
public:
    static CConnectDiversion& Instance();

    // The body of the connect() wrapper.
    int Connect(int fd, const sockaddr* addr, socklen_t len);
    // True when a datagram from `fd` to `addr` must be refused (UDP to port 443 from a
    // diverted process); errno is set then.
    bool RefuseDatagram(int fd, const sockaddr* addr, socklen_t len);

    void SetCallback(CorvaneLspCallback callback);
    // True in the programs that are the filter itself.
    static bool IsOwnProgram();

private:
    // PassThrough: unreachable, but not a browser; retried after m_retryAtMs.
    enum class Mode { Undecided, Diverted, NotDiverted, Unreachable, PassThrough, Callback };

    CConnectDiversion() = default;
    Mode Decide();
    // The mode while the service cannot be reached (m_lock).
    Mode WithoutService(const char* browserList);
    int Divert(int fd, const sockaddr* addr, socklen_t len, unsigned short servicePort,
               const GUID& key);
    static void BeforeFork();
    static void AfterForkParent();
    static void AfterForkChild();

    std::atomic<Mode> m_mode{Mode::Undecided};
    std::mutex m_lock;          // serialises the attach
    unsigned short m_port = 0;  // written before m_mode (release)
    GUID m_key{};               // likewise
    std::atomic<CorvaneLspCallback> m_callback{nullptr};
    bool m_forkHandlers = false;            // m_lock
    std::atomic<long long> m_retryAtMs{0};  // monotonic; written before m_mode (release)
};
