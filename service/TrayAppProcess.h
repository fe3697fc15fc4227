// CTrayAppProcess: finds the running tray programs of all users, asks them to take their
// icons down and ends them.
//
// Tray programs are recognised by their executable's file name "pellora" (compared
// without regard to case) under /proc. Each is held by a pidfd from the moment it is
// found, so a pid that is reused meanwhile is never signalled. A tray program serves its
// tray object on "$XDG_RUNTIME_DIR/corvane/pellora.sock" of its user; asking it to remove
// its icon is best effort. Ending sends SIGTERM, waits a little for the exit, then sends
// SIGKILL.
//
// Made for one use (Init, then possibly KillTray) and discarded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class CTrayAppProcess {
public:
    CTrayAppProcess() = default;
    ~CTrayAppProcess();
    CTrayAppProcess(const CTrayAppProcess&) = delete;
    CTrayAppProcess& operator=(const CTrayAppProcess&) = delete;

    // Finds the tray programs that attach to this service (the same server socket); their
    // number.
    int Init();
    // Asks the found tray programs to remove their icons, then ends them.
    void KillTray();
    // Ends the found processes; non-zero when the last one ended.
    int KillPelloraProcess();

    std::vector<pid_t> Found() const;

    // How long a process gets to leave after SIGTERM, and after SIGKILL.
    static constexpr std::chrono::milliseconds kTermWait{2000};

private:
    struct Process {
        pid_t pid;
        int pidfd;
        std::string socketPath;  // the tray object's socket of the process's user
    };
    void Close(Process& process);
    std::vector<Process> m_processes;
};
