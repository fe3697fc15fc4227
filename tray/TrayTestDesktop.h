// A headless desktop for end-to-end tests of the tray program: Xvfb, a private session bus,
// and the panel's side of that bus (a StatusNotifierWatcher and a notification server,
// served by the test). The icon, tooltip and menu are read back through the D-Bus
// properties a panel reads, and menu items are clicked through the menu's "clicked" event.
//
// The bus lets clients of any user join: the tray program may run as another user than
// the test (the interactive user whose session the service keeps).
#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace traytest {

namespace fs = std::filesystem;

constexpr auto kBound = std::chrono::seconds(45);

inline bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Runs a shell command and gives what it printed.
inline std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        pclose(pipe);
    }
    return text;
}

// Polls `done` until it holds or the bound passes.
template <class F>
inline bool Eventually(F done, std::chrono::milliseconds bound = kBound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A child process with extra environment; ended (SIGTERM, then SIGKILL) when dropped.
class CProcess {
public:
    CProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             int keepFd = -1) {
        m_pid = fork();
        if (m_pid == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int fd = 3; fd < 256; ++fd)
                if (fd != keepFd)
                    close(fd);
            for (const auto& [name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~CProcess() { Stop(); }
    pid_t Pid() const { return m_pid; }
    // The exit status once it has ended within `bound`, else -1.
    int WaitExit(std::chrono::milliseconds bound) {
        if (m_status >= 0 || m_pid <= 0)
            return m_status;
        Eventually(
            [&] {
                int status = 0;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid)
                    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status >= 0;
            },
            bound);
        return m_status;
    }
    void Stop() {
        if (m_pid <= 0 || m_status >= 0)
            return;
        kill(m_pid, SIGTERM);
        if (WaitExit(std::chrono::milliseconds(3000)) < 0) {
            kill(m_pid, SIGKILL);
            WaitExit(std::chrono::milliseconds(3000));
        }
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// Reads one line that a child writes to the pipe's write end.
inline std::string ReadLine(int fd) {
    std::string line;
    char c;
    const auto until = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < until && read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// A notification the stub server received.
struct Notification {
    guint32 id = 0;
    std::string summary, body;
    std::vector<std::string> actions;
    std::optional<std::pair<int, int>> anchor;  // the "x" and "y" hints
};

// The panel's side of the session bus: a StatusNotifierWatcher and a notification
// server, served on their own thread and main context.
class CDesktopBus {
public:
    // With `watcher`, a panel is there: the bus has a StatusNotifierWatcher.
    CDesktopBus(const std::string& address, bool watcher) : m_watcher(watcher) {
        m_thread = std::thread([this, address] { Run(address); });
        std::unique_lock guard(m_lock);
        m_cv.wait_for(guard, kBound, [this] { return m_ready; });
    }
    ~CDesktopBus() {
        if (m_loop)
            g_main_loop_quit(m_loop);
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Ready() {
        std::lock_guard guard(m_lock);
        return m_ready && m_bus;
    }
    GDBusConnection* Bus() const { return m_bus; }

    // The registered item's bus name and object path, once there is one.
    std::pair<std::string, std::string> Item() {
        std::lock_guard guard(m_lock);
        return {m_itemService, m_itemPath};
    }
    std::vector<Notification> Notifications() {
        std::lock_guard guard(m_lock);
        return m_notifications;
    }
    // Closes a notification as the server does: with a click first when `clicked`.
    void Close(guint32 id, bool clicked) {
        std::string client;
        {
            std::lock_guard guard(m_lock);
            client = m_notifyClient;
        }
        if (clicked)
            g_dbus_connection_emit_signal(m_bus, client.c_str(), "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", "ActionInvoked",
                                          g_variant_new("(us)", id, "default"), nullptr);
        g_dbus_connection_emit_signal(m_bus, client.c_str(), "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", "NotificationClosed",
                                      g_variant_new("(uu)", id, clicked ? 2u : 1u), nullptr);
        g_dbus_connection_flush_sync(m_bus, nullptr, nullptr);
    }

private:
    static constexpr const char* kXml =
        "<node>"
        " <interface name='org.kde.StatusNotifierWatcher'>"
        "  <method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
        "  <method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
        "  <property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
        "  <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
        "  <property name='ProtocolVersion' type='i' access='read'/>"
        "  <signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
        "  <signal name='StatusNotifierHostRegistered'/>"
        " </interface>"
        " <interface name='org.freedesktop.Notifications'>"
        "  <method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "  <method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "   <arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "   <arg type='s' direction='in'/><arg type='as' direction='in'/>"
        "   <arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "   <arg type='u' direction='out'/></method>"
        "  <method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "  <method name='GetServerInformation'><arg type='s' direction='out'/>"
        "   <arg type='s' direction='out'/><arg type='s' direction='out'/>"
        "   <arg type='s' direction='out'/></method>"
        "  <signal name='NotificationClosed'><arg type='u'/><arg type='u'/></signal>"
        "  <signal name='ActionInvoked'><arg type='u'/><arg type='s'/></signal>"
        " </interface>"
        "</node>";

    void Run(const std::string& address) {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        GError* error = nullptr;
        m_bus = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (m_bus) {
            GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kXml, nullptr);
            static const GDBusInterfaceVTable vtable = {
                &CDesktopBus::OnCall, &CDesktopBus::OnGetProperty, nullptr, {}};
            m_watcherId = g_dbus_connection_register_object(m_bus, "/StatusNotifierWatcher",
                                                            info->interfaces[0], &vtable, this,
                                                            nullptr, nullptr);
            g_dbus_connection_register_object(m_bus, "/org/freedesktop/Notifications",
                                              info->interfaces[1], &vtable, this, nullptr, nullptr);
            g_dbus_node_info_unref(info);
            Own("org.freedesktop.Notifications");
            if (m_watcher)
                Own("org.kde.StatusNotifierWatcher");
        }
        g_clear_error(&error);
        m_loop = g_main_loop_new(context, FALSE);
        {
            std::lock_guard guard(m_lock);
            m_ready = true;
        }
        m_cv.notify_all();
        g_main_loop_run(m_loop);
        g_main_loop_unref(m_loop);
        m_loop = nullptr;
        if (m_bus)
            g_object_unref(m_bus);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    void Own(const char* name) {
        GVariant* reply = g_dbus_connection_call_sync(
            m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", name, 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr);
        if (reply)
            g_variant_unref(reply);
    }

    static void OnCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer self) {
        auto* bus = static_cast<CDesktopBus*>(self);
        const std::string name = method;
        if (name == "RegisterStatusNotifierItem") {
            const gchar* path = nullptr;
            g_variant_get(parameters, "(&s)", &path);
            {
                std::lock_guard guard(bus->m_lock);
                bus->m_itemService = sender;
                bus->m_itemPath = path && path[0] == '/' ? path : "/StatusNotifierItem";
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
        } else if (name == "RegisterStatusNotifierHost") {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        } else if (name == "GetCapabilities") {
            const gchar* caps[] = {"actions", "body", nullptr};
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
        } else if (name == "GetServerInformation") {
            g_dbus_method_invocation_return_value(
                invocation, g_variant_new("(ssss)", "stub", "corvane", "1", "1.2"));
        } else if (name == "Notify") {
            Notification n;
            const gchar *app, *icon, *summary, *body;
            guint32 replaces;
            GVariantIter* actions;
            GVariant* hints;
            gint timeout;
            g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary,
                          &body, &actions, &hints, &timeout);
            n.summary = summary;
            n.body = body;
            const gchar* action;
            while (g_variant_iter_next(actions, "&s", &action))
                n.actions.push_back(action);
            g_variant_iter_free(actions);
            gint32 x, y;
            if (g_variant_lookup(hints, "x", "i", &x) && g_variant_lookup(hints, "y", "i", &y))
                n.anchor = std::make_pair(x, y);
            g_variant_unref(hints);
            {
                std::lock_guard guard(bus->m_lock);
                n.id = ++bus->m_lastId;
                bus->m_notifyClient = sender;
                bus->m_notifications.push_back(n);
            }
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
        } else if (name == "CloseNotification") {
            guint32 id = 0;
            g_variant_get(parameters, "(u)", &id);
            g_dbus_method_invocation_return_value(invocation, nullptr);
            g_dbus_connection_emit_signal(bus->m_bus, sender, "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", "NotificationClosed",
                                          g_variant_new("(uu)", id, 3u), nullptr);
        } else {
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
        }
    }

    static GVariant* OnGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                   const gchar* property, GError**, gpointer self) {
        auto* bus = static_cast<CDesktopBus*>(self);
        const std::string name = property;
        if (name == "IsStatusNotifierHostRegistered")
            return g_variant_new_boolean(TRUE);
        if (name == "ProtocolVersion")
            return g_variant_new_int32(0);
        std::lock_guard guard(bus->m_lock);
        GVariantBuilder items;
        g_variant_builder_init(&items, G_VARIANT_TYPE("as"));
        if (!bus->m_itemService.empty())
            g_variant_builder_add(&items, "s", (bus->m_itemService + bus->m_itemPath).c_str());
        return g_variant_builder_end(&items);
    }

    std::thread m_thread;
    GMainLoop* m_loop = nullptr;
    GDBusConnection* m_bus = nullptr;
    guint m_watcherId = 0;
    const bool m_watcher;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_ready = false;
    std::string m_itemService, m_itemPath;
    std::string m_notifyClient;
    std::vector<Notification> m_notifications;
    guint32 m_lastId = 0;
};

// One entry of a dbusmenu layout.
struct MenuEntry {
    gint32 id = 0;
    std::string label, type, toggleState;
    bool enabled = true;
    std::vector<MenuEntry> children;
};

inline MenuEntry ParseLayout(GVariant* layout) {
    MenuEntry entry;
    GVariant* props = nullptr;
    GVariant* children = nullptr;
    g_variant_get(layout, "(i@a{sv}@av)", &entry.id, &props, &children);
    GVariantIter iter;
    const gchar* key;
    GVariant* value;
    g_variant_iter_init(&iter, props);
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        const std::string k = key;
        if (k == "label" && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
            entry.label = g_variant_get_string(value, nullptr);
        else if (k == "type" && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
            entry.type = g_variant_get_string(value, nullptr);
        else if (k == "enabled" && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
            entry.enabled = g_variant_get_boolean(value);
        else if (k == "toggle-state" && g_variant_is_of_type(value, G_VARIANT_TYPE_INT32))
            entry.toggleState = std::to_string(g_variant_get_int32(value));
        g_variant_unref(value);
    }
    g_variant_iter_init(&iter, children);
    GVariant* child;
    while (g_variant_iter_next(&iter, "v", &child)) {
        entry.children.push_back(ParseLayout(child));
        g_variant_unref(child);
    }
    g_variant_unref(props);
    g_variant_unref(children);
    return entry;
}

inline const MenuEntry* FindLabel(const MenuEntry& entry, const std::string& label) {
    if (entry.label == label)
        return &entry;
    for (const auto& child : entry.children)
        if (const MenuEntry* found = FindLabel(child, label))
            return found;
    return nullptr;
}

// The display, the bus and the panel on it; everything ends when dropped.
class CTestDesktop {
public:
    ~CTestDesktop() {
        m_panel.reset();
        m_dbus.reset();
        m_xvfb.reset();
    }

    // Starts Xvfb and the bus; the bus's configuration is written into `dir`. Failures are
    // test failures (wrap the call in ASSERT_NO_FATAL_FAILURE).
    void Start(const fs::path& dir) {
        int pipeX[2];
        ASSERT_EQ(0, pipe(pipeX));
        m_xvfb = std::make_unique<CProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(pipeX[1]), "-screen", "0",
                                     "800x600x24", "-nolisten", "tcp"},
            std::map<std::string, std::string>{}, pipeX[1]);
        close(pipeX[1]);
        m_display = ":" + ReadLine(pipeX[0]);
        close(pipeX[0]);
        ASSERT_NE(":", m_display) << "Xvfb did not start";

        // A session bus on an abstract socket (no file whose mode would keep other users
        // out) that admits every user. Clients connect anonymously: a bus that knows who
        // connects looks each user up (passwd and groups), which ties the test to how this
        // machine resolves users and how fast.
        const fs::path config = dir / "bus.conf";
        {
            std::ofstream out(config);
            out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                   "busconfig.dtd\">\n"
                   "<busconfig>\n <type>session</type>\n"
                   " <listen>unix:abstract=corvane-e2e-"
                << getpid() << "-" << dir.filename().string()
                << "</listen>\n"
                   " <auth>ANONYMOUS</auth>\n"
                   " <allow_anonymous/>\n"
                   " <policy context=\"default\">\n"
                   "  <allow user=\"*\"/>\n"
                   "  <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "  <allow eavesdrop=\"true\"/>\n"
                   "  <allow own=\"*\"/>\n"
                   " </policy>\n</busconfig>\n";
        }
        int pipeB[2];
        ASSERT_EQ(0, pipe(pipeB));
        m_dbus = std::make_unique<CProcess>(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                                     "--print-address=" + std::to_string(pipeB[1])},
            std::map<std::string, std::string>{}, pipeB[1]);
        close(pipeB[1]);
        m_busAddress = ReadLine(pipeB[0]);
        close(pipeB[0]);
        ASSERT_FALSE(m_busAddress.empty()) << "dbus-daemon did not start";
    }

    // The panel's side; with `watcher`, a StatusNotifierWatcher is there.
    void StartPanel(bool watcher) {
        m_panel = std::make_unique<CDesktopBus>(m_busAddress, watcher);
        ASSERT_TRUE(m_panel->Ready());
        if (watcher) {
            ASSERT_TRUE(Eventually([&] { return HasOwner("org.kde.StatusNotifierWatcher"); }));
        }
    }

    const std::string& Display() const { return m_display; }
    const std::string& BusAddress() const { return m_busAddress; }
    CDesktopBus* Panel() const { return m_panel.get(); }

    bool HasOwner(const char* name) {
        GVariant* reply = g_dbus_connection_call_sync(
            m_panel->Bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        gboolean has = FALSE;
        if (reply) {
            g_variant_get(reply, "(b)", &has);
            g_variant_unref(reply);
        }
        return has;
    }

    // A property of the registered StatusNotifierItem; null when it does not answer.
    GVariant* ItemProperty(const char* name) {
        auto [service, path] = m_panel->Item();
        GVariant* reply = g_dbus_connection_call_sync(
            m_panel->Bus(), service.c_str(), path.c_str(), "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.kde.StatusNotifierItem", name), G_VARIANT_TYPE("(v)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (!reply)
            return nullptr;
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        g_variant_unref(reply);
        return value;
    }

    std::string ItemString(const char* name) {
        GVariant* value = ItemProperty(name);
        std::string text;
        if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
            text = g_variant_get_string(value, nullptr);
        else if (value && g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH))
            text = g_variant_get_string(value, nullptr);
        if (value)
            g_variant_unref(value);
        return text;
    }

    // The item's menu as a panel reads it.
    MenuEntry Layout() {
        auto [service, path] = m_panel->Item();
        const std::string menuPath = ItemString("Menu");
        MenuEntry root;
        if (menuPath.empty())
            return root;
        const gchar* none[] = {nullptr};
        GVariant* reply = g_dbus_connection_call_sync(
            m_panel->Bus(), service.c_str(), menuPath.c_str(), "com.canonical.dbusmenu",
            "GetLayout", g_variant_new("(ii^as)", 0, -1, none), nullptr, G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, nullptr);
        if (!reply)
            return root;
        guint32 revision = 0;
        GVariant* layout = nullptr;
        g_variant_get(reply, "(u@(ia{sv}av))", &revision, &layout);
        root = ParseLayout(layout);
        g_variant_unref(layout);
        g_variant_unref(reply);
        return root;
    }

    // Clicks the menu item `id` as a panel does.
    void Click(gint32 id) {
        GError* error = nullptr;
        auto [service, path] = m_panel->Item();
        const std::string menuPath = ItemString("Menu");
        GVariant* reply = g_dbus_connection_call_sync(
            m_panel->Bus(), service.c_str(), menuPath.c_str(), "com.canonical.dbusmenu", "Event",
            g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        ASSERT_TRUE(reply) << "item " << id << ": " << (error ? error->message : "");
        g_variant_unref(reply);
    }

private:
    std::string m_display, m_busAddress;
    std::unique_ptr<CProcess> m_xvfb, m_dbus;
    std::unique_ptr<CDesktopBus> m_panel;
};

}  // namespace traytest
