// What the program asks about other processes: whether one is still alive, who owns it,
// its executable and its environment, all read from /proc.
//
// A process counts as alive while /proc/PID exists and the process is not a zombie. A
// process id is reused once its process has gone, so callers that keep a pid for long
// also keep the process's start time and pass it back: a different start time means the
// pid now names another process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// The start time of the process in clock ticks since boot (field 22 of /proc/PID/stat),
// or nothing when the process does not exist or is a zombie.
std::optional<std::uint64_t> ProcessStartTime(pid_t pid);

// True while the process exists and is not a zombie; with a start time, only while it is
// still the same process.
bool IsProcessAlive(pid_t pid, std::optional<std::uint64_t> startTime = std::nullopt);

// The real uid of the process's owner, or nothing when it cannot be read.
std::optional<uid_t> ProcessOwner(pid_t pid);

// The full path of the process's executable (/proc/PID/exe), or an empty string.
std::string ProcessExecutable(pid_t pid);

// The value of one variable in the process's environment (/proc/PID/environ), or nothing.
std::optional<std::string> ProcessEnvironmentValue(pid_t pid, const std::string& name);
