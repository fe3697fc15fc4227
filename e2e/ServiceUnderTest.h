// The real corvane service for end-to-end tests: started with a registry of its own that
// names the test's programs as browsers, logging into the test's folder, and programs run
// under corvane-run (as an interactive user when the tests run as root, since only such
// users' programs are diverted).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "service/ChildProcess_test.h"

namespace e2e {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The path a program runs as (what /proc/self/exe shows), or empty when absent.
inline std::string Executable(const char* path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

#ifdef CORVANE_SITE_EXE
// Compiles a policy site of the test's own into `dir`/"Corvane.dat" from pages given as
// (path below the site's folder, text), e.g. {"Common/global.asa", "..."}; the service
// started with CORVANE_SITES=`dir` adds it at boot. False (with a test failure) when
// corvane-site fails.
inline bool CompilePolicySite(const fs::path& dir,
                              const std::vector<std::pair<std::string, std::string>>& pages) {
    const fs::path source = dir / "policy";
    for (const auto& [name, text] : pages) {
        fs::create_directories((source / name).parent_path());
        std::ofstream(source / name, std::ios::binary) << text;
    }
    const std::string command = std::string(CORVANE_SITE_EXE) + " " + source.string() + " " +
                                (dir / "Corvane.dat").string();
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << command;
        return false;
    }
    fs::permissions(dir / "Corvane.dat", fs::perms::all);
    return true;
}
#endif

class CServiceUnderTest {
public:
    // `dir` must exist; the diverted programs, which run as another user, may write there.
    // `extraEnv` is added to the service's environment; `registryExtra` to its registry.
    bool Start(const fs::path& dir, const std::vector<std::string>& browsers,
               const std::map<std::string, std::string>& extraEnv = {},
               const std::string& registryExtra = "") {
        m_dir = dir;
        fs::permissions(m_dir, fs::perms::all);
        m_log = m_dir / "corvane.log";
        std::ofstream reg(m_dir / "registry.reg");
        reg << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
            << "\"Logging\"=\"" << m_log.string() << "\"\n";
        int n = 0;
        for (const std::string& program : browsers) {
            std::string exe = Executable(program.c_str());
            if (exe.empty())
                continue;
            reg << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Clients\\StartMenuInternet\\Test" << n++
                << "\\shell\\open\\command]\n@=\"" << exe << "\"\n";
        }
        reg << registryExtra;
        reg.close();
        m_env = {{"CORVANE_REGISTRY", (m_dir / "registry.reg").string()},
                 {"CORVANE_SERVER_SOCKET", (m_dir / "server.sock").string()},
                 {"CORVANE_UNIT_DIR", m_dir.string()}};
        auto env = m_env;
        env.insert(extraEnv.begin(), extraEnv.end());
        m_service = std::make_unique<CChildProcess>(CORVANE_EXE, std::vector<std::string>{}, env);
        if (!m_service->WaitForOutput("Service started\n")) {
            ADD_FAILURE() << "the service did not start: " << m_service->Stderr();
            return false;
        }
        return true;
    }

    // Stops the service; its exit code.
    int Stop() {
        if (!m_service)
            return 0;
        m_service->Signal(SIGTERM);
        int code = m_service->Wait();
        if (code != 0)
            ADD_FAILURE() << m_service->Stderr();
        m_service.reset();
        return code;
    }

    // The port of the local pages, from the line the service prints in the foreground.
    int LocalPort() {
        if (!m_service || !m_service->WaitForOutput(" (open them"))
            return 0;
        const std::string& out = m_service->Stdout();
        std::size_t at = out.find("http://localhost:");
        return at == std::string::npos ? 0 : std::atoi(out.c_str() + at + 17);
    }

    // Runs a program under corvane-run; its exit code.
    // A failing exit is reported as a test failure unless `failureExpected`.
    int Diverted(const std::vector<std::string>& command, std::string* out = nullptr,
                 std::chrono::seconds bound = std::chrono::seconds(120),
                 bool failureExpected = false) {
        std::vector<std::string> args(command);
        args.insert(args.begin(), CORVANE_RUN_EXE);
        std::string program = CORVANE_RUN_EXE;
        if (getuid() == 0) {
            args.insert(args.begin(), {"--reuid=1000", "--regid=1000", "--clear-groups"});
            program = "/usr/bin/setpriv";
        } else {
            args.erase(args.begin());
        }
        auto env = m_env;
        env["HOME"] = m_dir.string();
        CChildProcess child(program, args, env);
        int code = child.Wait(bound);
        if (out)
            *out = child.Stdout();
        if (code != 0 && !failureExpected) {
            // The end of the service's log usually says why.
            const std::string log = Log();
            ADD_FAILURE() << "stderr: " << child.Stderr() << "\nservice log (end):\n"
                          << log.substr(log.size() > 20000 ? log.size() - 20000 : 0);
        }
        return code;
    }

    std::string Log() const { return ReadAll(m_log); }
    const fs::path& Dir() const { return m_dir; }

private:
    fs::path m_dir, m_log;
    std::map<std::string, std::string> m_env;
    std::unique_ptr<CChildProcess> m_service;
};

}  // namespace e2e
