// The read-only byte array over a file.
#include "cfb/FileLockBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

HRESULT StorageErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return STG_E_FILENOTFOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
            return STG_E_PATHNOTFOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return STG_E_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        default:
            return STG_E_READFAULT;
    }
}

}  // namespace

CFileLockBytes::~CFileLockBytes() {
    if (m_fd >= 0)
        ::close(m_fd);
}

HRESULT CFileLockBytes::Open(const std::string& strPath) {
    if (CheckExpression(m_fd >= 0))
        return E_UNEXPECTED;
    try {
        int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (CheckExpression(fd < 0))
            return StorageErrorFromErrno(errno);
        struct stat st {};
        if (CheckExpression(::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            return STG_E_ACCESSDENIED;
        }
        m_fd = fd;
        m_strPath = strPath;
        return S_OK;
    } catch (...) {
        return ReportException("CFileLockBytes::Open", CV_HERE);
    }
}

HRESULT CFileLockBytes::ReadAt(ULONGLONG ulOffset, void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (CheckExpression(!pv && cb > 0))
        return STG_E_INVALIDPOINTER;
    if (CheckExpression(m_fd < 0))
        return STG_E_INVALIDHANDLE;
    if (ulOffset > static_cast<ULONGLONG>(INT64_MAX) - cb)
        return S_OK;  // past any file's end
    ULONG cbDone = 0;
    while (cbDone < cb) {
        ssize_t n = ::pread(m_fd, static_cast<BYTE*>(pv) + cbDone, cb - cbDone,
                            static_cast<off_t>(ulOffset + cbDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n < 0))
            return STG_E_READFAULT;
        if (n == 0)
            break;
        cbDone += static_cast<ULONG>(n);
    }
    if (pcbRead)
        *pcbRead = cbDone;
    return S_OK;
}

HRESULT CFileLockBytes::WriteAt(ULONGLONG, const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT CFileLockBytes::Flush() {
    return S_OK;
}

HRESULT CFileLockBytes::SetSize(ULONGLONG) {
    return STG_E_ACCESSDENIED;
}

HRESULT CFileLockBytes::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CFileLockBytes::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CFileLockBytes::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    if (CheckExpression(!pstatstg))
        return STG_E_INVALIDPOINTER;
    if (CheckExpression(m_fd < 0))
        return STG_E_INVALIDHANDLE;
    try {
        struct stat st {};
        if (CheckExpression(::fstat(m_fd, &st) != 0))
            return STG_E_READFAULT;
        *pstatstg = STATSTG{};
        if (!(grfStatFlag & STATFLAG_NONAME))
            pstatstg->pwcsName = BSTR(Utf8ToUtf16(m_strPath));
        pstatstg->type = STGTY_LOCKBYTES;
        pstatstg->cbSize = static_cast<ULONGLONG>(st.st_size);
        pstatstg->mtime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        // Linux keeps no creation time here; the status-change time stands in for it.
        pstatstg->ctime = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
        pstatstg->atime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
        pstatstg->grfMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
        return S_OK;
    } catch (...) {
        return ReportException("CFileLockBytes::Stat", CV_HERE);
    }
}
