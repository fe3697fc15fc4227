// A readable and writable stream over bytes in memory.
#include "pages/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "com/DiagnosticLog.h"

HRESULT CMemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (CheckExpression(!pv && cb > 0))
        return STG_E_INVALIDPOINTER;
    ULONG cbRead = 0;
    if (m_ulPosition < m_arrBytes.size()) {
        cbRead = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_arrBytes.size() - m_ulPosition));
        if (cbRead > 0)
            std::memcpy(pv, m_arrBytes.data() + m_ulPosition, cbRead);
    }
    m_ulPosition += cbRead;
    if (pcbRead)
        *pcbRead = cbRead;
    return cbRead < cb ? S_FALSE : S_OK;
}

HRESULT CMemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    if (CheckExpression(!pv && cb > 0))
        return STG_E_INVALIDPOINTER;
    try {
        const ULONGLONG end = m_ulPosition + cb;
        if (CheckExpression(end > std::numeric_limits<std::size_t>::max() / 2))
            return STG_E_MEDIUMFULL;
        if (end > m_arrBytes.size())
            m_arrBytes.resize(end);
        if (cb > 0)
            std::memcpy(m_arrBytes.data() + m_ulPosition, pv, cb);
        m_ulPosition = end;
        if (pcbWritten)
            *pcbWritten = cb;
        return S_OK;
    } catch (...) {
        return ReportException("CMemoryStream::Write", CV_HERE);
    }
}

HRESULT CMemoryStream::Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) {
    ULONGLONG base = 0;
    switch (dwOrigin) {
        case STREAM_SEEK_SET:
            break;
        case STREAM_SEEK_CUR:
            base = m_ulPosition;
            break;
        case STREAM_SEEK_END:
            base = m_arrBytes.size();
            break;
        default:
            CheckExpression(dwOrigin > STREAM_SEEK_END);
            return STG_E_INVALIDFUNCTION;
    }
    constexpr auto kMax = static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max());
    const bool fBefore = dlibMove < 0 && static_cast<ULONGLONG>(-(dlibMove + 1)) + 1 > base;
    const bool fBeyond = dlibMove > 0 && static_cast<ULONGLONG>(dlibMove) > kMax - base;
    if (CheckExpression(fBefore || fBeyond))
        return STG_E_INVALIDFUNCTION;
    m_ulPosition = base + static_cast<ULONGLONG>(dlibMove);
    if (plibNewPosition)
        *plibNewPosition = m_ulPosition;
    return S_OK;
}

HRESULT CMemoryStream::SetSize(ULONGLONG libNewSize) {
    try {
        if (CheckExpression(libNewSize > std::numeric_limits<std::size_t>::max() / 2))
            return STG_E_MEDIUMFULL;
        m_arrBytes.resize(libNewSize);
        return S_OK;
    } catch (...) {
        return ReportException("CMemoryStream::SetSize", CV_HERE);
    }
}

HRESULT CMemoryStream::CopyTo(IStream*, ULONGLONG, ULONGLONG*, ULONGLONG*) {
    return E_NOTIMPL;
}

HRESULT CMemoryStream::Commit(DWORD) {
    return S_OK;
}

HRESULT CMemoryStream::Revert() {
    return S_OK;
}

HRESULT CMemoryStream::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CMemoryStream::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CMemoryStream::Stat(STATSTG* pstatstg, DWORD) {
    if (CheckExpression(!pstatstg))
        return STG_E_INVALIDPOINTER;
    *pstatstg = STATSTG{};
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize = m_arrBytes.size();
    return S_OK;
}

HRESULT CMemoryStream::Clone(IStream**) {
    return E_NOTIMPL;
}
