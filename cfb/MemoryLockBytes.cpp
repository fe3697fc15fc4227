// The read-only byte array over memory.
#include "cfb/MemoryLockBytes.h"

#include <algorithm>
#include <cstring>

#include "com/DiagnosticLog.h"

CMemoryLockBytes::CMemoryLockBytes(std::vector<BYTE> bytes, std::u16string strName)
    : m_arrOwned(std::move(bytes)), m_bytes(m_arrOwned), m_strName(std::move(strName)) {}

CMemoryLockBytes::CMemoryLockBytes(std::span<const BYTE> bytes, std::u16string strName)
    : m_bytes(bytes), m_strName(std::move(strName)) {}

void CMemoryLockBytes::SetTimes(const FILETIME& ctime, const FILETIME& atime,
                                const FILETIME& mtime) {
    m_ctime = ctime;
    m_atime = atime;
    m_mtime = mtime;
}

HRESULT CMemoryLockBytes::ReadAt(ULONGLONG ulOffset, void* pv, ULONG cb, ULONG* pcbRead) {
    if (CheckExpression(!pv && cb > 0))
        return STG_E_INVALIDPOINTER;
    ULONG cbRead = 0;
    if (ulOffset < m_bytes.size()) {
        cbRead = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_bytes.size() - ulOffset));
        std::memcpy(pv, m_bytes.data() + ulOffset, cbRead);
    }
    if (pcbRead)
        *pcbRead = cbRead;
    return S_OK;
}

HRESULT CMemoryLockBytes::WriteAt(ULONGLONG, const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT CMemoryLockBytes::Flush() {
    return S_OK;
}

HRESULT CMemoryLockBytes::SetSize(ULONGLONG) {
    return STG_E_ACCESSDENIED;
}

HRESULT CMemoryLockBytes::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CMemoryLockBytes::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CMemoryLockBytes::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    if (CheckExpression(!pstatstg))
        return STG_E_INVALIDPOINTER;
    try {
        *pstatstg = STATSTG{};
        if (!(grfStatFlag & STATFLAG_NONAME))
            pstatstg->pwcsName = BSTR(m_strName);
        pstatstg->type = STGTY_LOCKBYTES;
        pstatstg->cbSize = m_bytes.size();
        pstatstg->mtime = m_mtime;
        pstatstg->ctime = m_ctime;
        pstatstg->atime = m_atime;
        pstatstg->grfMode = STGM_SHARE_EXCLUSIVE;
        return S_OK;
    } catch (...) {
        return ReportException("CMemoryLockBytes::Stat", CV_HERE);
    }
}
