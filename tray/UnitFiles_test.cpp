// The files that start pellora in a user's graphical session: the systemd user unit parses
// cleanly (when systemd-analyze is there), and the autostart entry starts the same program
// only where systemd does not manage the session.
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const fs::path kTray = fs::path(CORVANE_SOURCE_DIR) / "tray";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value of the unit's `key=` line, or empty.
std::string UnitValue(const std::string& unit, const std::string& key) {
    std::stringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(key + "="))
            return line.substr(key.size() + 1);
    return {};
}

TEST(UnitFiles, TheUserUnitParsesWithoutWarnings) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    const std::string unit = ReadAll(kTray / "pellora.service");
    ASSERT_FALSE(unit.empty());
    EXPECT_EQ("/usr/bin/pellora", UnitValue(unit, "ExecStart"));
    EXPECT_EQ("always", UnitValue(unit, "Restart"));
    EXPECT_EQ("graphical-session.target", UnitValue(unit, "PartOf"));

    // systemd-analyze also checks that the program exists: the copy it reads starts this
    // test instead, which is there wherever the test runs.
    const fs::path dir = fs::temp_directory_path() / ("cvunit-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    std::string copy = unit;
    const std::string exec = "ExecStart=/usr/bin/pellora";
    copy.replace(copy.find(exec), exec.size(),
                 "ExecStart=" + fs::read_symlink("/proc/self/exe").string());
    std::ofstream(dir / "pellora.service") << copy;

    const std::string command = "XDG_RUNTIME_DIR='" + (dir / "run").string() +
                                "' /usr/bin/systemd-analyze verify --user '" +
                                (dir / "pellora.service").string() + "' 2>&1";
    std::string output;
    int status = -1;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        status = pclose(pipe);
    }
    fs::remove_all(dir);
    if (output.find("Failed to initialize manager") != std::string::npos)
        GTEST_SKIP() << "systemd-analyze cannot run here: " << output;
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ("", output) << "warnings are lines systemd ignores";
}

TEST(UnitFiles, TheAutostartEntryStartsPelloraOutsideSystemdSessions) {
    GKeyFile* entry = g_key_file_new();
    GError* error = nullptr;
    ASSERT_TRUE(g_key_file_load_from_file(entry, (kTray / "pellora.desktop").c_str(),
                                          G_KEY_FILE_NONE, &error))
        << (error ? error->message : "");
    const char* group = G_KEY_FILE_DESKTOP_GROUP;
    auto text = [&](const char* key) {
        gchar* value = g_key_file_get_string(entry, group, key, nullptr);
        std::string result = value ? value : "";
        g_free(value);
        return result;
    };
    auto flag = [&](const char* key) {
        return g_key_file_get_boolean(entry, group, key, nullptr) == TRUE;
    };
    EXPECT_EQ("Application", text("Type"));
    EXPECT_FALSE(text("Name").empty());
    // The same program as the unit's, and only where it is installed.
    EXPECT_EQ(UnitValue(ReadAll(kTray / "pellora.service"), "ExecStart"), text("Exec"));
    EXPECT_EQ(text("Exec"), text("TryExec"));
    EXPECT_TRUE(flag("NoDisplay"));
    EXPECT_TRUE(flag("X-GNOME-Autostart-enabled"));
    EXPECT_TRUE(flag("X-GNOME-HiddenUnderSystemd"));
    EXPECT_TRUE(flag("X-systemd-skip"));
    EXPECT_FALSE(flag("Hidden"));
    g_key_file_free(entry);
    g_clear_error(&error);
}

}  // namespace
