// The category server over loopback sockets: raw protocol round trips against the
// library's server, the project's own client against it, and the program itself with a
// reload on SIGHUP.
#include "tools/categories/CategoryServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "objects/CategoryClient.h"
#include "tools/categories/CategoryAnswer.h"

namespace {

namespace fs = std::filesystem;

std::string Request(std::string_view url, const char* magic = "CSRQ", char version = 0x40,
                    int length = -1, uint32_t messageID = 1) {
    std::string r(magic, 4);
    r += version;
    r += std::string(3, '\0');
    const uint32_t id = htonl(messageID);
    r.append(reinterpret_cast<const char*>(&id), 4);
    r += std::string("\x7F\0\0\x01", 4);
    const auto n = static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(url.size()) + 1);
    r += static_cast<char>(n >> 8);
    r += static_cast<char>(n & 0xFF);
    r += url;
    if (length < 0)
        r += '\0';
    return r;
}

struct Reply {
    bool bClosed = false;  // the server closed before a whole reply
    std::string magic;
    uint32_t messageID = 0;
    uint16_t status = 0;
    std::vector<uint32_t> categories;
};

// A blocking client connection with a 5-second receive time-out.
class CConnection {
public:
    explicit CConnection(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        m_bConnected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~CConnection() { ::close(m_fd); }
    bool Connected() const { return m_bConnected; }

    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    void EndSending() { ::shutdown(m_fd, SHUT_WR); }

    // All `size` bytes, or fewer when the server closes (or times out).
    std::string Receive(std::size_t size) {
        std::string out(size, '\0');
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::recv(m_fd, out.data() + done, size - done, 0);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        out.resize(done);
        return out;
    }

    Reply ReadReply() {
        Reply reply;
        const std::string header = Receive(16);
        if (header.size() < 16) {
            reply.bClosed = true;
            return reply;
        }
        const auto* b = reinterpret_cast<const unsigned char*>(header.data());
        reply.magic = header.substr(0, 4);
        reply.messageID = (uint32_t{b[8]} << 24) | (uint32_t{b[9]} << 16) | (b[10] << 8) | b[11];
        reply.status = static_cast<uint16_t>((b[12] << 8) | b[13]);
        const std::size_t count = (b[14] << 8) | b[15];
        const std::string body = Receive(4 * count);
        if (body.size() < 4 * count) {
            reply.bClosed = true;
            return reply;
        }
        const auto* c = reinterpret_cast<const unsigned char*>(body.data());
        for (std::size_t i = 0; i < count; ++i, c += 4)
            reply.categories.push_back((uint32_t{c[0]} << 24) | (uint32_t{c[1]} << 16) |
                                       (c[2] << 8) | c[3]);
        return reply;
    }

    // True when the server has closed: end of stream with nothing more to read.
    bool ClosedByServer() { return Receive(1).empty(); }

private:
    int m_fd;
    bool m_bConnected = false;
};

std::shared_ptr<const CCategoryLists> TestLists(const char* adultDomains = "adult.example\n") {
    auto lists = std::make_shared<CCategoryLists>();
    EXPECT_EQ(lists->AddCategory("adult", 1, adultDomains, "example.com/adult\n"), S_OK);
    EXPECT_EQ(lists->AddCategory("local", 5, "localhost\n127.0.0.1\n", "localhost/blocked\n"),
              S_OK);
    EXPECT_EQ(lists->AddCategory("games", 40, "games.example\nadult.example\n", ""), S_OK);
    return lists;
}

class CategoryServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_server.Listen("127.0.0.1:0"), S_OK);
        ASSERT_NE(m_server.Port(), 0);
        ASSERT_EQ(m_server.Start(2), S_OK);
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(m_server.Port()); }

    CCategoryServer m_server{TestLists()};
};

TEST_F(CategoryServerTest, AnswersGoodRequestsOneAfterAnotherOnAConnection) {
    CConnection conn(m_server.Port());
    ASSERT_TRUE(conn.Connected());
    const struct {
        const char* url;
        std::vector<uint32_t> categories;
    } cases[] = {
        {"http://adult.example/", {1, 40}},  {"https://www.example.com:443/adult/x", {1}},
        {"http://games.example/play", {40}}, {"http://unlisted.example/", {}},
        {"http://127.0.0.1/", {5}},
    };
    uint32_t id = 1;
    for (const auto& c : cases) {
        ASSERT_TRUE(conn.Send(Request(c.url, "CSRQ", 0x40, -1, id)));
        const Reply reply = conn.ReadReply();
        ASSERT_FALSE(reply.bClosed) << c.url;
        EXPECT_EQ(reply.magic, "CSRP");
        EXPECT_EQ(reply.messageID, id);
        EXPECT_EQ(reply.status, CCategoryAnswer::CSP_OK) << c.url;
        EXPECT_EQ(reply.categories, c.categories) << c.url;
        ++id;
    }
}

