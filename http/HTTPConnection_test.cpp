// The connection to the local web server over real loopback sockets, with a stand-in
// server: keep-alive, pipelining, requests that trickle in, POST bodies, the idle
// time-out, bad and cut-off requests, and a client that goes away mid-response.
#include "http/HTTPConnection.h"

#include <gtest/gtest.h>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "http/HTTPTestSupport.h"

namespace {

using namespace httptest;
using sockettest::CLoopbackPair;
using sockettest::Pattern;

class Connection : public ::testing::Test {
protected:
    CLoopbackPair pair;
    CFakeServer server;
    CClient client{pair.peer};

    void SetUp() override {
        server.fill = [](const CHTTPRequest& request, CHTTPResponse& response) {
            std::string body =
                request.GetMethodText() + " " + request.GetPath() + " [" + request.GetBody() + "]";
            if (request.GetPath() == "/big")
                body = Pattern(4u << 20);
            response.SetEntityStream(MakeStream(body));
        };
    }

    // Hands the accepted socket to a new connection; `first` holds bytes already read.
    void Start(DWORD idleTimeoutMs = kWaitMs, const std::string& first = "") {
        CBuffer* buffer = nullptr;
        if (!first.empty()) {
            buffer = new CBuffer;
            ASSERT_EQ(buffer->append(first.data(), static_cast<long>(first.size())), 0);
        }
        auto* connection = new (std::nothrow) CHTTPConnection(nullptr, pair.handle, &server);
        ASSERT_NE(connection, nullptr);
        connection->SetIdleTimeout(idleTimeoutMs);
        ASSERT_EQ(connection->Start(buffer), S_OK);
        pair.handle.release();  // the connection's copy is the only one now
    }

