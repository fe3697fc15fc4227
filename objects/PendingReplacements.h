// CPendingReplacements: files that a download could not put in place because the running
// service holds them open, to be moved over their targets at the next service start.
//
// The list lives beside the registry store (its directory, "pending-replacements.list")
// and holds pairs of absolute paths, source then target, each ended by a zero byte, in
// the order they were added. It is changed under an exclusive flock on "<list>.lock" and
// replaced atomically (write, fsync, rename), so two downloads never lose each other's
// entries and a crash leaves the old list or the new one. Applying renames each source
// over its target in order, so the last download of a target wins, and then removes the
// list. A source and target must lie in the same directory (downloads write their
// temporary file beside the target); any other entry is logged and skipped.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "com/HResult.h"

class CPendingReplacements {
public:
    explicit CPendingReplacements(std::filesystem::path listPath);

    // The list beside the machine's registry store.
    static std::filesystem::path DefaultListPath();
    // The list beside a registry file.
    static std::filesystem::path ListPathBeside(const std::filesystem::path& registryFile);

    const std::filesystem::path& Path() const { return m_pathList; }

    // Adds "replace target with source" to the end of the list.
    HRESULT Add(const std::filesystem::path& source, const std::filesystem::path& target);
    // The entries in order (an absent list is empty).
    HRESULT Read(std::vector<std::pair<std::string, std::string>>* pEntries);
    // Moves every source over its target and removes the list. S_FALSE when there was
    // nothing to do. Entries that fail are logged and dropped: a missing source cannot
    // become present later, and a retried rename would repeat at every start.
    HRESULT Apply();

private:
    // Runs `body` under the list's file lock.
    HRESULT Locked(const char* operation, const std::function<HRESULT()>& body);
    HRESULT ReadLocked(std::vector<std::pair<std::string, std::string>>* pEntries);
    HRESULT WriteLocked(const std::vector<std::pair<std::string, std::string>>& entries);

    std::filesystem::path m_pathList;
};

// Applies the machine's pending replacements. The service calls it at start, before it
// opens any site.
HRESULT ApplyPendingReplacements();
