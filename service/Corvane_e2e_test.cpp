// The corvane program end to end: switches against a private registry file and unit
// directory, a run stopped by a signal, and bad input that must not lose anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "registry/RegistryStore.h"
#include "service/ChildProcess_test.h"
#include "service/Marker.h"
#include "service/Registration.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CorvaneProgram : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("cv-e2e-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "units");
        m_registry = m_dir / "registry.reg";
        // A socket of its own: as root the service would otherwise take the installed
        // service's socket and browser list, which every other test on the machine sees.
        m_env = {{"CORVANE_REGISTRY", m_registry.string()},
                 {"CORVANE_UNIT_DIR", (m_dir / "units").string()},
                 {"CORVANE_SERVER_SOCKET", (m_dir / "server.sock").string()}};
    }
    void TearDown() override { fs::remove_all(m_dir); }

    int Run(const std::vector<std::string>& args, std::string* err = nullptr) {
        CChildProcess child(CORVANE_EXE, args, m_env);
        int code = child.Wait();
        if (err) *err = child.Stderr();
        return code;
    }
    bool HasValue(const std::string& key, const char* name) {
        CRegistryStore store(m_registry);
        CRegistryValue value;
        return SUCCEEDED(store.GetValue(key, name, &value));
    }

    fs::path m_dir, m_registry;
    std::map<std::string, std::string> m_env;
};

TEST_F(CorvaneProgram, ServiceSwitchInstallsUnitAndRegistrationAndUnregServerRemovesThem) {
    const std::string appId = AppIdKey(ClassesRoot(false, 0));
    ASSERT_EQ(Run({"-Service"}), 0);
    const fs::path unit = m_dir / "units" / "corvane.service";
    ASSERT_TRUE(fs::exists(unit));
    std::string text = ReadAll(unit);
    EXPECT_NE(text.find("ExecStart=\"" + fs::canonical(CORVANE_EXE).string() + "\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Type=notify"), std::string::npos);
    EXPECT_NE(text.find("WantedBy=multi-user.target"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"CORVANE_REGISTRY=" + m_registry.string() + "\""),
              std::string::npos);
    EXPECT_TRUE(HasValue(appId, "LocalService"));

    // Registering as a plain server removes the service again.
    ASSERT_EQ(Run({"/regserver"}), 0);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(HasValue(appId, "LocalService"));
    EXPECT_TRUE(HasValue(appId, "RunAs"));

    ASSERT_EQ(Run({"-Service"}), 0);
    ASSERT_EQ(Run({"-UnregServer"}), 0);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(HasValue(appId, ""));
    // Nothing of ours is left in the store.
    EXPECT_EQ(ReadAll(m_registry).find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"),
              std::string::npos)
        << ReadAll(m_registry);
}

TEST_F(CorvaneProgram, PerUserSwitchesWriteUnderTheUsersHive) {
    ASSERT_EQ(Run({"-RegServerPerUser"}), 0);
    const std::string root = ClassesRoot(true, getuid());
    EXPECT_TRUE(HasValue(root + "\\Corvane.Server\\CLSID", ""));
    ASSERT_EQ(Run({"-UnregServerPerUser"}), 0);
    EXPECT_FALSE(HasValue(root + "\\Corvane.Server\\CLSID", ""));
}

TEST_F(CorvaneProgram, RunsUntilSignalledAndLogsItsLife) {
    const fs::path log = m_dir / "corvane.log";
    {
        std::ofstream(m_registry) << "Windows Registry Editor Version 5.00\n\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
                                  << "\"Logging\"=\"" << log.string() << "\"\n";
    }
    for (int sig : {SIGINT, SIGTERM}) {
        CChildProcess child(CORVANE_EXE, {"-bogus"}, m_env);
        ASSERT_TRUE(child.WaitForOutput("Service started\n")) << child.Stderr();
        EXPECT_TRUE(CMarker::Exists(kServiceMarkerName));
        child.Signal(sig);
        EXPECT_EQ(child.Wait(), 0) << child.Stderr();
        EXPECT_NE(child.Stdout().find("Service stopped\n"), std::string::npos);
        // The unknown switch was reported and otherwise ignored.
        EXPECT_NE(child.Stderr().find("unknown switch \"-bogus\""), std::string::npos);
    }
    EXPECT_NE(ReadAll(log).find("unknown switch"), std::string::npos);
}

TEST_F(CorvaneProgram, CorruptRegistryIsReportedAndLeftUntouched) {
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
        "\"Logging\"=dword:zz\n";
    std::ofstream(m_registry) << corrupt;
    std::string err;
    EXPECT_EQ(Run({"-RegServer"}, &err), 1);
    EXPECT_NE(err.find("line 4"), std::string::npos) << err;
    EXPECT_EQ(ReadAll(m_registry), corrupt);
    EXPECT_FALSE(fs::exists(m_dir / "units" / "corvane.service"));
}

}  // namespace
