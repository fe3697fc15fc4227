// Module start-up, registration and the run.
#include "service/Corvane2Module.h"

#include <signal.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>

#include "com/DiagnosticLog.h"
#include "com/Singleton.h"
#include "service/Registration.h"
#include "service/Resources.h"
#include "service/ServiceUnit.h"

namespace {

std::string ServiceName() { return std::string(resources::LoadString(resources::IDS_SERVICENAME)); }

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

CCorvane2Module::~CCorvane2Module() { StopControlThread(); }

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

int CCorvane2Module::Main(const std::vector<std::string>& args) {
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
        case ModuleSwitch::UnregServer: hr = UnregisterServer(false); break;
        case ModuleSwitch::RegServer: hr = RegisterServer(false); break;
        case ModuleSwitch::UnregServerPerUser: hr = UnregisterServer(true); break;
        case ModuleSwitch::RegServerPerUser: hr = RegisterServer(true); break;
        case ModuleSwitch::Service: hr = InstallService(); break;
        case ModuleSwitch::Run: hr = Run(); break;
    }
    return SUCCEEDED(hr) ? 0 : 1;
}

HRESULT CCorvane2Module::UnregisterServer(bool perUser) {
    try {
        if (!perUser) {
            CServiceUnit unit(ServiceName(), m_executable);
            HRESULT hr = unit.Uninstall();
            if (FAILED(hr)) {
                ReportFailure(std::string(resources::LoadString(
                                  resources::IDS_CANNOTDELETESERVICE)),
                              hr);
                return hr;
            }
        }
        const std::string root = ClassesRoot(perUser, ::getuid());
        HRESULT hr = m_store.Transact([&](CRegistryTree& tree) { return RemoveRegistration(tree, root); });
        if (FAILED(hr)) ReportFailure("the registration could not be removed", hr);
        return hr;
    } catch (...) {
        return ReportException("CCorvane2Module::UnregisterServer", CV_HERE);
    }
}

HRESULT CCorvane2Module::RegisterServer(bool perUser) {
    try {
        const std::string root = ClassesRoot(perUser, ::getuid());
        HRESULT hr = m_store.Transact(
            [&](CRegistryTree& tree) { return WriteRegistration(tree, root, m_executable); });
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
        if (FAILED(hr)) return hr;
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
        // Class objects and left-over tray programs are taken care of here as the parts
        // that own them join the program; a failure of theirs never stops the filter.
        return S_OK;
    } catch (...) {
        return ReportException("CCorvane2Module::PreMessageLoop", CV_HERE);
    }
}

void CCorvane2Module::StartControlThread() {
    m_control = std::thread([this] {
        sigset_t set = StopSignals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (m_exiting) return;
            OnStop();
        }
    });
}

void CCorvane2Module::StopControlThread() {
    if (!m_control.joinable()) return;
    m_exiting = true;
    pthread_kill(m_control.native_handle(), SIGTERM);
    m_control.join();
}

void CCorvane2Module::OnStop() {
    try {
        if (m_stopRequested.exchange(true)) return;
        if (m_serviceMode) sd_notify(0, "STOPPING=1");
        m_loop.PostQuit();
    } catch (...) {
        ReportException("CCorvane2Module::OnStop", CV_HERE);
    }
}

HRESULT CCorvane2Module::Run() {
    if (m_bCreateMarker) m_marker.Create(kServiceMarkerName);
    m_serviceMode = IsServiceMode();
    StartControlThread();
    HRESULT hr = PreMessageLoop();
    if (FAILED(hr)) {
        StopControlThread();
        return hr;
    }
    LogEvent("Service started");
    if (m_serviceMode) sd_notify(0, "READY=1");
    m_loop.Run();
    ModuleTerminate();
    StopControlThread();
    LogEvent("Service stopped");
    return S_OK;
}
