// Per-connect decisions of the connect() library; see ConnectDiversion.h.
#include "lsp/ConnectDiversion.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "com/DiagnosticLog.h"
#include "idl/ServerSocket.h"
#include "idl/WinsockCodes.h"
#include "lsp/BrowserList.h"
#include "lsp/HandoffRecord.h"
#include "lsp/PendingSockets.h"
#include "lsp/RealCalls.h"
#include "lsp/ServerAttach.h"

namespace {

constexpr unsigned short kQuicPort = 443;
// Bound on the loopback connect to the private port: the service accepts at once, so
// only a service that has stopped accepting makes this wait.
constexpr int kServiceConnectMs = 10000;
// How long a program that is not a browser connects unfiltered before it tries to attach
// to an unreachable service again.
constexpr long long kRetryMs = 1000;

long long MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Set by corvane-run: the program asked for diversion, so it never connects unfiltered.
// It only makes the library stricter, so it is honoured wherever it comes from.
bool MustFailClosed() {
    const char* value = ::secure_getenv("CORVANE_FAIL_CLOSED");
    return value && *value && std::strcmp(value, "0") != 0;
}

// The program's executable. A program whose file was replaced while it runs (a browser
// updated under it) still names its path, without the " (deleted)" the kernel adds.
std::string ExecutablePath() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted))
        exe.resize(exe.size() - kDeleted.size());
    return exe;
}

int SocketType(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return real::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : -1;
}

int Fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

CConnectDiversion& CConnectDiversion::Instance() {
    // Never destroyed: connects may come from other threads during the program's exit.
    static CConnectDiversion* const instance = new CConnectDiversion;
    return *instance;
}

bool CConnectDiversion::IsOwnProgram() {
    static const bool own = [] {
        std::string exe = ExecutablePath();
        std::string name = exe.substr(exe.rfind('/') + 1);
        return name == "corvane" || name == "pellora";
    }();
    return own;
}

void CConnectDiversion::SetCallback(CorvaneLspCallback callback) {
    m_callback.store(callback, std::memory_order_release);
    m_mode.store(Mode::Callback, std::memory_order_release);
}

void CConnectDiversion::BeforeFork() {
    Instance().m_lock.lock();
}

void CConnectDiversion::AfterForkParent() {
    Instance().m_lock.unlock();
}

void CConnectDiversion::AfterForkChild() {
    CConnectDiversion& self = Instance();
    Mode mode = self.m_mode.load(std::memory_order_relaxed);
    // The child is a process of its own: it attaches itself under its own id.
    if (mode != Mode::Callback)
        self.m_mode.store(Mode::Undecided, std::memory_order_relaxed);
    self.m_lock.unlock();
}

CConnectDiversion::Mode CConnectDiversion::Decide() {
    // Undecided and Unreachable attach now; PassThrough once its retry time has come.
    auto settled = [this](Mode mode) {
        if (mode == Mode::PassThrough)
            return MonotonicMs() < m_retryAtMs.load(std::memory_order_relaxed);
        return mode != Mode::Undecided && mode != Mode::Unreachable;
    };
    Mode mode = m_mode.load(std::memory_order_acquire);
    if (settled(mode))
        return mode;
    std::lock_guard lock(m_lock);
    mode = m_mode.load(std::memory_order_acquire);
    if (settled(mode))
        return mode;
    if (!m_forkHandlers) {
        m_forkHandlers = true;
        pthread_atfork(&BeforeFork, &AfterForkParent, &AfterForkChild);
    }
    if (IsOwnProgram()) {
        // The filter's own programs never attach, even before they call IsCorvane.
        m_mode.store(Mode::NotDiverted, std::memory_order_release);
        return Mode::NotDiverted;
    }
    USHORT port = 0;
    GUID key;
    const LibraryServicePaths paths = LibraryPaths();
    HRESULT hr = CServerAttach::Init(paths.socket, static_cast<LONG>(::getpid()), ExecutablePath(),
                                     &port, &key);
    if (FAILED(hr)) {
        mode = WithoutService(paths.browserList.c_str());
        LogTrace("The connect() library could not attach process %d: 0x%08X (%s)",
                 static_cast<int>(::getpid()), static_cast<unsigned>(hr),
                 mode == Mode::PassThrough ? "not a browser: unfiltered" : "refusing");
    } else if (key.IsNull()) {
        mode = Mode::NotDiverted;
    } else if (CheckExpression(port == 0)) {
        mode = Mode::Unreachable;
    } else {
        m_port = port;
        m_key = key;
        mode = Mode::Diverted;
    }
    m_mode.store(mode, std::memory_order_release);
    return mode;
}

CConnectDiversion::Mode CConnectDiversion::WithoutService(const char* browserList) {
    if (MustFailClosed())
        return Mode::Unreachable;
    const std::string exe = ExecutablePath();
    // A program that cannot name itself cannot be told from a browser.
    if (exe.empty() || LookUpBrowser(browserList, exe.c_str()) != BrowserListAnswer::NotListed)
        return Mode::Unreachable;
    m_retryAtMs.store(MonotonicMs() + kRetryMs, std::memory_order_relaxed);
    return Mode::PassThrough;
}

