// Writing and removing the systemd unit.
#include "service/ServiceUnit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

constexpr const char* kSystemUnitDir = "/etc/systemd/system";

std::string Lower(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// Quotes a value for a unit file's command line or environment assignment.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

CServiceUnit::CServiceUnit(std::string serviceName, std::filesystem::path executable)
    : m_serviceName(std::move(serviceName)),
      m_unitName(Lower(m_serviceName) + ".service"),
      m_executable(std::move(executable)) {
    const char* dir = std::getenv("CORVANE_UNIT_DIR");
    m_unitDir = dir && *dir ? dir : kSystemUnitDir;
}

std::filesystem::path CServiceUnit::UnitPath() const { return m_unitDir / m_unitName; }

std::string CServiceUnit::UnitText() const {
    std::ostringstream text;
    text << "[Unit]\n"
         << "Description=" << m_serviceName << " web filter\n"
         << "After=network.target\n"
         << "\n[Service]\n"
         << "Type=notify\n"
         << "NotifyAccess=main\n"
         << "ExecStart=" << Quote(m_executable.string()) << "\n"
         << "Restart=on-failure\n";
    // The service must read the same registry and sites that it was registered with.
    for (const char* name : {"CORVANE_REGISTRY", "CORVANE_SITES"})
        if (const char* value = std::getenv(name); value && *value)
            text << "Environment=" << Quote(std::string(name) + "=" + value) << "\n";
    text << "\n[Install]\n"
         << "WantedBy=multi-user.target\n";
    return text.str();
}

bool CServiceUnit::IsInstalled() const {
    std::error_code ec;
    return std::filesystem::exists(UnitPath(), ec);
}

bool CServiceUnit::UsesSystemctl() const {
    std::error_code ec;
    return m_unitDir == kSystemUnitDir && std::filesystem::exists("/run/systemd/system", ec) &&
           (std::filesystem::exists("/usr/bin/systemctl", ec) ||
            std::filesystem::exists("/bin/systemctl", ec));
}

int CServiceUnit::Systemctl(const std::string& arguments) const {
    std::string command = "systemctl " + arguments + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
}

HRESULT CServiceUnit::Install() {
    try {
        if (IsInstalled()) return S_FALSE;
        std::error_code ec;
        std::filesystem::create_directories(m_unitDir, ec);
        const auto path = UnitPath();
        const auto temp = path.string() + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << UnitText();
            out.flush();
            if (CheckExpression(!out)) {
                std::filesystem::remove(temp, ec);
                return HRESULT_FROM_WIN32(ERROR_CANTWRITE);
            }
        }
        if (CheckExpression(::rename(temp.c_str(), path.c_str()) != 0)) {
            HRESULT hr = HResultFromErrno(errno);
            std::filesystem::remove(temp, ec);
            return hr;
        }
        ::chmod(path.c_str(), 0644);
        if (UsesSystemctl()) {
            CheckExpression(Systemctl("daemon-reload") != 0);
            CheckExpression(Systemctl("enable " + m_unitName) != 0);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CServiceUnit::Install", CV_HERE);
    }
}

HRESULT CServiceUnit::Uninstall() {
    try {
        if (!IsInstalled()) return S_FALSE;
        if (UsesSystemctl()) {
            // A stop that fails because the service is not running is not reported.
            Systemctl("stop " + m_unitName);
            CheckExpression(Systemctl("disable " + m_unitName) != 0);
        }
        if (CheckExpression(::unlink(UnitPath().c_str()) != 0 && errno != ENOENT))
            return HResultFromErrno(errno);
        if (UsesSystemctl()) CheckExpression(Systemctl("daemon-reload") != 0);
        return S_OK;
    } catch (...) {
        return ReportException("CServiceUnit::Uninstall", CV_HERE);
    }
}
