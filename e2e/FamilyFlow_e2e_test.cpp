// The family's whole flow in headless Chromium, end to end: the real service with the
// shipped policy site Corvane.dat, a real corvane-categories on loopback answering from
// lists the test writes, and test servers (HTTP and TLS on 127.0.0.2, HTTP on 127.0.0.3)
// that Chromium reaches under test host names through its resolver rules or by address.
// A parent sets the password and a user's settings through the settings page's form,
// the user's browsing is blocked by category, by host and by the allowed hours, and the
// activity page lists what was blocked. Every step is checked in the DOM Chromium ends up with, and
// screenshotted.
//
// Chromium posts the forms without a driver: each post is a data: page holding a form
// with the settings page's own field names, submitted by a script when it loads; the
// DOM and the screenshot are those of the page the post was answered with.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "e2e/ServiceUnderTest.h"
#include "e2e/TestServer.h"

namespace fs = std::filesystem;

namespace {

using e2e::CTestServer;
using e2e::Executable;

using Fields = std::vector<std::pair<std::string, std::string>>;

// The test's category lists: the test server on 127.0.0.3 is a game site (category 7,
// which the parent blocks), the one on 127.0.0.2 a news site (category 8, which stays
// allowed). The category client resolves a URL's host before it asks, and the test host
// names resolve only inside Chromium, so the listed sites are addresses.
constexpr int kBlockedCategory = 7;
constexpr const char* kGameAddress = "127.0.0.3";
constexpr const char* kNewsAddress = "127.0.0.2";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Text for an HTML attribute value or element content.
std::string HtmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A data: URL for an HTML text (every byte but letters and digits percent-encoded).
std::string DataUrl(const std::string& html) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string url = "data:text/html;charset=utf-8,";
    for (unsigned char c : html) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += kHex[c >> 4];
            url += kHex[c & 15];
        }
    }
    return url;
}

// The name of the user whose browser the test runs (the diverted programs run as uid
// 1000 when the tests run as root).
std::string BrowsingUser() {
    const struct passwd* pw = getpwuid(getuid() == 0 ? 1000 : getuid());
    return pw ? pw->pw_name : "";
}

