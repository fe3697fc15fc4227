// Looks through /proc/self/fd and /proc/self/maps for a file's device and inode.
#include "objects/FileInUse.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

bool IsFileOpenInThisProcess(const std::filesystem::path& path) {
    struct stat target;
    if (::stat(path.c_str(), &target) != 0)
        return false;

    struct CloseDir {
        void operator()(DIR* p) const { ::closedir(p); }
    };
    if (std::unique_ptr<DIR, CloseDir> dir(::opendir("/proc/self/fd")); dir) {
        const int dirFd = ::dirfd(dir.get());
        while (const dirent* entry = ::readdir(dir.get())) {
            if (entry->d_name[0] == '.')
                continue;
            struct stat open;
            // fstatat follows the descriptor's link to the open file itself.
            if (::fstatat(dirFd, entry->d_name, &open, 0) == 0 && open.st_dev == target.st_dev &&
                open.st_ino == target.st_ino)
                return true;
        }
    }

    // Lines read "start-end perms offset major:minor inode path".
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu", &major, &minor, &inode) == 3 &&
            inode == target.st_ino && makedev(major, minor) == target.st_dev)
            return true;
    }
    return false;
}
