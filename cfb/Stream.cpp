// The read-only stream of a compound file.
#include "cfb/Stream.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "com/DiagnosticLog.h"

CStream::CStream(std::shared_ptr<const CCompoundFile> file, ULONG id,
                 std::shared_ptr<const CStreamChain> chain, DWORD grfMode, ULONGLONG position)
    : m_file(std::move(file)),
      m_id(id),
      m_chain(std::move(chain)),
      m_grfMode(grfMode),
      m_position(position) {}

HRESULT CStream::Create(const std::shared_ptr<const CCompoundFile>& file, ULONG id, DWORD grfMode,
                        IStream** ppstm) {
    if (CheckExpression(!file || !ppstm))
        return STG_E_INVALIDPOINTER;
    try {
        *ppstm = nullptr;
        auto chain = std::make_shared<CStreamChain>();
        HRESULT hr = file->OpenChain(id, chain.get());
        if (FAILED(hr))
            return hr;
        HRESULT hrMake = S_OK;
        CComPtr<CStream> stream = MakeObject<CStream>(&hrMake, file, id, std::move(chain), grfMode);
        if (!CheckResult(hrMake))
            return hrMake;
        *ppstm = stream.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStream::Create", CV_HERE);
    }
}

HRESULT CStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (CheckExpression(!pv && cb > 0))
        return STG_E_INVALIDPOINTER;
    try {
        std::lock_guard lock(m_lockPosition);
        ULONG cbRead = 0;
        HRESULT hr = m_file->ReadChain(*m_chain, m_position, pv, cb, &cbRead);
        if (!CheckResult(hr))
            return hr;
        m_position += cbRead;
        if (pcbRead)
            *pcbRead = cbRead;
        return cbRead < cb ? S_FALSE : S_OK;
    } catch (...) {
        return ReportException("CStream::Read", CV_HERE);
    }
}

HRESULT CStream::Write(const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT CStream::Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) {
    try {
        std::lock_guard lock(m_lockPosition);
        ULONGLONG base = 0;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = m_position;
                break;
            case STREAM_SEEK_END:
                base = m_chain->cbSize;
                break;
            default:
                CheckExpression(dwOrigin > STREAM_SEEK_END);
                return STG_E_INVALIDFUNCTION;
        }
        // Positions live in 0..INT64_MAX; anything that leaves that range is refused.
        constexpr auto kMax = static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max());
        const bool fBefore = dlibMove < 0 && static_cast<ULONGLONG>(-(dlibMove + 1)) + 1 > base;
        const bool fBeyond = dlibMove > 0 && static_cast<ULONGLONG>(dlibMove) > kMax - base;
        if (CheckExpression(fBefore || fBeyond))
            return STG_E_INVALIDFUNCTION;
        m_position = base + static_cast<ULONGLONG>(dlibMove);
        if (plibNewPosition)
            *plibNewPosition = m_position;
        return S_OK;
    } catch (...) {
        return ReportException("CStream::Seek", CV_HERE);
    }
}

HRESULT CStream::SetSize(ULONGLONG) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStream::CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead, ULONGLONG* pcbWritten) {
    if (pcbRead)
        *pcbRead = 0;
    if (pcbWritten)
        *pcbWritten = 0;
    if (CheckExpression(!pstm))
        return STG_E_INVALIDPOINTER;
    try {
        std::vector<BYTE> buffer(64 * 1024);
        while (cb > 0) {
            ULONG cbRead = 0;
            HRESULT hr = Read(buffer.data(),
                              static_cast<ULONG>(std::min<ULONGLONG>(cb, buffer.size())), &cbRead);
            if (FAILED(hr))
                return hr;
            if (cbRead == 0)
                break;
            if (pcbRead)
                *pcbRead += cbRead;
            ULONG cbWritten = 0;
            hr = pstm->Write(buffer.data(), cbRead, &cbWritten);
            if (pcbWritten)
                *pcbWritten += cbWritten;
            if (!CheckResult(hr))
                return hr;
            cb -= cbRead;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CStream::CopyTo", CV_HERE);
    }
}

HRESULT CStream::Commit(DWORD) {
    return S_OK;
}

HRESULT CStream::Revert() {
    return S_OK;
}

HRESULT CStream::LockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CStream::UnlockRegion(ULONGLONG, ULONGLONG, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT CStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    if (CheckExpression(!pstatstg))
        return STG_E_INVALIDPOINTER;
    try {
        const CDirEntry& entry = m_file->Entry(m_id);
        *pstatstg = STATSTG{};
        if (!(grfStatFlag & STATFLAG_NONAME))
            pstatstg->pwcsName = BSTR(entry.strName);
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize = entry.cbSize;
        pstatstg->mtime = entry.mtime;
        pstatstg->ctime = entry.ctime;
        pstatstg->grfMode = m_grfMode;
        pstatstg->clsid = entry.clsid;
        pstatstg->grfStateBits = entry.grfStateBits;
        return S_OK;
    } catch (...) {
        return ReportException("CStream::Stat", CV_HERE);
    }
}

HRESULT CStream::Clone(IStream** ppstm) {
    if (CheckExpression(!ppstm))
        return STG_E_INVALIDPOINTER;
    try {
        *ppstm = nullptr;
        ULONGLONG position;
        {
            std::lock_guard lock(m_lockPosition);
            position = m_position;
        }
        HRESULT hr = S_OK;
        CComPtr<CStream> clone =
            MakeObject<CStream>(&hr, m_file, m_id, m_chain, m_grfMode, position);
        if (!CheckResult(hr))
            return hr;
        *ppstm = clone.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStream::Clone", CV_HERE);
    }
}
