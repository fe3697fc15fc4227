// The local web server under load, against nginx serving the same file, in one run.
//
// The server runs in this process as the program runs it: the storage manager holds a
// site of the bench's own (a static HTML page of a few KiB and a small ASP page that
// loops, writes a few lines and echoes a query string value), CHTTPServer answers, and
// an accepting thread hands each loopback connection to a CHTTPConnection. nginx (from
// the distribution) is started as the bench's child with a configuration in a temporary
// folder, serving the same static page. Without nginx its row is skipped.
//
// The load comes from a driver of our own, run as a separate process (this program with
// "--client") so that its buffers and processor time are not counted as the server's:
// one epoll thread, N keep-alive connections, a request on each as soon as its previous
// answer has arrived in full, for a fixed time, counting answers and timing each one.
//
//  - rate (default, or "--rate"): 64 connections, the targets taking turns in rounds;
//    requests/s and p50/p99 latency for the static page (ours and nginx's) and the ASP
//    page. Goals: static at least 0.5 of nginx; the ASP page over 10,000/s on 2 cores.
//  - load (default, or "--load"): 1,000 connections for 10 s on the static page and then
//    on the ASP page; no request may fail, every connection must be gone afterwards, and
//    the process's resident memory after the connections have closed and a short settle
//    must be back within a small margin of its level before the run. Both levels are
//    read after malloc_trim(0), so that memory the allocator keeps for reuse but no
//    longer holds does not count.
// "--quick" shortens both runs (for a profiler); "--settle=S" waits S seconds (2 by
// default) between the end of the load and the second reading of resident memory;
// "--repeat=N" makes N load runs in a row (memory kept for reuse shows in the first only,
// a leak in every one).
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "async/AsyncThreadPool.h"
#include "bench/BenchSockets.h"
#include "com/DiagnosticLog.h"
#include "com/Singleton.h"
#include "http/HTTPConnection.h"
#include "http/server/HTTPServer.h"
#include "idl/Identifiers.h"
#include "objects/ServerObject.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "storage/FilePage.h"
#include "storage/PageRecord.h"
#include "storage/StorageManager.h"
#include "storage/TestSite.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct CSizes {
    int rateConnections = 64;
    int rateRounds = 2;
    double rateSeconds = 3;  // per target, per round
    int loadConnections = 1000;
    double loadSeconds = 10;  // per page
    double settleSeconds = 2;
};
CSizes g_sizes;
// This program, which runs the load driver as a child (argv[0] made absolute, so that it
// also works under a profiler, where /proc/self/exe is the profiler).
std::string g_self = "/proc/self/exe";

const char* const kStaticPath = "/static.html";
const char* const kAspPath = "/echo.asp?name=bench";

// A static page of about 4 KiB, as a site's help page would be.
std::string StaticPage() {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Help</title>\n"
        "<link rel=\"stylesheet\" href=\"style.css\"></head>\n<body>\n<h1>Help</h1>\n";
    for (int i = 1; page.size() < 4000; ++i)
        page += "<p>Paragraph " + std::to_string(i) +
                ": the settings of this computer, its users and the times they may use it "
                "are changed on the pages listed here.</p>\n";
    return page + "</body></html>\n";
}

const char16_t kAspPage[] =
    u"<%@ LANGUAGE=VBScript %>\n"
    u"<html><head><title>Echo</title></head><body>\n"
    u"<%\n"
    u"Dim i\n"
    u"For i = 1 To 10\n"
    u"    Response.Write \"<p>Line \" & i & \"</p>\" & vbCrLf\n"
    u"Next\n"
    u"Response.Write \"<p>Name: \" & Request.QueryString(\"name\") & \"</p>\"\n"
    u"%>\n"
    u"</body></html>\n";

// ---- Sockets ------------------------------------------------------------------------

int Listen(unsigned short* port) {
    return ListenLoopback(port);
}

int ConnectTo(unsigned short port) {
    return ConnectLoopback(port, true);
}

std::string Request(const char* path) {
    return std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
}

