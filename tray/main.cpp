// pellora: the tray program. One runs in each login session of a user; it shows the
// icon, tooltip, menu and balloons that the service's scripts ask for.
//
// Start: the connect() library is told that this program is the filter's own (it never
// diverts our connects); a second copy in the same session ends at once with 0; the
// switches "RegServer", "UnregServer", "RegServerPerUser" and "UnregServerPerUser" end the
// program too (it is found through its socket, there is nothing to register). Then the
// tray object is served on "$XDG_RUNTIME_DIR/corvane/pellora.sock", the icon window comes
// up on the GTK thread, and a thread attaches the tray to the service, again whenever the
// service comes back. The program ends when the service asks it to take its icon down,
// when the service hands the session to another tray, or on SIGTERM or SIGINT.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "com/DiagnosticLog.h"
#include "lsp/CorvaneLsp.h"
#include "registry/RegistryStore.h"
#include "rpc/RpcServer.h"
#include "tray/ServiceAttach.h"
#include "tray/SessionMarker.h"
#include "tray/TaskTray.h"
#include "tray/TaskTrayWnd.h"

namespace {

bool IsRegistrationSwitch(std::string arg) {
    while (!arg.empty() && (arg.front() == '-' || arg.front() == '/'))
        arg.erase(arg.begin());
    for (char& c : arg)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return arg == "regserver" || arg == "unregserver" || arg == "regserverperuser" ||
           arg == "unregserverperuser";
}

std::string TraySocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/corvane/pellora.sock";
    return "/tmp/corvane-" + std::to_string(getuid()) + "/pellora.sock";
}

gboolean OnStopSignal(gpointer) {
    gtk_main_quit();
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    InstallFaultHandler();
    IsCorvane(nullptr);

    CSessionMarker marker;
    if (!marker.Create(CSessionMarker::NameForThisSession()))
        return 0;  // this session has its tray program
    for (int i = 1; i < argc; ++i)
        if (IsRegistrationSwitch(argv[i]))
            return 0;

    CRegistryStore store(CRegistryStore::UserPath());
    CDiagnosticLog::Instance().SetPathSource(
        [&store]() -> std::optional<std::string> { return store.ReadLogPath("TrayLogging"); });

    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "pellora: cannot open the display\n");
        LogTrace("pellora: cannot open the display\n");
        return 1;
    }

    HRESULT hr = S_OK;
    CComPtr<CTaskTray> tray = MakeObject<CTaskTray>(&hr);
    if (!CheckResult(hr) || !tray)
        return 1;
    auto window = std::make_unique<CTaskTrayWnd>(tray);
    if (!CheckResult(window->Create()))
        return 1;

    std::shared_ptr<CRpcServer> server;
    hr = CRpcServer::Listen(TraySocketPath(), 0600, 0700, static_cast<IPellora*>(tray.Get()),
                            &server);
    if (!CheckResult(hr)) {
        std::fprintf(stderr, "pellora: cannot listen on %s\n", TraySocketPath().c_str());
        return 1;
    }

    // The window is ready once the loop runs.
    g_idle_add(
        [](gpointer data) -> gboolean {
            auto* pair = static_cast<std::pair<CTaskTray*, CTaskTrayWnd*>*>(data);
            pair->first->SetWindow(pair->second);
            delete pair;
            return G_SOURCE_REMOVE;
        },
        new std::pair<CTaskTray*, CTaskTrayWnd*>(tray.Get(), window.get()));

    CTaskTrayWnd* wnd = window.get();
    CServiceAttach attach(
        static_cast<IRpcCall*>(tray.Get()), std::string(),
        CServiceAttach::Handlers{
            [](USHORT port) { LogTrace("pellora: attached; private port %u\n", port); },
            [&tray] { tray->Reset(); },
            [wnd] { wnd->Destroy(); },
        });
    attach.Start();
    g_unix_signal_add(SIGTERM, OnStopSignal, nullptr);
    g_unix_signal_add(SIGINT, OnStopSignal, nullptr);

    gtk_main();

    attach.Stop();
    server->Stop();
    tray->SetWindow(nullptr);
    window.reset();
    return 0;
}
