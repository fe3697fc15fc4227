// CCorvane2Module: the service program's module — switches, registration, the run as a
// system service or as a plain local server, and the orderly stop.
//
// Registration writes into the registry store; "Service" also writes and enables the
// systemd unit. A run decides its mode from the LocalService value under the AppID key:
// present, the program is the system service and reports readiness and stop to systemd;
// absent, it runs as the local server in the foreground. Either way the main thread
// runs the message loop until a stop request (SIGTERM, SIGINT, or the service manager)
// posts the quit message; then the singletons are ended, most recent first.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com/HResult.h"
#include "registry/RegistryStore.h"
#include "rpc/RpcServer.h"
#include "service/CommandLine.h"
#include "service/Marker.h"
#include "service/MessageLoop.h"

class CCorvane2Module {
public:
    CCorvane2Module(std::filesystem::path executable, CRegistryStore& store);
    ~CCorvane2Module();

    // Acts on the command line: registers, unregisters, installs, or runs. Returns the
    // process exit code.
    int Main(const std::vector<std::string>& args);

    HRESULT RegisterServer(bool perUser);
    HRESULT UnregisterServer(bool perUser);
    // Registers, sets LocalService and installs the unit.
    HRESULT InstallService();

    // True when LocalService is present under the AppID key.
    bool IsServiceMode() const;

    // The run: start-up, the message loop, and termination.
    HRESULT Run();
    // The stop request: asks the loop to quit. Safe from any thread.
    void OnStop();

    // Writes an information event to the journal (and, outside service mode, stdout).
    void LogEvent(const std::string& text) const;

    CMessageLoop& Loop() { return m_loop; }

    // Whether a run holds the service-running marker. Only a run takes it: a short
    // registration run beside a running service must not take the name from it.
    void SetCreateMarker(bool create) { m_bCreateMarker = create; }

private:
    // Starts the socket server (which binds the private port) before anything else.
    void StartSocketServer();
    // Serves the Server object on its socket path.
    HRESULT StartServerObject();
    HRESULT PreMessageLoop();
    void StartControlThread();
    void StopControlThread();
    // Shows an installer or registration failure: stderr, the journal and the log.
    void ReportFailure(const std::string& text, HRESULT hr) const;

    std::filesystem::path m_executable;
    CRegistryStore& m_store;
    CMessageLoop m_loop;
    bool m_serviceMode = false;
    std::thread m_control;
    std::atomic<bool> m_exiting{false};
    std::atomic<bool> m_stopRequested{false};
    bool m_bCreateMarker = true;
    CMarker m_marker;  // held for the rest of the process once a run took it
    std::shared_ptr<CRpcServer> m_rpcServer;  // the Server object's listener during a run
};

// Blocks the stop signals in the calling thread and in every thread it starts later;
// the module's control thread receives them with sigwait. Call first in main.
void BlockStopSignals();
