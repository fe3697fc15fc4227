// The list of replacements that wait for the next service start.
#include "objects/PendingReplacements.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "com/DiagnosticLog.h"
#include "registry/RegistryStore.h"

namespace {

// A descriptor closed at scope exit.
class CFileDescriptor {
public:
    explicit CFileDescriptor(int fd = -1) : m_fd(fd) {}
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    ~CFileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

HRESULT WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n <= 0))
            return HResultFromErrno(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

HRESULT SyncDirectory(const std::filesystem::path& path) {
    const std::filesystem::path dir = path.empty() ? std::filesystem::path(".") : path;
    CFileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (CheckExpression(fd.Get() < 0 || ::fsync(fd.Get()) != 0))
        return HResultFromErrno(errno);
    return S_OK;
}

}  // namespace

CPendingReplacements::CPendingReplacements(std::filesystem::path listPath)
    : m_pathList(std::move(listPath)) {}

std::filesystem::path CPendingReplacements::DefaultListPath() {
    return ListPathBeside(CRegistryStore::DefaultPath());
}

std::filesystem::path CPendingReplacements::ListPathBeside(
    const std::filesystem::path& registryFile) {
    return registryFile.parent_path() / "pending-replacements.list";
}

HRESULT CPendingReplacements::Locked(const char* operation, const std::function<HRESULT()>& body) {
    try {
        const std::string strLock = m_pathList.string() + ".lock";
        CFileDescriptor lock(::open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (CheckExpression(lock.Get() < 0))
            return HResultFromErrno(errno);
        while (::flock(lock.Get(), LOCK_EX) != 0)
            if (CheckExpression(errno != EINTR))
                return HResultFromErrno(errno);
        // The lock goes with the descriptor.
        return body();
    } catch (...) {
        return ReportException(operation, CV_HERE);
    }
}

HRESULT CPendingReplacements::Add(const std::filesystem::path& source,
                                  const std::filesystem::path& target) {
    if (CheckExpression(source.empty() || target.empty()))
        return E_INVALIDARG;
    return Locked("CPendingReplacements::Add", [&]() -> HRESULT {
        std::vector<std::pair<std::string, std::string>> entries;
        HRESULT hr = ReadLocked(&entries);
        if (!CheckResult(hr))
            return hr;
        entries.emplace_back(source.string(), target.string());
        return CheckResultValue(WriteLocked(entries));
    });
}

HRESULT CPendingReplacements::Read(std::vector<std::pair<std::string, std::string>>* pEntries) {
    if (CheckExpression(!pEntries))
        return E_POINTER;
    return Locked("CPendingReplacements::Read", [&] { return ReadLocked(pEntries); });
}

HRESULT CPendingReplacements::Apply() {
    return Locked("CPendingReplacements::Apply", [&]() -> HRESULT {
        std::vector<std::pair<std::string, std::string>> entries;
        HRESULT hr = ReadLocked(&entries);
        if (!CheckResult(hr))
            return hr;
        if (entries.empty())
            return S_FALSE;
        for (const auto& [source, target] : entries) {
            const std::filesystem::path from(source), to(target);
            if (CheckExpression(!from.is_absolute() || from.parent_path() != to.parent_path()))
                continue;
            if (CheckExpression(::rename(source.c_str(), target.c_str()) != 0)) {
                LogTrace("Could not replace file %s with contents of %s: %s\n", target.c_str(),
                         source.c_str(), std::strerror(errno));
                continue;
            }
            LogTrace("Replaced file %s with contents of %s at start\n", target.c_str(),
                     source.c_str());
        }
        if (CheckExpression(::unlink(m_pathList.c_str()) != 0 && errno != ENOENT))
            return HResultFromErrno(errno);
        return SyncDirectory(m_pathList.parent_path());
    });
}

HRESULT CPendingReplacements::ReadLocked(
    std::vector<std::pair<std::string, std::string>>* pEntries) {
    pEntries->clear();
    CFileDescriptor fd(::open(m_pathList.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT)
            return S_OK;
        CheckExpression(fd.Get() < 0);
        return HResultFromErrno(errno);
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n < 0))
            return HResultFromErrno(errno);
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t end = bytes.find('\0', pos);
        if (end == std::string::npos)
            break;  // a torn tail cannot come from our writer; it is ignored
        fields.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2)
        pEntries->emplace_back(std::move(fields[i]), std::move(fields[i + 1]));
    return S_OK;
}

HRESULT CPendingReplacements::WriteLocked(
    const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string bytes;
    for (const auto& [source, target] : entries) {
        bytes += source;
        bytes.push_back('\0');
        bytes += target;
        bytes.push_back('\0');
    }
    const std::string strTemp = m_pathList.string() + ".tmp";
    {
        CFileDescriptor fd(::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (CheckExpression(fd.Get() < 0))
            return HResultFromErrno(errno);
        HRESULT hr = WriteAll(fd.Get(), bytes);
        if (FAILED(hr))
            return hr;
        if (CheckExpression(::fsync(fd.Get()) != 0))
            return HResultFromErrno(errno);
    }
    if (CheckExpression(::rename(strTemp.c_str(), m_pathList.c_str()) != 0))
        return HResultFromErrno(errno);
    return SyncDirectory(m_pathList.parent_path());
}

HRESULT ApplyPendingReplacements() {
    return CPendingReplacements(CPendingReplacements::DefaultListPath()).Apply();
}
