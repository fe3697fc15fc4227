// The socket server over real loopback sockets: answers, hand-on, refusals, bounds, keys.
#include "intake/SocketServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "intake/HandoffTestSupport.h"
#include "sessions/SessionTestSupport.h"

using namespace std::chrono_literals;

namespace {

constexpr uid_t kUser = 1000;  // interactive on a machine without logind
const std::string kAnswerOk(4, '\0');
const std::string kAccessDenied("\x1D\x27\x00\x00", 4);

std::string Answer(long code) {
    auto bytes = CHandoffRecord::Answer(static_cast<std::int32_t>(code));
    return std::string(bytes.begin(), bytes.end());
}

// A listener that accepts and holds connections, for onward connects.
class CListener {
public:
    explicit CListener(const char* ip = "127.0.0.1", int backlog = 64) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &addr.sin_addr);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_fd, backlog);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~CListener() {
        for (int fd : m_accepted)
            ::close(fd);
        ::close(m_fd);
    }
    unsigned short Port() const { return m_port; }
    // Takes one waiting connection off the queue (and keeps it).
    void AcceptOne() { m_accepted.push_back(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)); }

private:
    int m_fd;
    unsigned short m_port;
    std::vector<int> m_accepted;
};

// A port on which nothing listens (bound, so nobody else takes it meanwhile).
class CClosedPort {
public:
    CClosedPort() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~CClosedPort() { ::close(m_fd); }
    unsigned short Port() const { return m_port; }

private:
    int m_fd;
    unsigned short m_port;
};

class SocketServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The store the server reads its browsers from: an empty private file.
        static const std::string path = std::filesystem::temp_directory_path() /
                                        ("cv-intake-" + std::to_string(getpid()) + ".reg");
        setenv("CORVANE_REGISTRY", path.c_str(), 1);
    }
    void SetUp() override {
        ASSERT_EQ(S_OK, m_server.Start());
        m_server.SetBrowsers({"/usr/bin/browser"});
        ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(kUser, getpid(), BSTR(u"/usr/bin/Browser"),
                                                  nullptr, &m_key));
        ASSERT_FALSE(m_key.IsNull());
    }
    void TearDown() override { m_server.Stop(); }

    // A hand-off of `record` written in one piece; the 4-byte answer.
    std::string HandOff(const std::string& record, CTestClient* client) {
        EXPECT_TRUE(client->Connected());
        EXPECT_TRUE(client->Write(record));
        return client->Read(4);
    }

    CShortTimings m_timings{60000, 40, 30};
    CSocketServer m_server;
    CRecordingHandOn m_handOn;
    GUID m_key;
};

TEST_F(SocketServerTest, UnknownKeyGetsAccessDeniedAndNoHandOn) {
    CListener listener;
    CTestClient client(m_server.PrivatePort());
    EXPECT_EQ(
        HandOff(MakeRecord(IPv4Address("127.0.0.1", listener.Port()), NewGUID(), "GET /"), &client),
        kAccessDenied);
    EXPECT_TRUE(client.WaitClosed());
    CTestClient zero(m_server.PrivatePort());
    EXPECT_EQ(HandOff(MakeRecord(IPv4Address("127.0.0.1", listener.Port()), GUID{}), &zero),
              kAccessDenied);
    EXPECT_TRUE(zero.WaitClosed());
}

TEST_F(SocketServerTest, RecordInPiecesIsAssembledAndFirstDataGoesToTheRelay) {
    CListener listener("127.0.0.2");
    const std::string record =
        MakeRecord(IPv4Address("127.0.0.2", listener.Port()), m_key, "GET / HTTP/1.1\r\n");
    CTestClient client(m_server.PrivatePort());
    // Piece by piece; no answer comes until the record is complete. The last piece brings
    // the record's last byte with the application's first data.
    for (std::size_t at = 0; at < 35; at += 7) {
        ASSERT_TRUE(client.Write(record.substr(at, std::min<std::size_t>(7, 35 - at))));
        EXPECT_EQ(client.Read(1, 20ms), "");
    }
    ASSERT_TRUE(client.Write(record.substr(35)));
    EXPECT_EQ(client.Read(4), kAnswerOk);
    auto records = m_handOn.WaitFor(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].target, "relay");
    EXPECT_EQ(records[0].pid, getpid());
    EXPECT_EQ(records[0].host, "127.0.0.2:" + std::to_string(listener.Port()));
    EXPECT_TRUE(records[0].onward);
    EXPECT_EQ(records[0].data, "GET / HTTP/1.1\r\n");
}

