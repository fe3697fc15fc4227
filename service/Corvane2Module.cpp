// Module start-up, registration and the run.
#include "service/Corvane2Module.h"

#include <signal.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "com/DiagnosticLog.h"
#include "com/Singleton.h"
#include "http/HTTPConnection.h"
#include "http/server/HTTPServer.h"
#include "idl/Resources.h"
#include "idl/ServerSocket.h"
#include "intake/BrowserRegistry.h"
#include "intake/HandOn.h"
#include "intake/SocketServer.h"
#include "service/Registration.h"
#include "service/Server.h"
#include "service/ServiceUnit.h"
#include "service/TrayAppProcess.h"

namespace {

std::string ServiceName() {
    return std::string(resources::LoadString(resources::IDS_SERVICENAME));
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

CCorvane2Module::CCorvane2Module(std::filesystem::path executable, CRegistryStore& store)
    : m_executable(std::move(executable)), m_store(store) {
    openlog(ServiceName().c_str(), LOG_PID, LOG_DAEMON);
}

CCorvane2Module::~CCorvane2Module() {
    StopControlThread();
}

void CCorvane2Module::LogEvent(const std::string& text) const {
    syslog(LOG_INFO, "%s", text.c_str());
    if (!m_serviceMode) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}

void CCorvane2Module::ReportFailure(const std::string& text, HRESULT hr) const {
    std::string message = ServiceName() + ": " + text;
    if (FAILED(hr)) {
        std::string reason = ErrorText(hr);
        message += " (" + HResultToString(hr) + (reason.empty() ? "" : " " + reason) + ")";
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    syslog(LOG_ERR, "%s", message.c_str());
    LogTrace("%s", message.c_str());
}

void CCorvane2Module::StartSocketServer() {
    try {
        UserSessionTimings::ReadEnvironment();
        // Created in this order so that module termination ends the socket server while
        // the pool and the store it uses still exist.
        THREAD_POOL::instance();
        REGISTRY_STORE::instance();
        // Connections to the private ports become connections of the local web server.
        HTTP_SERVER::instance()->Install();
        SetLocalServerHook([](CProcessSession* session, CSocketHandle client, CBuffer* buffer) {
            CComPtr<IUnknown> ptrSession(static_cast<IUserObject*>(session));
            auto* connection = new (std::nothrow) CHTTPConnection(ptrSession, client);
            if (CheckExpression(!connection)) {
                delete buffer;
                return;
            }
            // CORVANE_HTTP_IDLE_MS shortens the idle time-out for tests.
            static const DWORD idleMs = [] {
                const char* text = std::getenv("CORVANE_HTTP_IDLE_MS");
                long value = text ? std::atol(text) : 0;
                return value > 0 ? static_cast<DWORD>(value)
                                 : CHTTPConnection::kDefaultIdleTimeoutMs;
            }();
            connection->SetIdleTimeout(idleMs);
            CheckResult(connection->Start(buffer));
        });
        CSocketServer* server = SOCKET_SERVER::instance();
        if (CheckExpression(!server))
            return;
        // The filter cannot work without it, but registration still can.
        CheckResult(server->Start());
    } catch (...) {
        ReportException("CCorvane2Module::StartSocketServer", CV_HERE);
    }
}

HRESULT CCorvane2Module::StartServerObject() {
    try {
        const std::string path = ServiceServerSocketPath();
        // A service run by root serves every user; one run by a user serves only that user.
        const bool shared = ::geteuid() == 0;
        HRESULT hr = S_OK;
        CComPtr<CServer> server = MakeObject<CServer>(&hr);
        if (CheckExpression(!server))
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        hr = CRpcServer::Listen(path, shared ? 0666 : 0600, shared ? 0755 : 0700,
                                static_cast<ISocketServer*>(server.Get()), &m_rpcServer);
        if (!CheckResult(hr))
            return hr;
        // The connect() library reads the browser list when it cannot reach this service;
        // a failure to write it is logged and leaves the filter running.
        CheckResult(WriteBrowserListFile(ServiceBrowserListPath(), ReadBrowserList(m_store)));
        return S_OK;
    } catch (...) {
        return ReportException("CCorvane2Module::StartServerObject", CV_HERE);
    }
}

int CCorvane2Module::Main(const std::vector<std::string>& args) {
    StartSocketServer();
    CommandLine line = ParseCommandLine(args);
    for (const auto& token : line.ignored)
        ReportFailure("ignoring the unknown switch \"" + token + "\"", S_OK);

    if (line.action != ModuleSwitch::Run) {
        // Only a run stops through the message loop; a registration ends at a signal.
        sigset_t set = StopSignals();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    HRESULT hr = S_OK;
    switch (line.action) {
        case ModuleSwitch::UnregServer:
            hr = UnregisterServer(false);
            break;
        case ModuleSwitch::RegServer:
            hr = RegisterServer(false);
            break;
        case ModuleSwitch::UnregServerPerUser:
            hr = UnregisterServer(true);
            break;
        case ModuleSwitch::RegServerPerUser:
            hr = RegisterServer(true);
            break;
        case ModuleSwitch::Service:
            hr = InstallService();
            break;
        case ModuleSwitch::Run:
            hr = Run();
            break;
    }
    return SUCCEEDED(hr) ? 0 : 1;
}

HRESULT CCorvane2Module::UnregisterServer(bool perUser) {
    try {
        if (!perUser) {
            CServiceUnit unit(ServiceName(), m_executable);
            HRESULT hr = unit.Uninstall();
            if (FAILED(hr)) {
                ReportFailure(
                    std::string(resources::LoadString(resources::IDS_CANNOTDELETESERVICE)), hr);
                return hr;
            }
        }
        const std::string root = ClassesRoot(perUser, ::getuid());
        HRESULT hr = m_store.Transact([&](CRegistryTree& tree) {
            HRESULT hrRemove = RemoveRegistration(tree, root);
            if (SUCCEEDED(hrRemove) && !perUser) {
                // The browser list is ours to write on this platform; it goes with us.
                tree.DeleteKey(kStartMenuInternetKey);
                std::vector<std::string> left;
                const char* clients = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Clients";
                if (SUCCEEDED(tree.EnumSubkeys(clients, &left)) && left.empty())
                    tree.DeleteKey(clients);
            }
            return hrRemove;
        });
        if (FAILED(hr))
            ReportFailure("the registration could not be removed", hr);
        return hr;
    } catch (...) {
        return ReportException("CCorvane2Module::UnregisterServer", CV_HERE);
    }
}

HRESULT CCorvane2Module::RegisterServer(bool perUser) {
    try {
        const std::string root = ClassesRoot(perUser, ::getuid());
        HRESULT hr = m_store.Transact([&](CRegistryTree& tree) {
            HRESULT hrWrite = WriteRegistration(tree, root, m_executable);
            if (SUCCEEDED(hrWrite) && !perUser) {
                // Only registered browsers are diverted; the installed ones are listed now.
                const char* path = std::getenv("PATH");
                hrWrite = WriteBrowserRegistrations(tree, DesktopEntryDirectories(),
                                                    path ? path : "/usr/local/bin:/usr/bin:/bin");
            }
            return hrWrite;
        });
        if (FAILED(hr)) {
            ReportFailure("the registration could not be written", hr);
            return hr;
        }
        if (!perUser) {
            // A plain server is not also a service.
            CServiceUnit unit(ServiceName(), m_executable);
            hr = unit.Uninstall();
            if (FAILED(hr)) {
                ReportFailure(
                    std::string(resources::LoadString(resources::IDS_CANNOTDELETESERVICE)), hr);
                return hr;
            }
        }
        return S_OK;
    } catch (...) {
        return ReportException("CCorvane2Module::RegisterServer", CV_HERE);
    }
}

HRESULT CCorvane2Module::InstallService() {
    try {
        HRESULT hr = RegisterServer(false);
        if (FAILED(hr))
            return hr;
        const std::string root = ClassesRoot(false, 0);
        hr = m_store.Transact(
            [&](CRegistryTree& tree) { return WriteLocalService(tree, root, ServiceName()); });
        if (FAILED(hr)) {
            ReportFailure("the registration could not be written", hr);
            return hr;
        }
        CServiceUnit unit(ServiceName(), m_executable);
        hr = unit.Install();
        if (FAILED(hr)) {
            ReportFailure(std::string(resources::LoadString(resources::IDS_CANNOTSTARTSERVICE)),
                          hr);
            return hr;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CCorvane2Module::InstallService", CV_HERE);
    }
}

bool CCorvane2Module::IsServiceMode() const {
    CRegistryValue value;
    return SUCCEEDED(m_store.GetValue(AppIdKey(ClassesRoot(false, 0)), "LocalService", &value));
}

HRESULT CCorvane2Module::PreMessageLoop() {
    try {
        // Tray programs left over from an earlier run are closed; a failure of theirs never
        // stops the filter.
        CTrayAppProcess trays;
        if (trays.Init() > 0)
            trays.KillTray();
        return StartServerObject();
    } catch (...) {
        return ReportException("CCorvane2Module::PreMessageLoop", CV_HERE);
    }
}

void CCorvane2Module::StartControlThread() {
    m_control = std::thread([this] {
        sigset_t set = StopSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            if (m_exiting)
                return;
            OnStop();
        }
    });
}

void CCorvane2Module::StopControlThread() {
    if (!m_control.joinable())
        return;
    m_exiting = true;
    pthread_kill(m_control.native_handle(), SIGTERM);
    m_control.join();
}

void CCorvane2Module::OnStop() {
    try {
        if (m_stopRequested.exchange(true))
            return;
        if (m_serviceMode)
            sd_notify(0, "STOPPING=1");
        m_loop.PostQuit();
    } catch (...) {
        ReportException("CCorvane2Module::OnStop", CV_HERE);
    }
}

HRESULT CCorvane2Module::Run() {
    if (m_bCreateMarker)
        m_marker.Create(kServiceMarkerName);
    m_serviceMode = IsServiceMode();
    StartControlThread();
    HRESULT hr = PreMessageLoop();
    if (FAILED(hr)) {
        StopControlThread();
        return hr;
    }
    LogEvent("Service started");
    if (!m_serviceMode && SOCKET_SERVER::exists()) {
        // In the foreground, say where the local pages are: a browser started with
        // corvane-run reaches them at the service's port.
        const unsigned port = SOCKET_SERVER::instance()->PrivatePort();
        std::printf(
            "Local pages: http://localhost:%u/about.asp, the family's settings: "
            "http://localhost:%u/settings.asp (open them in a browser started with "
            "corvane-run)\n",
            port, port);
        std::fflush(stdout);
    }
    if (m_serviceMode)
        sd_notify(0, "READY=1");
    m_loop.Run();
    if (m_rpcServer)
        m_rpcServer->Stop();
    m_rpcServer.reset();
    {
        // The tray programs take their icons down and end with the service.
        CTrayAppProcess trays;
        if (trays.Init() > 0)
            trays.KillTray();
    }
    ModuleTerminate();
    StopControlThread();
    LogEvent("Service stopped");
    return S_OK;
}
