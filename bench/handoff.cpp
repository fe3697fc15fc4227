// Hand-offs through the socket server against direct connects, in one run.
//
//  - direct: a client connects to a local test listener;
//  - hand-off: a client connects to the private port, writes the 36-byte record for the
//    listener and reads the 4-byte answer; the server connects onward to the listener
//    before it answers, then relays until the client closes;
//  - minimal: the same exchange with a bare server thread (blocking accept, receive,
//    connect onward, send the answer, close): the floor this machine sets for the steps.
// Prints the connect latency of each (p50, p99), the latency a hand-off adds (p50, p99
// of hand-off minus direct), hand-offs per second with several clients at once, and the
// context switches and processor time per connection of the whole process (clients and
// listener included): counts that move less than wall-clock figures on a busy machine.
// Goals: added p50 under 100 µs, at least 10,000 hand-offs per second on 2 cores.
//
// Arguments: latency samples (5000), hand-offs in the rate test (20000), and "no-relay"
// to end each hand-off at its answer instead of relaying.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com/Singleton.h"
#include "intake/HandOn.h"
#include "intake/SocketServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Closing with a reset leaves no TIME_WAIT behind, so tens of thousands of connections
// do not run out of ports.
void CloseNow(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

int Connect(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// The listening socket of a test server on 127.0.0.1 at a free port.
int Listen(unsigned short* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, SOMAXCONN);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// A destination server: its thread accepts every connection and keeps it until the peer
// closes or resets it, as a real destination would; a connection closed at once would
// race the onward connect's own check and send the server down its failure path.
class CListener {
public:
    CListener() {
        m_fd = Listen(&m_port);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = m_fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_fd, &ev);
        ev.data.fd = m_stop;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_stop, &ev);
        m_thread = std::thread([this] { Run(); });
    }
    ~CListener() {
        const std::uint64_t one = 1;
        if (::write(m_stop, &one, sizeof one) != sizeof one)
            std::fprintf(stderr, "could not stop the listener\n");
        m_thread.join();
        ::close(m_fd);
        ::close(m_stop);
        ::close(m_epoll);
    }
    unsigned short Port() const { return m_port; }

private:
    void Run() {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(m_epoll, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_stop)
                    return;
                if (fd == m_fd) {
                    const int conn = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (conn < 0)
                        continue;
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.fd = conn;
                    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, conn, &ev);
                    continue;
                }
                char bytes[512];
                if (::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0)
                    continue;  // a byte relayed through: the connection goes on
                CloseNow(fd);
            }
        }
    }

    int m_fd;
    int m_epoll;
    int m_stop;
    unsigned short m_port;
    std::thread m_thread;
};

// The floor: a bare server thread that does the hand-off's steps one connection at a
// time with blocking calls and no checks beyond the record's length.
class CMinimalServer {
public:
    CMinimalServer() {
        m_fd = Listen(&m_port);
        m_thread = std::thread([this] {
            for (;;) {
                const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    return;
                char record[36];
                sockaddr_in to{};
                const bool ok = ::recv(client, record, sizeof record, MSG_WAITALL) ==
                                static_cast<ssize_t>(sizeof record);
                std::memcpy(&to, record + 4, sizeof to);
                const int onward = ok ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
                const bool connected =
                    onward >= 0 &&
                    ::connect(onward, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
                const char answer[4] = {0, 0, 0, static_cast<char>(connected ? 0 : 1)};
                ::send(client, answer, sizeof answer, MSG_NOSIGNAL);
                if (onward >= 0)
                    CloseNow(onward);
                ::close(client);
            }
        });
    }
    ~CMinimalServer() {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        m_thread.join();
    }
    unsigned short Port() const { return m_port; }

private:
    int m_fd;
    unsigned short m_port;
    std::thread m_thread;
};

std::string Record(unsigned short port, const GUID& key) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out(4, '\0');
    out[0] = sizeof addr;
    out.append(reinterpret_cast<const char*>(&addr), sizeof addr);
    auto bytes = key.ToBytes();
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return out;
}

// Why the last measurement on this thread failed, for the report of failures.
thread_local std::string t_failure;

void Failed(const char* step) {
    t_failure = std::string(step) + ": " + std::strerror(errno);
}

