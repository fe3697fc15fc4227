// File I/O of the registry store: cached reads, locked atomic transactions.
#include "registry/RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "com/DiagnosticLog.h"
#include "registry/RegistryFormat.h"

namespace {

// Set while this thread reads a value for the diagnostic log's path source: the log is
// then deciding where to write and an entry from here would wait for that decision.
thread_local bool t_bReadingLogPath = false;
// Set while this thread runs a transaction's change: a store call from inside it would
// wait for the file lock that the thread itself holds.
thread_local bool t_bInTransaction = false;

// The checks, silenced while reading for the log.
#define CheckStoreExpression(condition) \
    (t_bReadingLogPath ? static_cast<bool>(condition) : CheckExpression(condition))
#define CheckStoreResult(status) (t_bReadingLogPath ? SUCCEEDED(status) : CheckResult(status))

// Closes a descriptor when the scope ends.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    int Get() const { return m_fd; }
    void Reset(int fd) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }
    // Closes now and gives the result of close(2).
    int Close() {
        int rc = close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

HRESULT ErrnoStatus() {
    return HResultFromErrno(errno);
}

// The status of a system call that gave `rc`, with errno read before anything (a log
// entry, say) can change it.
HRESULT SysStatus(int rc) {
    return rc < 0 ? ErrnoStatus() : S_OK;
}

// Creates the directory and its missing parents with mode 0700.
HRESULT EnsureDirectory(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? S_OK : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    if (errno != ENOENT)
        return ErrnoStatus();
    std::string parent = DirectoryOf(dir);
    if (parent != dir) {
        HRESULT hr = EnsureDirectory(parent);
        if (FAILED(hr))
            return hr;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return ErrnoStatus();
    return S_OK;
}

HRESULT WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoStatus();
        }
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

HRESULT ReadAll(int fd, std::size_t sizeHint, std::string* text) {
    text->clear();
    text->reserve(sizeHint);
    char buffer[65536];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoStatus();
        }
        if (n == 0)
            return S_OK;
        text->append(buffer, static_cast<std::size_t>(n));
    }
}

// Holds an exclusive flock on the store's lock file for a scope.
class FileLock {
public:
    HRESULT Acquire(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return ErrnoStatus();
        m_fd.Reset(fd);
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                return ErrnoStatus();
        }
        return S_OK;
    }

private:
    FileDescriptor m_fd;  // the lock goes with the descriptor
};

}  // namespace

CRegistryStore::CRegistryStore() : m_strPath(DefaultPath()) {}

CRegistryStore::CRegistryStore(std::string path) : m_strPath(std::move(path)) {}

std::string CRegistryStore::DefaultPath() {
    const char* path = std::getenv("CORVANE_REGISTRY");
    return path && *path ? path : "/var/lib/corvane/registry.reg";
}

std::string CRegistryStore::UserPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::string(config) + "/corvane/registry.reg";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config/corvane/registry.reg";
    return {};
}

void CRegistryStore::ReportCorrupt(const FileIdentity& id, unsigned line,
                                   const std::string& reason) {
    {
        std::lock_guard guard(m_lockCache);
        if (m_bReported && m_idReported == id)
            return;
        m_bReported = true;
        m_idReported = id;
    }
    // Reported outside the lock: the log may read this very store to find its file.
    std::fprintf(stderr, "Corvane: the registry file \"%s\" is corrupt at line %u: %s\n",
                 m_strPath.c_str(), line, reason.c_str());
    if (!t_bReadingLogPath) {
        LogTrace("The registry file \"%s\" is corrupt at line %u: %s", m_strPath.c_str(), line,
                 reason.c_str());
    }
}

