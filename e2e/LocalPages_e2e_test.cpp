// The local web server end to end: the real corvane service, programs started with
// corvane-run asking for the service's own pages at its port on 127.0.0.1, the default
// site's page in a real browser, keep-alive, requests that trickle in, and a client that
// sends nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e/ServiceUnderTest.h"

namespace fs = std::filesystem;

namespace {

using e2e::Executable;

// Runs a small python client (as a diverted program) against the local pages.
std::string PythonClient(const std::string& body) {
    return "import socket,sys,time\n"
           "s=socket.create_connection(('127.0.0.1',int(sys.argv[1])))\n"
           "def answer():\n"
           "    head=b''\n"
           "    while b'\\r\\n\\r\\n' not in head:\n"
           "        b=s.recv(1)\n"
           "        if not b: return None\n"
           "        head+=b\n"
           "    n=0\n"
           "    for line in head.split(b'\\r\\n'):\n"
           "        if line.lower().startswith(b'content-length:'): n=int(line.split(b':')[1])\n"
           "    data=b''\n"
           "    while len(data)<n:\n"
           "        b=s.recv(n-len(data))\n"
           "        if not b: break\n"
           "        data+=b\n"
           "    return head.split(b'\\r\\n')[0].decode()+' '+str(len(data))\n" +
           body;
}

class LocalPagesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_dir = fs::temp_directory_path() /
                ("cv-pages-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ASSERT_TRUE(m_service.Start(
            m_dir, {"/usr/bin/curl", "/usr/bin/python3", "/usr/lib/chromium/chromium"},
            {{"CORVANE_HTTP_IDLE_MS", "2000"}}));
        m_port = m_service.LocalPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override {
        m_service.Stop();
        fs::remove_all(m_dir);
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    fs::path m_dir;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

TEST_F(LocalPagesEndToEnd, CurlGetsTheDefaultSitesPageAndA404) {
    const std::string curl = Executable("/usr/bin/curl");
    if (curl.empty())
        GTEST_SKIP() << "curl is not installed";
    std::string page;
    ASSERT_EQ(
        m_service.Diverted({curl, "-sf", "-H", "Accept-Language: en-GB", Url("/about.asp")}, &page),
        0);
    EXPECT_NE(page.find("<h1>About Corvane</h1>"), std::string::npos) << page << m_service.Log();
    EXPECT_NE(page.find("This page was served by Corvane at "), std::string::npos) << page;
    // The script ran: the time stands where the expression was.
    EXPECT_EQ(page.find("<%"), std::string::npos) << page;

    std::string status;
    ASSERT_EQ(m_service.Diverted(
                  {curl, "-s", "-o", "/dev/null", "-w", "%{http_code}", Url("/no-such-page.asp")},
                  &status),
              0);
    EXPECT_EQ(status, "404");
}

TEST_F(LocalPagesEndToEnd, KeepAliveAndARequestSentOneByteAtATime) {
    const std::string python = Executable("/usr/bin/python3");
    if (python.empty())
        GTEST_SKIP() << "python3 is not installed";
    const std::string script = PythonClient(
        "req=b'GET /about.asp HTTP/1.1\\r\\nHost: localhost\\r\\nAccept-Language: "
        "en-GB\\r\\n\\r\\n'\n"
        "for i in range(3):\n"
        "    s.sendall(req)\n"
        "    print(answer())\n"
        "for c in req:\n"
        "    s.sendall(bytes([c]))\n"
        "    time.sleep(0.002)\n"
        "print(answer())\n");
    std::string out;
    ASSERT_EQ(m_service.Diverted({python, "-c", script, std::to_string(m_port)}, &out), 0);
    std::istringstream lines(out);
    std::string line, first;
    int answers = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind("HTTP/1.1 200 OK ", 0), 0u) << out;
        if (first.empty())
            first = line;
        // Every answer has the page's length (the time in it has the same width).
        EXPECT_EQ(line.size(), first.size()) << out;
        ++answers;
    }
    EXPECT_EQ(answers, 4) << out;
}

TEST_F(LocalPagesEndToEnd, AClientThatSendsNothingIsClosedAtTheIdleTimeOut) {
    const std::string python = Executable("/usr/bin/python3");
    if (python.empty())
        GTEST_SKIP() << "python3 is not installed";
    const std::string script = PythonClient(
        "s.settimeout(30)\n"
        "t=time.time()\n"
        "print(s.recv(1)==b'', round(time.time()-t))\n");
    std::string out;
    ASSERT_EQ(m_service.Diverted({python, "-c", script, std::to_string(m_port)}, &out), 0);
    // Closed after the 2-second time-out the service was started with, not at once.
    EXPECT_TRUE(out == "True 2\n" || out == "True 3\n") << out;
}

TEST_F(LocalPagesEndToEnd, HeadlessChromiumShowsTheAboutPage) {
    const std::string chromium = Executable("/usr/lib/chromium/chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed";
    const fs::path profile = m_dir / "profile";
    const fs::path shot = m_dir / "about.png";
    std::vector<std::string> common{
        chromium,        "--headless",          "--no-sandbox",
        "--disable-gpu", "--no-first-run",      "--disable-background-networking",
        "--lang=en-GB",  "--accept-lang=en-GB", "--user-data-dir=" + profile.string()};
    std::string dom;
    auto dumpDom = common;
    dumpDom.insert(dumpDom.end(), {"--dump-dom", Url("/about.asp")});
    ASSERT_EQ(m_service.Diverted(dumpDom, &dom), 0);
    EXPECT_NE(dom.find("<h1>About Corvane</h1>"), std::string::npos) << dom;

    auto screenshot = common;
    screenshot.insert(screenshot.end(), {"--window-size=800,600", "--screenshot=" + shot.string(),
                                         Url("/about.asp")});
    ASSERT_EQ(m_service.Diverted(screenshot), 0);
    EXPECT_GT(fs::file_size(shot), 1000u);
    if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOT"))
        fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
}

}  // namespace