TEST_F(SocketServerTest, DestinationsAndTheirAnswers) {
    CListener listener;
    CClosedPort closed;
    auto user = m_server.FindUserSession(kUser);
    ASSERT_TRUE(user);
    struct Case {
        const char* name;
        std::string address;
        std::string answer;
        const char* target;  // nullptr: no hand-on
        bool onward;
    };
    const Case cases[] = {
        {"loopback listener", IPv4Address("127.0.0.1", listener.Port()), kAnswerOk, "relay", true},
        {"own private port", IPv4Address("127.0.0.1", m_server.PrivatePort()), kAnswerOk, "local",
         false},
        {"user's private port", IPv4Address("127.0.0.1", user->PrivatePort()), kAnswerOk, "local",
         false},
        // A failed connect to 127.0.0.1 is not reported; to anywhere else it is.
        {"127.0.0.1 refused", IPv4Address("127.0.0.1", closed.Port()), kAnswerOk, "relay", false},
        {"127.0.0.2 refused", IPv4Address("127.0.0.2", closed.Port()), Answer(WSAECONNREFUSED),
         nullptr, false},
        {"ipv6", IPv6Address("2001:db8::1", 80), Answer(WSAEHOSTUNREACH), nullptr, false},
        {"short ipv4", std::string("\x02\x00\x00\x50", 4), Answer(WSAEFAULT), nullptr, false},
    };
    std::size_t handedOn = 0;
    for (const auto& c : cases) {
        CTestClient client(m_server.PrivatePort());
        EXPECT_EQ(HandOff(MakeRecord(c.address, m_key, "x"), &client), c.answer) << c.name;
        if (!c.target) {
            EXPECT_TRUE(client.WaitClosed()) << c.name;
            continue;
        }
        auto records = m_handOn.WaitFor(++handedOn);
        ASSERT_EQ(records.size(), handedOn) << c.name;
        EXPECT_EQ(records.back().target, c.target) << c.name;
        EXPECT_EQ(records.back().onward, c.onward) << c.name;
        EXPECT_EQ(records.back().data, "x") << c.name;
        if (records.back().target == std::string("relay") && c.onward) {
            EXPECT_EQ(records.back().host, "localhost") << c.name;
        }
    }
    EXPECT_EQ(m_handOn.WaitFor(handedOn).size(), handedOn);
}

TEST_F(SocketServerTest, OverlongRecordsAndEndlessStreamsAreClosedWithoutAnswer) {
    // L = 257: never accepted; the bound closes it once more bytes than a record came.
    CTestClient l257(m_server.PrivatePort());
    const std::string record = MakeRecord(std::string(257, '\0'), m_key);
    ASSERT_TRUE(l257.Write(record.substr(0, CHandoffRecord::kMaxPendingBytes)));
    EXPECT_EQ(l257.Read(1, 50ms), "");
    ASSERT_TRUE(l257.Write(record.substr(CHandoffRecord::kMaxPendingBytes)));
    EXPECT_TRUE(l257.WaitClosed());

    CTestClient flood(m_server.PrivatePort());
    const std::string junk(64 * 1024, '\xff');
    for (int i = 0; i < 4 && flood.Write(junk); ++i) {
    }
    EXPECT_TRUE(flood.WaitClosed());

    // A client that closes halfway gets nothing and leaves nothing behind.
    {
        CTestClient half(m_server.PrivatePort());
        ASSERT_TRUE(half.Write(record.substr(0, 10)));
    }
    CTestClient later(m_server.PrivatePort());
    EXPECT_EQ(HandOff(MakeRecord(IPv6Address("::2", 1), m_key), &later), Answer(WSAEHOSTUNREACH));
}

TEST_F(SocketServerTest, CallersFromOtherAddressesAreClosedAtAccept) {
    CTestClient client(m_server.PrivatePort(), "127.0.0.2");
    ASSERT_TRUE(client.Connected());
    client.Write(MakeRecord(IPv4Address("127.0.0.1", 1), m_key));
    EXPECT_EQ(client.Read(4), "");
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_FALSE(
        CSocketServer::CanAccept(asio::ip::tcp::endpoint(asio::ip::make_address("::1"), 1)));
}

