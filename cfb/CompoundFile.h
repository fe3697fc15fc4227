// The checked, read-only view of one compound file: header, FAT, mini FAT, directory
// and the storage tree, parsed from an `ILockBytes`.
//
// Every file is treated as hostile. Opening checks the header, follows the DIFAT and
// the directory, mini FAT and mini-stream chains, and walks the whole storage tree,
// so a loop, an index that points outside the file, a size that cannot fit or a tree
// with a cycle is answered with STG_E_INVALIDHEADER or STG_E_DOCFILECORRUPT before any
// element is handed out. Every chain walk is bounded by the number of sectors in the
// file and every table by the file's size. A stream's own chain is followed, with the
// same checks, when the stream is opened. After opening the view never changes, so the
// storages and streams that share it may read from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cfb/StorageInterfaces.h"

// One element of the storage tree as the directory describes it.
struct CDirEntry {
    std::u16string strName;
    std::u16string strUpperName;  // for lookups by the format's name rule
    BYTE type = 0;                // cfb::kTypeStorage, kTypeStream or kTypeRoot
    ULONG idLeft = 0;
    ULONG idRight = 0;
    ULONG idChild = 0;
    CLSID clsid;
    DWORD grfStateBits = 0;
    FILETIME ctime;
    FILETIME mtime;
    ULONG sectStart = 0;
    ULONGLONG cbSize = 0;
};

// The sectors of one stream in order, and whether they are mini sectors.
struct CStreamChain {
    std::vector<ULONG> sectors;
    bool fMini = false;
    ULONGLONG cbSize = 0;
};

class CCompoundFile {
public:
    static constexpr ULONG kRootId = 0;

    // Reads and checks the structure of the file behind pLockBytes.
    static HRESULT Open(ILockBytes* pLockBytes, std::shared_ptr<const CCompoundFile>* ppFile);

    const CDirEntry& Entry(ULONG id) const { return m_arrEntries[id]; }
    // The children of a storage (or the root) in the order of its tree.
    const std::vector<ULONG>& Children(ULONG idStorage) const { return m_arrChildren[idStorage]; }
    // The child of a storage with that name under the format's name rule, or NOSTREAM.
    ULONG FindChild(ULONG idStorage, std::u16string_view name) const;

    // Follows the chain of a stream element and checks that it holds the stream's size.
    HRESULT OpenChain(ULONG idStream, CStreamChain* pChain) const;
    // Reads up to cb bytes of a stream from offset; fewer at its end.
    HRESULT ReadChain(const CStreamChain& chain, ULONGLONG offset, void* pv, ULONG cb,
                      ULONG* pcbRead) const;

    ILockBytes* LockBytes() const { return m_ptrLockBytes.Get(); }
    WORD MajorVersion() const { return m_wMajor; }
    ULONG SectorSize() const { return m_cbSector; }

    // Only Open makes one, so every view in use has passed the checks.
    class PrivateKey {
        friend class CCompoundFile;
        PrivateKey() = default;
    };
    explicit CCompoundFile(PrivateKey) {}

private:
    HRESULT Load(ILockBytes* pLockBytes);
    HRESULT ReadHeader(BYTE* pHeader);
    HRESULT LoadFat(const BYTE* pHeader);
    HRESULT LoadDirectory(const BYTE* pHeader, std::vector<BYTE>* pDirectory);
    HRESULT LoadMiniStream(const BYTE* pHeader);
    HRESULT WalkTree(const std::vector<BYTE>& directory);
    HRESULT ParseEntry(const BYTE* p, CDirEntry* pEntry) const;

    // Reads bytes of the file; a short read at the end of the file reads as zeros.
    HRESULT ReadFile(ULONGLONG offset, void* pv, ULONG cb) const;
    HRESULT ReadSector(ULONG sect, BYTE* pv) const;
    // The sectors of a FAT chain from sectStart up to ENDOFCHAIN.
    HRESULT FollowChain(ULONG sectStart, std::vector<ULONG>* pSectors) const;
    HRESULT FollowMiniChain(ULONG sectStart, std::vector<ULONG>* pSectors) const;
    // Reads a whole FAT chain into memory.
    HRESULT ReadChainBytes(ULONG sectStart, std::vector<BYTE>* pBytes) const;

    CComPtr<ILockBytes> m_ptrLockBytes;
    ULONGLONG m_cbFile = 0;
    WORD m_wMajor = 0;
    ULONG m_cbSector = 0;
    ULONG m_cSectors = 0;  // sectors that start inside the file
    std::vector<ULONG> m_arrFat;
    std::vector<ULONG> m_arrMiniFat;
    std::vector<ULONG> m_arrMiniStream;  // the sectors of the mini stream
    ULONGLONG m_cbMiniStream = 0;
    ULONG m_cMiniSectors = 0;
    std::vector<CDirEntry> m_arrEntries;
    std::vector<std::vector<ULONG>> m_arrChildren;
};
