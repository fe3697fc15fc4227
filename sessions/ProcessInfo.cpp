// Process facts from /proc; see ProcessInfo.h.
#include "sessions/ProcessInfo.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The fields of /proc/PID/stat after the command name, which may itself hold spaces and
// parentheses: everything after the last ')'. fields[0] is the state.
std::optional<std::string> StatAfterName(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size())
        return std::nullopt;
    return stat.substr(close + 2);
}

}  // namespace

std::optional<std::uint64_t> ProcessStartTime(pid_t pid) {
    auto rest = StatAfterName(pid);
    if (!rest)
        return std::nullopt;
    std::istringstream fields(*rest);
    std::string state;
    fields >> state;
    if (state.empty() || state == "Z" || state == "X")
        return std::nullopt;
    // The state is field 3; the start time is field 22.
    std::string field;
    for (int i = 4; i <= 22; ++i) {
        if (!(fields >> field))
            return std::nullopt;
    }
    try {
        return std::stoull(field);
    } catch (...) {
        return std::nullopt;
    }
}

bool IsProcessAlive(pid_t pid, std::optional<std::uint64_t> startTime) {
    auto now = ProcessStartTime(pid);
    if (!now)
        return false;
    return !startTime || *startTime == *now;
}

std::optional<uid_t> ProcessOwner(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream ids(line.substr(4));
            unsigned long uid = 0;
            if (ids >> uid)
                return static_cast<uid_t>(uid);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string ProcessExecutable(pid_t pid) {
    if (pid <= 0)
        return {};
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : path.string();
}

std::optional<std::string> ProcessEnvironmentValue(pid_t pid, const std::string& name) {
    if (pid <= 0)
        return std::nullopt;
    const std::string environ = ReadFile("/proc/" + std::to_string(pid) + "/environ");
    const std::string prefix = name + "=";
    std::string_view rest(environ);
    while (!rest.empty()) {
        auto end = rest.find('\0');
        std::string_view entry = rest.substr(0, end);
        if (entry.substr(0, prefix.size()) == prefix)
            return std::string(entry.substr(prefix.size()));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}
