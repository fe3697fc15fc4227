// End-to-end tests of pellora on a headless display.
//
// Each test starts Xvfb and a private session bus (tray/TrayTestDesktop.h), and plays
// everything around the tray program itself: the service's Server object (over the object
// RPC, on a socket named by CORVANE_SERVER_SOCKET), a StatusNotifierWatcher (the panel's
// side of the icon) and a notification server, both on the private bus. The icon, tooltip
// and menu are read back through the D-Bus properties a panel reads; a menu item is clicked
// through the menu's "clicked" event, and what opens is recorded by a stand-in for xdg-open
// on PATH.
#include <arpa/inet.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "com/CComVariant.h"
#include "idl/Identifiers.h"
#include "rpc/RpcServer.h"
#include "tray/TrayTestDesktop.h"

namespace fs = std::filesystem;

namespace {

using namespace traytest;

constexpr USHORT kPort =
    4321;  // the private port the fake service tells, unless a test serves pages

// The service's Server object: keeps the tray that attaches and tells it the port.
class CFakeServer : public CComObjectRoot<CFakeServer, IRpcCall> {
public:
    // With `tellPort` false, Init leaves the tray without its port (the test tells it).
    explicit CFakeServer(USHORT port = kPort, bool tellPort = true)
        : m_port(port), m_bTellPort(tellPort) {}
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) override {
        if (iid != IID_ISocketServer || method != 1 || cArgs != 5)
            return E_NOTIMPL;
        CComPtr<IRpcCall> tray = ComQuery<IRpcCall>(rgArgs[2].punkVal);
        if (!tray)
            return E_NOINTERFACE;
        CComVariant port;
        port.vt = VT_UI2;
        port.uiVal = m_port;
        CComVariant result;
        HRESULT hr = m_bTellPort ? tray->RpcCall(IID_IPellora, 2, 1, &port, &result) : S_OK;
        if (FAILED(hr))
            return hr;
        {
            std::lock_guard guard(m_lock);
            m_tray = tray;
        }
        *rgArgs[3].puiVal = m_port;
        *rgArgs[4].pbstrVal = BSTR::FromUtf8("{00000000-0000-0000-0000-000000000000}");
        return S_OK;
    }
    CComPtr<IRpcCall> Tray() {
        std::lock_guard guard(m_lock);
        return m_tray;
    }
    void Drop() {
        std::lock_guard guard(m_lock);
        m_tray = nullptr;
    }

private:
    const USHORT m_port;
    const bool m_bTellPort;
    std::mutex m_lock;
    CComPtr<IRpcCall> m_tray;
};

// The local web server as far as dialogs need it: fixed pages on a loopback port, and a
// record of the paths asked for.
class CPageServer {
public:
    explicit CPageServer(std::map<std::string, std::string> pages) : m_pages(std::move(pages)) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_fd, 16) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CPageServer() {
        shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        close(m_fd);
    }
    USHORT Port() const { return m_port; }
    std::vector<std::string> Paths() {
        std::lock_guard guard(m_lock);
        return m_paths;
    }