TEST_F(CategoryServerTest, RefusesMalformedRequests) {
    const std::string oversize(5000, 'a');
    const struct {
        const char* what;
        std::string request;
        uint16_t status;
        bool bThenClosed;  // the stream cannot be framed any more
    } cases[] = {
        {"wrong magic", Request("http://adult.example/", "CSRX"), CCategoryAnswer::CSP_ERROR, true},
        {"wrong version", Request("http://adult.example/", "CSRQ", 0x41),
         CCategoryAnswer::CSP_ERROR, true},
        {"no terminating zero", Request("http://adult.example/", "CSRQ", 0x40, 21),
         CCategoryAnswer::CSP_INVALID_URL, false},
        {"zero inside", Request(std::string_view("http://adult.example/\0x", 23)),
         CCategoryAnswer::CSP_INVALID_URL, false},
        {"empty", Request("", "CSRQ", 0x40, 0), CCategoryAnswer::CSP_INVALID_URL, false},
        {"no host", Request("http:///path"), CCategoryAnswer::CSP_INVALID_URL, false},
        {"oversize", Request("http://adult.example/" + oversize), CCategoryAnswer::CSP_INVALID_URL,
         false},
    };
    for (const auto& c : cases) {
        CConnection conn(m_server.Port());
        ASSERT_TRUE(conn.Connected());
        ASSERT_TRUE(conn.Send(c.request)) << c.what;
        const Reply reply = conn.ReadReply();
        ASSERT_FALSE(reply.bClosed) << c.what;
        EXPECT_EQ(reply.magic, "CSRP") << c.what;
        EXPECT_EQ(reply.status, c.status) << c.what;
        EXPECT_TRUE(reply.categories.empty()) << c.what;
        if (c.bThenClosed) {
            EXPECT_TRUE(conn.ClosedByServer()) << c.what;
        } else {
            // The connection goes on with the next request.
            ASSERT_TRUE(conn.Send(Request("http://games.example/"))) << c.what;
            const Reply next = conn.ReadReply();
            EXPECT_EQ(next.status, CCategoryAnswer::CSP_OK) << c.what;
            EXPECT_EQ(next.categories, std::vector<uint32_t>{40}) << c.what;
        }
    }
}

TEST_F(CategoryServerTest, ClosesShortAndIdleRequestsWithoutAnAnswer) {
    {
        // The client ends inside the header.
        CConnection conn(m_server.Port());
        ASSERT_TRUE(conn.Send(Request("http://adult.example/").substr(0, 10)));
        conn.EndSending();
        EXPECT_TRUE(conn.ClosedByServer());
    }
    {
        // The client ends inside the URL.
        CConnection conn(m_server.Port());
        ASSERT_TRUE(conn.Send(Request("http://adult.example/").substr(0, 25)));
        conn.EndSending();
        EXPECT_TRUE(conn.ClosedByServer());
    }
    {
        // The client stops sending and waits.
        m_server.SetIdleTimeout(std::chrono::milliseconds(100));
        CConnection conn(m_server.Port());
        ASSERT_TRUE(conn.Send(Request("http://adult.example/").substr(0, 10)));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(conn.ClosedByServer());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    }
}

TEST_F(CategoryServerTest, SwapsListsWhileRunning) {
    CConnection conn(m_server.Port());
    ASSERT_TRUE(conn.Send(Request("http://new.example/")));
    EXPECT_TRUE(conn.ReadReply().categories.empty());
    m_server.SetLists(TestLists("new.example\n"));
    ASSERT_TRUE(conn.Send(Request("http://new.example/")));
    EXPECT_EQ(conn.ReadReply().categories, std::vector<uint32_t>{1});
    ASSERT_TRUE(conn.Send(Request("http://adult.example/")));
    EXPECT_EQ(conn.ReadReply().categories, std::vector<uint32_t>{40});
}