int CConnectDiversion::Connect(int fd, const sockaddr* addr, socklen_t len) {
    if (!addr || len < sizeof(sa_family_t) ||
        (addr->sa_family != AF_INET && addr->sa_family != AF_INET6))
        return real::connect(fd, addr, len);
    CPendingSockets& pending = CPendingSockets::Instance();
    if (pending.Any()) {
        int error = 0;
        switch (pending.Check(fd, false, &error)) {
            case CPendingSockets::State::Waiting:
                return Fail(EALREADY);
            case CPendingSockets::State::Connected:
                return Fail(EISCONN);
            case CPendingSockets::State::Refused:
                return Fail(error);
            case CPendingSockets::State::Untracked:
                break;
        }
    }
    const Mode mode = Decide();
    if (mode == Mode::NotDiverted || mode == Mode::PassThrough)
        return real::connect(fd, addr, len);
    const int type = SocketType(fd);
    if (type == SOCK_DGRAM) {
        if (mode != Mode::Callback && CHandoffRecord::PortOf(addr, len) == htons(kQuicPort))
            return Fail(ECONNREFUSED);
        return real::connect(fd, addr, len);
    }
    if (type != SOCK_STREAM)
        return real::connect(fd, addr, len);
    switch (mode) {
        case Mode::Callback: {
            CorvaneLspCallback callback = m_callback.load(std::memory_order_acquire);
            if (!callback || !CHandoffRecord::IsLoopbackHost(addr, len))
                return real::connect(fd, addr, len);
            unsigned short port = CHandoffRecord::PortOf(addr, len);
            GUID key;
            if (callback(&port, &key) != 1)
                return real::connect(fd, addr, len);
            return Divert(fd, addr, len, port, key);
        }
        case Mode::Diverted:
            return Divert(fd, addr, len, htons(m_port), m_key);
        default:
            return Fail(ECONNREFUSED);
    }
}

int CConnectDiversion::Divert(int fd, const sockaddr* addr, socklen_t len,
                              unsigned short servicePort, const GUID& key) {
    unsigned char record[CHandoffRecord::kMaxSize];
    std::size_t recordSize = 0;
    if (FAILED(CHandoffRecord::Build(addr, len, ntohs(servicePort), key, record, &recordSize)))
        return real::connect(fd, addr, len);  // a short address: the system's own error

    const int flags = ::fcntl(fd, F_GETFL);
    const bool nonBlocking = flags >= 0 && (flags & O_NONBLOCK);
    sockaddr_storage service{};
    socklen_t serviceLen = 0;
    if (addr->sa_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&service);
        v4->sin_family = AF_INET;
        v4->sin_port = servicePort;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        serviceLen = sizeof *v4;
    } else {
        // An IPv6 socket reaches the IPv4 loopback through the mapped address.
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&service);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = servicePort;
        v6->sin6_addr.s6_addr[10] = 0xFF;
        v6->sin6_addr.s6_addr[11] = 0xFF;
        const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
        std::memcpy(&v6->sin6_addr.s6_addr[12], &loopback, 4);
        serviceLen = sizeof *v6;
    }
    if (real::connect(fd, reinterpret_cast<sockaddr*>(&service), serviceLen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return Fail(ECONNREFUSED);  // the service is gone: fail closed
        // A failed loopback connect shows as an error or hang-up (and the record's
        // send would fail as well).
        pollfd p{fd, POLLOUT, 0};
        if (real::poll(&p, 1, kServiceConnectMs) != 1 || (p.revents & (POLLERR | POLLHUP)))
            return Fail(ECONNREFUSED);
    }
    ssize_t sent = real::send(fd, record, recordSize, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(recordSize))
        return Fail(ECONNREFUSED);
    if (nonBlocking) {
        CPendingSockets::Instance().Add(fd);
        return Fail(EINPROGRESS);
    }
    unsigned char answer[CHandoffRecord::kAnswerSize];
    ssize_t n;
    do {
        n = real::recv(fd, answer, sizeof answer, MSG_WAITALL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Fail(ETIMEDOUT);  // the program's own receive time-out
    if (n != static_cast<ssize_t>(sizeof answer))
        return Fail(ECONNREFUSED);
    std::int32_t code = 0;
    for (int i = 0; i < 4; ++i)
        code |= std::int32_t(answer[i]) << (8 * i);
    return code == 0 ? 0 : Fail(ErrnoFromWinsockError(code));
}

bool CConnectDiversion::RefuseDatagram(int fd, const sockaddr* addr, socklen_t len) {
    if (CHandoffRecord::PortOf(addr, len) != htons(kQuicPort))
        return false;
    const Mode mode = Decide();
    if (mode != Mode::Diverted && mode != Mode::Unreachable)
        return false;
    if (SocketType(fd) != SOCK_DGRAM)
        return false;
    errno = ECONNREFUSED;
    return true;
}
