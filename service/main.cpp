// corvane: the filtering service. Without a switch it runs (as the system service when
// registered as one, else as the local server in the foreground); with one of
// -RegServer, -UnregServer, -RegServerPerUser, -UnregServerPerUser or -Service it
// registers or unregisters itself and exits.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "intake/SocketServer.h"
#include "lsp/CorvaneLsp.h"
#include "objects/PendingReplacements.h"
#include "passthru/ScriptFilterPolicy.h"
#include "registry/RegistryStore.h"
#include "service/ApplicationEvents.h"
#include "service/Corvane2Module.h"
#include "service/ProgramClasses.h"
#include "service/TrayAppProcess.h"
#include "sessions/UserSession.h"
#include "sites/DefaultSite.h"
#include "storage/StorageManager.h"

namespace {

constexpr std::size_t kMaxLogPath = 260;

std::filesystem::path ExecutablePath(const char* argv0) {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::absolute(argv0) : path;
}

// The default site is linked into the program; its file times are the executable's.
void HandOverDefaultSite(const std::filesystem::path& executable) {
    struct stat st {};
    if (CheckExpression(stat(executable.c_str(), &st) != 0))
        st = {};
    CheckResult(STORAGE_MANAGER::instance()->SetEmbeddedSite(
        DefaultSiteBytes(), FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec),
        FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec),
        FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
        Utf8ToUtf16(executable.filename().string())));
}

}  // namespace

int main(int argc, char** argv) {
    BlockStopSignals();
    InstallFaultHandler();

    CRegistryStore store(CRegistryStore::DefaultPath());
    CDiagnosticLog::Instance().SetPathSource([&store]() -> std::optional<std::string> {
        auto path = store.ReadLogPath("Logging");
        if (path && path->size() > kMaxLogPath) {
            std::fprintf(stderr,
                         "Corvane: the log path is longer than %zu characters; not logging\n",
                         kMaxLogPath);
            return std::nullopt;
        }
        return path;
    });

    const auto executable = ExecutablePath(argv[0]);
    CheckResult(RegisterProgramClasses());
    // User_OnStart, User_OnEnd and the timers run in the site's application script.
    SetUserEvents(std::make_shared<CApplicationUserEvents>());
    // A tray program that has lost its menu is closed; its user's session starts it again.
    CUserSession::SetStuckTrayHandler([] {
        CTrayAppProcess trays;
        if (trays.Init() <= 0)
            return false;
        trays.KillPelloraProcess();
        return true;
    });
    // Every diverted connection and request is put to the site's application script.
    CFilterPolicy::Install(std::make_shared<CScriptFilterPolicy>());
    // Site files that could not be replaced while the last run had them open.
    CheckResult(ApplyPendingReplacements());
    HandOverDefaultSite(executable);
    // The connect() library is linked in: it tells the service that it is the filter
    // itself, and from now on asks the socket server about every loopback connect the
    // service makes, so that connects to a user's private port reach the local pages
    // with that user's session.
    const bool bFilter = IsFilteringAllowed() == 0;
    IsCorvane(&CSocketServer::LspPrivateNumberCallback);
    CCorvane2Module module(executable, store);
    module.SetCreateMarker(bFilter);
    return module.Main(std::vector<std::string>(argv + 1, argv + argc));
}