// How much of `data` one complete answer takes (0 while incomplete), its status code and
// the start and size of its body.
struct CAnswer {
    std::size_t size = 0;
    int status = 0;
    std::size_t bodyAt = 0, bodySize = 0;
};
CAnswer ParseAnswer(const std::string& data) {
    CAnswer answer;
    const std::size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos || data.size() < 12)
        return answer;
    std::size_t length = 0;
    for (std::size_t at = data.find("\r\n"); at < end; at = data.find("\r\n", at + 2)) {
        static const char kName[] = "content-length:";
        if (at + 2 + sizeof(kName) - 1 <= end &&
            ::strncasecmp(data.c_str() + at + 2, kName, sizeof(kName) - 1) == 0)
            length = std::strtoul(data.c_str() + at + 2 + sizeof(kName) - 1, nullptr, 10);
    }
    if (data.size() < end + 4 + length)
        return answer;
    answer.size = end + 4 + length;
    answer.status = std::atoi(data.c_str() + 9);
    answer.bodyAt = end + 4;
    answer.bodySize = length;
    return answer;
}

// One request on a fresh connection: the answer's body, or nullopt.
std::optional<std::string> Fetch(unsigned short port, const char* path, int* status) {
    const int fd = ConnectTo(port);
    if (fd < 0)
        return std::nullopt;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const std::string request = Request(path);
    std::string data;
    CAnswer answer;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[8192];
        while ((answer = ParseAnswer(data)).size == 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (answer.size == 0)
        return std::nullopt;
    *status = answer.status;
    return data.substr(answer.bodyAt, answer.bodySize);
}

// ---- The load driver (the "--client" process) ----------------------------------------

struct CLoadResult {
    long done = 0, failed = 0, unconnected = 0;
    double seconds = 0, p50 = 0, p99 = 0, cpu = 0;
};

double ProcessCpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// N keep-alive connections, each sending its next request when the previous answer is
// complete, until `seconds` have passed; answers still missing 10 s after that, statuses
// other than 200 and connections that break count as failures.
CLoadResult Drive(unsigned short port, const char* path, int connections, double seconds) {
    struct CConn {
        int fd = -1;
        std::string data;
        Clock::time_point sent;
        bool waiting = false;
    };
    CLoadResult result;
    const std::string request = Request(path);
    std::vector<CConn> conns(static_cast<std::size_t>(connections));
    std::vector<float> latencies;
    latencies.reserve(1 << 20);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    int open = 0;
    for (std::size_t i = 0; i < conns.size(); ++i) {
        const int fd = ConnectTo(port);
        if (fd < 0) {
            ++result.unconnected;
            continue;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &event);
        conns[i].fd = fd;
        ++open;
    }
    auto close = [&](CConn& c) {
        ::close(c.fd);
        c.fd = -1;
        --open;
    };
    auto send = [&](CConn& c) {
        c.sent = Clock::now();
        c.waiting = true;
        if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            ++result.failed;
            close(c);
        }
    };
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto giveUp = end + std::chrono::seconds(10);
    for (CConn& c : conns)
        if (c.fd >= 0)
            send(c);
    std::vector<epoll_event> events(256);
    char buffer[65536];
    while (open > 0 && Clock::now() < giveUp) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        const auto now = Clock::now();
        for (int e = 0; e < n; ++e) {
            CConn& c = conns[events[e].data.u64];
            if (c.fd < 0)
                continue;
            const ssize_t got = ::recv(c.fd, buffer, sizeof(buffer), 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (got <= 0) {
                ++result.failed;  // the server closed a keep-alive connection
                close(c);
                continue;
            }
            c.data.append(buffer, static_cast<std::size_t>(got));
            const CAnswer answer = ParseAnswer(c.data);
            if (answer.size == 0)
                continue;
            if (c.data.size() != answer.size || answer.status != 200) {
                ++result.failed;
                close(c);
                continue;
            }
            c.data.clear();
            c.waiting = false;
            ++result.done;
            latencies.push_back(std::chrono::duration<float, std::micro>(now - c.sent).count());
            if (now < end)
                send(c);
            else
                close(c);
        }
        if (Clock::now() >= end)
            for (CConn& c : conns)
                if (c.fd >= 0 && !c.waiting)
                    close(c);
    }
    for (CConn& c : conns)
        if (c.fd >= 0) {
            ++result.failed;  // no answer in time
            close(c);
        }
    ::close(ep);
    result.seconds = std::chrono::duration<double>(std::min(Clock::now(), end) - start).count();
    result.cpu = ProcessCpuSeconds() - cpuStart;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        result.p50 = latencies[latencies.size() / 2];
        result.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    return result;
}

