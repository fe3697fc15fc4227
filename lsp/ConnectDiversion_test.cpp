// End-to-end tests of libcorvanelsp.so: real programs run under corvane-run against a
// fake service in this process. The fake serves the Server object over the object RPC
// (a root object answering ISocketServer::Init through IRpcCall) and listens on
// 127.0.0.1 for diverted connections: it reads each hand-off record, keeps it, and
// either answers a chosen refusal code or connects onward and relays, as the service
// does. The destination is a small HTTP server on 127.0.0.2, which an undiverted program
// would reach directly. Loopback only.
//
// Programs run either under corvane-run or, as the system-wide preload list runs every
// program, with the library in LD_PRELOAD alone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "idl/Identifiers.h"
#include "idl/ServerSocket.h"
#include "idl/WinsockCodes.h"
#include "lsp/BrowserList.h"
#include "lsp/HandoffRecord.h"
#include "lsp/ServerAttach.h"
#include "rpc/IRpcCall.h"
#include "rpc/RpcServer.h"

extern char** environ;

namespace {

constexpr GUID kKey = MakeGUID("{5D6E7F80-1A2B-4C3D-8E9F-A0B1C2D3E4F5}");
constexpr GUID kCallbackKey = MakeGUID("{11223344-5566-7788-99AA-BBCCDDEEFF00}");
const char kHello[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
const char kLocal[] = "HTTP/1.1 200 Local\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

bool WriteAll(int fd, const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void Answer(int fd, long code) {
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(static_cast<unsigned long>(code) >> (8 * i));
    WriteAll(fd, bytes, sizeof bytes);
}

// Reads until the end of an HTTP request head (the test clients send no body).
bool ReadRequest(int fd, std::string& data) {
    char buf[2048];
    while (data.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// A TCP listener with an accept thread; each connection is served on a thread of its
// own, joined at the end.
class CListener {
public:
    CListener(const char* address, std::function<void(int)> serve) : m_serve(std::move(serve)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        EXPECT_EQ(0, ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        EXPECT_EQ(0, ::listen(m_fd, 64));
        m_accept = std::thread([this] {
            for (;;) {
                int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0)
                    return;
                ++m_accepted;
                std::lock_guard lock(m_lock);
                m_threads.emplace_back([this, c] {
                    m_serve(c);
                    ::close(c);
                });
            }
        });
    }
    ~CListener() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_accept.join();
        std::lock_guard lock(m_lock);
        for (auto& t : m_threads)
            t.join();
        ::close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    int Accepted() const { return m_accepted; }

private:
    std::function<void(int)> m_serve;
    int m_fd = -1;
    unsigned short m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_accept;
    std::mutex m_lock;
    std::vector<std::thread> m_threads;  // m_lock
};

struct Record {
    sockaddr_storage addr{};
    socklen_t len = 0;
    GUID key;
};

// The service's intake: records, answers, onward connects and the relay.
class CFakeIntake {
public:
    CFakeIntake() : m_listener("127.0.0.1", [this](int c) { Serve(c); }) {}
    unsigned short Port() const { return m_listener.Port(); }
    void Refuse(long code) { m_refusal = code; }
    // Holds every answer back until Release.
    void Hold() {
        std::lock_guard lock(m_lock);
        m_held = true;
    }
    void Release() {
        std::lock_guard lock(m_lock);
        m_held = false;
        m_cv.notify_all();
    }
    std::vector<Record> Records() {
        std::lock_guard lock(m_lock);
        return m_records;
    }

private:
    void Serve(int c) {
        std::string data;
        Record r;
        std::size_t consumed = 0;
        for (;;) {
            HRESULT hr = CHandoffRecord::Parse(reinterpret_cast<const unsigned char*>(data.data()),
                                               data.size(), &r.addr, &r.len, &r.key, &consumed);
            if (hr == S_OK)
                break;
            char buf[512];
            ssize_t n = hr == S_FALSE ? ::recv(c, buf, sizeof buf, 0) : -1;
            if (n <= 0)
                return;
            data.append(buf, static_cast<std::size_t>(n));
        }
        data.erase(0, consumed);
        {
            std::unique_lock lock(m_lock);
            m_records.push_back(r);
            m_cv.wait(lock, [this] { return !m_held; });
        }
        if (long code = m_refusal)
            return Answer(c, code);
        if (r.addr.ss_family != AF_INET)
            return Answer(c, 10065);
        const auto* dest = reinterpret_cast<const sockaddr_in*>(&r.addr);
        if (dest->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            // The service itself: its local web server answers.
            Answer(c, 0);
            if (ReadRequest(c, data))
                WriteAll(c, kLocal, sizeof kLocal - 1);
            return;
        }
        int onward = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(onward, reinterpret_cast<const sockaddr*>(dest), sizeof *dest) != 0) {
            Answer(c, WinsockErrorFromErrno(errno));
        } else {
            Answer(c, 0);
            if (WriteAll(onward, data.data(), data.size()))
                Relay(c, onward);
        }
        ::close(onward);
    }

    static void Relay(int a, int b) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        int open = 2;
        while (open > 0 && ::poll(p, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (p[i].fd < 0 || !p[i].revents)
                    continue;
                char buf[4096];
                ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                int other = i == 0 ? b : a;
                if (n <= 0) {
                    ::shutdown(other, SHUT_WR);
                    p[i].fd = -1;
                    --open;
                } else if (!WriteAll(other, buf, static_cast<std::size_t>(n))) {
                    return;
                }
            }
        }
    }

    CListener m_listener;
    std::atomic<long> m_refusal{0};
    std::mutex m_lock;
    std::vector<Record> m_records;  // m_lock
    bool m_held = false;            // m_lock
    std::condition_variable m_cv;   // signals the end of m_held
};

// The Server object: ISocketServer::Init through IRpcCall, in the declared order.
class CFakeServer : public CComObjectRoot<CFakeServer, IRpcCall> {
public:
    struct Attach {
        LONG pid;
        std::string name;
    };

    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) override {
        if (iid != IID_ISocketServer || method != 1)
            return E_NOTIMPL;
        if (cArgs != 5 || rgArgs[0].vt != VT_I4 || rgArgs[1].vt != VT_BSTR ||
            rgArgs[2].vt != VT_UNKNOWN || rgArgs[2].punkVal ||
            rgArgs[3].vt != (VT_BYREF | VT_UI2) || rgArgs[4].vt != (VT_BYREF | VT_BSTR))
            return E_INVALIDARG;
        std::lock_guard lock(m_lock);
        m_attaches.push_back(Attach{rgArgs[0].lVal, Utf16ToUtf8(VariantText(rgArgs[1]))});
        *rgArgs[3].puiVal = m_port;
        *rgArgs[4].pbstrVal = BSTR::FromUtf8(GUID2String(m_key));
        return m_result;
    }

    void Set(USHORT port, const GUID& key, HRESULT result = S_OK) {
        std::lock_guard lock(m_lock);
        m_port = port;
        m_key = key;
        m_result = result;
    }
    std::vector<Attach> Attaches() {
        std::lock_guard lock(m_lock);
        return m_attaches;
    }

private:
    std::mutex m_lock;
    USHORT m_port = 0;               // m_lock
    GUID m_key;                      // m_lock
    HRESULT m_result = S_OK;         // m_lock
    std::vector<Attach> m_attaches;  // m_lock
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadToEnd(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

class LspEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // On a machine with an installed service the library ignores the test's socket.
        if (LibraryPaths().installed)
            GTEST_SKIP() << "an installed Corvane service owns " << kSystemServerSocket << " or "
                         << kSystemBrowserList;
        char dir[] = "/tmp/corvane-lsp-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        m_dir = dir;
        m_socket = m_dir + "/server.sock";
        m_root = MakeObject<CFakeServer>();
        m_root->Set(m_intake.Port(), kKey);
        ASSERT_EQ(S_OK, CRpcServer::Listen(m_socket, 0600, 0700,
                                           static_cast<IRpcCall*>(m_root.Get()), &m_server));
    }
    void TearDown() override {
        if (m_server)
            m_server->Stop();
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }

    // Runs `args` under corvane-run (else with the library preloaded alone) with the fake
    // service's socket. `onLine` sees each line of the program's output as it comes.
    Outcome Run(std::vector<std::string> args, const std::string& socket = {},
                std::function<void(const std::string&)> onLine = {}, bool viaCorvaneRun = true) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("CORVANE_SERVER_SOCKET=", 0) != 0 && v.rfind("LD_PRELOAD=", 0) != 0 &&
                v.rfind("CORVANE_FAIL_CLOSED=", 0) != 0 && v.rfind("http_proxy=", 0) != 0)
                env.push_back(v);
        }
        env.push_back("CORVANE_SERVER_SOCKET=" + (socket.empty() ? m_socket : socket));
        if (viaCorvaneRun) {
            args.insert(args.begin(), CORVANE_RUN);
        } else {
            const std::string runtime = CORVANE_LSP_SANITIZER_RUNTIME;
            env.push_back("LD_PRELOAD=" + (runtime.empty() ? std::string() : runtime + ":") +
                          CORVANE_LSP);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int out[2], err[2];
        EXPECT_EQ(0, ::pipe2(out, O_CLOEXEC));
        EXPECT_EQ(0, ::pipe2(err, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        pid_t pid = 0;
        Outcome o;
        int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        if (rc == 0) {
            std::thread errReader([&] { o.err = ReadToEnd(err[0]); });
            char c;
            std::string line;
            while (::read(out[0], &c, 1) == 1) {
                o.out += c;
                line += c;
                if (c == '\n') {
                    if (onLine)
                        onLine(line);
                    line.clear();
                }
            }
            errReader.join();
            int status = 0;
            ::waitpid(pid, &status, 0);
            o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::close(out[0]);
        ::close(err[0]);
        return o;
    }

    Outcome Client(const std::string& mode, const std::string& host, unsigned short port,
                   std::vector<std::string> more = {},
                   std::function<void(const std::string&)> onLine = {}) {
        std::vector<std::string> args = {LSP_TEST_CLIENT, mode, host, std::to_string(port)};
        args.insert(args.end(), more.begin(), more.end());
        Outcome o = Run(args, {}, std::move(onLine));
        EXPECT_EQ(0, o.status) << o.err;
        return o;
    }

    // Runs lsp_test_client with the library preloaded alone, as every program of the
    // machine is run, against the socket `socket`.
    Outcome Preloaded(const std::string& mode, const std::string& socket,
                      const std::string& program = LSP_TEST_CLIENT) {
        return Run({program, mode, "127.0.0.2", std::to_string(m_http.Port())}, socket, {}, false);
    }

    // The browser list the service would keep beside the socket of the tests.
    void WriteList(const std::string& text) {
        std::ofstream(BrowserListBeside(m_socket), std::ios::binary) << text;
    }

    static std::string ClientExecutable() {
        return std::filesystem::canonical(LSP_TEST_CLIENT).string();
    }

    static bool IsNonBlocking(const std::string& mode) { return mode != "blocking"; }
    static std::string Waiting(const std::string& mode) {
        return IsNonBlocking(mode) ? mode + " waiting\n" : std::string();
    }

    static std::string Line(const std::string& label, int error) {
        return label + " error " + std::to_string(error) + "\n";
    }

    std::string m_dir;
    std::string m_socket;
    CFakeIntake m_intake;
    CListener m_http{"127.0.0.2", [](int c) {
                         std::string request;
                         if (ReadRequest(c, request))
                             WriteAll(c, kHello, sizeof kHello - 1);
                     }};
    CComPtr<CFakeServer> m_root;
    std::shared_ptr<CRpcServer> m_server;
};

bool HasIPv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

void ExpectIPv4Record(const Record& r, const char* address, unsigned short port, const GUID& key) {
    ASSERT_EQ(sizeof(sockaddr_in), r.len);
    const auto* a = reinterpret_cast<const sockaddr_in*>(&r.addr);
    EXPECT_EQ(AF_INET, a->sin_family);
    EXPECT_EQ(htons(port), a->sin_port);
    char text[INET_ADDRSTRLEN];
    EXPECT_STREQ(address, inet_ntop(AF_INET, &a->sin_addr, text, sizeof text));
    EXPECT_EQ(key, r.key);
}

// curl, unchanged, reaches the server through the fake service; the service learnt the
// program's pid and executable and received the record it needs.
TEST_F(LspEndToEnd, CurlGoesThroughTheService) {
    if (::access("/usr/bin/curl", X_OK) != 0)
        GTEST_SKIP() << "curl is not installed";
#ifdef LSP_SANITIZER_BUILD
    // The sanitizer runtime that corvane-run has to preload makes curl itself hang in
    // its setlocale call at start, with or without this library.
    GTEST_SKIP() << "curl does not run with the sanitizer runtime preloaded";
#endif
    const std::string url = "http://127.0.0.2:" + std::to_string(m_http.Port()) + "/";
    Outcome o = Run({"/usr/bin/curl", "-sS", "--noproxy", "*", url});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_EQ("hello", o.out);
    auto records = m_intake.Records();
    ASSERT_EQ(1u, records.size());
    ExpectIPv4Record(records[0], "127.0.0.2", m_http.Port(), kKey);
    auto attaches = m_root->Attaches();
    ASSERT_EQ(1u, attaches.size());
    EXPECT_GT(attaches[0].pid, 0);
    EXPECT_EQ(std::filesystem::canonical("/usr/bin/curl").string(), attaches[0].name);
}

// Blocking, epoll, poll and select clients all arrive, with one record each.
TEST_F(LspEndToEnd, EveryKindOfClientArrives) {
    for (const char* mode : {"blocking", "epoll", "poll", "select"}) {
        SCOPED_TRACE(mode);
        Outcome o = Client(mode, "127.0.0.2", m_http.Port());
        EXPECT_EQ(Waiting(mode) + mode + " ok HTTP/1.1 200 OK\n", o.out) << o.err;
    }
    auto records = m_intake.Records();
    ASSERT_EQ(4u, records.size());
    for (const Record& r : records)
        ExpectIPv4Record(r, "127.0.0.2", m_http.Port(), kKey);
    EXPECT_EQ(4, m_http.Accepted());
}

// The service's refusal reaches each kind of program as the errno of the one table,
// where that program looks: connect itself, SO_ERROR after readiness, the first read.
TEST_F(LspEndToEnd, RefusalsArriveAsErrno) {
    const long codes[] = {10013, 10061, 10060, 10051};
    for (long code : codes) {
        m_intake.Refuse(code);
        const int error = ErrnoFromWinsockError(code);
        for (const char* mode : {"blocking", "epoll", "poll", "select", "readfirst"}) {
            SCOPED_TRACE(std::string(mode) + " " + std::to_string(code));
            Outcome o = Client(mode, "127.0.0.2", m_http.Port());
            EXPECT_EQ(Waiting(mode) + Line(mode, error), o.out) << o.err;
        }
    }
    EXPECT_EQ(0, m_http.Accepted());
}

// The answer comes only after the program is already waiting (a slow onward connect):
// its readiness wait must not report the socket connected before the answer, or SO_ERROR
// would say 0 and a refused connect would look like a success.
TEST_F(LspEndToEnd, ReadinessWaitsForTheAnswer) {
    for (long code : {0L, 10013L}) {
        m_intake.Refuse(code);
        for (const char* mode : {"epoll", "poll", "select", "readfirst"}) {
            SCOPED_TRACE(std::string(mode) + " " + std::to_string(code));
            m_intake.Hold();
            Outcome o = Client(mode, "127.0.0.2", m_http.Port(), {}, [this](const std::string& l) {
                if (l.find(" waiting") != std::string::npos)
                    m_intake.Release();
            });
            m_intake.Release();
            std::string result = code ? Line(mode, EACCES)
                                 : std::string(mode) == "readfirst"
                                     ? Line(mode, EAGAIN)
                                     : std::string(mode) + " ok HTTP/1.1 200 OK\n";
            EXPECT_EQ(Waiting(mode) + result, o.out) << o.err;
        }
    }
}

TEST_F(LspEndToEnd, ZeroKeyIsNotDiverted) {
    m_root->Set(m_intake.Port(), GUID_NULL);
    Outcome o = Client("poll", "127.0.0.2", m_http.Port());
    EXPECT_EQ("poll waiting\npoll ok HTTP/1.1 200 OK\n", o.out) << o.err;
    EXPECT_TRUE(m_intake.Records().empty());
    EXPECT_EQ(1u, m_root->Attaches().size());
}

// Without the service nothing gets out, and corvane-run says why.
TEST_F(LspEndToEnd, ServiceAbsentFailsClosed) {
    const std::string missing = m_dir + "/missing.sock";
    for (const char* mode : {"blocking", "epoll"}) {
        Outcome o =
            Run({LSP_TEST_CLIENT, mode, "127.0.0.2", std::to_string(m_http.Port())}, missing);
        EXPECT_EQ(Line(mode, ECONNREFUSED), o.out);
        EXPECT_NE(std::string::npos, o.err.find("Corvane service is not reachable")) << o.err;
    }
    // A service that refuses the attach is no different.
    m_root->Set(m_intake.Port(), kKey, E_ACCESSDENIED);
    EXPECT_EQ(Line("blocking", ECONNREFUSED), Client("blocking", "127.0.0.2", m_http.Port()).out);
    EXPECT_EQ(0, m_http.Accepted());
}

// IPv6: a mapped address goes as an IPv4 record and arrives; another IPv6 destination
// goes as the 28-byte address, which the service answers with "host unreachable".
TEST_F(LspEndToEnd, IPv6Destinations) {
    if (!HasIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    Outcome mapped = Client("blocking", "::ffff:127.0.0.2", m_http.Port());
    EXPECT_EQ("blocking ok HTTP/1.1 200 OK\n", mapped.out) << mapped.err;
    Outcome v6 = Client("epoll", "::1", m_http.Port());
    EXPECT_EQ("epoll waiting\n" + Line("epoll", EHOSTUNREACH), v6.out) << v6.err;
    // ::1 at the private port is the service itself.
    Outcome self = Client("blocking", "::1", m_intake.Port());
    EXPECT_EQ("blocking ok HTTP/1.1 200 Local\n", self.out) << self.err;

    auto records = m_intake.Records();
    ASSERT_EQ(3u, records.size());
    ExpectIPv4Record(records[0], "127.0.0.2", m_http.Port(), kKey);
    ASSERT_EQ(28u, records[1].len);
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&records[1].addr);
    EXPECT_EQ(10, a->sin6_family);
    EXPECT_EQ(htons(m_http.Port()), a->sin6_port);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&a->sin6_addr));
    ExpectIPv4Record(records[2], "127.0.0.1", m_intake.Port(), kKey);
}

// A connect to the private port itself is handed over with its record once (the
// service serves it), never diverted into itself again.
TEST_F(LspEndToEnd, PrivatePortIsServedOnce) {
    Outcome o = Client("poll", "127.0.0.1", m_intake.Port());
    EXPECT_EQ("poll waiting\npoll ok HTTP/1.1 200 Local\n", o.out) << o.err;
    auto records = m_intake.Records();
    ASSERT_EQ(1u, records.size());
    ExpectIPv4Record(records[0], "127.0.0.1", m_intake.Port(), kKey);
}

// QUIC is refused so browsers use TCP; other datagrams pass.
TEST_F(LspEndToEnd, Udp443IsRefused) {
    Outcome quic = Client("udp", "127.0.0.2", 443);
    EXPECT_EQ(Line("udp-connect", ECONNREFUSED) + Line("udp-sendto", ECONNREFUSED), quic.out);
    Outcome other = Client("udp", "127.0.0.2", 5353);
    EXPECT_EQ(Line("udp-connect", 0) + Line("udp-sendto", 0), other.out);
}

// A forked child is diverted as well, and attaches under its own pid.
TEST_F(LspEndToEnd, ChildProcessIsDiverted) {
    Outcome o = Client("fork", "127.0.0.2", m_http.Port());
    int parent = 0, child = 0;
    std::sscanf(o.out.c_str(), "parent-pid %d", &parent);
    auto at = o.out.find("child-pid ");
    ASSERT_NE(std::string::npos, at) << o.out;
    std::sscanf(o.out.c_str() + at, "child-pid %d", &child);
    EXPECT_NE(std::string::npos, o.out.find("parent ok HTTP/1.1 200 OK"));
    EXPECT_NE(std::string::npos, o.out.find("child ok HTTP/1.1 200 OK"));
    EXPECT_EQ(2u, m_intake.Records().size());
    auto attaches = m_root->Attaches();
    ASSERT_EQ(2u, attaches.size());
    EXPECT_EQ(parent, attaches[0].pid);
    EXPECT_EQ(child, attaches[1].pid);
}

// Callback mode (the service's own connects): no attach, and only the connects the
// callback accepts are diverted, to its port with its key.
TEST_F(LspEndToEnd, CallbackModeDivertsWhatTheCallbackAccepts) {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    const unsigned short sessionPort = ntohs(a.sin_port);
    ::close(probe);  // nothing listens there: only the diversion can answer

    std::string keyHex;
    for (BYTE b : kCallbackKey.ToBytes()) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        keyHex += hex;
    }
    Outcome o =
        Client("callback", "127.0.0.1", sessionPort, {std::to_string(m_intake.Port()), keyHex});
    EXPECT_EQ("allowed 1\ncallback ok HTTP/1.1 200 Local\n", o.out) << o.err;
    auto records = m_intake.Records();
    ASSERT_EQ(1u, records.size());
    ExpectIPv4Record(records[0], "127.0.0.1", sessionPort, kCallbackKey);
    EXPECT_TRUE(m_root->Attaches().empty());
}

