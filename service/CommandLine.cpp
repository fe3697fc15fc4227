// Switch parsing.
#include "service/CommandLine.h"

#include <optional>

#include "com/Strings.h"

namespace {

std::optional<ModuleSwitch> Match(const std::string& token) {
    if (token.size() < 2 || (token[0] != '-' && token[0] != '/')) return std::nullopt;
    std::string_view name(token);
    name.remove_prefix(1);
    for (ModuleSwitch s : {ModuleSwitch::UnregServer, ModuleSwitch::RegServer,
                           ModuleSwitch::UnregServerPerUser, ModuleSwitch::RegServerPerUser,
                           ModuleSwitch::Service})
        if (EqualsNoCase(name, SwitchName(s))) return s;
    return std::nullopt;
}

}  // namespace

const char* SwitchName(ModuleSwitch s) {
    switch (s) {
        case ModuleSwitch::UnregServer: return "UnregServer";
        case ModuleSwitch::RegServer: return "RegServer";
        case ModuleSwitch::UnregServerPerUser: return "UnregServerPerUser";
        case ModuleSwitch::RegServerPerUser: return "RegServerPerUser";
        case ModuleSwitch::Service: return "Service";
        case ModuleSwitch::Run: break;
    }
    return "";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    bool service = false;
    bool decided = false;
    for (const auto& token : args) {
        auto s = Match(token);
        if (!s) {
            if (token.size() > 1 && (token[0] == '-' || token[0] == '/'))
                result.ignored.push_back(token);
            continue;
        }
        if (*s == ModuleSwitch::Service) {
            service = true;
        } else if (!decided) {
            result.action = *s;
            decided = true;
        }
    }
    if (!decided && service) result.action = ModuleSwitch::Service;
    return result;
}
