// The conformance suite: every .vbs file beside this one runs through the engine with
// the test host; the lines of the file that start with "'> " are the output it must
// give, errors included ("error <scode> <description> at <cookie>:<line>:<char>").
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "com/Strings.h"
#include "script/engine/vbscript/tests/VBScriptTestHost.h"

namespace {

std::vector<std::string> Scripts() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(
             CORVANE_SOURCE_DIR "/script/engine/vbscript/tests/scripts"))
        if (entry.path().extension() == ".vbs")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class VBScriptConformance : public testing::TestWithParam<std::string> {};

TEST_P(VBScriptConformance, GivesExpectedOutput) {
    std::ifstream in(CORVANE_SOURCE_DIR "/script/engine/vbscript/tests/scripts/" + GetParam());
    std::stringstream text;
    text << in.rdbuf();
    std::string expected;
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("'> ", 0) == 0)
            expected += line.substr(3) + "\n";
    }
    EXPECT_EQ(RunScript(Utf8ToUtf16(text.str())), expected);
}

// Runs the script named by CORVANE_VBS_SCRIPT and prints what it gives: for trying out
// a script while writing its expected lines.
TEST(VBScriptConformanceTool, RunsNamedScript) {
    const char* path = std::getenv("CORVANE_VBS_SCRIPT");
    if (!path)
        GTEST_SKIP() << "CORVANE_VBS_SCRIPT not set";
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::printf("%s", RunScript(Utf8ToUtf16(text.str())).c_str());
}

INSTANTIATE_TEST_SUITE_P(Scripts, VBScriptConformance, testing::ValuesIn(Scripts()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.size() - 4);
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

}  // namespace