// Runs the driver as a child process; its one line of figures comes back on a pipe.
CLoadResult DriveFromChild(unsigned short port, const char* path, int connections, double seconds) {
    CLoadResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return result;
    const std::string strPort = std::to_string(port), strConns = std::to_string(connections),
                      strSeconds = std::to_string(seconds);
    const char* argv[] = {"bench_local_pages", "--client",         strPort.c_str(), path,
                          strConns.c_str(),    strSeconds.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, g_self.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string line;
    char buffer[512];
    for (ssize_t n; rc == 0 && (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;)
        line.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (rc != 0) {
        std::printf("cannot start the load driver: %s\n", std::strerror(rc));
        result.failed = -1;
        return result;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (std::sscanf(line.c_str(), "%ld %ld %ld %lf %lf %lf %lf", &result.done, &result.failed,
                    &result.unconnected, &result.seconds, &result.p50, &result.p99,
                    &result.cpu) != 7) {
        std::printf("the load driver gave no figures (status %d): %s\n", status, line.c_str());
        result.failed = -1;
    }
    return result;
}

int ClientMain(char** argv) {
    const CLoadResult r = Drive(static_cast<unsigned short>(std::atoi(argv[2])), argv[3],
                                std::atoi(argv[4]), std::atof(argv[5]));
    std::printf("%ld %ld %ld %f %f %f %f\n", r.done, r.failed, r.unconnected, r.seconds, r.p50,
                r.p99, r.cpu);
    return 0;
}

// ---- The servers ----------------------------------------------------------------------

// The bench's site in the storage manager: the static page as a file page served as
// text/html, the ASP page as a text page compiled by the ASP entity.
bool InstallSite() {
    entity_test::RegisterClasses();
    if (FAILED(CFilePage::RegisterClass()))
        return false;
    CASPEntity::SetServerObjectFactory([](IDispatch** ppServer) {
        HRESULT hr = S_OK;
        CComPtr<CServerObject> ptrServer = MakeObject<CServerObject>(&hr);
        *ppServer = ptrServer ? static_cast<IDispatch*>(ptrServer.Detach()) : nullptr;
        return hr;
    });
    CTestSite site;
    CPageRecord record;
    record.clsidPage = CLSID_FilePage;
    record.clsidEntity = CLSID_FileEntity;
    record.strDataStream = u"DSTATICPAGE";
    record.strName = u"static.html";
    record.strMimeType = u"text/html";
    const std::string page = StaticPage();
    static std::vector<BYTE> s_bytes;
    return SUCCEEDED(site.AddRecord("Common", "static.html", record.ToBytes(), record.strDataStream,
                                    std::vector<BYTE>(page.begin(), page.end()))) &&
           SUCCEEDED(site.AddTextPage("Common", "echo.asp", kAspPage, CLSID_ASPEntity)) &&
           SUCCEEDED(site.WriteToBytes(&s_bytes)) &&
           SUCCEEDED(STORAGE_MANAGER::instance()->SetEmbeddedSite(s_bytes, FILETIME(), FILETIME(),
                                                                  FILETIME()));
}

// Where the socket server would be: takes each loopback connection and hands it to a
// connection of the local web server.
class CAcceptor {
public:
    CAcceptor() : m_fd(Listen(&m_port)) {
        if (m_fd >= 0)
            m_thread = std::thread([this] { Accept(); });
    }
    ~CAcceptor() {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    bool Ok() const { return m_fd >= 0; }

private:
    void Accept() {
        while (!m_stop) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            CSocketHandle sock;
            if (FAILED(sock.Attach(fd)))
                continue;
            auto* connection = new (std::nothrow) CHTTPConnection(nullptr, sock);
            if (connection && SUCCEEDED(connection->Start(nullptr)))
                sock.release();
        }
    }

    unsigned short m_port = 0;
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// nginx as the bench's child, serving the static page from a temporary folder.
class CNginx {
public:
    explicit CNginx(const std::string& page) {
        const char* binary = nullptr;
        for (const char* candidate : {"/usr/sbin/nginx", "/usr/bin/nginx"})
            if (::access(candidate, X_OK) == 0)
                binary = candidate;
        if (!binary) {
            m_why = "nginx is not installed";
            return;
        }
        char pattern[] = "/tmp/cv-bench-nginx-XXXXXX";
        if (!::mkdtemp(pattern)) {
            m_why = "no temporary folder";
            return;
        }
        m_dir = pattern;
        // The workers run as an unprivileged user when started by root: they must be
        // able to read the page.
        ::chmod(m_dir.c_str(), 0755);
        fs::create_directories(m_dir + "/www");
        std::ofstream(m_dir + "/www/static.html", std::ios::binary) << page;
        m_port = FreePort();
        std::ofstream(m_dir + "/nginx.conf")
            << "daemon off;\nworker_processes 2;\npid " << m_dir << "/nginx.pid;\n"
            << "error_log " << m_dir << "/error.log;\n"
            << "events { worker_connections 4096; }\n"
            << "http {\n  access_log off;\n  types { text/html html; }\n"
            << "  client_body_temp_path " << m_dir << "/body;\n"
            << "  proxy_temp_path " << m_dir << "/proxy;\n"
            << "  fastcgi_temp_path " << m_dir << "/fastcgi;\n"
            << "  uwsgi_temp_path " << m_dir << "/uwsgi;\n"
            << "  scgi_temp_path " << m_dir << "/scgi;\n"
            << "  keepalive_requests 100000000;\n  keepalive_timeout 60s;\n"
            << "  server {\n    listen 127.0.0.1:" << m_port << ";\n    root " << m_dir
            << "/www;\n  }\n}\n";
        const std::string conf = m_dir + "/nginx.conf";
        const char* argv[] = {"nginx", "-p", m_dir.c_str(), "-c", conf.c_str(), nullptr};
        if (posix_spawn(&m_pid, binary, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            m_pid = 0;
            m_why = "nginx did not start";
            return;
        }
        for (int i = 0; i < 100; ++i) {
            const int fd = ConnectTo(m_port);
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        m_why = "nginx does not answer (see " + m_dir + "/error.log)";
    }
    ~CNginx() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty() && m_why.empty())
            fs::remove_all(m_dir);
    }
    bool Ok() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }
    unsigned short Port() const { return m_port; }

private:
    static unsigned short FreePort() {
        unsigned short port = 0;
        const int fd = Listen(&port);
        ::close(fd);
        return port;
    }

    std::string m_dir, m_why;
    unsigned short m_port = 0;
    pid_t m_pid = 0;

public:
    pid_t Pid() const { return m_pid; }
};

// ---- Figures --------------------------------------------------------------------------

// Processor seconds used so far by a process and its children (nginx's workers), from
// /proc: what a loaded machine shares out, unlike wall-clock rates.
double TreeCpuSeconds(pid_t pid) {
    double seconds = 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close != std::string::npos) {
        // After the command: state, then fields 4.. ; utime and stime are fields 14 and 15.
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        seconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    for (pid_t child; children >> child;)
        seconds += TreeCpuSeconds(child);
    return seconds;
}

std::string LoadAverage() {
    std::string text;
    std::ifstream("/proc/loadavg") >> text;
    return text;
}

// A number field of /proc/self/status ("VmRSS:" in KiB, "Threads:").
long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name, 0) == 0)
            return std::atol(line.c_str() + std::strlen(name));
    return -1;
}

