// lsp_test_client MODE HOST PORT [...]: a small network client that the connect()
// library's end-to-end tests run under corvane-run (or with the library preloaded the
// way the system-wide preload list does it). Each mode makes one kind of connect
// the way real programs do and prints one line per outcome on stdout:
//
//     <label> ok <first line of the HTTP answer>
//     <label> error <errno>
//
// where a failure of the connect itself or of SO_ERROR carries the mode's label and a
// failure of the request's write or read the label with "-io".
// Non-blocking modes print "<label> waiting" once the connect has returned.
//
// Modes: blocking (a blocking connect and request); epoll, poll and select (a non-blocking
// connect, a wait for writability, getsockopt(SO_ERROR), then the request); readfirst
// (a non-blocking connect whose outcome the program learns from its first read); udp
// (connect and sendto of a UDP socket); twice (two blocking requests in a row); unlinked
// (a blocking request after the program has removed its own file); fork (a
// request in the parent, then in a forked child, each printing its pid); callback
// SERVICEPORT KEY (IsCorvane with a callback that diverts connects to PORT to the service
// at SERVICEPORT with KEY, then a request, then IsFilteringAllowed). HOST is an IPv4 or
// IPv6 literal.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kRequest[] = "GET / HTTP/1.0\r\nHost: test\r\n\r\n";

struct Target {
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = AF_INET;
};

Target Parse(const char* host, const char* port) {
    Target t;
    if (std::strchr(host, ':')) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&t.addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(std::atoi(port)));
        inet_pton(AF_INET6, host, &v6->sin6_addr);
        t.len = sizeof *v6;
        t.family = AF_INET6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&t.addr);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
        inet_pton(AF_INET, host, &v4->sin_addr);
        t.len = sizeof *v4;
    }
    return t;
}

void PrintError(const char* label, int error) {
    std::printf("%s error %d\n", label, error);
}

// Writes the request and reads the answer to its end; prints its first line.
void Exchange(const char* what, int fd, bool nonBlocking) {
    // Failures after the connect are reported as "<label>-io".
    const std::string io = std::string(what) + "-io";
    const char* label = io.c_str();
    if (::write(fd, kRequest, sizeof kRequest - 1) < 0)
        return PrintError(label, errno);
    std::string answer;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            answer.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            break;
        if (nonBlocking && errno == EAGAIN) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, -1);
            continue;
        }
        return PrintError(label, errno);
    }
    std::printf("%s ok %s\n", what, answer.substr(0, answer.find("\r\n")).c_str());
}

void Blocking(const char* label, const Target& t) {
    int fd = ::socket(t.family, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.len) != 0)
        PrintError(label, errno);
    else
        Exchange(label, fd, false);
    ::close(fd);
}

int StartNonBlocking(const char* label, const Target& t) {
    int fd = ::socket(t.family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.len);
    if (r != 0 && errno != EINPROGRESS) {
        PrintError(label, errno);
        ::close(fd);
        return -1;
    }
    // The tests hold the service's answer back until they read this line.
    std::printf("%s waiting\n", label);
    return fd;
}

bool SocketError(const char* label, int fd) {
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0)
        PrintError(label, error);
    return error == 0;
}

void Epoll(const Target& t) {
    int fd = StartNonBlocking("epoll", t);
    if (fd < 0)
        return;
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = 0x1234;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    epoll_event got{};
    int n = ::epoll_wait(ep, &got, 1, -1);
    if (n != 1 || got.data.u64 != 0x1234 || !(got.events & EPOLLOUT)) {
        std::printf("epoll bad-event %d %llx %x\n", n, (unsigned long long)got.data.u64,
                    got.events);
    } else if (SocketError("epoll", fd)) {
        ev.events = EPOLLIN;
        ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
        if (::write(fd, kRequest, sizeof kRequest - 1) < 0) {
            PrintError("epoll-io", errno);
        } else {
            std::string answer;
            char buf[4096];
            int error = 0;
            for (;;) {
                ::epoll_wait(ep, &got, 1, -1);
                ssize_t r = ::read(fd, buf, sizeof buf);
                if (r > 0)
                    answer.append(buf, static_cast<std::size_t>(r));
                else if (r == 0 || errno != EAGAIN) {
                    error = r == 0 ? 0 : errno;
                    break;
                }
            }
            if (error)
                PrintError("epoll-io", error);
            else
                std::printf("epoll ok %s\n", answer.substr(0, answer.find("\r\n")).c_str());
        }
    }
    ::close(ep);
    ::close(fd);
}