TEST_F(CategoryServerTest, AnswersManyClientsAtOnce) {
    constexpr int kClients = 8, kRequests = 100;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            CConnection conn(m_server.Port());
            for (int j = 0; j < kRequests; ++j) {
                const bool bAdult = (i + j) % 2 == 0;
                if (!conn.Send(
                        Request(bAdult ? "http://x.adult.example/" : "http://other.example/")))
                    return;
                const Reply reply = conn.ReadReply();
                if (reply.status == 0 && reply.categories == (bAdult ? std::vector<uint32_t>{1, 40}
                                                                     : std::vector<uint32_t>{}))
                    ++good;
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(good.load(), kClients * kRequests);
}

TEST_F(CategoryServerTest, TheProjectsClientGetsTheCategories) {
    const struct {
        const char* url;
        const char* categories;
    } cases[] = {
        {"http://localhost/blocked/page", "5"},
        {"localhost:8080/other", "5"},
        {"http://127.0.0.1/", "5"},
        {"http://127.0.0.2/", ""},
    };
    for (const auto& c : cases) {
        std::string categories = "untouched";
        bool ok = false;
        ASSERT_EQ(CCategoryClient::Query(Address(), c.url, &categories, &ok), S_OK) << c.url;
        EXPECT_TRUE(ok) << c.url;
        EXPECT_EQ(categories, c.categories) << c.url;
    }
}

TEST(CategoryServerListen, RefusesBadAddresses) {
    for (const char* address : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:x", "127.0.0.1:70000",
                                "nohost:4004", "127.0.0.1:4004x"}) {
        CCategoryServer server(TestLists());
        EXPECT_EQ(server.Listen(address), E_INVALIDARG) << address;
        EXPECT_EQ(server.Start(1), E_UNEXPECTED) << address;
    }
    // A port that is taken.
    CCategoryServer first(TestLists());
    ASSERT_EQ(first.Listen("127.0.0.1:0"), S_OK);
    CCategoryServer second(TestLists());
    EXPECT_TRUE(FAILED(second.Listen("127.0.0.1:" + std::to_string(first.Port()))));
}

// ---- the program ---------------------------------------------------------------------------

// corvane-categories started with its standard output and error on a pipe; killed at the
// end unless it ended before.
class CProgram {
public:
    explicit CProgram(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        const std::string program =
            std::string(CORVANE_BINARY_DIR) + "/tools/categories/corvane-categories";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        m_fdOut = fds[0];
    }
    ~CProgram() {
        if (m_pid > 0 && !m_bExited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_fdOut >= 0)
            ::close(m_fdOut);
    }

    // The next line of output that contains `text` (empty after 10 s or at the end).
    std::string WaitForLine(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            for (std::size_t eol; (eol = m_strOut.find('\n')) != std::string::npos;) {
                std::string line = m_strOut.substr(0, eol);
                m_strOut.erase(0, eol + 1);
                if (line.find(text) != std::string::npos)
                    return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fdOut, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {};
            char buffer[512];
            const ssize_t n = ::read(m_fdOut, buffer, sizeof buffer);
            if (n <= 0)
                return {};
            m_strOut.append(buffer, static_cast<std::size_t>(n));
        }
    }

    void Signal(int sig) { ::kill(m_pid, sig); }

    // The exit status, or -1 when the program did not end normally.
    int Wait() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_bExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
    bool m_bExited = false;
    std::string m_strOut;
};

TEST(CategoryServerProgram, AnswersReloadsOnHangUpAndStops) {
    const fs::path dir =
        fs::temp_directory_path() / ("categories-program-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "local");
    std::ofstream(dir / "categories") << "local 9\n";
    std::ofstream(dir / "local" / "domains") << "127.0.0.1\n";

    CProgram program({"--listen", "127.0.0.1:0", "--lists", dir.string(), "--threads", "2"});
    const std::string line = program.WaitForLine("listening on 127.0.0.1:");
    ASSERT_FALSE(line.empty());
    const std::string address = line.substr(line.find("127.0.0.1:"));

    std::string categories;
    bool ok = false;
    ASSERT_EQ(CCategoryClient::Query(address, "http://127.0.0.1/x", &categories, &ok), S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(categories, "9");
    ASSERT_EQ(CCategoryClient::Query(address, "http://localhost/x", &categories, &ok), S_OK);
    EXPECT_EQ(categories, "");

    std::ofstream(dir / "local" / "domains") << "localhost\n";
    program.Signal(SIGHUP);
    EXPECT_FALSE(program.WaitForLine("reloaded 1 categories").empty());
    ASSERT_EQ(CCategoryClient::Query(address, "http://localhost/x", &categories, &ok), S_OK);
    EXPECT_TRUE(ok);
    EXPECT_EQ(categories, "9");

    // Lists that no longer load leave the old ones in place.
    fs::remove_all(dir / "local");
    fs::create_directories(dir / "local" / "domains");
    program.Signal(SIGHUP);
    EXPECT_FALSE(program.WaitForLine("keeping the lists loaded before").empty());
    ASSERT_EQ(CCategoryClient::Query(address, "http://localhost/x", &categories, &ok), S_OK);
    EXPECT_EQ(categories, "9");

    program.Signal(SIGTERM);
    EXPECT_FALSE(program.WaitForLine("stopped").empty());
    EXPECT_EQ(program.Wait(), 0);
    fs::remove_all(dir);
}

TEST(CategoryServerProgram, FailsWithoutLists) {
    CProgram program({"--listen", "127.0.0.1:0", "--lists", "/nonexistent/lists"});
    EXPECT_EQ(program.Wait(), 1);
}

}  // namespace
