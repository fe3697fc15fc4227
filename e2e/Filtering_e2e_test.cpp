// Filtering end to end: the real service with a policy site of the test's own, programs
// started with corvane-run, and test servers on 127.0.0.2 that the programs reach under
// test host names (curl --resolve, Chromium's resolver rules). The site's global.asa lets
// one host through, sends another to a block page, aborts a third, refuses a TLS host by
// its server name and fails with a script error on a fourth; the test servers tell which
// requests reached them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/ServiceUnderTest.h"
#include "e2e/TestServer.h"

namespace fs = std::filesystem;

namespace {

using e2e::CTestServer;
using e2e::Executable;

constexpr const char* kGlobalAsa = R"(<script language=vbscript runat=server>
' Connections: refused by the TLS server name they ask for.
Function Filtering_IsProtocolAllowed(nProtocol, strHost)
    Filtering_IsProtocolAllowed = (Connection.ServerName <> "blocked-tls.test")
End Function

' Requests: judged by the Host header's name; every URL judged is noted.
Sub Filtering_IsHTTPAllowed(objRequest, strURL)
    Application.Lock
    Application("judged") = Application("judged") & strURL & " "
    Application.UnLock
    Select Case Connection.ServerName
        Case "blocked.test"
            Filter.HTTPTransfer "block.asp?host=" & Server.URLEncode(Connection.ServerName)
            Application("after") = "ran"
        Case "aborted.test"
            Filter.Abort
        Case "broken.test"
            Dim x
            x = 1 / 0
        Case Else
            Filter.Continue
    End Select
End Sub
</script>
)";

constexpr const char* kBlockPage =
    "<html><body><h1>Blocked by the test policy</h1>"
    "<p>Host: <%= Server.HTMLEncode(Request.QueryString(\"host\")) %></p></body></html>";

constexpr const char* kJudgedPage =
    "judged=<%= Application(\"judged\") %>|after=<%= Application(\"after\") %>";

class FilteringEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = fs::temp_directory_path() / ("cv-filter-" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        fs::create_directories(s_dir);
        e2e::MakeSelfSignedCertificate(s_dir);
        s_http = new CTestServer();
        s_https = new CTestServer({(s_dir / "cert.pem").string(), (s_dir / "key.pem").string()});
    }
    static void TearDownTestSuite() {
        delete s_http;
        delete s_https;
        s_http = s_https = nullptr;
        fs::remove_all(s_dir);
    }

    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_curl = Executable("/usr/bin/curl");
        if (m_curl.empty())
            GTEST_SKIP() << "curl is not installed";
        ASSERT_NE(s_http->Port(), 0);
        ASSERT_NE(s_https->Port(), 0);
        m_dir = s_dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(m_dir);
        fs::permissions(s_dir, fs::perms::all);
        fs::permissions(m_dir, fs::perms::all);
        ASSERT_TRUE(e2e::CompilePolicySite(m_dir, {{"Common/global.asa", kGlobalAsa},
                                                   {"Common/block.asp", kBlockPage},
                                                   {"Common/judged.asp", kJudgedPage}}));
        ASSERT_TRUE(m_service.Start(m_dir, {"/usr/bin/curl", "/usr/lib/chromium/chromium"},
                                    {{"CORVANE_SITES", m_dir.string()}}));
        m_port = m_service.LocalPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override {
        m_service.Stop();
    }

    // curl under corvane-run with the test host names resolved to the test servers.
    int Curl(std::vector<std::string> args, std::string* out = nullptr,
             bool failureExpected = false) {
        std::vector<std::string> command{m_curl, "-s", "--max-time", "20"};
        for (const char* host :
             {"allowed.test", "blocked.test", "aborted.test", "broken.test", "keepalive.test"})
            command.insert(command.end(),
                           {"--resolve", std::string(host) + ":" + std::to_string(s_http->Port()) +
                                             ":127.0.0.2"});
        for (const char* host : {"allowed-tls.test", "blocked-tls.test"})
            command.insert(command.end(),
                           {"--resolve", std::string(host) + ":" + std::to_string(s_https->Port()) +
                                             ":127.0.0.2"});
        command.insert(command.end(), args.begin(), args.end());
        return m_service.Diverted(command, out, std::chrono::seconds(60), failureExpected);
    }
    std::string Http(const std::string& host, const std::string& path) const {
        return "http://" + host + ":" + std::to_string(s_http->Port()) + path;
    }
    std::string Https(const std::string& host, const std::string& path) const {
        return "https://" + host + ":" + std::to_string(s_https->Port()) + path;
    }
    std::string LocalPage(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    static fs::path s_dir;
    static CTestServer* s_http;
    static CTestServer* s_https;
    fs::path m_dir;
    std::string m_curl;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

fs::path FilteringEndToEnd::s_dir;
CTestServer* FilteringEndToEnd::s_http = nullptr;
CTestServer* FilteringEndToEnd::s_https = nullptr;

TEST_F(FilteringEndToEnd, AllowedHostsPassAndABlockedHostGetsTheLocalBlockPage) {
    std::string page;
    ASSERT_EQ(0, Curl({"-f", Http("allowed.test", "/page.html")}, &page));
    EXPECT_NE(std::string::npos, page.find("<h1>Through the relay</h1>")) << page;
    EXPECT_TRUE(
        s_http->Printed("GOT allowed.test:" + std::to_string(s_http->Port()) + " /page.html",
                        std::chrono::seconds(5)));

    // The redirect itself: to the local pages at the private port; then the end.
    std::string answer;
    EXPECT_EQ(0, Curl({"-i", Http("blocked.test", "/page.html?x=1")}, &answer));
    EXPECT_EQ(0u, answer.find("HTTP/1.1 302 Found\r\n")) << answer;
    EXPECT_NE(std::string::npos,
              answer.find("Location: http://localhost:" + std::to_string(m_port) +
                          "/block.asp?host=blocked.test\r\n"))
        << answer;
    // A browser that follows it sees the block page of the site.
    std::string followed;
    ASSERT_EQ(0, Curl({"-fL", Http("blocked.test", "/page.html")}, &followed));
    EXPECT_NE(std::string::npos, followed.find("<p>Host: blocked.test</p>")) << followed;

    // Aborted: the application sees the end of the stream, nothing else.
    EXPECT_EQ(52, Curl({Http("aborted.test", "/page.html")}, nullptr, true));

    // Statements after a Filter method did not run; the three hosts were judged.
    std::string judged;
    ASSERT_EQ(0, Curl({"-f", LocalPage("/judged.asp")}, &judged));
    EXPECT_NE(std::string::npos, judged.find("|after=")) << judged;
    EXPECT_EQ(std::string::npos, judged.find("after=ran")) << judged;
    EXPECT_NE(std::string::npos, judged.find("http://aborted.test:")) << judged;
    // Nothing of the blocked or aborted requests reached the test server.
    EXPECT_FALSE(s_http->Printed("GOT blocked.test", std::chrono::seconds(1)));
    EXPECT_FALSE(s_http->Printed("GOT aborted.test", std::chrono::seconds(1)));
}

TEST_F(FilteringEndToEnd, TlsConnectionsAreJudgedByTheServerNameTheyAskFor) {
    std::string page;
    ASSERT_EQ(0, Curl({"-fk", Https("allowed-tls.test", "/page.html")}, &page));
    EXPECT_NE(std::string::npos, page.find("<h1>Through the relay</h1>")) << page;
    // Refused: the handshake never completes (curl: 35, SSL connect error).
    EXPECT_NE(0, Curl({"-fk", Https("blocked-tls.test", "/page.html")}, nullptr, true));
    EXPECT_FALSE(s_https->Printed("GOT blocked-tls.test", std::chrono::seconds(1)));
}

TEST_F(FilteringEndToEnd, ALaterRequestForAnotherUrlOnAKeepAliveConnectionIsJudgedAgain) {
    std::string out;
    ASSERT_EQ(0, Curl({"-f", Http("keepalive.test", "/app.js"), "-o", "/dev/null",
                       Http("keepalive.test", "/style.css"), "-w", "%{num_connects}"},
                      &out));
    // One connection for both requests.
    EXPECT_EQ("0", out.substr(out.size() - 1)) << out;
    std::string judged;
    ASSERT_EQ(0, Curl({"-f", LocalPage("/judged.asp")}, &judged));
    EXPECT_NE(std::string::npos, judged.find("/app.js ")) << judged;
    EXPECT_NE(std::string::npos, judged.find("/style.css ")) << judged;
}

TEST_F(FilteringEndToEnd, AScriptErrorLeavesTheRequestHeldAndIsReportedWithItsPosition) {
    // Nothing decides: the request stays held until curl gives up.
    EXPECT_EQ(28, Curl({"--max-time", "3", Http("broken.test", "/page.html")}, nullptr, true));
    EXPECT_FALSE(s_http->Printed("GOT broken.test", std::chrono::seconds(1)));
    const std::string log = m_service.Log();
    EXPECT_NE(std::string::npos, log.find("Division by zero at line 20, character 13 of file "
                                          "global.asa."))
        << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
}

TEST_F(FilteringEndToEnd, HeadlessChromiumShowsTheBlockPage) {
    const std::string chromium = Executable("/usr/lib/chromium/chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed";
    const fs::path shot = m_dir / "blocked.png";
    std::vector<std::string> common{chromium,
                                    "--headless",
                                    "--no-sandbox",
                                    "--disable-gpu",
                                    "--no-first-run",
                                    "--disable-background-networking",
                                    "--host-resolver-rules=MAP *.test 127.0.0.2",
                                    "--user-data-dir=" + (m_dir / "profile").string()};
    std::string dom;
    auto dumpDom = common;
    dumpDom.insert(dumpDom.end(), {"--dump-dom", Http("blocked.test", "/page.html")});
    ASSERT_EQ(0, m_service.Diverted(dumpDom, &dom, std::chrono::seconds(60)));
    EXPECT_NE(std::string::npos, dom.find("Blocked by the test policy")) << dom;
    EXPECT_NE(std::string::npos, dom.find("Host: blocked.test")) << dom;
    auto screenshot = common;
    screenshot.insert(screenshot.end(), {"--window-size=800,400", "--screenshot=" + shot.string(),
                                         Http("blocked.test", "/page.html")});
    ASSERT_EQ(0, m_service.Diverted(screenshot, nullptr, std::chrono::seconds(60)));
    EXPECT_TRUE(fs::exists(shot));
    // Kept for a person to look at when asked to.
    if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"))
        fs::copy_file(shot, fs::path(keep) / "blocked.png", fs::copy_options::overwrite_existing);
    EXPECT_FALSE(s_http->Printed("GOT blocked.test", std::chrono::seconds(1)));
}

}  // namespace
