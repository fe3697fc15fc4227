// Hand-offs through the socket server against direct connects, in one run.
//
//  - direct: a client connects to a local test listener;
//  - hand-off: a client connects to the private port, writes the 36-byte record for the
//    listener and reads the 4-byte answer; the server connects onward to the listener
//    before it answers.
// Prints the connect latency of each (p50, p99), the latency a hand-off adds (p50, p99
// of hand-off minus direct), and hand-offs per second with several clients at once.
// Goals: added p50 under 100 µs, at least 10,000 hand-offs per second on 2 cores.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com/Singleton.h"
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
        ::close(fd);
        return -1;
    }
    return fd;
}

// A listener whose thread accepts and closes every connection.
class CListener {
public:
    CListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_fd, SOMAXCONN);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                int fd = ::accept(m_fd, nullptr, nullptr);
                if (fd < 0)
                    return;
                CloseNow(fd);
            }
        });
    }
    ~CListener() {
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

// One hand-off; its latency, or a negative value on failure.
double HandOff(unsigned short privatePort, const std::string& record) {
    const auto start = Clock::now();
    int fd = Connect(privatePort);
    if (fd < 0)
        return -1;
    char answer[4];
    bool ok = ::send(fd, record.data(), record.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(record.size()) &&
              ::recv(fd, answer, 4, MSG_WAITALL) == 4 && answer[0] == 0 && answer[1] == 0;
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    CloseNow(fd);
    return ok ? us : -1;
}

double Direct(unsigned short port) {
    const auto start = Clock::now();
    int fd = Connect(port);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (fd < 0)
        return -1;
    CloseNow(fd);
    return us;
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
    const std::string registry = (std::filesystem::temp_directory_path() /
                                  ("bench-handoff-" + std::to_string(getpid()) + ".reg"))
                                     .string();
    setenv("CORVANE_REGISTRY", registry.c_str(), 1);
    THREAD_POOL::instance();
    CListener listener;
    int failures = 0;
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

        // Latency: alternate the two so that both see the same machine state.
        std::vector<double> direct, handoff;
        for (int i = 0; i < 200; ++i)
            HandOff(server.PrivatePort(), record);  // warm-up
        for (int i = 0; i < samples; ++i) {
            double d = Direct(listener.Port());
            double h = HandOff(server.PrivatePort(), record);
            if (d < 0 || h < 0) {
                std::fprintf(stderr, "failed: %s\n", d < 0 ? "direct connect" : "hand-off");
                ++failures;
                continue;
            }
            direct.push_back(d);
            handoff.push_back(h);
        }

        // Throughput: several clients at once.
        const int clients = 4;
        std::atomic<int> next{0}, failed{0};
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                while (next.fetch_add(1) < throughputCount)
                    if (HandOff(server.PrivatePort(), record) < 0)
                        ++failed;
            });
        for (auto& t : threads)
            t.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        failures += failed;

        const double d50 = Percentile(direct, 0.5), d99 = Percentile(direct, 0.99);
        const double h50 = Percentile(handoff, 0.5), h99 = Percentile(handoff, 0.99);
        std::printf("connect latency over %zu samples (µs):\n", direct.size());
        std::printf("  direct    p50 %8.1f  p99 %8.1f\n", d50, d99);
        std::printf("  hand-off  p50 %8.1f  p99 %8.1f\n", h50, h99);
        std::printf("  added     p50 %8.1f  p99 %8.1f   (goal: p50 < 100)\n", h50 - d50, h99 - d99);
        std::printf("hand-offs per second, %d clients: %.0f   (goal: >= 10000)\n", clients,
                    throughputCount / seconds);
        std::printf("failed hand-offs: %d\n", failures);
        server.Stop();
    }
    std::filesystem::remove(registry);
    ModuleTerminate();
    return failures == 0 ? 0 : 1;
}
