// Throughput and request rate through the relay against a direct loopback connection and
// against socat as a plain relay, in one run; and what an idle relayed connection costs.
//
//  - bulk: 512 MiB from the destination to the application (download) and the other way
//    (upload), the three paths taking turns, best of five each, in MiB/s;
//  - requests: 20,000 small HTTP request/answer round trips on one keep-alive connection,
//    in requests per second;
//  - idle: the growth of resident memory over 10,000 relayed connections that have each
//    carried one exchange and then sit idle.
// Every figure is printed with its ratio to direct and to socat (`socat -b 262144`, given
// the accepted socket as its first address). Goals: relay at least socat's throughput and
// at least 0.6 of direct; under 16 KiB per idle connection. Without socat its row is
// skipped.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "bench/BenchSockets.h"
#include "com/Singleton.h"
#include "passthru/Passthru.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBulkBytes = 512u << 20;
constexpr int kRounds = 5;
constexpr std::size_t kBlock = 256u << 10;
constexpr int kRequests = 20000;
constexpr int kIdleConnections = 10000;

enum class Mode { Direct, Relay, Socat };
const char* Name(Mode m) {
    return m == Mode::Direct ? "direct" : m == Mode::Relay ? "relay" : "socat";
}

int Listen(unsigned short* port) {
    return ListenLoopback(port);
}

int ConnectTo(unsigned short port) {
    return ConnectLoopback(port, false);
}

void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool HaveSocat() {
    return ::access("/usr/bin/socat", X_OK) == 0 || ::access("/bin/socat", X_OK) == 0;
}

// The two listening sockets every connection goes through: the front door (where the
// socket server would be) and the destination.
struct CNetwork {
    unsigned short frontPort = 0, destPort = 0;
    int front = Listen(&frontPort);
    int dest = Listen(&destPort);
    std::vector<pid_t> socats;

    // A connection from the application (app) to the destination (dest) through `mode`.
    bool Open(Mode mode, int& app, int& destFd) {
        if (mode == Mode::Direct) {
            app = ConnectTo(destPort);
            destFd = ::accept4(dest, nullptr, nullptr, SOCK_CLOEXEC);
            return app >= 0 && destFd >= 0;
        }
        app = ConnectTo(frontPort);
        const int inner = ::accept4(front, nullptr, nullptr, SOCK_CLOEXEC);
        if (app < 0 || inner < 0)
            return false;
        if (mode == Mode::Socat) {
            const std::string target = "TCP:127.0.0.1:" + std::to_string(destPort);
            const char* argv[] = {"socat", "-b", "262144", "FD:3", target.c_str(), nullptr};
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, inner, 3);
            pid_t pid = 0;
            const int rc =
                posix_spawnp(&pid, "socat", &actions, nullptr, const_cast<char**>(argv), environ);
            posix_spawn_file_actions_destroy(&actions);
            ::close(inner);
            if (rc != 0)
                return false;
            socats.push_back(pid);
            destFd = ::accept4(dest, nullptr, nullptr, SOCK_CLOEXEC);
            return destFd >= 0;
        }
        const int outer = ConnectTo(destPort);
        destFd = ::accept4(dest, nullptr, nullptr, SOCK_CLOEXEC);
        if (outer < 0 || destFd < 0)
            return false;
        CSocketHandle sockInner, sockOuter;
        if (FAILED(sockInner.Attach(inner)) || FAILED(sockOuter.Attach(outer)))
            return false;
        auto* relay =
            new CPassthru(nullptr, sockInner, sockOuter, "127.0.0.1:" + std::to_string(destPort));
        return SUCCEEDED(relay->Start(nullptr));
    }

    void ReapSocats() {
        for (pid_t pid : socats)
            ::waitpid(pid, nullptr, 0);
        socats.clear();
    }
};

void SendBulk(int fd, std::size_t bytes) {
    std::vector<char> block(kBlock, 'x');
    for (std::size_t sent = 0; sent < bytes;) {
        const ssize_t n =
            ::send(fd, block.data(), std::min(block.size(), bytes - sent), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
}

std::size_t ReceiveBulk(int fd) {
    std::vector<char> block(kBlock);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, block.data(), block.size(), 0);
        if (n <= 0)
            return total;
        total += static_cast<std::size_t>(n);
    }
}

