// A readable and writable `IStream` over bytes in memory.
//
// The site compiler builds page records and data streams in it before handing the bytes
// to the compound-file writer, and tests feed pages from it. Reads follow the storage
// streams' rule: S_OK when every byte asked for was read, S_FALSE when the end came
// first. Writing past the end grows the stream; seeking past the end is allowed and a
// later write fills the gap with zeros.
#pragma once

#include <vector>

#include "cfb/StorageInterfaces.h"

class CMemoryStream : public CComObjectRoot<CMemoryStream, IStream> {
public:
    CMemoryStream() = default;
    explicit CMemoryStream(std::vector<BYTE> bytes) : m_arrBytes(std::move(bytes)) {}

    const std::vector<BYTE>& Bytes() const { return m_arrBytes; }

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
    std::vector<BYTE> m_arrBytes;
    ULONGLONG m_ulPosition = 0;
};