// With the service down, the library is in every program of the machine: only the
// service's listed browsers and the programs corvane-run started fail closed; without a
// list (a service that never ran) everything does.
TEST_F(LspEndToEnd, ServiceDownRefusesOnlyBrowsers) {
    const std::string missing = m_dir + "/server.sock.missing";
    ASSERT_EQ(BrowserListBeside(m_socket), BrowserListBeside(missing));
    std::string upper = ClientExecutable();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string refused = Line("blocking", ECONNREFUSED);
    const std::string through = "blocking ok HTTP/1.1 200 OK\n";
    struct Case {
        const char* name;
        std::optional<std::string> list;  // none: no list file
        bool viaCorvaneRun;
        std::string expected;
    };
    const Case cases[] = {
        {"listed browser", "/usr/bin/other\n" + ClientExecutable() + "\n", false, refused},
        {"listed in another case, last line", "/usr/bin/other\n" + upper, false, refused},
        {"unlisted program", "/usr/bin/other\n" + ClientExecutable() + "-not\n", false, through},
        {"empty list", "", false, through},
        {"no list file", std::nullopt, false, refused},
        {"corvane-run child, unlisted", "/usr/bin/other\n", true, refused},
    };
    int accepted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(BrowserListBeside(m_socket));
        if (c.list)
            WriteList(*c.list);
        Outcome o =
            c.viaCorvaneRun
                ? Run({LSP_TEST_CLIENT, "blocking", "127.0.0.2", std::to_string(m_http.Port())},
                      missing)
                : Preloaded("blocking", missing);
        EXPECT_EQ(c.expected, o.out) << o.err;
        if (c.expected == through) {
            EXPECT_EQ(++accepted, m_http.Accepted());  // directly, not through the service
        }
    }
    EXPECT_EQ(accepted, m_http.Accepted());
    EXPECT_TRUE(m_intake.Records().empty());
}

