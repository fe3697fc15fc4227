// A read-only `ILockBytes` over a file: what `StgOpenStorage` opens a site file with.
//
// The file is opened once and read with positioned reads, so the object can be read
// from several threads at once. A file replaced by rename while it is open keeps being
// read from the old contents; a file cut short reads as ending early. Writes answer
// STG_E_ACCESSDENIED. `Stat` reports the path it was opened by and the file's times.
#pragma once

#include <string>

#include "cfb/StorageInterfaces.h"

class CFileLockBytes : public CComObjectRoot<CFileLockBytes, ILockBytes> {
public:
    CFileLockBytes() = default;
    ~CFileLockBytes() override;

    // Opens a regular file for reading. STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND or
    // STG_E_ACCESSDENIED when it cannot be.
    HRESULT Open(const std::string& strPath);

    HRESULT ReadAt(ULONGLONG ulOffset, void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT WriteAt(ULONGLONG ulOffset, const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Flush() override;
    HRESULT SetSize(ULONGLONG cb) override;
    HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

private:
    int m_fd = -1;
    std::string m_strPath;
};
