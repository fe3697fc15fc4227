// Users: SID strings, names, the interactive test and the default locale.
#include "sessions/UserAccount.h"

#include <pwd.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <vector>

#include "com/Locale.h"
#include "sessions/ProcessInfo.h"

std::string SidStringOfUid(uid_t uid) {
    return "S-1-22-1-" + std::to_string(uid);
}

std::string UserNameOfUid(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

bool IsInteractiveUser(uid_t uid) {
    // logind keeps its state under /run/systemd/seats only when it runs.
    const bool logind = sd_booted() > 0 && access("/run/systemd/seats/", F_OK) == 0;
    if (logind)
        return sd_uid_get_sessions(uid, 0, nullptr) > 0;
    if (uid < 1000)
        return false;
    return uid != 65534 && UserNameOfUid(uid) != "nobody";
}

LCID UserDefaultLcidOfProcess(pid_t pid) {
    for (const char* name : {"LC_ALL", "LANG"}) {
        auto value = ProcessEnvironmentValue(pid, name);
        if (value && !value->empty()) {
            LCID lcid = LcidFromPosixLocale(*value);
            if (lcid != 0)
                return lcid;
        }
    }
    return GetSystemDefaultLCID();
}