// Resident KiB in private mappings of a thread stack's size (RLIMIT_STACK): the stacks of
// live threads and those the C library keeps cached for reuse after threads have ended.
long StackResidentKiB() {
    rlimit stack{};
    ::getrlimit(RLIMIT_STACK, &stack);
    const unsigned long stackKiB = stack.rlim_cur / 1024;
    std::ifstream smaps("/proc/self/smaps");
    long total = 0;
    bool bStack = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0, end = 0;
        // A mapping's first line: "start-end perms ..."; then its "Name: value" lines. The
        // stack's writable part is the limit less the guard page.
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2)
            bStack = (end - start) / 1024 + 64 >= stackKiB && (end - start) / 1024 <= stackKiB;
        else if (bStack && line.rfind("Rss:", 0) == 0)
            total += std::atol(line.c_str() + 4);
    }
    return total;
}

void PrintRow(const char* name, const CLoadResult& r, double perSecond, double cpuPerRequest) {
    std::printf(
        "  %-16s %9.0f req/s   p50 %7.1f us   p99 %8.1f us   failed %ld   %5.1f us cpu/req\n", name,
        perSecond, r.p50, r.p99, r.failed + r.unconnected, cpuPerRequest);
}

// Rate runs: the targets take turns round by round, so a busy machine slows them alike.
bool RateRun(unsigned short port, CNginx& nginx) {
    struct CTarget {
        CTarget(const char* n, unsigned short p, const char* u) : name(n), port(p), path(u) {}
        const char* name;
        unsigned short port;
        const char* path;
        double sum = 0;
        CLoadResult last;
        long failed = 0;
        double cpu = 0;  // the server's processor seconds over the runs
        long done = 0;
    };
    std::vector<CTarget> targets = {{"static (ours)", port, kStaticPath},
                                    {"static (nginx)", nginx.Port(), kStaticPath},
                                    {"ASP page", port, kAspPath}};
    if (!nginx.Ok())
        targets.erase(targets.begin() + 1);
    for (int round = 0; round < g_sizes.rateRounds; ++round)
        for (CTarget& t : targets) {
            // Ours: this process alone (the driver is a process of its own).
            auto cpu = [&] {
                return t.port == port ? ProcessCpuSeconds() : TreeCpuSeconds(nginx.Pid());
            };
            const double cpuStart = cpu();
            t.last = DriveFromChild(t.port, t.path, g_sizes.rateConnections, g_sizes.rateSeconds);
            t.cpu += cpu() - cpuStart;
            t.done += t.last.done;
            t.sum += t.last.seconds > 0 ? static_cast<double>(t.last.done) / t.last.seconds : 0;
            t.failed += t.last.failed + t.last.unconnected;
        }
    std::printf(
        "rate: %d keep-alive connections, %d rounds of %.1f s per target "
        "(latency figures of the last round)\n",
        g_sizes.rateConnections, g_sizes.rateRounds, g_sizes.rateSeconds);
    bool ok = true;
    for (CTarget& t : targets) {
        t.last.failed = t.failed;
        t.last.unconnected = 0;
        PrintRow(t.name, t.last, t.sum / g_sizes.rateRounds,
                 t.done > 0 ? t.cpu / static_cast<double>(t.done) * 1e6 : 0);
        ok = ok && t.failed == 0;
    }
    const double ours = targets.front().sum / g_sizes.rateRounds;
    if (nginx.Ok()) {
        const double ratio = ours / (targets[1].sum / g_sizes.rateRounds);
        std::printf("  static ours/nginx %.2f   (goal >= 0.50: %s)\n", ratio,
                    ratio >= 0.5 ? "met" : "NOT met");
        // The same ratio in server processor time per request, which other work on a
        // busy machine moves less.
        const double oursCpu = targets[0].cpu / static_cast<double>(std::max(1L, targets[0].done));
        const double nginxCpu = targets[1].cpu / static_cast<double>(std::max(1L, targets[1].done));
        std::printf("  static ours/nginx by processor time per request %.2f\n",
                    oursCpu > 0 ? nginxCpu / oursCpu : 0);
    } else {
        std::printf("  static (nginx)   skipped: %s\n", nginx.Why().c_str());
    }
    const double asp = targets.back().sum / g_sizes.rateRounds;
    std::printf("  ASP page %.0f req/s on %u processors   (goal > 10000/s on 2: %s)\n", asp,
                std::thread::hardware_concurrency(), asp > 10000 ? "met" : "NOT met");
    return ok;
}

