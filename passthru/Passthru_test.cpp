// The relay end to end on loopback: the test plays the application (the peer of the
// inner socket) and the destination (the peer of the outer socket) with blocking
// sockets and constructs the relay as the socket server would. Every case runs with
// splice forwarding on and off, and ends only once the relay, its readers and writers
// have gone (the leak checker sees the rest).
#include "passthru/Passthru.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "async/SocketTestSupport.h"
#include "com/DiagnosticLog.h"
#include "passthru/FilterPolicy.h"

namespace {

using namespace sockettest;

// The diagnostic log goes to a file of the test's own, so the detections can be read.
class CLogFile : public testing::Environment {
public:
    static std::string Path() {
        return "/tmp/corvane-passthru-test-" + std::to_string(getpid()) + ".log";
    }
    void SetUp() override {
        std::remove(Path().c_str());
        CDiagnosticLog::Instance().ResetForTest();
        CDiagnosticLog::Instance().SetPathSource([] { return std::optional<std::string>(Path()); });
    }
    void TearDown() override {
        CDiagnosticLog::Instance().SetPathSource({});
        CDiagnosticLog::Instance().ResetForTest();
        std::remove(Path().c_str());
    }
};
const auto* const g_logFile = testing::AddGlobalTestEnvironment(new CLogFile);

// Lines of the log that mention `text`.
std::vector<std::string> LogLines(const std::string& text) {
    std::ifstream in(CLogFile::Path());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

// A unique destination text per relay, so log lines can be told apart.
std::string NextHost() {
    static std::atomic<int> n{0};
    return "127.0.0." + std::to_string(1 + n % 200) + ":" + std::to_string(10000 + n++);
}

void SendAll(int fd, const std::string& bytes) {
    ASSERT_TRUE(SendInPieces(fd, bytes));
}

std::string ReceiveExactly(int fd, std::size_t n) {
    return ReceiveAll(fd, n);
}

// One relayed connection: app() is the application's end, dest() the destination's.
struct CRelayed {
    CLoopbackPair inner;
    CLoopbackPair outer;
    const std::string host = NextHost();

    explicit CRelayed(bool splice, const std::string& handedOver = {}) {
        auto* relay = new CPassthru(nullptr, inner.handle, outer.handle, host);
        relay->EnableSplice(splice);
        CBuffer* buffer = nullptr;
        if (!handedOver.empty()) {
            buffer = new CBuffer();
            buffer->append(handedOver.data(), static_cast<long>(handedOver.size()));
        }
        // The relay's copies are the only ones left: the sockets close with it.
        inner.handle.release();
        outer.handle.release();
        EXPECT_EQ(relay->Start(buffer), S_OK);
        // A relay that holds data for good fails the test instead of hanging it.
        const timeval timeout{static_cast<time_t>(kWaitMs / 1000), 0};
        for (int fd : {inner.peer, outer.peer})
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    int app() const { return inner.peer; }
    int dest() const { return outer.peer; }

    // Both peers close and the relay, with everything it started, is gone.
    static void ExpectAllGone() {
        EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
    }
    std::vector<std::string> Detections() const {
        return LogLines("Passthru " + host + ": detected");
    }
};

class PassthruTest : public testing::TestWithParam<bool> {
protected:
    bool Splice() const { return GetParam(); }
    void TearDown() override { CRelayed::ExpectAllGone(); }
};

INSTANTIATE_TEST_SUITE_P(Forwarding, PassthruTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Splice" : "Queues";
                         });

// ---- Detection ----------------------------------------------------------------------

struct DetectionCase {
    const char* name;
    std::vector<std::string> appChunks;  // sent by the application, in this order
    std::string banner;                  // sent first by the destination, when not empty
    const char* expected;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

class DetectionTest : public testing::TestWithParam<DetectionCase> {
protected:
    void TearDown() override { CRelayed::ExpectAllGone(); }
};

TEST_P(DetectionTest, LogsTheProtocolAndRelaysUnchanged) {
    const DetectionCase& c = GetParam();
    std::string sent;
    {
        CRelayed r(true);
        int one = 1;
        ::setsockopt(r.app(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (!c.banner.empty()) {
            SendAll(r.dest(), c.banner);
            EXPECT_EQ(ReceiveExactly(r.app(), c.banner.size()), c.banner);
        }
        for (const std::string& chunk : c.appChunks) {
            // One send per chunk: the record header must not be split by the test.
            ASSERT_EQ(::send(r.app(), chunk.data(), chunk.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(chunk.size()));
            sent += chunk;
        }
        ::shutdown(r.app(), SHUT_WR);
        EXPECT_EQ(ReceiveAll(r.dest()), sent);
        SendAll(r.dest(), "answer");
        ::shutdown(r.dest(), SHUT_WR);
        EXPECT_EQ(ReceiveAll(r.app()), "answer");
        r.inner.ClosePeer();
        r.outer.ClosePeer();
        CRelayed::ExpectAllGone();
        const auto lines = r.Detections();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(std::string("detected ") + c.expected), std::string::npos)
            << lines[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, DetectionTest,
    testing::Values(
        DetectionCase{"HTTP", {"GET / HTTP/1.1\r\nHost: example\r\n\r\n"}, "", "HTTP"},
        DetectionCase{
            "HTTPMethodSplit", {"GE", "T /a HTTP/1.1\r\nHost: example\r\n\r\n"}, "", "HTTP"},
        DetectionCase{"TLS10", {Bytes({0x16, 0x03, 0x01, 0x00, 0x05, 1, 2, 3, 4, 5})}, "", "TLS1"},
        DetectionCase{"TLS12", {Bytes({0x16, 0x03, 0x03, 0x00, 0x05, 1, 2, 3, 4, 5})}, "", "TLS1"},
        DetectionCase{"SSL3", {Bytes({0x16, 0x03, 0x00, 0x00, 0x02, 1, 2})}, "", "SSL3"},
        DetectionCase{"SSL2", {Bytes({0x80, 0x2e, 0x01, 0x00, 0x02, 0x00, 0x15})}, "", "SSL2"},
        DetectionCase{"Unrecognised", {"SSH-2.0-client\r\n"}, "", "Unrecognised"},
        DetectionCase{"ShortFirstChunk", {"hi"}, "", "Unrecognised"},
        DetectionCase{"NothingSent", {}, "", "Unrecognised"},
        DetectionCase{"ServerSpeaksFirst",
                      {"GET / HTTP/1.1\r\n\r\n"},
                      "220 mail.example ESMTP\r\n",
                      "Unrecognised"}),
    [](const testing::TestParamInfo<DetectionCase>& info) { return info.param.name; });

// ---- Transfers ----------------------------------------------------------------------

TEST_P(PassthruTest, HandedOverBytesGoFirst) {
    CRelayed r(Splice(), "hello");
    SendAll(r.app(), " world");
    EXPECT_EQ(ReceiveExactly(r.dest(), 11), "hello world");
    SendAll(r.dest(), "reply");
    EXPECT_EQ(ReceiveExactly(r.app(), 5), "reply");
}

TEST_P(PassthruTest, LargeDownloadAndUploadArriveUnchanged) {
    // Both directions at once, tens of megabytes each, from an HTTP request (watched on
    // the way out) and from a connection nobody looks into.
    constexpr std::size_t kSize = 24 << 20;
    for (const std::string first : {"PUT /upload HTTP/1.1\r\nHost: a\r\n\r\n", "raw-stream"}) {
        CRelayed r(Splice());
        const std::string upload = first + Pattern(kSize, 7);
        const std::string download = Pattern(kSize, 3);
        std::string atDest;
        std::thread destination([&] {
            std::thread reader([&] { atDest = ReceiveAll(r.dest()); });
            SendAll(r.dest(), download);
            ::shutdown(r.dest(), SHUT_WR);
            reader.join();
        });
        std::string atApp;
        std::thread reader([&] { atApp = ReceiveAll(r.app()); });
        SendAll(r.app(), upload);
        ::shutdown(r.app(), SHUT_WR);
        reader.join();
        destination.join();
        EXPECT_TRUE(atDest == upload) << "upload differs, " << atDest.size() << " bytes";
        EXPECT_TRUE(atApp == download) << "download differs, " << atApp.size() << " bytes";
    }
}

TEST_P(PassthruTest, ApplicationHalfCloseStillReceivesTheWholeAnswer) {
    CRelayed r(Splice());
    const std::string request = "POST /a HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello";
    SendAll(r.app(), request);
    ::shutdown(r.app(), SHUT_WR);
    // The destination sees the request, then the end of it.
    EXPECT_EQ(ReceiveAll(r.dest()), request);
    const std::string answer = "HTTP/1.0 200 OK\r\n\r\n" + Pattern(5 << 20);
    SendAll(r.dest(), answer);
    r.outer.ClosePeer();
    EXPECT_TRUE(ReceiveAll(r.app()) == answer);
}

TEST_P(PassthruTest, DestinationHalfCloseLetsTheApplicationGoOn) {
    CRelayed r(Splice());
    SendAll(r.app(), "ping");
    EXPECT_EQ(ReceiveExactly(r.dest(), 4), "ping");
    SendAll(r.dest(), "bye");
    ::shutdown(r.dest(), SHUT_WR);
    EXPECT_EQ(ReceiveAll(r.app()), "bye");  // the end of the stream follows the data
    const std::string more = Pattern(1 << 20);
    SendAll(r.app(), more);
    r.inner.ClosePeer();
    EXPECT_TRUE(ReceiveAll(r.dest()) == more);
}

TEST_P(PassthruTest, APeerResetTearsTheRelayDown) {
    for (bool resetDestination : {true, false}) {
        CRelayed r(Splice());
        SendAll(r.app(), "ping");
        EXPECT_EQ(ReceiveExactly(r.dest(), 4), "ping");
        SendAll(r.dest(), "pong");
        EXPECT_EQ(ReceiveExactly(r.app(), 4), "pong");
        (resetDestination ? r.outer : r.inner).ResetPeer();
        // The other peer sees its connection end although it never closed.
        EXPECT_TRUE(PeerSeesClose(resetDestination ? r.app() : r.dest()));
        EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
    }
}

TEST_P(PassthruTest, KeepAliveRequestsForAnotherURLAreClassifiedAgain) {
    struct Case {
        const char* second;
        std::size_t classifications;
    };
    for (const Case c : {Case{"GET /a HTTP/1.1\r\nHost: h\r\n\r\n", 1},
                         Case{"GET /b HTTP/1.1\r\nHost: h\r\n\r\n", 2}}) {
        CRelayed r(Splice());
        const std::string first = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
        SendAll(r.app(), first);
        EXPECT_EQ(ReceiveExactly(r.dest(), first.size()), first);
        SendAll(r.dest(), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
        ReceiveExactly(r.app(), 39);
        SendAll(r.app(), c.second);
        EXPECT_EQ(ReceiveExactly(r.dest(), strlen(c.second)), c.second);
        r.inner.ClosePeer();
        r.outer.ClosePeer();
        EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
        EXPECT_EQ(r.Detections().size(), c.classifications) << c.second;
    }
}

// Counts what the relay asks and lets everything through.
class CCountingPolicy : public CFilterPolicy {
public:
    bool IsProtocolAllowed(const CConnectionFacts& facts) override {
        connectionChecks.push_back(facts.strServerName);
        return true;
    }
    HRESULT ClassifyRequest(const CConnectionFacts&, const CHTTPRequest&,
                            IFilterDecision* pDecision) override {
        ++requests;
        return pDecision->Continue();
    }
    std::vector<std::string> connectionChecks;  // the server names asked about, in turn
    std::atomic<int> requests{0};
};

// The connection check is made once for a connection: a later request on it for another
// URL is judged by itself, unless it names another server, which is checked first.
TEST_P(PassthruTest, AKeepAliveConnectionIsCheckedOnceForEachServerItNames) {
    auto policy = std::make_shared<CCountingPolicy>();
    CFilterPolicy::Install(policy);
    {
        CRelayed r(Splice());
        for (const char* request :
             {"GET /a HTTP/1.1\r\nHost: h\r\n\r\n", "GET /b HTTP/1.1\r\nHost: h\r\n\r\n",
              "GET /c HTTP/1.1\r\nHost: other\r\n\r\n", "GET /d HTTP/1.1\r\nHost: other\r\n\r\n"}) {
            SendAll(r.app(), request);
            EXPECT_EQ(ReceiveExactly(r.dest(), strlen(request)), request);
            SendAll(r.dest(), "HTTP/1.1 204 No Content\r\n\r\n");
            ReceiveExactly(r.app(), 27);
        }
        r.inner.ClosePeer();
        r.outer.ClosePeer();
        EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
    }
    CFilterPolicy::Install(nullptr);
    EXPECT_EQ(policy->requests, 4);
    EXPECT_EQ(policy->connectionChecks, (std::vector<std::string>{"h", "other"}));
}

TEST_P(PassthruTest, RequestHeadersInPiecesAreClassifiedOnceComplete) {
    CRelayed r(Splice());
    int one = 1;
    ::setsockopt(r.app(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const std::string pieces[] = {"GET /x HTTP/1.1\r\n", "Host: h\r\n", "Accept: */*\r\n", "\r\n"};
    std::string request;
    for (const std::string& piece : pieces) {
        ASSERT_EQ(::send(r.app(), piece.data(), piece.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(piece.size()));
        request += piece;
    }
    EXPECT_EQ(ReceiveExactly(r.dest(), request.size()), request);
    SendAll(r.dest(), "HTTP/1.1 204 No Content\r\n\r\n");
    ReceiveExactly(r.app(), 27);
    // The URL was remembered from the complete headers: the same request again passes.
    SendAll(r.app(), request);
    EXPECT_EQ(ReceiveExactly(r.dest(), request.size()), request);
    r.inner.ClosePeer();
    r.outer.ClosePeer();
    EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
    EXPECT_EQ(r.Detections().size(), 1u);
}

TEST_P(PassthruTest, AMalformedRequestClosesBothSidesAndIsNeverSent) {
    CRelayed r(Splice());
    // Two hosts that disagree: the request cannot be classified.
    SendAll(r.app(), "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n");
    // Both peers see the end of their stream; the held request is discarded.
    EXPECT_EQ(ReceiveAll(r.dest()), "");
    EXPECT_EQ(ReceiveAll(r.app()), "");
    // Whatever still arrives is dropped, and the relay goes once both peers close.
    SendAll(r.dest(), "late");
    r.inner.ClosePeer();
    r.outer.ClosePeer();
    EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
}

TEST_P(PassthruTest, PeersThatCloseWithoutSpeakingEndTheRelay) {
    for (bool appFirst : {true, false}) {
        CRelayed r(Splice());
        (appFirst ? r.inner : r.outer).ClosePeer();
        EXPECT_TRUE(PeerSeesClose(appFirst ? r.dest() : r.app()));
        (appFirst ? r.outer : r.inner).ClosePeer();
        EXPECT_TRUE(CPassthru::Instances().WaitForNone(kWaitMs));
    }
}

TEST_P(PassthruTest, ManyConcurrentRelays) {
    constexpr int kRelays = 64;
    constexpr std::size_t kBytes = 256 << 10;
    std::vector<std::unique_ptr<CRelayed>> relays;
    for (int i = 0; i < kRelays; ++i)
        relays.push_back(std::make_unique<CRelayed>(Splice()));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kRelays; ++i) {
        threads.emplace_back([&, i] {
            CRelayed& r = *relays[i];
            const std::string request = Pattern(kBytes, i);
            std::thread echo([&] {
                // The destination echoes everything back, then closes.
                const std::string got = ReceiveAll(r.dest(), kBytes);
                SendInPieces(r.dest(), got);
                ::shutdown(r.dest(), SHUT_WR);
            });
            SendInPieces(r.app(), request);
            const std::string back = ReceiveAll(r.app());
            echo.join();
            if (back == request)
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, kRelays);
    relays.clear();
}

}  // namespace