private:
    void Serve() {
        for (;;) {
            int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            std::string request;
            char buffer[2048];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = read(client, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            std::string path = request.substr(4, request.find(' ', 4) - 4);
            auto it = m_pages.find(path);
            if (!path.ends_with("favicon.ico")) {
                std::lock_guard guard(m_lock);
                m_paths.push_back(path);
            }
            const std::string body = it == m_pages.end() ? "" : it->second;
            const std::string reply =
                std::string(it == m_pages.end() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                "\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)!write(client, reply.data(), reply.size());
            close(client);
        }
    }
    std::map<std::string, std::string> m_pages;
    int m_fd = -1;
    USHORT m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_paths;
};

class PelloraEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "GTK and its libraries are not built with the sanitizer; the "
                        "program's own parts are covered by tray_test";
#endif
        for (const char* program : {"Xvfb", "dbus-daemon"})
            if (!OnPath(program))
                GTEST_SKIP() << program << " is not installed";
        // Short: socket paths must fit in 108 bytes.
        static int s_count = 0;
        m_dir = fs::temp_directory_path() /
                ("pe2e-" + std::to_string(getpid()) + "-" + std::to_string(++s_count));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "run");
        fs::create_directories(m_dir / "bin");
        fs::create_directories(m_dir / "config");
        fs::permissions(m_dir / "run", fs::perms::owner_all);
        // The stand-in for xdg-open records what it was asked to open.
        {
            std::ofstream opener(m_dir / "bin" / "xdg-open");
            opener << "#!/bin/sh\necho \"$1\" >> '" << (m_dir / "opened").string() << "'\n";
        }
        fs::permissions(m_dir / "bin" / "xdg-open", fs::perms::owner_all);
        m_screen = std::make_unique<CTestDesktop>();
        ASSERT_NO_FATAL_FAILURE(m_screen->Start(m_dir));

        m_server = MakeObject<CFakeServer>();
        ASSERT_EQ(S_OK, CRpcServer::Listen((m_dir / "server.sock").string(), 0600, 0700,
                                           static_cast<IRpcCall*>(m_server.Get()), &m_listener));
    }

    void TearDown() override {
        m_pellora.reset();
        if (m_listener)
            m_listener->Stop();
        m_desktop = nullptr;
        m_screen.reset();
        if (!m_dir.empty())
            fs::remove_all(m_dir);
    }

    void StartDesktop(bool watcher) {
        ASSERT_NO_FATAL_FAILURE(m_screen->StartPanel(watcher));
        m_desktop = m_screen->Panel();
    }

    std::map<std::string, std::string> Environment() {
        return {{"DISPLAY", m_screen->Display()},
                {"DBUS_SESSION_BUS_ADDRESS", m_screen->BusAddress()},
                {"XDG_RUNTIME_DIR", (m_dir / "run").string()},
                {"XDG_CONFIG_HOME", (m_dir / "config").string()},
                {"XDG_SESSION_ID", "e2e-" + std::to_string(getpid())},
                {"CORVANE_SERVER_SOCKET", (m_dir / "server.sock").string()},
                {"PATH", (m_dir / "bin").string() + ":" + std::getenv("PATH")},
                {"NO_AT_BRIDGE", "1"}};
    }

    void StartPellora() {
        m_pellora =
            std::make_unique<CProcess>(std::vector<std::string>{PELLORA_EXE}, Environment());
        ASSERT_TRUE(Eventually([&] { return static_cast<bool>(m_server->Tray()); }))
            << "pellora did not attach";
    }

    HRESULT Call(ULONG method, CComVariant arg = CComVariant()) {
        CComVariant result;
        return m_server->Tray()->RpcCall(IID_IPellora, method, arg.vt == VT_EMPTY ? 0 : 1, &arg,
                                         &result);
    }

    HRESULT Bubble(std::vector<CComVariant> args) {
        CComVariant result;
        return m_server->Tray()->RpcCall(IID_IPellora, 1, static_cast<UINT>(args.size()),
                                         args.data(), &result);
    }

    CComPtr<IDispatch> Menu() {
        IUnknown* menu = nullptr;
        VARIANT out;
        VariantInit(&out);
        out.vt = VT_UNKNOWN | VT_BYREF;
        out.ppunkVal = &menu;
        CComVariant result;
        EXPECT_EQ(S_OK, m_server->Tray()->RpcCall(IID_IPellora, 7, 1, &out, &result));
        CComPtr<IUnknown> held;
        held.Attach(menu);
        return ComQuery<IDispatch>(held.Get());
    }

    static HRESULT Invoke(IDispatch* menu, DISPID id, WORD kind, std::vector<CComVariant> args,
                          CComVariant* result = nullptr) {
        std::reverse(args.begin(), args.end());
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{args.data(), kind == DISPATCH_PROPERTYPUT ? &named : nullptr,
                          static_cast<UINT>(args.size()), kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
        CComVariant ignored;
        return menu->Invoke(id, IID{}, 0, kind, &params, result ? result : &ignored, nullptr,
                            nullptr);
    }

    // IMenu.AddItem(text, enabled, url [, extras]).
    static HRESULT AddItem(IDispatch* menu, const char* text, bool enabled, const char* url,
                           const char* extras = nullptr) {
        std::vector<CComVariant> args{CComVariant(BSTR::FromUtf8(text)), CComVariant(enabled),
                                      CComVariant(BSTR::FromUtf8(url))};
        if (extras)
            args.emplace_back(BSTR::FromUtf8(extras));
        return Invoke(menu, 1, DISPATCH_METHOD, std::move(args));
    }

    std::string ItemString(const char* name) {
        return m_screen->ItemString(name);
    }
    MenuEntry Layout() {
        return m_screen->Layout();
    }
    void Click(gint32 id) {
        m_screen->Click(id);
    }

    std::vector<std::string> Opened() {
        std::ifstream in(m_dir / "opened");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path m_dir;
    std::unique_ptr<CTestDesktop> m_screen;
    CDesktopBus* m_desktop = nullptr;  // the panel, once started
    std::unique_ptr<CProcess> m_pellora;
    CComPtr<CFakeServer> m_server;
    std::shared_ptr<CRpcServer> m_listener;
};

TEST_F(PelloraEndToEnd, StatusNotifierItemShowsTipIconAndMenuAndOpensPages) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop(true));
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    ASSERT_TRUE(Eventually([&] { return !m_desktop->Item().first.empty(); }))
        << "pellora registered no StatusNotifierItem";
    EXPECT_EQ("pellora-202", ItemString("IconName")) << "the icon shown at start";

    ASSERT_EQ(S_OK, Call(3, CComVariant(BSTR::FromUtf8(std::string(100, 't')))));
    EXPECT_TRUE(Eventually([&] { return ItemString("Title") == std::string(63, 't'); }))
        << ItemString("Title");
    ASSERT_EQ(S_OK, Call(5, CComVariant(BSTR::FromUtf8("images/taskbar.on.ico"))));
    EXPECT_TRUE(Eventually([&] { return ItemString("IconName") == "pellora-201"; }));
    ASSERT_EQ(S_OK, Call(5, CComVariant(BSTR::FromUtf8("Images/TaskBar.OFF.ico"))));
    EXPECT_TRUE(Eventually([&] { return ItemString("IconName") == "pellora-202"; }));

    CComPtr<IDispatch> menu = Menu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "&Settings", true, "settings.asp"));
    ASSERT_EQ(S_OK, Invoke(menu.Get(), 7, DISPATCH_METHOD, {}));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Nothing", true, ""));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Greyed", false, "grey.asp"));
    CComVariant sub;
    ASSERT_EQ(S_OK,
              Invoke(menu.Get(), 2, DISPATCH_METHOD, {CComVariant(BSTR::FromUtf8("More"))}, &sub));
    ASSERT_EQ(VT_DISPATCH, sub.vt);
    ASSERT_EQ(S_OK, AddItem(sub.pdispVal, "About", true, "/help/about.asp"));
    ASSERT_EQ(S_OK,
              Invoke(menu.Get(), 4, DISPATCH_PROPERTYPUT, {CComVariant(1L), CComVariant(true)}));

    // Every change rebuilds the menu; the last one (the check mark) shows it is complete.
    MenuEntry layout;
    ASSERT_TRUE(Eventually([&] {
        layout = Layout();
        return FindLabel(layout, "About") != nullptr && !layout.children.empty() &&
               layout.children[0].toggleState == "1";
    })) << "the menu never reached the bus";
    ASSERT_EQ(5u, layout.children.size());
    EXPECT_EQ("_Settings", layout.children[0].label);
    EXPECT_EQ("1", layout.children[0].toggleState) << "checked";
    EXPECT_EQ("separator", layout.children[1].type);
    EXPECT_FALSE(layout.children[3].enabled);
    EXPECT_EQ("More", layout.children[4].label);

    Click(layout.children[0].id);
    Click(layout.children[2].id);  // an empty page opens nothing
    Click(FindLabel(layout, "About")->id);
    ASSERT_TRUE(Eventually([&] { return Opened().size() >= 2; }));
    // Each page opens in an xdg-open process of its own; they may record in either order.
    auto pages = Opened();
    std::sort(pages.begin(), pages.end());
    EXPECT_EQ((std::vector<std::string>{"http://localhost:4321/help/about.asp",
                                        "http://localhost:4321/settings.asp"}),
              pages);

    // Balloons: one at a time, in order; a click opens the page, a time-out does not.
    ASSERT_EQ(S_OK, Bubble({CComVariant(BSTR::FromUtf8("Blocked")),
                            CComVariant(BSTR::FromUtf8("A page was blocked")),
                            CComVariant(BSTR::FromUtf8("blocked.asp"))}));
    ASSERT_EQ(S_OK,
              Bubble({CComVariant(BSTR::FromUtf8("Second")), CComVariant(BSTR::FromUtf8("Two")),
                      CComVariant(BSTR::FromUtf8("second.asp")), CComVariant(5L)}));
    ASSERT_TRUE(Eventually([&] { return m_desktop->Notifications().size() == 1; }));
    auto shown = m_desktop->Notifications();
    EXPECT_EQ("Blocked", shown[0].summary);
    EXPECT_EQ("A page was blocked", shown[0].body);
    EXPECT_NE(shown[0].actions.end(),
              std::find(shown[0].actions.begin(), shown[0].actions.end(), "default"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(1u, m_desktop->Notifications().size()) << "the second waits for the first";
    m_desktop->Close(shown[0].id, true);
    ASSERT_TRUE(Eventually([&] { return m_desktop->Notifications().size() == 2; }));
    EXPECT_EQ("Second", m_desktop->Notifications()[1].summary);
    m_desktop->Close(m_desktop->Notifications()[1].id, false);
    ASSERT_TRUE(Eventually([&] { return Opened().size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto opened = Opened();
    ASSERT_EQ(3u, opened.size()) << "the timed-out balloon opened nothing";
    EXPECT_EQ("http://localhost:4321/blocked.asp", opened[2]);

    // A second tray program in the same session ends at once, with 0.
    CProcess second({PELLORA_EXE}, Environment());
    EXPECT_EQ(0, second.WaitExit(std::chrono::milliseconds(10000)));

    // Asked to take its icon down, the program ends.
    menu = nullptr;
    sub.Clear();
    EXPECT_EQ(S_OK, Call(9));
    EXPECT_EQ(0, m_pellora->WaitExit(std::chrono::milliseconds(10000)));
}

TEST_F(PelloraEndToEnd, WithoutAWatcherTheStatusIconIsUsedAndTheServiceCanComeBack) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop(false));
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    ASSERT_EQ(S_OK, Call(3, CComVariant(BSTR::FromUtf8("tip"))));
    BSTR tip;
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_BSTR | VT_BYREF;
    out.pbstrVal = &tip;
    CComVariant result;
    ASSERT_EQ(S_OK, m_server->Tray()->RpcCall(IID_IPellora, 4, 1, &out, &result));
    EXPECT_EQ("tip", tip.ToUtf8());
    EXPECT_TRUE(m_desktop->Item().first.empty()) << "no panel, no StatusNotifierItem";

    // The service goes away and comes back: the tray attaches again, with nothing kept.
    m_listener->Stop();
    m_listener = nullptr;
    m_server = MakeObject<CFakeServer>();
    ASSERT_EQ(S_OK, CRpcServer::Listen((m_dir / "server.sock").string(), 0600, 0700,
                                       static_cast<IRpcCall*>(m_server.Get()), &m_listener));
    ASSERT_TRUE(
        Eventually([&] { return static_cast<bool>(m_server->Tray()); }, std::chrono::seconds(40)))
        << "pellora did not attach again";
    tip = BSTR();
    VariantInit(&out);
    out.vt = VT_BSTR | VT_BYREF;
    out.pbstrVal = &tip;
    ASSERT_EQ(S_OK, m_server->Tray()->RpcCall(IID_IPellora, 4, 1, &out, &result));
    EXPECT_EQ("", tip.ToUtf8());

    // The service lets go of the tray on purpose: the program's work is done.
    m_server->Drop();
    EXPECT_EQ(0, m_pellora->WaitExit(std::chrono::milliseconds(10000)));
}

// The XEmbed path: a system tray (trayer) embeds the status icon; a right click on it
// opens the menu where the icon is, and balloons are anchored at the icon.
TEST_F(PelloraEndToEnd, XEmbedIconShowsTheMenuAtTheIcon) {
    for (const char* program : {"trayer", "xdotool"})
        if (!OnPath(program))
            GTEST_SKIP() << program << " is not installed";
    ASSERT_NO_FATAL_FAILURE(StartDesktop(false));
    CProcess trayer({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                     "--height", "32", "--transparent", "false", "--tint", "0xdddddd"},
                    {{"DISPLAY", m_screen->Display()}});
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    const std::string x = "DISPLAY=" + m_screen->Display() + " xdotool ";
    // The embedded icon: the window titled "Pellora" that the tray has placed.
    int left = 0, top = 0, width = 0, height = 0;
    ASSERT_TRUE(Eventually([&] {
        std::stringstream ids(Output(x + "search --onlyvisible --name '^Pellora$' 2>/dev/null"));
        for (std::string id; ids >> id;) {
            std::string geometry = Output(x + "getwindowgeometry --shell " + id);
            std::map<std::string, int> values;
            std::stringstream lines(geometry);
            for (std::string line; std::getline(lines, line);) {
                auto eq = line.find('=');
                if (eq != std::string::npos)
                    values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
            }
            if (values["Y"] > 500) {
                left = values["X"], top = values["Y"];
                width = values["WIDTH"], height = values["HEIGHT"];
                return true;
            }
        }
        return false;
    })) << "the icon was never embedded";

    CComPtr<IDispatch> menu = Menu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "&Settings", true, "settings.asp"));
    ASSERT_EQ(S_OK, Invoke(menu.Get(), 7, DISPATCH_METHOD, {}));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Filtering on", true, "toggle.asp"));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Not now", false, "later.asp"));
    CComVariant sub;
    ASSERT_EQ(S_OK,
              Invoke(menu.Get(), 2, DISPATCH_METHOD, {CComVariant(BSTR::FromUtf8("More"))}, &sub));
    ASSERT_EQ(S_OK,
              Invoke(menu.Get(), 4, DISPATCH_PROPERTYPUT, {CComVariant(3L), CComVariant(true)}));
    ASSERT_EQ(S_OK, Invoke(menu.Get(), 3, DISPATCH_PROPERTYPUT, {CComVariant(1L)}));
    ASSERT_EQ(S_OK, Call(5, CComVariant(BSTR::FromUtf8("images/taskbar.on.ico"))));

    // Balloons point at the icon: its corner plus (4, 6).
    ASSERT_EQ(S_OK, Bubble({CComVariant(BSTR::FromUtf8("Here")), CComVariant(BSTR::FromUtf8("x")),
                            CComVariant(BSTR::FromUtf8(""))}));
    ASSERT_TRUE(Eventually([&] { return m_desktop->Notifications().size() == 1; }));
    ASSERT_TRUE(m_desktop->Notifications()[0].anchor.has_value());
    EXPECT_EQ(std::make_pair(left + 4, top + 6), *m_desktop->Notifications()[0].anchor);
    m_desktop->Close(m_desktop->Notifications()[0].id, false);

    // A right click opens the menu; the first item is chosen with the keyboard.
    const std::string before = Output(x + "search --onlyvisible --classname pellora");
    Output(x + "mousemove " + std::to_string(left + width / 2) + " " +
           std::to_string(top + height / 2) + " click 3");
    ASSERT_TRUE(Eventually([&] {
        return Output(x + "search --onlyvisible --classname pellora") != before;
    })) << "no menu appeared";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it draw
    if (const char* shot = std::getenv("PELLORA_SCREENSHOT"))
        Output("import -display " + m_screen->Display() + " -window root '" + shot +
               "' 2>/dev/null");
    Output(x + "key Down Return");
    ASSERT_TRUE(Eventually([&] { return !Opened().empty(); }));
    EXPECT_EQ("http://localhost:4321/settings.asp", Opened()[0]);
}

