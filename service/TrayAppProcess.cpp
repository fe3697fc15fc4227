// Tray process control; see TrayAppProcess.h.
#include "service/TrayAppProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "com/CComVariant.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "rpc/RpcConnection.h"
#include "sessions/ProcessInfo.h"

namespace fs = std::filesystem;

namespace {

int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSendSignal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// Waits for the process behind the pidfd to end; true when it has.
bool WaitExit(int pidfd, std::chrono::milliseconds bound) {
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(bound.count())) > 0;
}

bool IsPelloraName(std::string name) {
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "pellora";
}

// The executable's file name; the kernel's command name when the link cannot be read
// (another user's process without privileges).
std::string ExecutableName(pid_t pid) {
    std::string exe = ProcessExecutable(pid);
    if (!exe.empty()) {
        // A replaced executable reads "… (deleted)".
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.ends_with(deleted))
            exe.resize(exe.size() - deleted.size());
        return fs::path(exe).filename().string();
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::string TraySocketPath(pid_t pid) {
    auto runtime = ProcessEnvironmentValue(pid, "XDG_RUNTIME_DIR");
    if (runtime && !runtime->empty() && (*runtime)[0] == '/')
        return *runtime + "/corvane/pellora.sock";
    auto owner = ProcessOwner(pid);
    if (!owner)
        return {};
    return "/run/user/" + std::to_string(*owner) + "/corvane/pellora.sock";
}

// Asks the tray object behind `path` to take its icon down, if it answers.
void AskToRemoveIcon(const std::string& path) {
    std::error_code ec;
    if (path.empty() || !fs::exists(path, ec))
        return;
    std::shared_ptr<CRpcConnection> connection;
    if (FAILED(CRpcConnection::Connect(path, &connection)))
        return;
    connection->SetCallTimeout(std::chrono::milliseconds(2000));
    CComPtr<IUnknown> root;
    if (SUCCEEDED(connection->GetRoot(root.Receive()))) {
        if (CComPtr<IRpcCall> tray = ComQuery<IRpcCall>(root.Get())) {
            CComVariant result;
            // IPellora slots: TestAlive 8, DestroyTrayIcon 9.
            if (SUCCEEDED(tray->RpcCall(IID_IPellora, 8, 0, nullptr, &result)))
                CheckResult(tray->RpcCall(IID_IPellora, 9, 0, nullptr, &result));
        }
    }
    root = nullptr;
    connection->Close();
}

// Whether the tray program attaches to this service: both name the same server socket
// (CORVANE_SERVER_SOCKET), or neither names one and both use the default. Another
// service's trays (a second service for tests, a per-user service) are left alone.
bool AttachesHere(pid_t pid) {
    const char* mine = std::getenv("CORVANE_SERVER_SOCKET");
    const std::string strMine = mine ? mine : "";
    const std::optional<std::string> theirs = ProcessEnvironmentValue(pid, "CORVANE_SERVER_SOCKET");
    return theirs.value_or("") == strMine;
}

}  // namespace

CTrayAppProcess::~CTrayAppProcess() {
    for (auto& process : m_processes)
        Close(process);
}

void CTrayAppProcess::Close(Process& process) {
    if (process.pidfd >= 0)
        ::close(process.pidfd);
    process.pidfd = -1;
}

int CTrayAppProcess::Init() {
    try {
        for (auto& process : m_processes)
            Close(process);
        m_processes.clear();
        std::error_code ec;
        for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit))
                continue;
            const pid_t pid = static_cast<pid_t>(std::stol(name));
            if (pid == getpid() || !IsPelloraName(ExecutableName(pid)) || !AttachesHere(pid))
                continue;
            const int pidfd = PidfdOpen(pid);
            if (pidfd < 0)
                continue;  // gone meanwhile, or not ours to touch
            // The pid may have been reused between the look and the open: look again.
            if (!IsPelloraName(ExecutableName(pid))) {
                ::close(pidfd);
                continue;
            }
            m_processes.push_back({pid, pidfd, TraySocketPath(pid)});
        }
        return static_cast<int>(m_processes.size());
    } catch (...) {
        ReportException("CTrayAppProcess::Init", CV_HERE);
        return static_cast<int>(m_processes.size());
    }
}

std::vector<pid_t> CTrayAppProcess::Found() const {
    std::vector<pid_t> pids;
    for (const auto& process : m_processes)
        pids.push_back(process.pid);
    return pids;
}

void CTrayAppProcess::KillTray() {
    try {
        if (m_processes.empty())
            return;
        // Best effort: a tray that does not answer is ended anyway.
        for (const auto& process : m_processes)
            AskToRemoveIcon(process.socketPath);
        KillPelloraProcess();
    } catch (...) {
        ReportException("CTrayAppProcess::KillTray", CV_HERE);
    }
}

int CTrayAppProcess::KillPelloraProcess() {
    try {
        int result = 1;
        for (auto& process : m_processes) {
            result = 0;
            if (CheckExpression(PidfdSendSignal(process.pidfd, SIGTERM) != 0 && errno != ESRCH)) {
                Close(process);
                continue;
            }
            if (!WaitExit(process.pidfd, kTermWait)) {
                CheckExpression(PidfdSendSignal(process.pidfd, SIGKILL) != 0 && errno != ESRCH);
                result = WaitExit(process.pidfd, kTermWait) ? 1 : 0;
            } else {
                result = 1;
            }
            Close(process);
        }
        m_processes.clear();
        return result;
    } catch (...) {
        ReportException("CTrayAppProcess::KillPelloraProcess", CV_HERE);
        return 1;
    }
}