// One hand-off; its latency, or a negative value on failure.
double HandOff(unsigned short privatePort, const std::string& record) {
    const auto start = Clock::now();
    int fd = Connect(privatePort);
    if (fd < 0) {
        Failed("connect");
        return -1;
    }
    char answer[4];
    bool ok = ::send(fd, record.data(), record.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(record.size());
    if (!ok) {
        Failed("send");
    } else {
        errno = 0;
        const ssize_t got = ::recv(fd, answer, 4, MSG_WAITALL);
        ok = got == 4 && std::memcmp(answer, "\0\0\0\0", 4) == 0;
        if (got != 4)
            Failed("answer");
        else if (!ok)
            t_failure = "answer: not 0";
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    CloseNow(fd);
    return ok ? us : -1;
}

double Direct(unsigned short port) {
    const auto start = Clock::now();
    int fd = Connect(port);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (fd < 0) {
        Failed("connect");
        return -1;
    }
    CloseNow(fd);
    return us;
}

// Context switches of the whole process so far (every thread, voluntary or not).
long ContextSwitches() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Processor time of the whole process so far, in microseconds (user and system).
double ProcessorTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

struct Rate {
    double perSecond = 0;
    double switches = 0;   // per connection
    double processor = 0;  // µs per connection
    int failed = 0;
};

// `count` hand-offs to `port` from `clients` threads at once.
Rate Throughput(unsigned short port, const std::string& record, int count, int clients) {
    std::atomic<int> next{0}, failed{0};
    const long switches = ContextSwitches();
    const double processor = ProcessorTime();
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            while (next.fetch_add(1) < count)
                if (HandOff(port, record) < 0 && failed.fetch_add(1) < 3)
                    std::fprintf(stderr, "failed: hand-off under load (%s)\n", t_failure.c_str());
        });
    for (auto& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Rate rate;
    rate.perSecond = count / seconds;
    rate.switches = static_cast<double>(ContextSwitches() - switches) / std::max(count, 1);
    rate.processor = (ProcessorTime() - processor) / std::max(count, 1);
    rate.failed = failed;
    return rate;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int throughputCount = argc > 2 ? std::atoi(argv[2]) : 20000;
    // "no-relay": hand-offs end at the answer (the sockets are closed), to tell the
    // intake's share of the cost from the relay's.
    if (argc > 3 && std::string(argv[3]) == "no-relay")
        SetRelayHook([](CProcessSession*, CSocketHandle, CSocketHandle, const std::string&,
                        CBuffer* buffer) { delete buffer; });
    const std::string registry = (std::filesystem::temp_directory_path() /
                                  ("bench-handoff-" + std::to_string(getpid()) + ".reg"))
                                     .string();
    setenv("CORVANE_REGISTRY", registry.c_str(), 1);
    THREAD_POOL::instance();
    CListener listener;
    CMinimalServer minimal;
    int directFailures = 0, handoffFailures = 0, minimalFailures = 0;
    {
        CSocketServer server;
        if (FAILED(server.Start())) {
            std::fprintf(stderr, "the socket server did not start\n");
            return 1;
        }
        server.SetBrowsers({"/bench/browser"});
        GUID key;
        // uid 1000 stands for an interactive user on a machine without logind.
        if (FAILED(
                server.GetSessionKeyFor(1000, getpid(), BSTR(u"/bench/browser"), nullptr, &key)) ||
            key.IsNull()) {
            std::fprintf(stderr, "no session key (is uid 1000 an interactive user here?)\n");
            return 1;
        }
        const std::string record = Record(listener.Port(), key);

        // Latency: the three in turn, so that all see the same machine state.
        std::vector<double> direct, handoff, floor;
        for (int i = 0; i < 200; ++i) {
            HandOff(server.PrivatePort(), record);  // warm-up
            HandOff(minimal.Port(), record);
        }
        const long switches = ContextSwitches();
        for (int i = 0; i < samples; ++i) {
            const double d = Direct(listener.Port());
            if (d < 0) {
                std::fprintf(stderr, "failed: direct connect (%s)\n", t_failure.c_str());
                ++directFailures;
            }
            const double h = HandOff(server.PrivatePort(), record);
            if (h < 0) {
                std::fprintf(stderr, "failed: hand-off (%s)\n", t_failure.c_str());
                ++handoffFailures;
            }
            const double m = HandOff(minimal.Port(), record);
            if (m < 0) {
                std::fprintf(stderr, "failed: minimal hand-off (%s)\n", t_failure.c_str());
                ++minimalFailures;
            }
            if (d < 0 || h < 0 || m < 0)
                continue;
            direct.push_back(d);
            handoff.push_back(h);
            floor.push_back(m);
        }
        const double latencySwitches =
            static_cast<double>(ContextSwitches() - switches) / std::max(samples, 1);

        // Throughput: several clients at once.
        const int clients = 4;
        const Rate ours = Throughput(server.PrivatePort(), record, throughputCount, clients);
        const Rate bare = Throughput(minimal.Port(), record, throughputCount, clients);
        handoffFailures += ours.failed;
        minimalFailures += bare.failed;

        const double d50 = Percentile(direct, 0.5), d99 = Percentile(direct, 0.99);
        const double h50 = Percentile(handoff, 0.5), h99 = Percentile(handoff, 0.99);
        const double m50 = Percentile(floor, 0.5), m99 = Percentile(floor, 0.99);
        std::printf("connect latency over %zu samples (µs):\n", direct.size());
        std::printf("  direct    p50 %8.1f  p99 %8.1f\n", d50, d99);
        std::printf("  minimal   p50 %8.1f  p99 %8.1f\n", m50, m99);
        std::printf("  hand-off  p50 %8.1f  p99 %8.1f\n", h50, h99);
        std::printf("  added     p50 %8.1f  p99 %8.1f   (goal: p50 < 100)\n", h50 - d50, h99 - d99);
        std::printf("  over the minimal server: p50 x%.2f\n", m50 > 0 ? h50 / m50 : 0.0);
        std::printf("  context switches per round (direct + minimal + hand-off): %.1f\n",
                    latencySwitches);
        std::printf("hand-offs per second, %d clients: %.0f   (goal: >= 10000)\n", clients,
                    ours.perSecond);
        std::printf("  minimal server: %.0f   (ours / minimal: %.2f)\n", bare.perSecond,
                    bare.perSecond > 0 ? ours.perSecond / bare.perSecond : 0.0);
        std::printf(
            "  per hand-off: %.1f context switches, %.0f µs processor (minimal: %.1f, "
            "%.0f µs)\n",
            ours.switches, ours.processor, bare.switches, bare.processor);
        std::printf("failed: hand-offs %d, direct connects %d, minimal hand-offs %d\n",
                    handoffFailures, directFailures, minimalFailures);
        server.Stop();
    }
    std::filesystem::remove(registry);
    ModuleTerminate();
    return handoffFailures + directFailures + minimalFailures == 0 ? 0 : 1;
}
