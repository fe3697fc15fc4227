// Scripts drive the tray end to end: the real service serves a policy site (compiled here
// with corvane-site) whose local page sets the tray's tooltip, adds a menu item and shows a
// balloon through User.TrayIcon; the real pellora, on a headless desktop
// (tray/TrayTestDesktop.h), has attached itself to the service for the same user. The
// tooltip and menu are read back over D-Bus as a panel reads them, the balloon arrives at
// the test's notification server, and a menu click opens the local page (a stand-in for
// xdg-open on PATH records it). When the service stops, pellora takes its icon down and
// ends.
//
// pellora and the page's client run as the same user: the test's own user, or, when the
// tests run as root, the interactive user that corvane-run switches to (root has no user
// session).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "e2e/ServiceUnderTest.h"
#include "tray/TrayTestDesktop.h"

namespace fs = std::filesystem;

namespace {

using e2e::Executable;
using namespace traytest;

// The user the diverted programs run as when the tests run as root (as corvane-run does).
constexpr uid_t kInteractiveUser = 1000;

constexpr const char* kGlobalAsa =
    "<script language=vbscript runat=server>\n"
    "Sub Application_OnStart()\n"
    "    Application(\"boot\") = \"started\"\n"
    "End Sub\n"
    "</script>\n";

// Answers whether the user's tray is attached.
constexpr const char* kReadyPage =
    "<%@ LANGUAGE=VBScript %><%\n"
    "On Error Resume Next\n"
    "tip = User.TrayIcon.Tip\n"
    "If Err.Number = 0 Then\n"
    "    Response.Write \"attached\"\n"
    "Else\n"
    "    Response.Write \"no tray\"\n"
    "End If\n"
    "%>";

constexpr const char* kTrayPage =
    "<%@ LANGUAGE=VBScript %><%\n"
    "User.TrayIcon.Tip = \"Corvane is filtering\"\n"
    "User.TrayIcon.Menu.AddItem \"Settings\", True, \"settings.asp\"\n"
    "User.TrayIcon.BubbleHelp \"Title\", \"Text\", \"about.asp\"\n"
    "%>tray set";

constexpr const char* kSettingsPage = "<%@ LANGUAGE=VBScript %>settings of <%= User.Name %>";

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class TrayScriptsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "third-party programs cannot be preloaded with the sanitizer runtime";
#endif
        for (const char* program : {"Xvfb", "dbus-daemon"})
            if (!OnPath(program))
                GTEST_SKIP() << program << " is not installed";
        m_curl = Executable("/usr/bin/curl");
        if (m_curl.empty())
            GTEST_SKIP() << "curl is not installed";
        if (getuid() == 0 && Executable("/usr/bin/setpriv").empty())
            GTEST_SKIP() << "setpriv is not installed";

