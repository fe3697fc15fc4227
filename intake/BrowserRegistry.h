// The registered web browsers: only a process whose executable is one of them receives
// a session key that diverts its connections.
//
// The list lives in the registry store under "SOFTWARE\Clients\StartMenuInternet" (and
// the "WOW6432Node" twin, read first when present): one sub-key per browser whose
// "shell\open\command" default value is the browser's command line. The list the socket
// server compares with holds those command lines in lower case without double quotes;
// for a browser registered with a quoted executable path and no arguments that is the
// executable's full path, which is what an attaching process reports as its name.
//
// At registration the service fills that key from the desktop entries of the installed
// web browsers (Categories with "WebBrowser"): the Exec program is found on PATH, symbolic
// links are resolved, and a launcher script that ends by exec'ing an absolute path is
// followed to that program, so the entry names the executable that really runs.
//
// The service also keeps the list in a file (WriteBrowserListFile) for the connect()
// library, which reads it when it cannot reach the service: the listed programs then fail
// closed, every other program of the machine connects unfiltered.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "com/HResult.h"
#include "registry/RegistryStore.h"
#include "registry/RegistryTree.h"

constexpr const char* kStartMenuInternetKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Clients\\StartMenuInternet";

// The browser list as the socket server compares with it.
std::vector<std::string> ReadBrowserList(CRegistryStore& store);

// Replaces the file at `file` by the list, one entry a line (UTF-8, each ending in a line
// end; entries holding a line end are left out). The file is written beside its final
// name and renamed over it, so a reader sees the old list or the new one, never a part;
// it is world-readable (mode 0644) and owned by the service's user. A missing parent
// directory is created (mode 0755).
HRESULT WriteBrowserListFile(const std::filesystem::path& file,
                             const std::vector<std::string>& browsers);

// The executable that a desktop entry's Exec line starts, resolved as above; empty when
// it cannot be found. `path` is the search path (PATH's syntax).
std::filesystem::path ResolveBrowserExecutable(const std::string& execLine,
                                               const std::string& path);

// Writes one sub-key per installed browser found in `applicationDirs` (directories of
// desktop entries) under kStartMenuInternetKey.
HRESULT WriteBrowserRegistrations(CRegistryTree& tree,
                                  const std::vector<std::filesystem::path>& applicationDirs,
                                  const std::string& path);

// The "applications" directories of XDG_DATA_HOME and XDG_DATA_DIRS (with their defaults).
std::vector<std::filesystem::path> DesktopEntryDirectories();