// The load run: many connections at once, then the memory they leave behind.
bool LoadRun(unsigned short port) {
    ::malloc_trim(0);
    const long before = StatusField("VmRSS:");
    const long threadsBefore = StatusField("Threads:");
    const long stackBefore = StackResidentKiB();
    bool ok = true;
    std::printf("load: %d keep-alive connections, %.0f s per page\n", g_sizes.loadConnections,
                g_sizes.loadSeconds);
    for (const char* path : {kStaticPath, kAspPath}) {
        const double cpuStart = ProcessCpuSeconds();
        const CLoadResult r =
            DriveFromChild(port, path, g_sizes.loadConnections, g_sizes.loadSeconds);
        PrintRow(
            path, r, r.seconds > 0 ? static_cast<double>(r.done) / r.seconds : 0,
            r.done > 0 ? (ProcessCpuSeconds() - cpuStart) / static_cast<double>(r.done) * 1e6 : 0);
        if (r.failed != 0 || r.unconnected != 0)
            ok = false;
    }
    const bool gone = CHTTPConnection::Instances().WaitForNone(30000);
    std::printf("  connections alive afterwards: %ld%s\n",
                static_cast<long>(CHTTPConnection::Instances().Count()),
                gone ? "" : " (NOT all gone after 30 s)");
    std::this_thread::sleep_for(std::chrono::duration<double>(g_sizes.settleSeconds));
    ::malloc_trim(0);
    const long after = StatusField("VmRSS:");
    std::printf(
        "  threads in the process: %ld before, %ld after (the pool's extra threads "
        "leave after 30 s idle)\n",
        threadsBefore, StatusField("Threads:"));
    std::printf("  resident in thread stacks (live and cached): %ld KiB before, %ld KiB after\n",
                stackBefore, StackResidentKiB());
    // A small margin: what the allocator's arenas of the pool threads keep, not a
    // per-connection amount.
    const long margin = std::max(4096L, before / 10);
    const bool back = after <= before + margin;
    std::printf(
        "  resident memory (after malloc_trim(0)): %ld KiB before, %ld KiB after, %+ld KiB "
        "(goal: within %ld KiB: %s)\n",
        before, after, after - before, margin, back ? "met" : "NOT met");
    return ok && gone;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--client") == 0)
        return ClientMain(argv);
    if (char* self = ::realpath(argv[0], nullptr)) {
        g_self = self;
        std::free(self);
    }
    bool rate = true, load = true;
    int loadRuns = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0)
            load = false;
        else if (std::strcmp(argv[i], "--load") == 0)
            rate = false;
        else if (std::strcmp(argv[i], "--quick") == 0)
            g_sizes = CSizes{32, 1, 1, 1000, 3, 1};
        else if (std::strncmp(argv[i], "--settle=", 9) == 0)
            g_sizes.settleSeconds = std::atof(argv[i] + 9);
        else if (std::strncmp(argv[i], "--repeat=", 9) == 0)
            loadRuns = std::max(1, std::atoi(argv[i] + 9));
    }
    // CORVANE_BENCH_LOG names a diagnostic log file for a run that looks into failures.
    if (const char* log = std::getenv("CORVANE_BENCH_LOG"))
        CDiagnosticLog::Instance().SetPathSource(
            [path = std::string(log)] { return std::optional<std::string>(path); });
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::printf("load average at start: %s\n", LoadAverage().c_str());

    THREAD_POOL::instance();
    if (!InstallSite()) {
        std::printf("cannot install the bench's site\n");
        return 1;
    }
    HTTP_SERVER::instance()->Install();
    int status = 0;
    {
        CAcceptor acceptor;
        if (!acceptor.Ok()) {
            std::printf("cannot listen on loopback\n");
            return 1;
        }
        // The pages answer as they should before anything is measured.
        const std::string page = StaticPage();
        int code = 0;
        const auto staticBody = Fetch(acceptor.Port(), kStaticPath, &code);
        if (!staticBody || code != 200 || *staticBody != page) {
            std::printf("the static page is not served as stored (status %d, %zu bytes): %.200s\n",
                        code, staticBody ? staticBody->size() : 0,
                        staticBody ? staticBody->c_str() : "(no answer)");
            return 1;
        }
        const auto aspBody = Fetch(acceptor.Port(), kAspPath, &code);
        if (!aspBody || code != 200 || aspBody->find("<p>Line 10</p>") == std::string::npos ||
            aspBody->find("<p>Name: bench</p>") == std::string::npos) {
            std::printf("the ASP page does not answer as written: %s\n",
                        aspBody ? aspBody->c_str() : "(no answer)");
            return 1;
        }
        std::printf("pages: static %zu bytes, ASP answer %zu bytes; pool of %zu threads\n",
                    page.size(), aspBody->size(), THREAD_POOL::instance()->ThreadCount());
        if (rate) {
            CNginx nginx(page);
            if (!RateRun(acceptor.Port(), nginx))
                status = 1;
        }
        for (int i = 0; load && i < loadRuns; ++i)
            if (!LoadRun(acceptor.Port()))
                status = 1;
    }
    CHTTPConnection::Instances().WaitForNone(30000);
    std::printf("load average at end: %s\n", LoadAverage().c_str());
    ModuleTerminate();
    return status;
}