// Allowed hours, the same every day, that do not hold now or within the next hours.
std::string HoursAwayFromNow() {
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local.tm_hour < 12 ? "20:00-22:00" : "02:00-04:00";
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The newest row of the activity table that names `host`, "" when none does.
std::string RowOf(const std::string& dom, const std::string& host) {
    const std::size_t at = dom.find("<span class=\"host\">" + host + "</span>");
    if (at == std::string::npos)
        return "";
    const std::size_t begin = dom.rfind("<tr>", at);
    const std::size_t end = dom.find("</tr>", at);
    return begin == std::string::npos || end == std::string::npos ? ""
                                                                  : dom.substr(begin, end - begin);
}

class FamilyFlowEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        m_chromium = Executable("/usr/lib/chromium/chromium");
        if (m_chromium.empty())
            GTEST_SKIP() << "chromium is not installed";
        if (Executable("/usr/bin/python3").empty() || Executable("/usr/bin/openssl").empty())
            GTEST_SKIP() << "python3 and openssl are needed for the test servers";
        m_user = BrowsingUser();
        if (m_user.empty())
            GTEST_SKIP() << "no user to browse as";
        for (const char* program : {CORVANE_EXE, CORVANE_RUN_EXE, CORVANE_CATEGORIES_EXE})
            ASSERT_TRUE(fs::exists(program)) << program;
        ASSERT_TRUE(fs::exists(fs::path(CORVANE_EXE).parent_path() / "Corvane.dat"));

        m_dir = fs::temp_directory_path() / ("cv-family-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        e2e::MakeSelfSignedCertificate(m_dir);
        m_http = std::make_unique<CTestServer>();
        m_https = std::make_unique<CTestServer>(
            std::vector<std::string>{(m_dir / "cert.pem").string(), (m_dir / "key.pem").string()});
        m_games = std::make_unique<CChildProcess>(
            Executable("/usr/bin/python3"),
            std::vector<std::string>{CORVANE_SOURCE_DIR "/e2e/test_server.py", kGameAddress},
            std::map<std::string, std::string>{});
        ASSERT_TRUE(m_games->WaitForOutput("\n")) << m_games->Stderr();
        m_gamesPort = std::atoi(m_games->Stdout().c_str() + 5);  // "PORT <n>"
        ASSERT_NE(m_http->Port(), 0);
        ASSERT_NE(m_https->Port(), 0);
        ASSERT_NE(m_gamesPort, 0) << m_games->Stdout();

        // The category lists and their server, on a port of its own.
        const fs::path lists = m_dir / "lists";
        fs::create_directories(lists / "games");
        fs::create_directories(lists / "news");
        std::ofstream(lists / "categories")
            << "games " << kBlockedCategory << "\nnews " << kBlockedCategory + 1 << "\n";
        std::ofstream(lists / "games" / "domains") << kGameAddress << "\n";
        std::ofstream(lists / "news" / "domains") << kNewsAddress << "\n";
        m_categories = std::make_unique<CChildProcess>(
            CORVANE_CATEGORIES_EXE,
            std::vector<std::string>{"--listen", "127.0.0.1:0", "--lists", lists.string()},
            std::map<std::string, std::string>{});
        ASSERT_TRUE(m_categories->WaitForOutput("listening on 127.0.0.1:"))
            << m_categories->Stderr();
        const std::string out = m_categories->Stdout();
        const int categoryPort = std::atoi(out.c_str() + out.find("listening on 127.0.0.1:") + 23);
        ASSERT_NE(categoryPort, 0) << out;

        // The service with the shipped policy site, told where the category server is.
        ASSERT_TRUE(m_service.Start(m_dir, {m_chromium}, {},
                                    "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
                                    "\"Policy.CategoryServer\"=\"127.0.0.1:" +
                                        std::to_string(categoryPort) + "\"\n"));
        m_port = m_service.LocalPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override {
        m_service.Stop();
        if (m_categories) {
            m_categories->Signal(SIGTERM);
            EXPECT_EQ(0, m_categories->Wait()) << m_categories->Stderr();
            m_categories.reset();
        }
        m_http.reset();
        m_https.reset();
        m_games.reset();
        if (!m_dir.empty() && !std::getenv("CORVANE_KEEP_TEST_DIRS"))
            fs::remove_all(m_dir);
    }

    std::string Local(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::string Http(const std::string& host) const {
        return "http://" + host + ":" + std::to_string(m_http->Port()) + "/page.html";
    }
    std::string Https(const std::string& host) const {
        return "https://" + host + ":" + std::to_string(m_https->Port()) + "/page.html";
    }

    // Chromium, diverted, opens `url`: the DOM it ends with; a screenshot of it is saved as
    // `shot` (and kept where CORVANE_KEEP_SCREENSHOTS says).
    std::string Browse(const std::string& url, const std::string& shot) {
        return Open(url, shot, true);
    }
    // Chromium opens `url`, whose connection the service refuses: no page loads, so there
    // is neither a DOM nor a screenshot.
    void ExpectRefused(const std::string& url) {
        EXPECT_EQ("", Open(url, "refused.png", false)) << url;
    }
    std::string Open(const std::string& url, const std::string& shot, bool pageExpected) {
        const fs::path file = m_dir / shot;
        std::string dom;
        EXPECT_EQ(0,
                  m_service.Diverted(
                      {m_chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                       "--disable-background-networking", "--lang=en-US", "--accept-lang=en-US",
                       "--ignore-certificate-errors", "--host-resolver-rules=MAP *.test 127.0.0.2",
                       "--user-data-dir=" + (m_dir / "profile").string(), "--window-size=900,1800",
                       "--screenshot=" + file.string(), "--dump-dom", url},
                      &dom, std::chrono::seconds(90)))
            << url;
        EXPECT_EQ(pageExpected, fs::exists(file)) << shot;
        if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"); keep && fs::exists(file))
            fs::copy_file(file, fs::path(keep) / shot, fs::copy_options::overwrite_existing);
        return dom;
    }

    // Posts `fields` to a local page as its form does (a browser form post): the DOM of
    // the answer. Every field must be one of the form's in `formDom`, the page as shown.
    std::string Post(const std::string& path, const Fields& fields, const std::string& formDom,
                     const std::string& shot) {
        std::string html = "<form method=\"post\" action=\"" + HtmlText(Local(path)) + "\">";
        for (const auto& [name, value] : fields) {
            EXPECT_TRUE(Contains(formDom, "name=\"" + name + "\"")) << name << " is not a field";
            // A text area keeps line breaks, which the host lists are written with.
            html += "<textarea name=\"" + HtmlText(name) + "\">" + HtmlText(value) + "</textarea>";
        }
        html += "</form><script>document.forms[0].submit()</script>";
        return Browse(DataUrl(html), shot);
    }

    // The user's settings as posted by the settings page, with `password`.
    Fields UserSettings(const std::string& password, const std::string& hours) const {
        Fields fields{{"action", "save"},
                      {"password", password},
                      {"profile", m_user},
                      {"mode", "filtered"},
                      {"blocked", "blocked.test\nblocked-tls.test"},
                      {"allowed", ""},
                      {"categories", std::to_string(kBlockedCategory)}};
        for (int day = 0; day < 7; ++day)
            fields.emplace_back("hours" + std::to_string(day), hours);
        return fields;
    }

    std::string Registry() const {
        return e2e::ReadAll(m_dir / "registry.reg");
    }

    std::string m_chromium, m_user;
    fs::path m_dir;
    std::unique_ptr<CTestServer> m_http, m_https;
    std::unique_ptr<CChildProcess> m_games, m_categories;
    int m_gamesPort = 0;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
};

TEST_F(FamilyFlowEndToEnd, AParentSetsUpAUserWhoseBrowsingIsThenFiltered) {
    const std::string password = "parent pass";
    const std::string hours = HoursAwayFromNow();
    const std::string mode = "\"Policy.Mode." + m_user + "\"";
    std::string dom;
    {
        SCOPED_TRACE("first run: the settings page asks for the password, which is set");
        const std::string form = Browse(Local("/settings.asp"), "1-first-run.png");
        ASSERT_TRUE(Contains(form, "Choose a parent password")) << form;
        dom = Post("/settings.asp",
                   {{"action", "setpassword"}, {"newpassword", password}, {"confirm", password}},
                   form, "1-password-set.png");
        EXPECT_TRUE(Contains(dom, "The password is set")) << dom;
        EXPECT_TRUE(Contains(Registry(), "\"Policy.PasswordHash\"="));
    }
    {
        SCOPED_TRACE("the parent blocks a category and a host for the user");
        const std::string form =
            Browse(Local("/settings.asp?profile=" + m_user), "2-user-settings.png");
        ASSERT_TRUE(Contains(form, "<h2>" + m_user + "</h2>")) << form;
        const std::string before = Registry();
        dom = Post("/settings.asp", UserSettings("parent pasS", ""), form, "2-wrong-password.png");
        EXPECT_TRUE(Contains(dom, "The password is not right")) << dom;
        EXPECT_EQ(Registry(), before);
        dom = Browse(Local("/settings.asp?profile=" + m_user), "2-unchanged.png");
        EXPECT_TRUE(Contains(dom, "value=\"open\" checked")) << dom;
        EXPECT_TRUE(Contains(dom, "name=\"blocked\"></textarea>")) << dom;

        dom = Post("/settings.asp", UserSettings(password, ""), form, "2-saved.png");
        EXPECT_TRUE(Contains(dom, "The settings were saved")) << dom;
        EXPECT_TRUE(Contains(Registry(), mode + "=\"filtered\""));
        dom = Browse(Local("/settings.asp?profile=" + m_user), "2-read-back.png");
        EXPECT_TRUE(Contains(dom, "value=\"filtered\" checked")) << dom;
        EXPECT_TRUE(Contains(dom, ">blocked.test\nblocked-tls.test</textarea>")) << dom;
        EXPECT_TRUE(Contains(dom, "name=\"categories\" value=\"7\"")) << dom;
    }
    {
        SCOPED_TRACE("the user browses: a blocked category, a blocked host, allowed hosts");
        const std::string games = "http://" + std::string(kGameAddress) + ":" +
                                  std::to_string(m_gamesPort) + "/page.html";
        struct {
            std::string url, host, shot, why;
        } const blocked[] = {
            {games, kGameAddress, "3-category.png", "in a blocked category (number 7)"},
            {Http("www.blocked.test"), "www.blocked.test", "3-host.png",
             "list of blocked sites (<span class=\"host\">blocked.test</span>)"},
        };
        for (const auto& b : blocked) {
            dom = Browse(b.url, b.shot);
            EXPECT_TRUE(Contains(dom, "This site is not available")) << b.url << dom;
            EXPECT_TRUE(Contains(dom, b.why)) << b.url << dom;
            EXPECT_TRUE(Contains(dom, "stopped the page at <span class=\"host\">" + b.host)) << dom;
            EXPECT_FALSE(Contains(dom, "Through the relay")) << dom;
        }
        // A blocked TLS host: the connection is refused, so there is no page at all.
        ExpectRefused(Https("blocked-tls.test"));
        // A host in an allowed category, and one in none, over HTTP and TLS: the page and
        // its resources load.
        for (const auto& [url, shot] : {std::pair{Http(kNewsAddress), "3-allowed-category.png"},
                                        std::pair{Http("allowed.test"), "3-allowed.png"},
                                        std::pair{Https("allowed.test"), "3-allowed-tls.png"}}) {
            dom = Browse(url, shot);
            EXPECT_TRUE(Contains(dom, "script ran: resources loaded")) << url << dom;
        }
        EXPECT_TRUE(m_http->Printed("GOT allowed.test:", std::chrono::seconds(5)));
        EXPECT_TRUE(m_https->Printed("GOT allowed.test:", std::chrono::seconds(5)));
        EXPECT_FALSE(m_games->WaitForOutput("GOT", std::chrono::seconds(1)));
        EXPECT_FALSE(m_http->Printed("GOT www.blocked.test", std::chrono::seconds(1)));
        EXPECT_FALSE(m_https->Printed("GOT blocked-tls.test", std::chrono::seconds(1)));
    }
    {
        SCOPED_TRACE("outside the allowed hours (" + hours + ") only the local pages load");
        const std::string form = Browse(Local("/settings.asp?profile=" + m_user), "4-form.png");
        dom = Post("/settings.asp", UserSettings(password, hours), form, "4-hours-saved.png");
        EXPECT_TRUE(Contains(dom, "The settings were saved")) << dom;
        EXPECT_TRUE(Contains(Registry(), "\"Policy.Hours." + m_user + "\"=\"" + hours + "|"));
        for (const auto& [url, shot] :
             {std::pair{Http("allowed.test") + "?late", "4-hours-blocked.png"},
              std::pair{Http(kNewsAddress) + "?late", "4-hours-blocked-category.png"}}) {
            dom = Browse(url, shot);
            EXPECT_TRUE(Contains(
                dom, "browsing is not allowed at this time (allowed today: " + hours + ")"))
                << url << dom;
        }
        ExpectRefused(Https("allowed.test") + "?late");
        EXPECT_FALSE(m_http->Printed("/page.html?late", std::chrono::seconds(1)));
        EXPECT_FALSE(m_https->Printed("/page.html?late", std::chrono::seconds(1)));
        dom = Browse(Local("/about.asp"), "4-about.png");
        EXPECT_TRUE(Contains(dom, "<h1>About Corvane</h1>")) << dom;
    }
    {
        SCOPED_TRACE("the activity page lists what was blocked");
        dom = Browse(Local("/activity.asp"), "5-activity.png");
        EXPECT_TRUE(Contains(dom, "<h2>Blocked for " + m_user + "</h2>")) << dom;
        const struct {
            std::string host, why;
        } rows[] = {
            {kGameAddress, "blocked category (7)"},
            {"www.blocked.test", "blocked site (blocked.test)"},
            {"blocked-tls.test", "blocked site (blocked-tls.test)"},
            {"allowed.test", "outside the allowed hours (" + hours + ")"},
            {kNewsAddress, "outside the allowed hours (" + hours + ")"},
        };
        for (const auto& row : rows)
            EXPECT_TRUE(Contains(RowOf(dom, row.host), row.why)) << row.host << "\n" << dom;
        // A refused TLS site shows once however often the browser tried it; connections
        // that name no site are not listed.
        for (const auto& [url, count] :
             {std::pair{"https://blocked-tls.test/", 1}, std::pair{"https://allowed.test/", 1},
              std::pair{"https://127.0.0.2/", 0}})
            EXPECT_EQ(count, Occurrences(dom, ">" + std::string(url) + "<")) << url << "\n" << dom;
    }
}

}  // namespace