HRESULT CRegistryStore::Load(TreePtr* tree, mode_t* mode) {
    static const TreePtr empty = std::make_shared<const CRegistryTree>();
    *mode = 0600;
    FileDescriptor fd(open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT) {
            *tree = empty;
            return S_OK;
        }
        HRESULT hr = ErrnoStatus();
        CheckStoreResult(hr);
        return hr;
    }
    struct stat st;
    HRESULT hr = SysStatus(fstat(fd.Get(), &st));
    if (!CheckStoreResult(hr))
        return hr;
    *mode = st.st_mode & 07777;
    FileIdentity id{st.st_dev,          st.st_ino,         st.st_size,        st.st_mtim.tv_sec,
                    st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};

    {
        std::lock_guard guard(m_lockCache);
        if (m_bCached && m_idCached == id) {
            *tree = m_ptrCached;
            return S_OK;
        }
    }
    // Read and parse without the lock: failures are logged, and the log may come back
    // to this store for its path.
    std::string text;
    hr = ReadAll(fd.Get(), static_cast<std::size_t>(st.st_size), &text);
    if (!CheckStoreResult(hr))
        return hr;
    auto parsed = std::make_shared<CRegistryTree>();
    CRegistryParseError error;
    hr = CRegistryFormat::Parse(text, parsed.get(), &error);
    if (FAILED(hr)) {
        if (hr == HRESULT_FROM_WIN32(ERROR_BADDB))
            ReportCorrupt(id, error.line, error.reason);
        return hr;
    }
    std::lock_guard guard(m_lockCache);
    m_bCached = true;
    m_idCached = id;
    m_ptrCached = std::move(parsed);
    *tree = m_ptrCached;
    return S_OK;
}