// A service that refuses the attach: a browser retries at every connect (and recovers as
// soon as the service answers); another program connects unfiltered and does not ask
// again within a second.
TEST_F(LspEndToEnd, FailedAttachRetries) {
    m_root->Set(m_intake.Port(), kKey, E_ACCESSDENIED);
    const std::string refused = Line("blocking", ECONNREFUSED);
    const std::string through = "blocking ok HTTP/1.1 200 OK\n";
    struct Case {
        const char* name;
        std::string list;
        std::string expected;
        std::size_t attaches;
    };
    const Case cases[] = {
        {"listed browser", ClientExecutable() + "\n", refused + refused, 2},
        {"unlisted program", "/usr/bin/other\n", through + through, 1},
    };
    std::size_t attaches = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteList(c.list);
        Outcome o = Preloaded("twice", m_socket);
        EXPECT_EQ(c.expected, o.out) << o.err;
        EXPECT_EQ(attaches += c.attaches, m_root->Attaches().size());
    }
    // Listed, and the service answers again: diverted.
    WriteList(ClientExecutable() + "\n");
    m_root->Set(m_intake.Port(), kKey);
    EXPECT_EQ(through + through, Preloaded("twice", m_socket).out);
    EXPECT_EQ(2u, m_intake.Records().size());
}

