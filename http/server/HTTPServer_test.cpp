// The local web server with stand-in entities over real loopback connections: the page
// name of a path, the language choice, error pages, the "Accept" check, the methods it
// answers, the order of answers on one connection, and a thousand connections at once.
#include "http/server/HTTPServer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "cfb/StorageTypes.h"
#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "http/HTTPConnection.h"
#include "http/HTTPTestSupport.h"
#include "objects/ObjectInterfaces2.h"

namespace {

using namespace httptest;
using sockettest::CLoopbackPair;

// An entity that writes a fixed text with a content type, or fails.
class CTestEntity final : public CComObjectRoot<CTestEntity, IHTTPEntity> {
public:
    CTestEntity(std::string text, std::string type, HRESULT hrGet = S_OK)
        : m_text(std::move(text)), m_type(std::move(type)), m_hrGet(hrGet) {}

    HRESULT Init(LCID, IApplication*, IPage*) override { return S_OK; }
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse* pResponse) override {
        if (FAILED(m_hrGet))
            return m_hrGet;
        // As a page entity does before its run: the output code page (UTF-8 here).
        HRESULT hrCodePage = pResponse->put_CodePage(65001);
        if (FAILED(hrCodePage))
            return hrCodePage;
        CComPtr<IResponse> ptrResponse;
        HRESULT hr = pResponse->QueryInterface(IResponse::iid,
                                               reinterpret_cast<void**>(ptrResponse.Receive()));
        if (FAILED(hr))
            return hr;
        hr = ptrResponse->put_ContentType(BSTR::FromUtf8(m_type));
        if (FAILED(hr))
            return hr;
        return ptrResponse->Write(CComVariant(BSTR::FromUtf8(m_text)));
    }

private:
    std::string m_text;
    std::string m_type;
    HRESULT m_hrGet;
};

class HTTPServerTest : public ::testing::Test {
protected:
    CLoopbackPair pair;
    CHTTPServer server;
    CClient client{pair.peer};
    // (LCID, page name) → (text, content type, status of Get)
    std::map<std::pair<LCID, std::u16string>, std::tuple<std::string, std::string, HRESULT>> pages;

    void SetUp() override {
        if (const char* log = std::getenv("HTTPSERVER_TEST_LOG")) {
            CDiagnosticLog::Instance().ResetForTest();
            CDiagnosticLog::Instance().SetPathSource(
                [log] { return std::optional<std::string>(log); });
        }
        server.Install();
        server.SetEntityLoader([this](LCID lcid, std::u16string_view name, IHTTPEntity** pp) {
            auto it = pages.find({lcid, std::u16string(name)});
            if (it == pages.end())
                return STG_E_FILENOTFOUND;
            auto& [text, type, hr] = it->second;
            *pp = MakeObject<CTestEntity>(text, type, hr).Detach();
            return S_OK;
        });
        pages[{0x409, u"/"}] = {"default page", "text/html", S_OK};
        pages[{0x409, u"a/b.asp"}] = {"english b", "text/html", S_OK};
        pages[{0x407, u"a/b.asp"}] = {"german b", "text/html", S_OK};
        pages[{0x409, u"x"}] = {"x page", "text/html", S_OK};
        pages[{0x409, u"my page.asp"}] = {"spaced", "text/html", S_OK};
        pages[{0x409, u"broken.asp"}] = {"", "text/html", E_ACCESSDENIED};
        pages[{0x409, u"picture"}] = {"png", "image/png", S_OK};
    }

    void Start() {
        auto* connection = new (std::nothrow) CHTTPConnection(nullptr, pair.handle, &server);
        ASSERT_NE(connection, nullptr);
        ASSERT_EQ(connection->Start(nullptr), S_OK);
        pair.handle.release();
    }

    Response Ask(const std::string& request, bool headOnly = false) {
        EXPECT_TRUE(client.Send(request));
        return client.Read(headOnly);
    }

