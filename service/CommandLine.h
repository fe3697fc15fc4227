// The service program's command-line switches and their order of precedence.
//
// Tokens that begin with '-' or '/' are compared with the switches without regard to
// case. The four registration switches are looked for first, over the whole line, and
// the first of them found decides; only when none is present does "Service" count.
// Anything else is ignored (and reported, so that a typing error does not silently
// start the filter).
#pragma once

#include <string>
#include <vector>

enum class ModuleSwitch { Run, UnregServer, RegServer, UnregServerPerUser, RegServerPerUser, Service };

struct CommandLine {
    ModuleSwitch action = ModuleSwitch::Run;
    std::vector<std::string> ignored;  // switch-like tokens that are not switches
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

const char* SwitchName(ModuleSwitch s);
