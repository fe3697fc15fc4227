// The policy site's pages through the real service: the settings page asks for a parent
// password on the first run, a wrong password changes nothing, settings that do not
// parse are refused, the German pages answer a German browser, and headless Chromium
// shows the block page and the settings page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e/ServiceUnderTest.h"
#include "e2e/TestServer.h"

namespace fs = std::filesystem;

namespace {

using e2e::Executable;

class PolicySiteEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_curl = Executable("/usr/bin/curl");
        if (m_curl.empty())
            GTEST_SKIP() << "curl is not installed";
        m_dir = fs::temp_directory_path() /
                ("cv-policy-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ASSERT_TRUE(m_service.Start(m_dir, {"/usr/bin/curl", "/usr/lib/chromium/chromium"}));
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

    // A page fetched by a diverted curl; `form` posts it as a form when not empty.
    std::string Fetch(const std::string& path, const std::string& form = "",
                      const std::string& language = "en-US") {
        std::vector<std::string> command{m_curl, "-sf", "-H", "Accept-Language: " + language};
        if (!form.empty())
            command.insert(command.end(), {"--data-raw", form});
        command.push_back(Url(path));
        std::string page;
        EXPECT_EQ(m_service.Diverted(command, &page), 0) << path;
        return page;
    }

    std::string Registry() const {
        return e2e::ReadAll(m_dir / "registry.reg");
    }

    std::string m_curl;
    fs::path m_dir;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(PolicySiteEndToEnd, SettingsNeedThePasswordAndInputThatParses) {
    // The first run asks for a password.
    std::string page = Fetch("/settings.asp");
    ASSERT_TRUE(Contains(page, "Choose a parent password")) << page;
    page = Fetch("/settings.asp", "action=setpassword&newpassword=parent+pass&confirm=other+pass");
    EXPECT_TRUE(Contains(page, "The two new passwords differ")) << page;
    EXPECT_FALSE(Contains(Registry(), "Policy.PasswordHash"));

    // A space, a plus sign and a non-ASCII letter survive the form.
    const std::string password = "parent+pass%2B%C3%A9";
    page = Fetch("/settings.asp",
                 "action=setpassword&newpassword=" + password + "&confirm=" + password);
    EXPECT_TRUE(Contains(page, "The password is set")) << page;
    EXPECT_TRUE(Contains(Registry(), "\"Policy.PasswordHash\"="));
    page = Fetch("/settings.asp", "action=setpassword&newpassword=taken+over&confirm=taken+over");
    EXPECT_TRUE(Contains(page, "A password is already set")) << page;

    // A wrong password changes nothing.
    const std::string before = Registry();
    const std::string settings =
        "&profile=alice&mode=filtered&blocked=example.com%0D%0Agames.test&allowed="
        "&categories=3&hours0=&hours1=08%3A00-20%3A00&hours2=&hours3=&hours4=&hours5=&hours6=-";
    for (const char* wrong : {"parent+pass", "parent+pass%2B", "parent%20pass+%C3%A9", ""}) {
        page = Fetch("/settings.asp", std::string("action=save&password=") + wrong + settings);
        EXPECT_TRUE(Contains(page, "The password is not right")) << wrong << page;
    }
    // Nor does input that does not parse, with the right password.
    page = Fetch("/settings.asp",
                 "action=save&password=" + password +
                     "&profile=alice&mode=filtered&blocked=exa%3Cmple.com&hours1=late");
    EXPECT_TRUE(Contains(page, "A site name could not be read")) << page;
    page = Fetch("/settings.asp", "action=save&password=" + password +
                                      "&profile=alice&mode=filtered&hours1=20%3A00-08%3A00");
    EXPECT_TRUE(Contains(page, "Hours are written as")) << page;
    EXPECT_EQ(Registry(), before);

    // The right password saves, and the page shows what was stored.
    page = Fetch("/settings.asp", "action=save&password=" + password + settings);
    EXPECT_TRUE(Contains(page, "The settings were saved")) << page;
    const std::string registry = Registry();
    EXPECT_TRUE(Contains(registry, "\"Policy.Mode.alice\"=\"filtered\"")) << registry;
    EXPECT_TRUE(Contains(registry, "\"Policy.Blocked.alice\"=\"example.com games.test\""))
        << registry;
    EXPECT_TRUE(Contains(registry, "\"Policy.Hours.alice\"=\"|08:00-20:00|||||-\"")) << registry;
    page = Fetch("/settings.asp?profile=alice");
    EXPECT_TRUE(Contains(page, "example.com&#x000A;games.test</textarea>")) << page;
    EXPECT_TRUE(Contains(page, "value=\"filtered\" checked")) << page;

    // Changing the password needs the old one.
    page = Fetch("/settings.asp",
                 "action=changepassword&password=wrong+one&newpassword=newpass1&confirm=newpass1");
    EXPECT_TRUE(Contains(page, "The password is not right")) << page;
    page = Fetch("/settings.asp", "action=changepassword&password=" + password +
                                      "&newpassword=newpass1&confirm=newpass1");
    EXPECT_TRUE(Contains(page, "The password was changed")) << page;
}

TEST_F(PolicySiteEndToEnd, BlockPageEncodesWhatItShowsAndTakesAccessRequests) {
    std::string page = Fetch(
        "/block.asp?reason=host&detail=example.com&host=www.example.com"
        "&url=http://www.example.com/%3Cb%3E%22x%22");
    EXPECT_TRUE(Contains(page, "list of blocked sites")) << page;
    EXPECT_TRUE(Contains(page, "value=\"http://www.example.com/&lt;b&gt;&quot;x&quot;\"")) << page;
    EXPECT_FALSE(Contains(page, "<b>")) << page;

    page = Fetch("/block.asp",
                 "action=request&host=www.example.com&url=http%3A%2F%2Fwww.example."
                 "com%2F&reason=host&detail=example.com&note=for+homework+%3Ci%3E");
    EXPECT_TRUE(Contains(page, "Your request was sent")) << page;
    page = Fetch("/activity.asp");
    EXPECT_TRUE(Contains(page, "www.example.com")) << page;
    EXPECT_TRUE(Contains(page, "for homework &lt;i&gt;")) << page;

    // The stylesheet the pages share.
    std::string css;
    EXPECT_EQ(
        m_service.Diverted(
            {m_curl, "-sf", "-o", "/dev/null", "-w", "%{content_type}", Url("/style.css")}, &css),
        0);
    EXPECT_TRUE(Contains(css, "text/css")) << css;
}

TEST_F(PolicySiteEndToEnd, GermanBrowsersGetTheGermanPages) {
    EXPECT_TRUE(Contains(Fetch("/settings.asp", "", "en-US"), "Choose a parent password"));
    std::string page = Fetch("/settings.asp", "", "de-DE,de;q=0.9");
    EXPECT_TRUE(Contains(page, "Eltern-Passwort wählen")) << page;
    page = Fetch("/block.asp?reason=hours&detail=08%3A00-20%3A00&host=example.com", "", "de");
    EXPECT_TRUE(Contains(page, "Surfen ist zu dieser Zeit nicht erlaubt")) << page;
    EXPECT_TRUE(Contains(page, "heute erlaubt: 08:00-20:00")) << page;
    page = Fetch("/about.asp", "", "de");
    EXPECT_TRUE(Contains(page, "<h1>Über Corvane</h1>")) << page;
}

TEST_F(PolicySiteEndToEnd, RequestsToABlockedHostAreSentToTheBlockPage) {
    e2e::CTestServer server;
    ASSERT_NE(server.Port(), 0);
    // Open until a parent chooses settings.
    const std::string url = server.Url("/page.html");
    const std::vector<std::string> head{
        m_curl, "-s", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", "-H"};
    std::string answer;
    auto fetchAs = [&](const std::string& host) {
        auto command = head;
        command.insert(command.end(), {"Host: " + host, url});
        EXPECT_EQ(m_service.Diverted(command, &answer), 0);
        return answer;
    };
    EXPECT_EQ(fetchAs("www.blocked.test"), "200 ");

    Fetch("/settings.asp", "action=setpassword&newpassword=parent+pass&confirm=parent+pass");
    const std::string page = Fetch("/settings.asp",
                                   "action=save&password=parent+pass&profile=*&mode=filtered"
                                   "&blocked=blocked.test");
    ASSERT_TRUE(Contains(page, "The settings were saved")) << page;

    answer = fetchAs("www.blocked.test");
    EXPECT_EQ(answer.rfind("302 http://localhost:", 0), 0u) << answer;
    EXPECT_TRUE(
        Contains(answer, "/block.asp?reason=host&detail=blocked.test&host=www.blocked.test"))
        << answer;
    EXPECT_EQ(fetchAs("www.allowed.test"), "200 ");
    // The block shows on the activity page.
    EXPECT_TRUE(Contains(Fetch("/activity.asp"), "www.blocked.test"));
}

TEST_F(PolicySiteEndToEnd, HeadlessChromiumShowsTheBlockAndSettingsPages) {
    const std::string chromium = Executable("/usr/lib/chromium/chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed";
    Fetch("/settings.asp", "action=setpassword&newpassword=parent+pass&confirm=parent+pass");
    Fetch("/settings.asp",
          "action=save&password=parent+pass&profile=alice&mode=filtered"
          "&blocked=example.com&categories=3+7&hours1=08%3A00-20%3A00&hours6=-");
    Fetch("/block.asp",
          "action=request&host=games.example.com&url=http%3A%2F%2Fgames.example.com"
          "%2Fplay&note=for+my+project");
    const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS");
    const struct {
        const char* name;
        const char* language;
        std::string path;
    } pages[] = {
        {"block.png", "en-US",
         "/block.asp?reason=host&detail=example.com&host=games.example.com"
         "&url=http://games.example.com/play"},
        {"settings.png", "en-US", "/settings.asp?profile=alice"},
        {"settings-de.png", "de", "/settings.asp?profile=alice"},
        {"activity.png", "en-US", "/activity.asp"},
    };
    for (const auto& p : pages) {
        const fs::path shot = m_dir / p.name;
        ASSERT_EQ(
            m_service.Diverted(
                {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", std::string("--lang=") + p.language,
                 std::string("--accept-lang=") + p.language,
                 "--user-data-dir=" + (m_dir / (std::string("profile-") + p.language)).string(),
                 "--window-size=900,1100", "--screenshot=" + shot.string(), Url(p.path)}),
            0);
        EXPECT_GT(fs::file_size(shot), 1000u) << p.name;
        if (keep)
            fs::copy_file(shot, fs::path(keep) / p.name, fs::copy_options::overwrite_existing);
    }
}

}  // namespace
