// Process facts: alive, zombie, reused pid, owner and environment.
#include "sessions/ProcessInfo.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sessions/UserAccount.h"

TEST(ProcessInfo, ThisProcessIsAliveWithItsOwnerAndEnvironment) {
    EXPECT_TRUE(IsProcessAlive(getpid()));
    auto start = ProcessStartTime(getpid());
    ASSERT_TRUE(start);
    EXPECT_TRUE(IsProcessAlive(getpid(), start));
    EXPECT_FALSE(IsProcessAlive(getpid(), *start + 1));  // another process under the same pid
    EXPECT_EQ(ProcessOwner(getpid()), getuid());
    setenv("CV_PROCESS_INFO_TEST", "a=b", 1);
    EXPECT_FALSE(ProcessEnvironmentValue(getpid(), "CV_PROCESS_INFO_TEST"));  // read at exec
    EXPECT_TRUE(ProcessEnvironmentValue(getpid(), "PATH") || !getenv("PATH"));
    EXPECT_FALSE(ProcessExecutable(getpid()).empty());
}

TEST(ProcessInfo, ZombieAndMissingProcessesAreDead) {
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    // Without waitpid the child stays a zombie; /proc/PID still exists.
    siginfo_t info{};
    ASSERT_EQ(0, waitid(P_PID, child, &info, WEXITED | WNOWAIT));
    EXPECT_FALSE(IsProcessAlive(child));
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(IsProcessAlive(child));
    EXPECT_FALSE(IsProcessAlive(0));
    EXPECT_FALSE(IsProcessAlive(-5));
}

TEST(UserAccount, SidStringAndInteractiveRule) {
    EXPECT_EQ(SidStringOfUid(1000), "S-1-22-1-1000");
    EXPECT_EQ(UserNameOfUid(0), "root");
    EXPECT_FALSE(IsInteractiveUser(65534));
    EXPECT_FALSE(IsInteractiveUser(0) && access("/run/systemd/seats/", F_OK) != 0);
}