        // Short: socket paths must fit in 108 bytes.
        m_dir = fs::temp_directory_path() / ("cvts-" + std::to_string(getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        const fs::path source = m_dir / "policy";
        WriteFile(source / "Common" / "global.asa", kGlobalAsa);
        WriteFile(source / "Common" / "ready.asp", kReadyPage);
        WriteFile(source / "Common" / "tray.asp", kTrayPage);
        WriteFile(source / "Common" / "settings.asp", kSettingsPage);
        const std::string command = std::string(CORVANE_SITE_EXE) + " " + source.string() + " " +
                                    (m_dir / "Corvane.dat").string();
        ASSERT_EQ(0, std::system(command.c_str())) << command;
        fs::permissions(m_dir / "Corvane.dat", fs::perms::all);

        // The tray's own folders belong to the user it runs as.
        for (const char* sub : {"run", "home", "config", "bin"}) {
            fs::create_directories(m_dir / sub);
            if (getuid() == 0) {
                ASSERT_EQ(0, chown((m_dir / sub).c_str(), kInteractiveUser, kInteractiveUser));
            }
        }
        fs::permissions(m_dir / "run", fs::perms::owner_all);
        // The stand-in for xdg-open records what it was asked to open.
        {
            std::ofstream opener(m_dir / "bin" / "xdg-open");
            opener << "#!/bin/sh\necho \"$1\" >> '" << (m_dir / "opened").string() << "'\n";
        }
        fs::permissions(m_dir / "bin" / "xdg-open", fs::perms::all);

        // The service first: at start it ends any tray program it finds.
        ASSERT_TRUE(m_service.Start(m_dir, {m_curl}, {{"CORVANE_SITES", m_dir.string()}}));
        m_port = m_service.LocalPort();
        ASSERT_NE(0, m_port);

        ASSERT_NO_FATAL_FAILURE(m_desktop.Start(m_dir));
        ASSERT_NO_FATAL_FAILURE(m_desktop.StartPanel(true));
    }

    void TearDown() override {
        m_pellora.reset();
        m_service.Stop();
        fs::remove_all(m_dir);
    }

    void StartPellora() {
        std::vector<std::string> argv{PELLORA_EXE};
        if (getuid() == 0)
            argv.insert(argv.begin(),
                        {"/usr/bin/setpriv", "--reuid=" + std::to_string(kInteractiveUser),
                         "--regid=" + std::to_string(kInteractiveUser), "--clear-groups"});
        m_pellora = std::make_unique<CProcess>(
            argv, std::map<std::string, std::string>{
                      {"DISPLAY", m_desktop.Display()},
                      {"DBUS_SESSION_BUS_ADDRESS", m_desktop.BusAddress()},
                      {"XDG_RUNTIME_DIR", (m_dir / "run").string()},
                      {"XDG_CONFIG_HOME", (m_dir / "config").string()},
                      {"HOME", (m_dir / "home").string()},
                      {"XDG_SESSION_ID", "cvts-" + std::to_string(getpid())},
                      {"CORVANE_SERVER_SOCKET", (m_dir / "server.sock").string()},
                      {"PATH", (m_dir / "bin").string() + ":" + std::getenv("PATH")},
                      {"NO_AT_BRIDGE", "1"}});
    }

    // A local page, fetched by curl under corvane-run (so in the user's session).
    std::string Page(const std::string& url) {
        std::string page;
        m_service.Diverted({m_curl, "-sS", url}, &page);
        return page;
    }
    std::string LocalPage(const std::string& name) {
        return Page("http://127.0.0.1:" + std::to_string(m_port) + "/" + name);
    }

    std::vector<std::string> Opened() {
        std::ifstream in(m_dir / "opened");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path m_dir;
    std::string m_curl;
    e2e::CServiceUnderTest m_service;
    int m_port = 0;
    CTestDesktop m_desktop;
    std::unique_ptr<CProcess> m_pellora;
};

TEST_F(TrayScriptsEndToEnd, APageDrivesTheTrayAndTheServiceStopEndsIt) {
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    CDesktopBus* panel = m_desktop.Panel();
    ASSERT_TRUE(Eventually([&] { return !panel->Item().first.empty(); }))
        << "pellora registered no StatusNotifierItem\n"
        << m_service.Log();
    // pellora attaches on its own; the page sees the tray once it has.
    std::string ready;
    ASSERT_TRUE(Eventually([&] {
        ready = LocalPage("ready.asp");
        return ready == "attached";
    })) << ready
        << "\n"
        << m_service.Log();

    EXPECT_EQ("tray set", LocalPage("tray.asp")) << m_service.Log();

    // The tooltip and the menu, as a panel reads them.
    EXPECT_TRUE(Eventually([&] { return m_desktop.ItemString("Title") == "Corvane is filtering"; }))
        << m_desktop.ItemString("Title");
    MenuEntry layout;
    ASSERT_TRUE(Eventually([&] {
        layout = m_desktop.Layout();
        return !layout.children.empty();
    })) << "the menu never reached the bus";
    ASSERT_EQ(1u, layout.children.size());
    EXPECT_EQ("Settings", layout.children[0].label);
    EXPECT_TRUE(layout.children[0].enabled);

    // The balloon arrives at the notification server.
    ASSERT_TRUE(Eventually([&] { return panel->Notifications().size() == 1; }))
        << "no notification";
    const Notification shown = panel->Notifications()[0];
    EXPECT_EQ("Title", shown.summary);
    EXPECT_EQ("Text", shown.body);

    // A click on the menu item opens the local page at the user's private port; the page
    // is there, and in the user's session.
    ASSERT_NO_FATAL_FAILURE(m_desktop.Click(layout.children[0].id));
    ASSERT_TRUE(Eventually([&] { return !Opened().empty(); })) << "nothing was opened";
    const std::string url = Opened()[0];
    const std::string prefix = "http://localhost:";
    ASSERT_TRUE(url.starts_with(prefix) && url.ends_with("/settings.asp")) << url;
    const int port = std::atoi(url.c_str() + prefix.size());
    EXPECT_GT(port, 0) << url;
    const std::string settings = Page("http://127.0.0.1:" + std::to_string(port) + "/settings.asp");
    EXPECT_TRUE(settings.starts_with("settings of ") && settings.size() > 12) << settings;

    // A click on the balloon opens its page at the same port.
    panel->Close(shown.id, true);
    ASSERT_TRUE(Eventually([&] { return Opened().size() >= 2; })) << "the balloon opened nothing";
    EXPECT_EQ(prefix + std::to_string(port) + "/about.asp", Opened()[1]);

    // The service stops: the tray takes its icon down and ends.
    const std::string item = panel->Item().first;
    ASSERT_EQ(0, m_service.Stop());
    EXPECT_EQ(0, m_pellora->WaitExit(std::chrono::seconds(20)))
        << "pellora did not end with the service";
    EXPECT_TRUE(
        Eventually([&] { return !m_desktop.HasOwner(item.c_str()); }, std::chrono::seconds(10)))
        << "the icon stayed on the bus";
}

}  // namespace