TEST_F(SocketServerTest, SessionKeysFollowUserProcessAndBrowser) {
    GUID again, other, notBrowser, nobody;
    ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(kUser, getpid(), BSTR(u"/usr/bin/browser"), nullptr,
                                              &again));
    EXPECT_EQ(again, m_key);
    ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(kUser, getppid(), BSTR(u"/usr/bin/editor"), nullptr,
                                              &notBrowser));
    EXPECT_TRUE(notBrowser.IsNull());
    // A second attach of a non-browser gets the zero key again, never its session's key.
    ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(kUser, getppid(), BSTR(u"/usr/bin/editor"), nullptr,
                                              &notBrowser));
    EXPECT_TRUE(notBrowser.IsNull());
    ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(65534, getpid(), BSTR(u"/usr/bin/browser"), nullptr,
                                              &nobody));
    EXPECT_TRUE(nobody.IsNull());
    EXPECT_EQ(m_server.UserSessionCount(), 1u);

    // Term with an unknown key changes nothing; with the key, the session goes.
    EXPECT_EQ(S_OK, m_server.TermSession(NewGUID()));
    EXPECT_EQ(S_OK, m_server.TermSession(m_key));
    CTestClient client(m_server.PrivatePort());
    EXPECT_EQ(HandOff(MakeRecord(IPv6Address("::2", 1), m_key), &client), kAccessDenied);
    ASSERT_EQ(S_OK, m_server.GetSessionKeyFor(kUser, getpid(), BSTR(u"/usr/bin/browser"), nullptr,
                                              &other));
    EXPECT_NE(other, m_key);
}

TEST_F(SocketServerTest, PrivateNumberCallbackDivertsOnlyUserPrivatePorts) {
    auto user = m_server.FindUserSession(kUser);
    ASSERT_TRUE(user);
    GUID key;
    USHORT port = htons(user->PrivatePort());
    ASSERT_EQ(1, m_server.PrivateNumberCallback(&port, &key));
    EXPECT_EQ(ntohs(port), m_server.PrivatePort());
    EXPECT_FALSE(key.IsNull());
    GUID same;
    port = htons(user->PrivatePort());
    ASSERT_EQ(1, m_server.PrivateNumberCallback(&port, &same));
    EXPECT_EQ(key, same);  // the program's own process session

    port = htons(m_server.PrivatePort());
    EXPECT_EQ(0, m_server.PrivateNumberCallback(&port, &key));
    port = htons(1);
    EXPECT_EQ(0, m_server.PrivateNumberCallback(&port, &key));
}

TEST_F(SocketServerTest, StopEndsConnectionsStillReadingTheirRecord) {
    CTestClient idle(m_server.PrivatePort());
    ASSERT_TRUE(idle.Write("ab"));
    m_server.Stop();
    EXPECT_TRUE(idle.WaitClosed());
    EXPECT_EQ(m_server.ConnectionsInProgress(), 0u);
}

// Onward connects that cannot finish at once: the destination's accept queue is full, so
// its SYNs are dropped until the queue has room and the retransmission gets through.
TEST_F(SocketServerTest, OnwardConnectThatWaitsIsAnsweredWhenDoneOrEndedByStop) {
    struct Case {
        const char* name;
        const char* ip;
        bool stop;  // Stop while the connect waits, instead of making room
    };
    // Stop last: the server does not start again.
    const Case cases[] = {
        {"completes after the wait", "127.0.0.1", false},
        {"ended by Stop", "127.0.0.2", true},
    };
    std::size_t handedOn = 0;
    for (const auto& c : cases) {
        CListener full(c.ip, 0);
        // The filler takes the queue's only place.
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(full.Port());
        inet_pton(AF_INET, c.ip, &to.sin_addr);
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << c.name;

        CTestClient client(m_server.PrivatePort());
        ASSERT_TRUE(client.Write(MakeRecord(IPv4Address(c.ip, full.Port()), m_key, "x")));
        // The connect waits: the connection stays in progress, and no answer comes.
        for (int i = 0; i < 500 && m_server.ConnectionsInProgress() == 0; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(m_server.ConnectionsInProgress(), 1u) << c.name;
        EXPECT_EQ(client.Read(1, 100ms), "") << c.name;
        if (c.stop) {
            const auto start = std::chrono::steady_clock::now();
            m_server.Stop();
            EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.name;
            EXPECT_NE(client.Read(4, 1s), kAnswerOk) << c.name;
            EXPECT_TRUE(client.WaitClosed()) << c.name;
            EXPECT_EQ(m_server.ConnectionsInProgress(), 0u) << c.name;
            EXPECT_EQ(m_handOn.WaitFor(0).size(), handedOn) << c.name;
        } else {
            full.AcceptOne();
            EXPECT_EQ(client.Read(4), kAnswerOk) << c.name;
            auto records = m_handOn.WaitFor(++handedOn);
            ASSERT_EQ(records.size(), handedOn) << c.name;
            EXPECT_TRUE(records.back().onward) << c.name;
            EXPECT_EQ(records.back().data, "x") << c.name;
        }
        ::close(filler);
    }
}

}  // namespace
