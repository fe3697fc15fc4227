// The facts about a user that a user session needs: the SID string that names it, the
// account name, whether it is an interactive user, and its default locale.
//
// A uid N is named by the SID string "S-1-22-1-N". A user is interactive when it has a
// login session (systemd-logind), or, on a system without logind, when its uid is at
// least 1000 and it is not "nobody"; `IsInteractiveUser` is the one place that decides.
#pragma once

#include <sys/types.h>

#include <string>

#include "com/Types.h"

std::string SidStringOfUid(uid_t uid);

// The account name from the passwd database, or the uid in decimal when there is none.
std::string UserNameOfUid(uid_t uid);

bool IsInteractiveUser(uid_t uid);

// The user default locale as the process `pid` has it: LC_ALL, else LANG, from its
// environment; else the system default. Unset, C, POSIX and C.UTF-8 give 1033.
LCID UserDefaultLcidOfProcess(pid_t pid);
