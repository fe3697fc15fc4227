// Whether this process holds a file open: through a descriptor or a mapping. A
// download must not replace a file that the running service is reading (a site), so
// such a target waits for the next start instead.
#pragma once

#include <filesystem>

// True when a descriptor or a memory mapping of this process refers to the file at
// `path` (compared by device and inode). False when the file does not exist.
bool IsFileOpenInThisProcess(const std::filesystem::path& path);