HRESULT CRegistryStore::WriteFile(const std::string& text, mode_t mode) {
    // Only one writer holds the file lock, so the temporary's name can be fixed; one
    // left behind by a writer that died is replaced.
    const std::string temp = m_strPath + ".tmp";
    HRESULT hr = SysStatus(unlink(temp.c_str()));
    if (hr != HResultFromErrno(ENOENT) && !CheckResult(hr))
        return hr;
    FileDescriptor fd(
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!CheckResult(hr = SysStatus(fd.Get())) ||
        !CheckResult(hr = SysStatus(fchmod(fd.Get(), mode))) ||
        !CheckResult(hr = WriteAll(fd.Get(), text)) ||
        !CheckResult(hr = SysStatus(fsync(fd.Get()))) || !CheckResult(hr = SysStatus(fd.Close())) ||
        !CheckResult(hr = SysStatus(rename(temp.c_str(), m_strPath.c_str())))) {
        unlink(temp.c_str());
        return hr;
    }
    // The rename is durable only once the directory is synced.
    FileDescriptor dir(open(DirectoryOf(m_strPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!CheckResult(hr = SysStatus(dir.Get())) || !CheckResult(hr = SysStatus(fsync(dir.Get())))) {
        return hr;
    }
    return S_OK;
}

HRESULT CRegistryStore::Transact(const Change& change) {
    if (CheckExpression(t_bInTransaction))
        return E_UNEXPECTED;
    if (CheckExpression(!change))
        return E_INVALIDARG;
    try {
        HRESULT hr = EnsureDirectory(DirectoryOf(m_strPath));
        if (!CheckResult(hr))
            return hr;
        FileLock lock;
        hr = lock.Acquire(m_strPath + ".lock");
        if (!CheckResult(hr))
            return hr;

        TreePtr current;
        mode_t mode;
        hr = Load(&current, &mode);
        if (FAILED(hr))
            return hr;
        CRegistryTree changed = *current;
        t_bInTransaction = true;
        try {
            hr = change(changed);
        } catch (...) {
            t_bInTransaction = false;
            throw;
        }
        t_bInTransaction = false;
        if (FAILED(hr) || changed == *current)
            return hr;

        const std::string text = CRegistryFormat::Serialize(changed);
        HRESULT hrWrite = WriteFile(text, mode);
        if (FAILED(hrWrite))
            return hrWrite;

        // Still under the file lock, so the file at the path is the one just written.
        struct stat st;
        if (stat(m_strPath.c_str(), &st) == 0) {
            std::lock_guard guard(m_lockCache);
            m_bCached = true;
            m_idCached = FileIdentity{st.st_dev,         st.st_ino,          st.st_size,
                                      st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                                      st.st_ctim.tv_nsec};
            m_ptrCached = std::make_shared<const CRegistryTree>(std::move(changed));
        }
        return hr;
    } catch (...) {
        return ReportException("CRegistryStore::Transact", CV_HERE);
    }
}

HRESULT CRegistryStore::Read(CRegistryTree* tree) {
    if (CheckStoreExpression(!tree))
        return E_POINTER;
    if (CheckStoreExpression(t_bInTransaction))
        return E_UNEXPECTED;
    try {
        TreePtr current;
        mode_t mode;
        HRESULT hr = Load(&current, &mode);
        if (FAILED(hr))
            return hr;
        *tree = *current;
        return S_OK;
    } catch (...) {
        return ReportException("CRegistryStore::Read", CV_HERE);
    }
}

// The read operations share one shape: load the committed tree, ask it.
#define REGISTRY_READ(operation, call)                                                     \
    if (CheckStoreExpression(t_bInTransaction))                                            \
        return E_UNEXPECTED;                                                               \
    try {                                                                                  \
        TreePtr current;                                                                   \
        mode_t mode;                                                                       \
        HRESULT hr = Load(&current, &mode);                                                \
        if (FAILED(hr))                                                                    \
            return hr;                                                                     \
        return current->call;                                                              \
    } catch (...) {                                                                        \
        return t_bReadingLogPath ? HResultFromCurrentException()                           \
                                 : ReportException("CRegistryStore::" operation, CV_HERE); \
    }

HRESULT CRegistryStore::KeyExists(std::string_view key) {
    REGISTRY_READ("KeyExists", KeyExists(key));
}

HRESULT CRegistryStore::EnumSubkeys(std::string_view key, std::vector<std::string>* names) {
    REGISTRY_READ("EnumSubkeys", EnumSubkeys(key, names));
}

HRESULT CRegistryStore::EnumValues(std::string_view key, std::vector<CRegistryEntry>* entries) {
    REGISTRY_READ("EnumValues", EnumValues(key, entries));
}

HRESULT CRegistryStore::GetValue(std::string_view key, std::string_view name,
                                 CRegistryValue* value) {
    REGISTRY_READ("GetValue", GetValue(key, name, value));
}

#undef REGISTRY_READ

HRESULT CRegistryStore::GetString(std::string_view key, std::string_view name, std::string* text) {
    if (CheckStoreExpression(!text))
        return E_POINTER;
    CRegistryValue value;
    HRESULT hr = GetValue(key, name, &value);
    return FAILED(hr) ? hr : value.GetString(text);
}

HRESULT CRegistryStore::GetDword(std::string_view key, std::string_view name, DWORD* value) {
    if (CheckExpression(!value))
        return E_POINTER;
    CRegistryValue found;
    HRESULT hr = GetValue(key, name, &found);
    return FAILED(hr) ? hr : found.GetDword(value);
}

HRESULT CRegistryStore::CreateKey(std::string_view key) {
    return Transact([&](CRegistryTree& tree) { return tree.CreateKey(key); });
}

HRESULT CRegistryStore::DeleteKey(std::string_view key) {
    return Transact([&](CRegistryTree& tree) { return tree.DeleteKey(key); });
}

HRESULT CRegistryStore::SetValue(std::string_view key, std::string_view name,
                                 const CRegistryValue& value) {
    return Transact([&](CRegistryTree& tree) { return tree.SetValue(key, name, value); });
}

HRESULT CRegistryStore::SetString(std::string_view key, std::string_view name,
                                  std::string_view text) {
    try {
        return SetValue(key, name, CRegistryValue::FromString(text));
    } catch (...) {
        return ReportException("CRegistryStore::SetString", CV_HERE);
    }
}

HRESULT CRegistryStore::SetDword(std::string_view key, std::string_view name, DWORD value) {
    try {
        return SetValue(key, name, CRegistryValue::FromDword(value));
    } catch (...) {
        return ReportException("CRegistryStore::SetDword", CV_HERE);
    }
}

HRESULT CRegistryStore::DeleteValue(std::string_view key, std::string_view name) {
    return Transact([&](CRegistryTree& tree) { return tree.DeleteValue(key, name); });
}

std::optional<std::string> CRegistryStore::ReadLogPath(std::string_view name) {
    t_bReadingLogPath = true;
    std::string text;
    HRESULT hr;
    try {
        hr = GetString(kCorvaneKey, name, &text);
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    t_bReadingLogPath = false;
    if (FAILED(hr))
        return std::nullopt;
    return text;
}