#if defined(CORVANE_TRAY_WEBKIT)
// Dialog pages: "dialog:" opens a window placed by its features, which keeps the tray
// busy until the page closes it; "hidden:" loads the page without a window.
TEST_F(PelloraEndToEnd, DialogPagesOpenInTheirOwnWindow) {
    if (!OnPath("xdotool"))
        GTEST_SKIP() << "xdotool is not installed";
    CPageServer pages({
        {"/about.asp",
         "<html><head><title>About Corvane</title></head><body>"
         "<h3>About Corvane</h3><p>Filtering is on.</p>"
         "<script>setTimeout(function() { window.close(); }, 1500);</script>"
         "</body></html>"},
        {"/ping.asp",
         "<html><head><title>Ping</title></head><body>"
         "<script>window.close();</script></body></html>"},
        {"/settings.asp", "<html><body>settings</body></html>"},
    });
    ASSERT_NE(0, pages.Port());
    m_listener->Stop();
    m_listener = nullptr;
    m_server = MakeObject<CFakeServer>(pages.Port());
    ASSERT_EQ(S_OK, CRpcServer::Listen((m_dir / "server.sock").string(), 0600, 0700,
                                       static_cast<IRpcCall*>(m_server.Get()), &m_listener));
    ASSERT_NO_FATAL_FAILURE(StartDesktop(true));
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    ASSERT_TRUE(Eventually([&] { return !m_desktop->Item().first.empty(); }));

    CComPtr<IDispatch> menu = Menu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "About", true, "dialog:about.asp",
                            "dialogWidth:320px;dialogHeight:200px;dialogLeft:40;dialogTop:30;"));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Ping", true, "hidden:ping.asp"));
    ASSERT_EQ(S_OK, AddItem(menu.Get(), "Settings", true, "settings.asp"));
    MenuEntry layout;
    ASSERT_TRUE(Eventually([&] {
        layout = Layout();
        return layout.children.size() == 3;
    }));

    const std::string x = "DISPLAY=" + m_screen->Display() + " xdotool ";
    Click(layout.children[1].id);  // hidden
    ASSERT_TRUE(Eventually([&] { return pages.Paths().size() == 1; }));
    EXPECT_EQ("/ping.asp", pages.Paths()[0]);
    EXPECT_EQ("", Output(x + "search --onlyvisible --name '^Ping$' 2>/dev/null"));

    Click(layout.children[0].id);
    std::string id;
    ASSERT_TRUE(Eventually([&] {
        id = Output(x + "search --onlyvisible --name '^About Corvane$' 2>/dev/null");
        return !id.empty();
    })) << "no dialog window";
    const std::string geometry = Output(x + "getwindowgeometry " + id);
    EXPECT_NE(std::string::npos, geometry.find("Geometry: 320x200")) << geometry;
    if (const char* shot = std::getenv("PELLORA_DIALOG_SCREENSHOT")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // let it draw
        Output("import -display " + m_screen->Display() + " -window root '" + shot +
               "' 2>/dev/null");
    }
    // While the dialog is open the tray is busy: menu choices are ignored.
    Click(layout.children[2].id);
    // The page closes its window; then choices work again.
    ASSERT_TRUE(Eventually([&] {
        return Output(x + "search --onlyvisible --name '^About Corvane$' 2>/dev/null").empty();
    })) << "the page's window.close() did not end the dialog";
    EXPECT_TRUE(Opened().empty());
    Click(layout.children[2].id);
    ASSERT_TRUE(Eventually([&] { return !Opened().empty(); }));
    EXPECT_EQ("http://localhost:" + std::to_string(pages.Port()) + "/settings.asp", Opened()[0]);
}
#endif

