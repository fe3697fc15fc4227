// The HTTP response: the status table, header spellings, the bytes on the wire for a
// small body, keep-alive and close, HEAD, a body larger than the send buffer, and the
// failures that must still release the socket.
#include "http/HTTPResponse.h"

#include <gtest/gtest.h>

#include "async/AsyncWrite.h"
#include "http/HTTPTestSupport.h"

namespace {

using namespace httptest;
using sockettest::CLoopbackPair;
using sockettest::Pattern;

// A response for tests: reports to `owner`, which has the socket marked busy for it.
CComPtr<CHTTPResponse> NewResponse(CFakeServer& owner, const CSocketHandle& sock) {
    owner.BlockSocket(sock);
    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
    response->SetSocketOwner(&owner);
    return response;
}

struct StatusCase {
    UINT code;
    const char* text;
};

class ResponseStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ResponseStatus, TextComesFromTheProtocolsTable) {
    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
    response->SetStatus(GetParam().code);
    EXPECT_EQ(response->GetStatus(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ResponseStatus,
    ::testing::Values(
        StatusCase{100, "100 Continue"}, StatusCase{200, "200 OK"},
        StatusCase{203, "203 Non-Authoritative Information"}, StatusCase{302, "302 Found"},
        StatusCase{307, "307 Temporary Redirect"}, StatusCase{404, "404 Not Found"},
        StatusCase{408, "408 Request Time-out"}, StatusCase{414, "414 Request-URI Too Large"},
        StatusCase{416, "416 Requested range not satisfiable"},
        StatusCase{417, "417 Expectation Failed"}, StatusCase{500, "500 Internal Server Error"},
        StatusCase{504, "504 Gateway Time-out"}, StatusCase{505, "505 HTTP Version not supported"},
        StatusCase{299, "299 User specified status code"},
        StatusCase{306, "306 User specified status code"},
        StatusCase{0, "0 User specified status code"}));

TEST(ResponseHeaders, KeepTheFirstSpellingAndTheLastValue) {
    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
    EXPECT_EQ(response->PutHeader("Content-Type", "text/plain"), S_OK);
    EXPECT_EQ(response->PutHeader("X-Extra", "1"), S_OK);
    EXPECT_EQ(response->PutHeader("content-type", "text/html"), S_OK);
    EXPECT_EQ(response->GetHeader("CONTENT-TYPE"), "text/html");
    EXPECT_EQ(response->GetHeader("Missing"), "");
    ASSERT_EQ(response->Headers().size(), 2u);
    EXPECT_EQ(response->Headers()[0].first, "Content-Type");
    response->ClearHeaders();
    EXPECT_EQ(response->GetHeader("Content-Type"), "");
    EXPECT_TRUE(response->Headers().empty());
}

TEST(ResponseHeaders, NamesDifferingBeyondCaseStaySeparateAndARemovalKeepsTheOrder) {
    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
    EXPECT_EQ(response->PutHeader("X-A", "1"), S_OK);
    EXPECT_EQ(response->PutHeader("X-Ab", "2"), S_OK);
    CComPtr<IStream> body(MakeObject<CTestStream>("12345"));
    EXPECT_EQ(response->SetEntityStream(body.Get()), S_OK);
    EXPECT_EQ(response->PutHeader("x-b", "3"), S_OK);
    EXPECT_EQ(response->GetHeader("CONTENT-LENGTH"), "5");
    EXPECT_EQ(response->GetHeader("x-a"), "1");
    // Taking the body away removes its length from the middle of the list.
    EXPECT_EQ(response->SetEntityStream(nullptr), S_OK);
    std::vector<std::string> names;
    for (const auto& [name, value] : response->Headers())
        names.push_back(name + "=" + value);
    EXPECT_EQ(names, (std::vector<std::string>{"X-A=1", "X-Ab=2", "x-b=3"}));
}

TEST(ResponseHeaders, RefuseTextThatWouldSplitTheResponse) {
    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
    EXPECT_EQ(response->PutHeader("X-A", "1\r\nSet-Cookie: x=1"), E_INVALIDARG);
    EXPECT_EQ(response->PutHeader("X A", "1"), E_INVALIDARG);
    EXPECT_EQ(response->PutHeader("", "1"), E_INVALIDARG);
    EXPECT_EQ(response->PutHeader("X:A", "1"), E_INVALIDARG);
    EXPECT_EQ(response->SetStatus("200 OK\r\nX: y"), E_INVALIDARG);
    EXPECT_TRUE(response->Headers().empty());
    EXPECT_EQ(response->GetStatus(), "200 OK");
}

TEST(ResponseHeaders, DateAndServerHaveTheirFixedForms) {
    EXPECT_EQ(CHTTPResponse::FormatDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(CHTTPResponse::FormatDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(CHTTPResponse::ServerName(), "Corvane/2.0.0.1");
}

class ResponseSend : public ::testing::Test {
protected:
    CLoopbackPair pair;
    CFakeServer owner;
    CClient client{pair.peer};

    void TearDown() override { EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs)); }
};

TEST_F(ResponseSend, SmallBodyGoesOutWholeThenTheSendingSideShutsWhenAsked) {
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    ASSERT_EQ(response->SetEntityStream(MakeStream("abc")), S_OK);
    EXPECT_EQ(response->GetHeader("Content-Length"), "3");
    ASSERT_EQ(response->Send(pair.handle, true), S_OK);
    response = nullptr;  // the writes keep it alive
    const std::string wire = sockettest::ReceiveAll(pair.peer);
    ASSERT_TRUE(owner.WaitForReleases(1));

    ASSERT_EQ(wire.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << wire;
    EXPECT_NE(wire.find("\r\nContent-Length: 3\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nServer: Corvane/2.0.0.1\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\nDate: "), std::string::npos);
    EXPECT_EQ(wire.substr(wire.size() - 7), "\r\n\r\nabc");
}

TEST_F(ResponseSend, KeepAliveLeavesTheConnectionOpenForTheNextResponse) {
    // One without a body, one HEAD, one with a body: a keep-alive client must find
    // where each ends.
    CComPtr<CHTTPResponse> empty = NewResponse(owner, pair.handle);
    empty->SetStatus(404);
    ASSERT_EQ(empty->Send(pair.handle, false), S_OK);
    Response r = client.Read();
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(r.headers["Content-Length"], "0");
    EXPECT_EQ(r.headers.count("Connection"), 0u);
    ASSERT_TRUE(owner.WaitForReleases(1));

    CComPtr<CHTTPResponse> head = NewResponse(owner, pair.handle);
    head->SetHeadRequest(true);
    ASSERT_EQ(head->SetEntityStream(MakeStream("hello")), S_OK);
    ASSERT_EQ(head->Send(pair.handle, false), S_OK);
    r = client.Read(true);
    EXPECT_EQ(r.headers["Content-Length"], "5");
    ASSERT_TRUE(owner.WaitForReleases(2));

    CComPtr<CHTTPResponse> full = NewResponse(owner, pair.handle);
    ASSERT_EQ(full->SetEntityStream(MakeStream("world")), S_OK);
    full->ClearHeaders();  // the length is sent all the same
    ASSERT_EQ(full->Send(pair.handle, false), S_OK);
    r = client.Read();
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.body, "world");  // not "hello": the HEAD answer carried no body
    ASSERT_TRUE(owner.WaitForReleases(3));
}

TEST_F(ResponseSend, WithoutBodyAndClosingCarriesNoLength) {
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    response->SetStatus(404);
    ASSERT_EQ(response->Send(pair.handle, true), S_OK);
    Response r = client.Read();
    EXPECT_EQ(r.headers.count("Content-Length"), 0u);
    EXPECT_EQ(r.body, "");
    ASSERT_TRUE(owner.WaitForReleases(1));
}

TEST_F(ResponseSend, NoContentStatusSendsNoBody) {
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    response->SetStatus(204);
    ASSERT_EQ(response->SetEntityStream(MakeStream("ignored")), S_OK);
    ASSERT_EQ(response->Send(pair.handle, true), S_OK);
    const std::string wire = sockettest::ReceiveAll(pair.peer);
    EXPECT_EQ(wire.find("Content-Length"), std::string::npos);
    EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");
    ASSERT_TRUE(owner.WaitForReleases(1));
}

TEST_F(ResponseSend, BodyLargerThanTheSendBufferArrivesIntactInPieces) {
    ASSERT_EQ(pair.handle.SetSendBufferSize(4096), S_OK);
    const std::string body = Pattern(3u << 20);
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    ASSERT_EQ(response->SetEntityStream(MakeStream(body)), S_OK);
    ASSERT_EQ(response->Send(pair.handle, false), S_OK);
    response = nullptr;
    Response r = client.Read();
    ASSERT_TRUE(r.complete);
    EXPECT_TRUE(r.body == body) << r.body.size();
    ASSERT_TRUE(owner.WaitForReleases(1));
}

// Failures after the first piece: the client cannot tell where the response ends, so
// the connection is shut down, and the socket is released all the same.
struct FailureCase {
    const char* name;
    ULONGLONG failAt;       // the stream fails from here
    ULONGLONG claimedSize;  // the stream claims this size
};

class ResponseBodyFailure : public ResponseSend,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ResponseBodyFailure, ShutsTheConnectionAndReleasesTheSocket) {
    ASSERT_EQ(pair.handle.SetSendBufferSize(4096), S_OK);
    const std::string body = Pattern(1u << 20);
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    ASSERT_EQ(
        response->SetEntityStream(MakeStream(body, GetParam().failAt, GetParam().claimedSize)),
        S_OK);
    ASSERT_EQ(response->Send(pair.handle, false), S_OK);
    response = nullptr;
    Response r = client.Read();
    EXPECT_FALSE(r.complete);
    EXPECT_FALSE(r.statusLine.empty());
    ASSERT_TRUE(owner.WaitForReleases(1));
    EXPECT_EQ(owner.Releases(), 1);
}

INSTANTIATE_TEST_SUITE_P(Bodies, ResponseBodyFailure,
                         ::testing::Values(FailureCase{"ReadFails", 300000, ~0ull},
                                           FailureCase{"StreamShorterThanItSays", ~0ull,
                                                       (2u << 20)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResponseSend, WriteErrorMidBodyReleasesTheSocket) {
    ASSERT_EQ(pair.handle.SetSendBufferSize(4096), S_OK);
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    ASSERT_EQ(response->SetEntityStream(MakeStream(Pattern(8u << 20))), S_OK);
    ASSERT_EQ(response->Send(pair.handle, false), S_OK);
    response = nullptr;
    char first[1024];
    ASSERT_GT(::recv(pair.peer, first, sizeof(first), 0), 0);
    pair.ResetPeer();
    ASSERT_TRUE(owner.WaitForReleases(1));
    EXPECT_EQ(owner.Releases(), 1);
}

TEST_F(ResponseSend, FailedSendStartsNothingAndReleasesNothing) {
    CComPtr<CHTTPResponse> response = NewResponse(owner, pair.handle);
    EXPECT_EQ(response->Send(CSocketHandle(), false), HRESULT_FROM_WIN32(WSAENOTSOCK));
    ASSERT_EQ(response->Send(pair.handle, true), S_OK);
    EXPECT_EQ(response->Send(pair.handle, true), E_UNEXPECTED);  // sends once
    client.Read();
    ASSERT_TRUE(owner.WaitForReleases(1));
    EXPECT_EQ(owner.Releases(), 1);
}

}  // namespace
