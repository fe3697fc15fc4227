// Application scripts end to end: the real service boots its built-in site, whose boot
// script adds a policy site file ("Corvane.dat", compiled here with corvane-site) found in
// the site directory; that site's "global.asa" sees each user's processes arrive
// (User_OnStart), runs the timer it set on a test clock, and sees the user leave after
// the time-out (User_OnEnd); a page of the same site shows what the events recorded.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "e2e/ServiceUnderTest.h"

namespace fs = std::filesystem;

namespace {

using e2e::Executable;

constexpr const char* kGlobalAsa =
    R"(<!-- The test policy: records the user events in Application. -->
<script language=vbscript runat=server>
Sub Application_OnStart()
    Application("boot") = "started"
End Sub

Sub User_OnStart()
    Application.Lock
    Application("starts") = Application("starts") + 1
    Application("user") = User.Name
    Application.UnLock
    User.Timeout = 30
    User.SetTimer 1, "Tick"
End Sub

Sub Tick()
    Application("ticks") = Application("ticks") + 1
End Sub

Sub User_OnEnd()
    Application("ends") = Application("ends") + 1
End Sub
</script>
)";

constexpr const char* kStatePage =
    "<%@ LANGUAGE=VBScript %>boot=<%= Application(\"boot\") %>;"
    "starts=<%= Application(\"starts\") %>;ticks=<%= Application(\"ticks\") %>;"
    "ends=<%= Application(\"ends\") %>;user=<%= Application(\"user\") %>;"
    "me=<%= User.Name %>";

// The value of "name=" in the state page.
int Field(const std::string& page, const std::string& name) {
    const std::size_t at = page.find(name + "=");
    return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + name.size() + 1);
}

class ApplicationScriptsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_dir = fs::temp_directory_path() / ("cv-asa-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ASSERT_TRUE(e2e::CompilePolicySite(
            m_dir, {{"Common/global.asa", kGlobalAsa}, {"Common/state.asp", kStatePage}}));
        // A minute of the session clock lasts 100 ms (the time-out of 30 minutes is 3 s);
        // a user's session ends 200 ms after the last process has gone.
        ASSERT_TRUE(m_service.Start(m_dir, {"/usr/bin/curl", "/usr/bin/python3"},
                                    {{"CORVANE_SITES", m_dir.string()},
                                     {"CORVANE_MINUTE_MS", "100"},
                                     {"CORVANE_USER_END_DELAY_MS", "200"}}));
        m_port = m_service.LocalPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override {
        m_service.Stop();
        fs::remove_all(m_dir);
    }

    std::string State() {
        std::string page;
        const std::string curl = Executable("/usr/bin/curl");
        EXPECT_EQ(0, m_service.Diverted(
                         {curl, "-sf", "http://127.0.0.1:" + std::to_string(m_port) + "/state.asp"},
                         &page));
        return page;
    }

    fs::path m_dir;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

TEST_F(ApplicationScriptsEndToEnd, UserEventsAndTimersRunInTheSitesGlobalAsa) {
    if (Executable("/usr/bin/curl").empty())
        GTEST_SKIP() << "curl is not installed";
    // The first process of the user starts the user's session before its request is
    // answered, and the page runs after "global.asa" has started.
    std::string page = State();
    EXPECT_NE(std::string::npos, page.find("boot=started;")) << page << m_service.Log();
    EXPECT_EQ(1, Field(page, "starts")) << page << m_service.Log();
    // The events see the same user as the page.
    const std::size_t user = page.find("user=");
    const std::size_t me = page.find(";me=");
    ASSERT_NE(std::string::npos, user);
    ASSERT_NE(std::string::npos, me);
    EXPECT_EQ(page.substr(user + 5, me - user - 5), page.substr(me + 4)) << page;
    EXPECT_FALSE(page.substr(me + 4).empty()) << page;

    // The process has gone: shortly after, the user's session ends.
    std::string later;
    for (int i = 0; i < 50 && Field(later, "ends") < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        later = State();
    }
    EXPECT_GE(Field(later, "ends"), 1) << later << m_service.Log();
}

TEST_F(ApplicationScriptsEndToEnd, TheTimerRunsEveryMinuteWhileTheUserStays) {
    const std::string python = Executable("/usr/bin/python3");
    if (python.empty())
        GTEST_SKIP() << "python3 is not installed";
    // One process asks for the page, stays for a while (2.1 s: 21 test minutes) and
    // asks again; it tells how long it stayed, which a busy machine stretches.
    const std::string client =
        "import socket,sys,time\n"
        "start=time.monotonic()\n"
        "def get():\n"
        "    s=socket.create_connection(('127.0.0.1',int(sys.argv[1])))\n"
        "    s.sendall(b'GET /state.asp HTTP/1.0\\r\\nHost: x\\r\\n\\r\\n')\n"
        "    data=b''\n"
        "    while True:\n"
        "        b=s.recv(4096)\n"
        "        if not b: break\n"
        "        data+=b\n"
        "    return data.decode()\n"
        "first=get()\n"
        "time.sleep(2.1)\n"
        "page=get()\n"
        "print(page+' stayed=%d' % int((time.monotonic()-start)*1000))\n";
    std::string page;
    ASSERT_EQ(0, m_service.Diverted({python, "-c", client, std::to_string(m_port)}, &page));
    const int ticks = Field(page, "ticks");
    // Every test minute (100 ms), give or take a busy machine.
    EXPECT_GE(ticks, 5) << page << m_service.Log();
    EXPECT_LE(ticks, Field(page, "stayed") / 100 + 3) << page;
    EXPECT_EQ(0, Field(page, "ends")) << page;
}

}  // namespace
