// Switch precedence: registration switches first, in line order; then "Service".
#include "service/CommandLine.h"

#include <gtest/gtest.h>

TEST(CommandLine, SwitchesAndTheirPrecedence) {
    struct Case {
        std::vector<std::string> args;
        ModuleSwitch expected;
    } cases[] = {
        {{}, ModuleSwitch::Run},
        {{"-RegServer"}, ModuleSwitch::RegServer},
        {{"/regserver"}, ModuleSwitch::RegServer},
        {{"-UNREGSERVER"}, ModuleSwitch::UnregServer},
        {{"/RegServerPerUser"}, ModuleSwitch::RegServerPerUser},
        {{"-unregserverperuser"}, ModuleSwitch::UnregServerPerUser},
        {{"-Service"}, ModuleSwitch::Service},
        // A registration switch wins over "Service" wherever it stands.
        {{"-Service", "/RegServer"}, ModuleSwitch::RegServer},
        // The first registration switch decides.
        {{"/UnregServer", "-RegServer"}, ModuleSwitch::UnregServer},
        // Not switches: no prefix, or a switch name as part of a longer word.
        {{"RegServer", "-RegServers", "--RegServer"}, ModuleSwitch::Run},
        {{"-embedding"}, ModuleSwitch::Run},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseCommandLine(c.args).action, c.expected)
            << (c.args.empty() ? "(none)" : c.args.front());
    }
}

TEST(CommandLine, UnknownSwitchesAreReportedNotActedOn) {
    CommandLine line = ParseCommandLine({"-verbose", "x", "/Service", "-"});
    EXPECT_EQ(line.action, ModuleSwitch::Service);
    EXPECT_EQ(line.ignored, (std::vector<std::string>{"-verbose"}));
}