// What arrives before the port waits for it and is then carried out in order.
TEST_F(PelloraEndToEnd, MessagesWaitForThePortInOrder) {
    m_listener->Stop();
    m_listener = nullptr;
    m_server = MakeObject<CFakeServer>(kPort, false);
    ASSERT_EQ(S_OK, CRpcServer::Listen((m_dir / "server.sock").string(), 0600, 0700,
                                       static_cast<IRpcCall*>(m_server.Get()), &m_listener));
    ASSERT_NO_FATAL_FAILURE(StartDesktop(true));
    ASSERT_NO_FATAL_FAILURE(StartPellora());
    ASSERT_TRUE(Eventually([&] { return !m_desktop->Item().first.empty(); }));

    ASSERT_EQ(S_OK, Call(3, CComVariant(BSTR::FromUtf8("first"))));
    ASSERT_EQ(S_OK, Bubble({CComVariant(BSTR::FromUtf8("Early")), CComVariant(BSTR::FromUtf8("x")),
                            CComVariant(BSTR::FromUtf8(""))}));
    ASSERT_EQ(S_OK, Call(5, CComVariant(BSTR::FromUtf8("images/taskbar.on.ico"))));
    ASSERT_EQ(S_OK, Call(3, CComVariant(BSTR::FromUtf8("second"))));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ("Pellora", ItemString("Title")) << "nothing is shown before the port";
    EXPECT_EQ("pellora-202", ItemString("IconName"));
    EXPECT_TRUE(m_desktop->Notifications().empty());

    CComVariant port;
    port.vt = VT_UI2;
    port.uiVal = kPort;
    ASSERT_EQ(S_OK, Call(2, port));
    EXPECT_TRUE(Eventually([&] { return ItemString("Title") == "second"; }))
        << "the later tip wins: " << ItemString("Title");
    EXPECT_TRUE(Eventually([&] { return ItemString("IconName") == "pellora-201"; }));
    EXPECT_TRUE(Eventually([&] { return m_desktop->Notifications().size() == 1; }));
}

}  // namespace
