// The systemd unit that runs the service: written and enabled by "-Service", stopped,
// disabled and removed by "-UnregServer" and "-RegServer".
//
// The unit directory is /etc/systemd/system unless CORVANE_UNIT_DIR names another one
// (tests and packaging use that). systemctl is asked to reload, enable, stop and
// disable only for the system directory and only when systemd runs on this machine.
#pragma once

#include <filesystem>
#include <string>

#include "com/HResult.h"

class CServiceUnit {
public:
    // `executable` is the program's full path; `serviceName` names the unit ("Corvane"
    // gives corvane.service).
    CServiceUnit(std::string serviceName, std::filesystem::path executable);

    std::filesystem::path UnitPath() const;
    std::string UnitText() const;
    bool IsInstalled() const;

    // Writes and enables the unit (a no-op when it is installed already).
    HRESULT Install();
    // Stops, disables and removes the unit; S_FALSE when it was not installed.
    HRESULT Uninstall();

private:
    bool UsesSystemctl() const;
    int Systemctl(const std::string& arguments) const;

    std::string m_serviceName;
    std::string m_unitName;
    std::filesystem::path m_executable;
    std::filesystem::path m_unitDir;
};
