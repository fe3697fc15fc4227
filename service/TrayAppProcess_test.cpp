// Tray process control with stand-in processes named "pellora".
#include "service/TrayAppProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

extern char** environ;

namespace fs = std::filesystem;

namespace {

class TrayAppProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("cv-tray-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        for (pid_t pid : m_children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        fs::remove_all(m_dir);
    }
    // Starts a copy of `program` named "pellora" with `args`; its stdin is a pipe that
    // stays open, so a shell reading it blocks.
    pid_t Start(const char* program, std::vector<std::string> args) {
        const fs::path copy = m_dir / ("run" + std::to_string(m_children.size())) / "pellora";
        fs::create_directories(copy.parent_path());
        fs::copy_file(program, copy);
        fs::permissions(copy, fs::perms::owner_all);
        int in[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        std::vector<char*> argv{const_cast<char*>(copy.c_str())};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        EXPECT_EQ(0, posix_spawn(&pid, copy.c_str(), &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        m_pipes.push_back(in[1]);
        m_children.push_back(pid);
        return pid;
    }
    // The signal that ended the child.
    int Reap(pid_t pid) {
        int status = 0;
        EXPECT_EQ(pid, waitpid(pid, &status, 0));
        std::erase(m_children, pid);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    static bool Has(const std::vector<pid_t>& pids, pid_t pid) {
        return std::find(pids.begin(), pids.end(), pid) != pids.end();
    }

    fs::path m_dir;
    std::vector<pid_t> m_children;
    std::vector<int> m_pipes;
};

TEST_F(TrayAppProcessTest, FindsTrayProgramsByNameAndEndsThem) {
    const pid_t polite = Start("/bin/sleep", {"1000"});
    // A tray program that ignores SIGTERM gets SIGKILL.
    const pid_t stubborn = Start("/bin/bash", {"-c", "trap '' TERM; read line"});
    CTrayAppProcess trays;
    ASSERT_GE(trays.Init(), 2);
    auto found = trays.Found();
    EXPECT_TRUE(Has(found, polite));
    EXPECT_TRUE(Has(found, stubborn));
    EXPECT_FALSE(Has(found, getpid()));
    trays.KillTray();  // no tray answers on a socket: they are ended anyway
    EXPECT_EQ(Reap(polite), SIGTERM);
    int sig = Reap(stubborn);
    EXPECT_TRUE(sig == SIGKILL || sig == SIGTERM) << sig;
    EXPECT_TRUE(trays.Found().empty());
}

TEST_F(TrayAppProcessTest, NothingFoundMeansNothingToDo) {
    const pid_t other = Start("/bin/sleep", {"1000"});
    fs::rename(m_dir / "run0" / "pellora", m_dir / "run0" / "pellora-not");
    CTrayAppProcess trays;
    trays.Init();
    EXPECT_FALSE(Has(trays.Found(), other));
    CTrayAppProcess none;
    EXPECT_EQ(1, none.KillPelloraProcess());
    none.KillTray();
}

}  // namespace