// MiB/s of one bulk transfer; 0 when the connection could not be made or lost bytes.
double BulkOnce(CNetwork& net, Mode mode, bool download) {
    int app = -1, dest = -1;
    if (!net.Open(mode, app, dest))
        return 0;
    const int sender = download ? dest : app;
    const int receiver = download ? app : dest;
    const auto start = Clock::now();
    std::thread send([&] { SendBulk(sender, kBulkBytes); });
    const std::size_t got = ReceiveBulk(receiver);
    send.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(app);
    ::close(dest);
    net.ReapSocats();
    if (got != kBulkBytes) {
        std::printf("  %s: received %zu of %zu bytes\n", Name(mode), got, kBulkBytes);
        return 0;
    }
    return static_cast<double>(kBulkBytes) / (1 << 20) / seconds;
}

bool ReceiveExactly(int fd, char* buffer, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, buffer + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// Round trips per second of small requests on one keep-alive connection.
double Requests(CNetwork& net, Mode mode) {
    static const std::string request = "GET /index.html HTTP/1.1\r\nHost: bench\r\n\r\n";
    static const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    int app = -1, dest = -1;
    if (!net.Open(mode, app, dest))
        return 0;
    NoDelay(app);
    NoDelay(dest);
    std::thread server([&] {
        std::vector<char> buffer(request.size());
        for (int i = 0; i < kRequests; ++i) {
            if (!ReceiveExactly(dest, buffer.data(), buffer.size()))
                return;
            ::send(dest, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    std::vector<char> buffer(answer.size());
    int done = 0;
    const auto start = Clock::now();
    for (; done < kRequests; ++done) {
        ::send(app, request.data(), request.size(), MSG_NOSIGNAL);
        if (!ReceiveExactly(app, buffer.data(), buffer.size()))
            break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.join();
    ::close(app);
    ::close(dest);
    net.ReapSocats();
    return done == kRequests ? kRequests / seconds : 0;
}

long ResidentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

// One round of `count` idle relayed connections. The application and destination ends
// live in a child process, so this process holds only what the relays hold; the child
// makes each connection carry one exchange and keeps it open until told to close.
// Returns the resident growth of this process with all of them open, or -1.
long IdleRound(CNetwork& net, int count) {
    unsigned short destPort = 0;
    const int destListener = Listen(&destPort);
    int toParent[2], toChild[2];
    if (destListener < 0 || ::pipe(toParent) != 0 || ::pipe(toChild) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<int> fds;
        char c[4];
        char ok = 'y';
        for (int i = 0; i < count; ++i) {
            const int app = ConnectTo(net.frontPort);
            const int dest = ::accept(destListener, nullptr, nullptr);
            if (app < 0 || dest < 0 || ::send(app, "ping", 4, 0) != 4 ||
                !ReceiveExactly(dest, c, 4) || ::send(dest, "pong", 4, 0) != 4 ||
                !ReceiveExactly(app, c, 4)) {
                ok = 'n';
                break;
            }
            fds.push_back(app);
            fds.push_back(dest);
        }
        if (::write(toParent[1], &ok, 1) != 1 || ::read(toChild[0], c, 1) != 1)
            _exit(1);
        _exit(0);  // closes every connection
    }
    ::close(destListener);
    const long before = ResidentBytes();
    bool ok = child > 0;
    for (int i = 0; ok && i < count; ++i) {
        const int inner = ::accept4(net.front, nullptr, nullptr, SOCK_CLOEXEC);
        const int outer = inner >= 0 ? ConnectTo(destPort) : -1;
        CSocketHandle sockInner, sockOuter;
        ok = outer >= 0 && SUCCEEDED(sockInner.Attach(inner)) && SUCCEEDED(sockOuter.Attach(outer));
        if (ok) {
            auto* relay = new CPassthru(nullptr, sockInner, sockOuter,
                                        "127.0.0.1:" + std::to_string(destPort));
            ok = SUCCEEDED(relay->Start(nullptr));
        }
    }
    char answer = 'n';
    if (child > 0 && ::read(toParent[0], &answer, 1) != 1)
        answer = 'n';
    const long after = ResidentBytes();
    if (child > 0) {
        ::write(toChild[1], "x", 1);
        ::waitpid(child, nullptr, 0);
    }
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        ::close(fd);
    CPassthru::Instances().WaitForNone(600000);
    return ok && answer == 'y' ? after - before : -1;
}

// Descriptors this process has open now.
int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            n += entry->d_name[0] != '.';
        ::closedir(dir);
        --n;  // the directory's own
    }
    return n;
}

// Resident bytes per idle relayed connection, and how many were open at once; -1 when
// the connections could not be made. A relay holds two descriptors here (its two
// sockets; the readiness watches use the sockets' own registrations), and the outer ends
// live in a child process, so the count is capped by this process's descriptor limit
// less what it holds already and a small reserve for the pool's pipes.
long IdleCost(CNetwork& net, int wanted, int* opened, int* room) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    constexpr int kReserve = 64;
    *room = (static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30)) - OpenDescriptors() -
             kReserve) /
            2;
    const int count = std::min(wanted, *room);
    *opened = count;
    // A small first round starts the pool's threads and the allocator's arenas; the
    // second round is the one measured. The memory the first round freed is reused by
    // the second, so its connections are not counted.
    constexpr int kWarmUp = 100;
    if (count <= kWarmUp || IdleRound(net, kWarmUp) < 0)
        return -1;
    const long growth = IdleRound(net, count);
    return growth < 0 ? -1 : growth / (count - kWarmUp);
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    rlimit wanted{262144, 262144};
    if (::setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ::getrlimit(RLIMIT_NOFILE, &limit);
    std::printf("descriptor limit: %lu\n", static_cast<unsigned long>(limit.rlim_cur));
}

void PrintRow(const char* what, const char* unit, double direct, double relay, double socat) {
    std::printf("%-10s direct %10.0f %s   relay %10.0f %s", what, direct, unit, relay, unit);
    if (socat > 0)
        std::printf("   socat %10.0f %s", socat, unit);
    std::printf("\n%-10s relay/direct %.2f", "", direct > 0 ? relay / direct : 0);
    if (socat > 0)
        std::printf("   relay/socat %.2f", relay / socat);
    else
        std::printf("   (socat not installed: row skipped; add socat to install-deps)");
    std::printf("\n");
}

}  // namespace

int main() {
    RaiseDescriptorLimit();
    THREAD_POOL::instance();
    CNetwork net;
    if (net.front < 0 || net.dest < 0) {
        std::printf("cannot listen on loopback\n");
        return 1;
    }
    const bool socat = HaveSocat();

    for (bool download : {true, false}) {
        // The three paths take turns, so a busy machine slows them alike; best of each.
        double best[3] = {0, 0, 0};
        for (int round = 0; round < kRounds; ++round) {
            for (Mode mode : {Mode::Direct, Mode::Relay, Mode::Socat}) {
                if (mode != Mode::Socat || socat) {
                    double& b = best[static_cast<int>(mode)];
                    b = std::max(b, BulkOnce(net, mode, download));
                }
            }
        }
        PrintRow(download ? "download" : "upload", "MiB/s", best[0], best[1], best[2]);
    }
    {
        const double direct = Requests(net, Mode::Direct);
        const double relay = Requests(net, Mode::Relay);
        const double viaSocat = socat ? Requests(net, Mode::Socat) : 0;
        PrintRow("requests", "/s", direct, relay, viaSocat);
    }
    CPassthru::Instances().WaitForNone(600000);

    int opened = 0, room = 0;
    const long perConnection = IdleCost(net, kIdleConnections, &opened, &room);
    if (perConnection < 0)
        std::printf("idle: could not open %d relayed connections\n", opened);
    else
        std::printf("idle: %ld bytes resident per relayed connection over %d (goal < 16384)\n",
                    perConnection, opened);
    if (opened < kIdleConnections) {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        std::printf(
            "idle: %d of %d connections: the descriptor limit is %lu and each relay "
            "holds 2 descriptors, beside the %d this process had open already\n",
            opened, kIdleConnections, static_cast<unsigned long>(limit.rlim_cur),
            OpenDescriptors());
    }
    ModuleTerminate();
    return 0;
}