void Poll(const Target& t) {
    int fd = StartNonBlocking("poll", t);
    if (fd < 0)
        return;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, -1);
    if (SocketError("poll", fd))
        Exchange("poll", fd, true);
    ::close(fd);
}

void Select(const Target& t) {
    int fd = StartNonBlocking("select", t);
    if (fd < 0)
        return;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(fd, &writable);
    if (::select(fd + 1, nullptr, &writable, nullptr, nullptr) != 1 || !FD_ISSET(fd, &writable))
        std::printf("select bad-result\n");
    else if (SocketError("select", fd))
        Exchange("select", fd, true);
    ::close(fd);
}

void ReadFirst(const Target& t) {
    int fd = StartNonBlocking("readfirst", t);
    if (fd < 0)
        return;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, -1);
    char c;
    ssize_t n = ::read(fd, &c, 1);
    PrintError("readfirst", n < 0 ? errno : 0);
    ::close(fd);
}

void Udp(const Target& t) {
    int fd = ::socket(t.family, SOCK_DGRAM, 0);
    int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.len);
    PrintError("udp-connect", r == 0 ? 0 : errno);
    ::close(fd);
    fd = ::socket(t.family, SOCK_DGRAM, 0);
    ssize_t s = ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&t.addr), t.len);
    PrintError("udp-sendto", s == 1 ? 0 : errno);
    ::close(fd);
}

void Fork(const Target& t) {
    std::printf("parent-pid %d\n", static_cast<int>(::getpid()));
    Blocking("parent", t);
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child == 0) {
        std::printf("child-pid %d\n", static_cast<int>(::getpid()));
        Blocking("child", t);
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
}

unsigned short g_servicePort;
unsigned char g_key[16];
unsigned short g_acceptPort;

int AcceptPort(unsigned short* port, unsigned char* key) {
    if (*port != g_acceptPort)
        return 0;
    *port = g_servicePort;
    std::memcpy(key, g_key, sizeof g_key);
    return 1;
}

void Callback(const Target& t, const char* servicePort, const char* keyHex) {
    using IsCorvaneFn = int (*)(int (*)(unsigned short*, unsigned char*));
    auto isCorvane = reinterpret_cast<IsCorvaneFn>(dlsym(RTLD_DEFAULT, "IsCorvane"));
    auto allowed = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "IsFilteringAllowed"));
    if (!isCorvane || !allowed) {
        std::printf("callback missing\n");
        return;
    }
    g_servicePort = htons(static_cast<uint16_t>(std::atoi(servicePort)));
    for (int i = 0; i < 16; ++i)
        std::sscanf(keyHex + 2 * i, "%2hhx", &g_key[i]);
    g_acceptPort = reinterpret_cast<const sockaddr_in*>(&t.addr)->sin_port;
    isCorvane(&AcceptPort);
    std::printf("allowed %d\n", allowed());
    Blocking("callback", t);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argv[1];
    Target t = Parse(argv[2], argv[3]);
    if (mode == "blocking")
        Blocking("blocking", t);
    else if (mode == "epoll")
        Epoll(t);
    else if (mode == "poll")
        Poll(t);
    else if (mode == "select")
        Select(t);
    else if (mode == "readfirst")
        ReadFirst(t);
    else if (mode == "udp")
        Udp(t);
    else if (mode == "unlinked") {
        // A program whose file is replaced while it runs, as a browser being updated.
        char self[4096];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = '\0';
        if (n <= 0 || ::unlink(self) != 0)
            return 3;
        Blocking("blocking", t);
    } else if (mode == "twice") {
        Blocking("blocking", t);
        Blocking("blocking", t);
    } else if (mode == "fork")
        Fork(t);
    else if (mode == "callback" && argc >= 6)
        Callback(t, argv[4], argv[5]);
    else
        return 2;
    return 0;
}