// The attach call on its own, in this process: the convention and its failures.
TEST_F(LspEndToEnd, AttachCall) {
    USHORT port = 0;
    GUID key;
    ASSERT_EQ(S_OK, CServerAttach::Init(m_socket, 4242, "/usr/bin/example", &port, &key));
    EXPECT_EQ(m_intake.Port(), port);
    EXPECT_EQ(kKey, key);
    auto attaches = m_root->Attaches();
    ASSERT_EQ(1u, attaches.size());
    EXPECT_EQ(4242, attaches[0].pid);
    EXPECT_EQ("/usr/bin/example", attaches[0].name);

    m_root->Set(m_intake.Port(), kKey, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, CServerAttach::Init(m_socket, 1, "x", &port, &key));
    EXPECT_TRUE(FAILED(CServerAttach::Init(m_dir + "/missing.sock", 1, "x", &port, &key)));
}

// A program whose file was replaced while it runs (a browser updated under it) still
// attaches under its path and is still found in the list.
TEST_F(LspEndToEnd, ReplacedExecutableKeepsItsName) {
    const std::string copy = m_dir + "/browser";
    std::filesystem::copy_file(LSP_TEST_CLIENT, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string canonical = std::filesystem::canonical(copy).string();
    Outcome diverted = Preloaded("unlinked", m_socket, copy);
    EXPECT_EQ("blocking ok HTTP/1.1 200 OK\n", diverted.out) << diverted.err;
    EXPECT_EQ(1u, m_intake.Records().size());
    auto attaches = m_root->Attaches();
    ASSERT_EQ(1u, attaches.size());
    EXPECT_EQ(canonical, attaches[0].name);

    std::filesystem::copy_file(LSP_TEST_CLIENT, copy);
    WriteList(canonical + "\n");
    Outcome refused = Preloaded("unlinked", m_dir + "/server.sock.missing", copy);
    EXPECT_EQ(Line("blocking", ECONNREFUSED), refused.out) << refused.err;
}

// The list lookup, on its own.
TEST(BrowserList, LookUp) {
    char dir[] = "/tmp/corvane-list-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string list = std::string(dir) + "/browsers";
    const std::string exe = "/opt/Browser/browser-bin";
    const std::string longLine(2040, 'x');  // the name then straddles two reads
    struct Case {
        const char* name;
        std::optional<std::string> text;
        BrowserListAnswer expected;
    };
    const Case cases[] = {
        {"only line", exe + "\n", BrowserListAnswer::Listed},
        {"lower case, among others", "/usr/bin/a\n/opt/browser/browser-bin\n/usr/bin/b\n",
         BrowserListAnswer::Listed},
        {"no final line end", "/usr/bin/a\n" + exe, BrowserListAnswer::Listed},
        {"after a long line", longLine + "\n" + exe + "\n", BrowserListAnswer::Listed},
        {"a prefix of the name", "/opt/browser/browser\n", BrowserListAnswer::NotListed},
        {"the name and more", exe + " --flag\n" + exe + "x\n", BrowserListAnswer::NotListed},
        {"empty lines", "\n\n", BrowserListAnswer::NotListed},
        {"empty file", "", BrowserListAnswer::NotListed},
        {"missing file", std::nullopt, BrowserListAnswer::NoList},
    };
    // A pipe in its place (nothing writes it): no answer, and no wait.
    ASSERT_EQ(0, ::mkfifo(list.c_str(), 0600));
    EXPECT_EQ(BrowserListAnswer::NoList, LookUpBrowser(list.c_str(), exe.c_str()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(list);
        if (c.text)
            std::ofstream(list, std::ios::binary) << *c.text;
        EXPECT_EQ(c.expected, LookUpBrowser(list.c_str(), exe.c_str()));
    }
    // Beyond the bound the list is not read: the program is not told it may pass.
    {
        std::ofstream out(list, std::ios::binary);
        out << std::string(kMaxListBytes, '\n') << "/usr/bin/a\n";
    }
    EXPECT_EQ(BrowserListAnswer::NoList, LookUpBrowser(list.c_str(), exe.c_str()));
    std::filesystem::remove_all(dir);
}

// Where the library attaches: on a machine with an installed service (its socket or its
// list exists) the environment is ignored, so no user can point a browser at a service of
// their own; elsewhere CORVANE_SERVER_SOCKET and the per-user socket work.
TEST(LibraryPaths, EnvironmentCountsOnlyWithoutAnInstalledService) {
    char dir[] = "/tmp/corvane-paths-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string systemSocket = std::string(dir) + "/system.sock";
    const std::string systemList = std::string(dir) + "/system-browsers";
    const std::string mine = std::string(dir) + "/mine/server.sock";
    const char* savedSocket = std::getenv("CORVANE_SERVER_SOCKET");
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string oldSocket = savedSocket ? savedSocket : "";
    const std::string oldRuntime = savedRuntime ? savedRuntime : "";

    struct Case {
        const char* name;
        bool socketExists, listExists;
        const char* override;
        std::string socket, list;
    };
    const std::string perUser = std::string(dir) + "/run/corvane/server.sock";
    const Case cases[] = {
        {"nothing installed, override", false, false, mine.c_str(), mine,
         std::string(dir) + "/mine/browsers"},
        {"nothing installed, per user", false, false, nullptr, perUser,
         std::string(dir) + "/run/corvane/browsers"},
        {"system socket", true, false, mine.c_str(), systemSocket, systemList},
        {"system list (service stopped)", false, true, mine.c_str(), systemSocket, systemList},
        {"both", true, true, nullptr, systemSocket, systemList},
    };
    ::setenv("XDG_RUNTIME_DIR", (std::string(dir) + "/run").c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(systemSocket);
        std::filesystem::remove(systemList);
        int fd = -1;
        if (c.socketExists) {
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strcpy(a.sun_path, systemSocket.c_str());
            ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        }
        if (c.listExists)
            std::ofstream(systemList) << "/usr/bin/browser\n";
        if (c.override)
            ::setenv("CORVANE_SERVER_SOCKET", c.override, 1);
        else
            ::unsetenv("CORVANE_SERVER_SOCKET");
        LibraryServicePaths paths = LibraryPathsWith(systemSocket.c_str(), systemList.c_str());
        EXPECT_EQ(c.socket, paths.socket);
        EXPECT_EQ(c.list, paths.browserList);
        EXPECT_EQ(c.socketExists || c.listExists, paths.installed);
        if (fd >= 0)
            ::close(fd);
    }
    auto restore = [](const char* name, const char* saved, const std::string& value) {
        if (saved)
            ::setenv(name, value.c_str(), 1);
        else
            ::unsetenv(name);
    };
    restore("CORVANE_SERVER_SOCKET", savedSocket, oldSocket);
    restore("XDG_RUNTIME_DIR", savedRuntime, oldRuntime);
    std::filesystem::remove_all(dir);
}

}  // namespace
