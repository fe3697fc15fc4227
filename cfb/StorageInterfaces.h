// The structured-storage interfaces: byte arrays (`ILockBytes`), streams, storages and
// the enumerator of a storage's elements, with their usual interface ids.
//
// Members keep the meaning and order of the platform interfaces; 64-bit offsets and
// sizes are plain `ULONGLONG` / `LONGLONG`. Pages and the storage manager see sites
// only through these, so a site can come from a file or a byte array alike.
#pragma once

#include "cfb/StorageTypes.h"
#include "com/Unknown.h"

struct ISequentialStream : IUnknown {
    DECLARE_IID("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
    // Reads up to cb bytes. S_OK when all cb bytes were read, S_FALSE when the end of
    // the stream came first (*pcbRead tells how many were).
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : ISequentialStream {
    DECLARE_IID("{0000000C-0000-0000-C000-000000000046}");
    using Bases = std::tuple<ISequentialStream>;
    virtual HRESULT Seek(LONGLONG dlibMove, DWORD dwOrigin, ULONGLONG* plibNewPosition) = 0;
    virtual HRESULT SetSize(ULONGLONG libNewSize) = 0;
    virtual HRESULT CopyTo(IStream* pstm, ULONGLONG cb, ULONGLONG* pcbRead,
                           ULONGLONG* pcbWritten) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT Clone(IStream** ppstm) = 0;
};

struct ILockBytes : IUnknown {
    DECLARE_IID("{0000000A-0000-0000-C000-000000000046}");
    // Copies up to cb bytes from ulOffset; fewer at the end of the array, none past it.
    virtual HRESULT ReadAt(ULONGLONG ulOffset, void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT WriteAt(ULONGLONG ulOffset, const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
    virtual HRESULT Flush() = 0;
    virtual HRESULT SetSize(ULONGLONG cb) = 0;
    virtual HRESULT LockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULONGLONG libOffset, ULONGLONG cb, DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};

struct IEnumSTATSTG : IUnknown {
    DECLARE_IID("{0000000D-0000-0000-C000-000000000046}");
    // Fills up to celt entries; S_FALSE when fewer were left.
    virtual HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumSTATSTG** ppenum) = 0;
};

struct IStorage : IUnknown {
    DECLARE_IID("{0000000B-0000-0000-C000-000000000046}");
    virtual HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1,
                                 DWORD reserved2, IStream** ppstm) = 0;
    virtual HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                               IStream** ppstm) = 0;
    virtual HRESULT CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1,
                                  DWORD reserved2, IStorage** ppstg) = 0;
    virtual HRESULT OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                SNB snbExclude, DWORD reserved, IStorage** ppstg) = 0;
    virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                           IStorage* pstgDest) = 0;
    virtual HRESULT MoveElementTo(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName,
                                  DWORD grfFlags) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                 IEnumSTATSTG** ppenum) = 0;
    virtual HRESULT DestroyElement(LPCOLESTR pwcsName) = 0;
    virtual HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) = 0;
    virtual HRESULT SetElementTimes(LPCOLESTR pwcsName, const FILETIME* pctime,
                                    const FILETIME* patime, const FILETIME* pmtime) = 0;
    virtual HRESULT SetClass(const CLSID& clsid) = 0;
    virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};