    void TearDown() override {
        pair.ClosePeer();
        EXPECT_TRUE(CHTTPConnection::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
    }
};

TEST_F(Connection, KeepAliveAnswersSeveralRequestsOnOneConnection) {
    Start();
    const std::string requests[] = {
        "GET /one HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "POST /two HTTP/1.1\r\nHost: localhost\r\nContent-Length: 11\r\n\r\nhello world",
        "GET /three?x=1 HTTP/1.0\r\n\r\n",
    };
    const std::string bodies[] = {"GET /one []", "POST /two [hello world]", "GET /three []"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.Send(requests[i]));
        const Response r = client.Read();
        ASSERT_TRUE(r.complete) << i;
        EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(r.body, bodies[i]);
    }
    ASSERT_TRUE(server.WaitForReleases(3));
}

TEST_F(Connection, PipelinedRequestsInOneSegmentAreAnsweredInOrder) {
    Start();
    // The first answer is large, so it is still being written when the next requests
    // have been read.
    ASSERT_TRUE(
        client.Send("GET /big HTTP/1.1\r\n\r\n"
                    "POST /two HTTP/1.1\r\nContent-Length: 2\r\n\r\nxy"
                    "HEAD /three HTTP/1.1\r\n\r\n"
                    "GET /four HTTP/1.1\r\n\r\n"));
    Response r = client.Read();
    EXPECT_TRUE(r.body == Pattern(4u << 20)) << r.body.size();
    EXPECT_EQ(client.Read().body, "POST /two [xy]");
    r = client.Read(true);
    EXPECT_EQ(r.headers["Content-Length"], std::to_string(std::string("HEAD /three []").size()));
    EXPECT_EQ(client.Read().body, "GET /four []");
    ASSERT_TRUE(server.WaitForReleases(4));
    EXPECT_EQ(server.SeenRequests().size(), 4u);
}

struct CloseCase {
    const char* name;
    const char* headers;  // version and Connection header of both requests
    int answered;         // how many of the two are answered
};

class ConnectionClose : public Connection, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ConnectionClose, EndsAfterARequestThatAsksForIt) {
    Start();
    const std::string request = std::string(" HTTP/") + GetParam().headers + "\r\n\r\n";
    ASSERT_TRUE(client.Send("GET /a" + request + "GET /b" + request));
    EXPECT_EQ(client.Read().body, "GET /a []");
    if (GetParam().answered == 2)
        EXPECT_EQ(client.Read().body, "GET /b []");
    else
        EXPECT_TRUE(client.SeesClose());
    ASSERT_TRUE(server.WaitForReleases(GetParam().answered));
    EXPECT_EQ(server.SeenRequests().size(), static_cast<std::size_t>(GetParam().answered));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ConnectionClose,
    ::testing::Values(CloseCase{"Http10", "1.0", 1},
                      CloseCase{"Http10KeepAlive", "1.0\r\nConnection: Keep-Alive", 2},
                      CloseCase{"Http11Close", "1.1\r\nConnection: TE, close", 1},
                      CloseCase{"Http11", "1.1", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Connection, RequestSentOneByteAtATimeIsAnsweredOnce) {
    Start();
    const std::string request =
        "POST /slow HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\n\r\nhello";
    for (char c : request)
        ASSERT_EQ(::send(pair.peer, &c, 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(client.Read().body, "POST /slow [hello]");
    ASSERT_TRUE(server.WaitForReleases(1));
    EXPECT_EQ(server.SeenRequests().size(), 1u);
}

TEST_F(Connection, BytesReadBeforeTheConnectionStartedComeFirst) {
    Start(kWaitMs, "POST /early HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    ASSERT_TRUE(client.Send("cd"));
    EXPECT_EQ(client.Read().body, "POST /early [abcd]");
}

TEST_F(Connection, EmptyLinesBetweenRequestsAreIgnored) {
    Start();
    ASSERT_TRUE(
        client.Send("POST /p HTTP/1.1\r\nContent-Length: 2\r\n\r\nab\r\n"
                    "GET /q HTTP/1.1\r\n\r\n\r\n"));
    EXPECT_EQ(client.Read().body, "POST /p [ab]");
    EXPECT_EQ(client.Read().body, "GET /q []");
    ::shutdown(pair.peer, SHUT_WR);
    EXPECT_TRUE(client.SeesClose());  // the trailing empty line is no bad request
    EXPECT_EQ(server.SeenRequests().size(), 2u);
}

TEST_F(Connection, ClientThatSendsNothingIsClosedAtTheIdleTimeOut) {
    Start(200);
    EXPECT_TRUE(client.SeesClose());
    EXPECT_TRUE(server.SeenRequests().empty());
}

TEST_F(Connection, UnfinishedRequestIsClosedAtTheIdleTimeOutWithoutAnAnswer) {
    Start(200);
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: local"));
    EXPECT_TRUE(client.SeesClose());
    EXPECT_TRUE(server.SeenRequests().empty());
}

TEST_F(Connection, IdleTimeOutCountsFromTheLastAnswer) {
    Start(300);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.Send("GET /again HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(client.Read().body, "GET /again []");
    }
    EXPECT_TRUE(client.SeesClose());
}

struct BadRequestCase {
    const char* name;
    std::string bytes;
    const char* statusLine;
};

class ConnectionBadRequest : public Connection,
                             public ::testing::WithParamInterface<BadRequestCase> {};

// The error answer closes the connection, and nothing after the bad request is read.
TEST_P(ConnectionBadRequest, IsAnsweredWithItsStatusAndClosed) {
    Start();
    ASSERT_TRUE(client.Send(GetParam().bytes));
    Response r = client.Read();
    EXPECT_EQ(r.statusLine, GetParam().statusLine);
    EXPECT_EQ(r.headers["Connection"], "close");
    EXPECT_TRUE(client.SeesClose());
    ASSERT_EQ(server.SeenRequests().size(), 1u);
    EXPECT_NE(server.SeenRequests()[0].errorStatus, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ConnectionBadRequest,
    ::testing::Values(
        BadRequestCase{"NotHTTP", "hello there\r\n\r\nGET / HTTP/1.1\r\n\r\n",
                       "HTTP/1.1 400 Bad Request"},
        BadRequestCase{"ChunkedBody",
                       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                       "HTTP/1.1 501 Not Implemented"},
        BadRequestCase{"LengthNotANumber", "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n",
                       "HTTP/1.1 413 Request Entity Too Large"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Connection, EndOfStreamInsideARequestIsABadRequest) {
    Start();
    ASSERT_TRUE(client.Send("POST /cut HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"));
    ::shutdown(pair.peer, SHUT_WR);
    EXPECT_EQ(client.Read().statusLine, "HTTP/1.1 400 Bad Request");
    EXPECT_TRUE(client.SeesClose());
}

TEST_F(Connection, ClientThatClosesItsSendingSideStillGetsItsAnswers) {
    Start();
    ASSERT_TRUE(client.Send("GET /big HTTP/1.1\r\n\r\nGET /last HTTP/1.1\r\n\r\n"));
    ::shutdown(pair.peer, SHUT_WR);
    EXPECT_EQ(client.Read().body.size(), 4u << 20);
    EXPECT_EQ(client.Read().body, "GET /last []");
    EXPECT_TRUE(client.SeesClose());
}

TEST_F(Connection, ClientGoneMidResponseFreesTheSocketForTheNextRequest) {
    ASSERT_EQ(pair.handle.SetSendBufferSize(4096), S_OK);
    Start();
    // The second request waits for the socket until the first answer has failed; it
    // must not wait for ever.
    ASSERT_TRUE(client.Send("GET /big HTTP/1.1\r\n\r\nGET /next HTTP/1.1\r\n\r\n"));
    char first[1024];
    ASSERT_GT(::recv(pair.peer, first, sizeof(first), 0), 0);
    pair.ResetPeer();
    ASSERT_TRUE(server.WaitForReleases(2));
    EXPECT_TRUE(CHTTPConnection::Instances().WaitForNone(kWaitMs));
}

}  // namespace
