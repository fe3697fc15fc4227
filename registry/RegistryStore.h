// CRegistryStore: the program's registry, one text file of keys and typed values.
//
// The file uses the registry editor's export syntax (see RegistryFormat.h). The
// machine-wide store's path comes from CORVANE_REGISTRY, else
// /var/lib/corvane/registry.reg; the tray program keeps its own per-user store.
//
// Reads see the last committed file: the parsed tree is cached and read again when the
// file's identity (device, inode, size, change times) differs. A missing file is an
// empty store. Every change is a transaction: under an exclusive flock on
// "<path>.lock" the current file is read again, the change is applied to a copy, the
// copy is written to "<path>.tmp", synced, renamed over the store and the directory is
// synced, so threads and processes never lose each other's updates and a crash leaves
// either the old or the new file. A file that does not parse is never overwritten:
// every operation then fails with HRESULT_FROM_WIN32(ERROR_BADDB), and the file name
// and line are logged and written to stderr once for each version of the bad file.
//
// Missing keys and values give HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); those are
// ordinary answers and are not logged.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "com/CriticalSection.h"
#include "com/HResult.h"
#include "com/Singleton.h"
#include "registry/RegistryTree.h"

// The product's own key.
constexpr std::string_view kCorvaneKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane";

class CRegistryStore {
public:
    // The store at DefaultPath().
    CRegistryStore();
    explicit CRegistryStore(std::string path);
    CRegistryStore(const CRegistryStore&) = delete;
    CRegistryStore& operator=(const CRegistryStore&) = delete;

    // $CORVANE_REGISTRY, or /var/lib/corvane/registry.reg.
    static std::string DefaultPath();
    // The per-user store: $XDG_CONFIG_HOME/corvane/registry.reg, else under ~/.config.
    static std::string UserPath();

    const std::string& Path() const { return m_strPath; }

    HRESULT KeyExists(std::string_view key);
    HRESULT EnumSubkeys(std::string_view key, std::vector<std::string>* names);
    HRESULT EnumValues(std::string_view key, std::vector<CRegistryEntry>* entries);
    HRESULT GetValue(std::string_view key, std::string_view name, CRegistryValue* value);
    HRESULT GetString(std::string_view key, std::string_view name, std::string* text);
    HRESULT GetDword(std::string_view key, std::string_view name, DWORD* value);
    // A copy of the whole committed tree.
    HRESULT Read(CRegistryTree* tree);

    // Each of these is one transaction. CreateKey gives S_FALSE for an existing key.
    HRESULT CreateKey(std::string_view key);
    HRESULT DeleteKey(std::string_view key);
    HRESULT SetValue(std::string_view key, std::string_view name, const CRegistryValue& value);
    HRESULT SetString(std::string_view key, std::string_view name, std::string_view text);
    HRESULT SetDword(std::string_view key, std::string_view name, DWORD value);
    HRESULT DeleteValue(std::string_view key, std::string_view name);

    // Applies `change` to the current tree and commits the result in one write, unless
    // the change fails (its status is returned and nothing is written) or changes
    // nothing. The change runs with the store's file lock held: it must not call a
    // store itself (that gives E_UNEXPECTED).
    using Change = std::function<HRESULT(CRegistryTree& tree)>;
    HRESULT Transact(const Change& change);

    // The string value `name` under the product's key for the diagnostic log's path
    // source. Reading on behalf of the log must not write to the log (it is deciding
    // where to write), so failures met here go to stderr only.
    std::optional<std::string> ReadLogPath(std::string_view name);

private:
    // What tells one version of the file from another.
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
        friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    };
    using TreePtr = std::shared_ptr<const CRegistryTree>;

    // The committed tree; `mode` gets the file's permission bits (0600 when missing).
    HRESULT Load(TreePtr* tree, mode_t* mode);
    HRESULT WriteFile(const std::string& text, mode_t mode);
    void ReportCorrupt(const FileIdentity& id, unsigned line, const std::string& reason);

    const std::string m_strPath;
    // Guards the cache and the report memory. Taken after the file lock (in
    // transactions) and never held while calling out.
    std::mutex m_lockCache;
    bool m_bCached = false;
    FileIdentity m_idCached;
    TreePtr m_ptrCached;
    bool m_bReported = false;
    FileIdentity m_idReported;
};

// The process's machine-wide store.
using REGISTRY_STORE = CSingleton<CRegistryStore, CComAutoCriticalSection>;
