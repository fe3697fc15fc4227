// A read-only `ILockBytes` over bytes in memory: the program's embedded default site,
// or a file image a test or the fuzzer holds.
//
// The bytes are either owned (a vector moved in) or borrowed from storage that outlives
// the object (an array linked into the executable). Writes answer STG_E_ACCESSDENIED.
// `Stat` reports the name and the three times given at construction, so a site in
// memory can carry the name and times of the file it came from.
#pragma once

#include <span>
#include <vector>

#include "cfb/StorageInterfaces.h"

class CMemoryLockBytes : public CComObjectRoot<CMemoryLockBytes, ILockBytes> {
public:
    // Takes the bytes over.
    explicit CMemoryLockBytes(std::vector<BYTE> bytes, std::u16string strName = {});
    // Reads bytes that the caller keeps alive and unchanged for the object's life.
    explicit CMemoryLockBytes(std::span<const BYTE> bytes, std::u16string strName = {});

    void SetTimes(const FILETIME& ctime, const FILETIME& atime, const FILETIME& mtime);

    HRESULT ReadAt(ULONGLONG ulOffset, void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT WriteAt(ULONGLONG ulOffset, const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Flush() override;
    HRESULT SetSize(ULONGLONG cb) override;
    HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

private:
    std::vector<BYTE> m_arrOwned;
    std::span<const BYTE> m_bytes;
    std::u16string m_strName;
    FILETIME m_ctime;
    FILETIME m_atime;
    FILETIME m_mtime;
};