    void TearDown() override {
        pair.ClosePeer();
        EXPECT_TRUE(CHTTPConnection::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
        // A response's last write hands its socket back to the server as it ends; the
        // server is this fixture's and must outlive that.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (server.BusySockets() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(server.BusySockets(), 0u);
    }
};

TEST(HTTPServerNames, PathsBecomePageNames) {
    const std::pair<const char*, const char16_t*> cases[] = {
        {"/", u"/"},
        {"/a/b.asp", u"a/b.asp"},
        {"//x", u"x"},
        {"/my%20page.asp", u"my page.asp"},
        {"/caf%C3%A9.asp", u"caf\u00e9.asp"},
        {"/50%", u"50%"},
        {"/%zz", u"%zz"},
    };
    for (auto [path, name] : cases) {
        std::u16string result;
        EXPECT_TRUE(CHTTPServer::EntityNameFromPath(path, &result)) << path;
        EXPECT_EQ(result, name) << path;
    }
}

TEST(HTTPServerErrors, InternalErrorPageCarriesTheSystemMessageAndCode) {
    std::string page = CHTTPServer::InternalErrorPage(E_ACCESSDENIED);
    EXPECT_NE(page.find("<title>500 Internal Server Error</title>"), std::string::npos);
    EXPECT_NE(page.find("<P>Access is denied.  Error code 0x5</P>"), std::string::npos) << page;
    page = CHTTPServer::InternalErrorPage(static_cast<HRESULT>(0x8123ABCD));
    EXPECT_NE(page.find("<P>Error code 0x8123abcd</P>"), std::string::npos) << page;
}

TEST_F(HTTPServerTest, PagesByPathAndLanguage) {
    Start();
    struct Case {
        const char* request;
        const char* status;
        const char* body;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP/1.1 200 OK", "default page"},
        {"GET /a/b.asp HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "english b"},
        {"GET //x HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "x page"},
        {"GET /my%20page.asp HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "spaced"},
        // German at q=0.5 and English without a quality: English first.
        {"GET /a/b.asp HTTP/1.1\r\nAccept-Language: de;q=0.5, en\r\n\r\n", "HTTP/1.1 200 OK",
         "english b"},
        {"GET /a/b.asp HTTP/1.1\r\nAccept-Language: de, en;q=0.5\r\n\r\n", "HTTP/1.1 200 OK",
         "german b"},
        // "*" anywhere means the session's language alone.
        {"GET /a/b.asp HTTP/1.1\r\nAccept-Language: de, *\r\n\r\n", "HTTP/1.1 200 OK", "english b"},
        {"GET /a/b.asp HTTP/1.1\r\nAccept: text/*\r\n\r\n", "HTTP/1.1 200 OK", "english b"},
        {"GET /a/b.asp HTTP/1.1\r\nAccept: */*\r\n\r\n", "HTTP/1.1 200 OK", "english b"},
    };
    for (const Case& c : cases) {
        Response r = Ask(c.request);
        ASSERT_TRUE(r.complete) << c.request;
        EXPECT_EQ(r.statusLine, c.status) << c.request;
        EXPECT_EQ(r.body, c.body) << c.request;
    }
}

TEST_F(HTTPServerTest, HeadCarriesTheHeadersButNoBody) {
    Start();
    Response r = Ask("HEAD /x HTTP/1.1\r\n\r\n", true);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.headers["Content-Length"], "6");
    EXPECT_EQ(r.body, "");
    // The connection goes on with the next request.
    r = Ask("GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.body, "x page");
}

TEST_F(HTTPServerTest, ErrorsWithoutAnErrorPage) {
    struct Case {
        const char* request;
        const char* status;
    } cases[] = {
        {"GET /missing.asp HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"PUT /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
        {"GET /a/b.asp HTTP/1.1\r\nAccept: image/png\r\n\r\n", "HTTP/1.1 406 Not Acceptable"},
    };
    for (const Case& c : cases) {
        CLoopbackPair connection;
        CClient other(connection.peer);
        auto* http = new (std::nothrow) CHTTPConnection(nullptr, connection.handle, &server);
        ASSERT_EQ(http->Start(nullptr), S_OK);
        connection.handle.release();
        ASSERT_TRUE(other.Send(c.request));
        Response r = other.Read();
        ASSERT_TRUE(r.complete) << c.request;
        EXPECT_EQ(r.statusLine, c.status) << c.request;
        EXPECT_EQ(r.body, "") << c.request;
        EXPECT_EQ(r.headers["Connection"], "close") << c.request;
    }
}

TEST_F(HTTPServerTest, TheSitesErrorPageAnswersInsteadWithItsOwnStatus) {
    pages[{0x409, u"404_error.html"}] = {"sorry, not here", "text/html", S_OK};
    Start();
    Response r = Ask("GET /missing.asp HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, "sorry, not here");
}

TEST_F(HTTPServerTest, AFailingPageGivesTheInternalErrorPage) {
    Start();
    Response r = Ask("GET /broken.asp HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.headers["Content-Type"], "text/html");
    EXPECT_NE(r.body.find("Access is denied.  Error code 0x5"), std::string::npos) << r.body;
}

TEST_F(HTTPServerTest, PipelinedRequestsAreAnsweredInOrder) {
    Start();
    ASSERT_TRUE(
        client.Send("GET /x HTTP/1.1\r\n\r\nGET /missing HTTP/1.1\r\n\r\n"
                    "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.Read().body, "x page");
    // The 404 closes the connection after it: nothing more is answered.
    Response r = client.Read();
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_FALSE(client.Read().complete);
}

// A thousand keep-alive connections open at once, each with its request in flight
// together with all the others, a few rounds: every request is answered in full and in
// order, and once the clients close, every connection of the server is gone.
TEST_F(HTTPServerTest, AThousandConnectionsAtOnceAreAllAnsweredAndAllEnd) {
    constexpr int kConnections = 1000;
    constexpr int kRounds = 3;
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2 * kConnections + 200)
        GTEST_SKIP() << "at most " << limit.rlim_max << " open files allowed";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 2 * kConnections + 200);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 2 * kConnections), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    // The clients connect first (the backlog holds them), then each accepted socket
    // becomes a connection of the server, as the socket server hands them over.
    std::vector<int> fds;
    std::vector<std::unique_ptr<CClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << i;
        clients.push_back(std::make_unique<CClient>(fd));
    }
    for (int i = 0; i < kConnections; ++i) {
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(accepted, 0) << i;
        CSocketHandle sock;
        ASSERT_EQ(sock.Attach(accepted), S_OK);
        auto* connection = new (std::nothrow) CHTTPConnection(nullptr, sock, &server);
        ASSERT_NE(connection, nullptr);
        ASSERT_EQ(connection->Start(nullptr), S_OK);
        sock.release();
    }
    ::close(listener);
    EXPECT_EQ(CHTTPConnection::Instances().Count(), kConnections);

    int answered = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (auto& client : clients)
            ASSERT_TRUE(
                client->Send("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                             "GET /a/b.asp HTTP/1.1\r\n\r\n"));
        for (auto& client : clients) {
            const Response first = client->Read(), second = client->Read();
            answered +=
                first.complete && first.statusLine == "HTTP/1.1 200 OK" && first.body == "x page";
            answered += second.complete && second.body == "english b";
        }
    }
    EXPECT_EQ(answered, 2 * kRounds * kConnections);

    for (int fd : fds)
        ::close(fd);
    EXPECT_TRUE(CHTTPConnection::Instances().WaitForNone(kWaitMs));
    EXPECT_EQ(CHTTPConnection::Instances().Count(), 0);
}

}  // namespace
