// The pages of a site end to end: the real service serving a policy site of the test's
// own to curl under corvane-run: the query string and a posted form echoed back, the
// site's own page for a missing one, the internal-error page for a page that does not
// compile, and a script error written where the page's output stopped.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "e2e/ServiceUnderTest.h"

namespace fs = std::filesystem;

namespace {

using e2e::Executable;

class SitePagesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_curl = Executable("/usr/bin/curl");
        if (m_curl.empty())
            GTEST_SKIP() << "curl is not installed";
        m_dir = fs::temp_directory_path() / ("cv-sitepages-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        fs::permissions(m_dir, fs::perms::all);
        ASSERT_TRUE(e2e::CompilePolicySite(
            m_dir, {{"Common/global.asa",
                     "<script language=vbscript runat=server>\n"
                     "Function Filtering_IsProtocolAllowed(nProtocol, strHost)\n"
                     "    Filtering_IsProtocolAllowed = True\n"
                     "End Function\n"
                     "</script>"},
                    {"Common/echo.asp",
                     "<%@ CODEPAGE=65001 %>q=<%= Server.HTMLEncode(Request.QueryString(\"q\")) %>;"
                     "<% If Not Request.Form Is Nothing Then %>"
                     "f=<%= Server.HTMLEncode(Request.Form(\"f\")) %><% End If %>"},
                    {"Common/404_error.asp", "<% Response.Status = \"404 Not Found\" %>Not here."},
                    {"Common/broken.asp", "before<% If %>after"},
                    {"Common/runtime.asp", "before\r\n<% x = 1 / 0 %>after"}}));
        ASSERT_TRUE(m_service.Start(m_dir, {"/usr/bin/curl"}, {{"CORVANE_SITES", m_dir.string()}}));
        m_port = m_service.LocalPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override {
        m_service.Stop();
        if (!std::getenv("CORVANE_KEEP_TEST_DIRS"))
            fs::remove_all(m_dir);
    }

    // The status line's code, then the body, of a page fetched under corvane-run.
    std::string Fetch(const std::string& path, std::vector<std::string> extra = {}) {
        std::vector<std::string> command{m_curl, "-s", "-w", "\n%{http_code}"};
        command.insert(command.end(), extra.begin(), extra.end());
        command.push_back("http://127.0.0.1:" + std::to_string(m_port) + path);
        std::string out;
        EXPECT_EQ(0, m_service.Diverted(command, &out));
        const std::size_t nl = out.rfind('\n');
        return nl == std::string::npos ? out : out.substr(nl + 1) + " " + out.substr(0, nl);
    }

    fs::path m_dir;
    std::string m_curl;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

TEST_F(SitePagesEndToEnd, QueryStringsAndFormsAreDecodedAndEchoed) {
    // Percent escapes are decoded (the text is UTF-8), and "+" stays a plus sign.
    EXPECT_EQ("200 q=caf&#x00E9; &amp; &lt;b&gt;+;",
              Fetch("/echo.asp?q=caf%C3%A9%20%26%20%3Cb%3E+"));
    EXPECT_EQ("200 q=;f=x+y = z", Fetch("/echo.asp", {"--data", "f=x%2By%20%3D%20z"}));
}

TEST_F(SitePagesEndToEnd, AMissingPageGetsTheSitesOwnPage) {
    EXPECT_EQ("404 Not here.", Fetch("/nothing.asp"));
}

TEST_F(SitePagesEndToEnd, ScriptFailuresAreShownAsDesigned) {
    // A page that does not compile: the internal-error page with the failure's code.
    const std::string broken = Fetch("/broken.asp");
    EXPECT_NE(std::string::npos, broken.find("A server error has occurred")) << broken;
    EXPECT_NE(std::string::npos, broken.find("Error code 0x")) << broken;
    EXPECT_EQ(std::string::npos, broken.find("before")) << broken;
    // A runtime error: the output so far, then the error with its place in the page.
    const std::string runtime = Fetch("/runtime.asp");
    EXPECT_EQ(0u, runtime.find("200 before\r\n")) << runtime;
    EXPECT_NE(std::string::npos,
              runtime.find("Division by zero at line 2, character 4 of file runtime.asp."))
        << runtime;
    EXPECT_EQ(std::string::npos, runtime.find("after")) << runtime;
}

}  // namespace
