// A read-only stream of a compound file: reads, seeks, statistics and clones.
//
// The stream's sector chain is followed and checked once, when the stream is opened,
// and shared with its clones. Each stream object keeps its own position. A read that
// reaches the end of the stream before cb bytes answers S_FALSE with the count it
// delivered, so a reader of fixed-size fields notices a truncated stream. Writes
// answer STG_E_ACCESSDENIED.
#pragma once

#include <memory>
#include <mutex>

#include "cfb/CompoundFile.h"

class CStream : public CComObjectRoot<CStream, IStream> {
public:
    CStream(std::shared_ptr<const CCompoundFile> file, ULONG id,
            std::shared_ptr<const CStreamChain> chain, DWORD grfMode, ULONGLONG position = 0);

    // Opens the stream element id of file.
    static HRESULT Create(const std::shared_ptr<const CCompoundFile>& file, ULONG id, DWORD grfMode,
                          IStream** ppstm);

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) override;
    HRESULT SetSize(ULONGLONG libNewSize) override;
    HRESULT CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead, ULONGLONG* pcbWritten) override;
    HRESULT Commit(DWORD grfCommitFlags) override;
    HRESULT Revert() override;
    HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT Clone(IStream** ppstm) override;

private:
    const std::shared_ptr<const CCompoundFile> m_file;
    const ULONG m_id;
    const std::shared_ptr<const CStreamChain> m_chain;
    const DWORD m_grfMode;
    // Guards m_position only; held for one read or seek and never while calling out
    // to another object.
    std::mutex m_lockPosition;
    ULONGLONG m_position;
};
