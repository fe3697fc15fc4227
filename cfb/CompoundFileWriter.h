// Writes a version 3 compound file (512-byte sectors) from a tree of storages and
// streams built in memory; the site compiler makes its site files with it.
//
// Streams under 4096 bytes go to the mini stream, larger ones to sectors of their own.
// The children of each storage are ordered by the format's name rule and written as a
// balanced binary tree coloured so that it is a valid red-black tree, which any reader
// of the format accepts. Storages (and the root) carry a class id, state bits and
// times; streams carry none, as the format requires. `WriteToFile` writes a temporary
// file in the target's directory and renames it over the target, so a reader never
// sees half a file and a failed write leaves the old file as it was.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "cfb/StorageTypes.h"
#include "com/HResult.h"

class CCompoundFileWriter {
public:
    // The id of the root storage.
    static constexpr ULONG kRoot = 0;

    CCompoundFileWriter();

    // Adds a storage under the storage idParent. E_INVALIDARG for an unknown parent or one
    // that is a stream, STG_E_INVALIDNAME for a name the format does not allow,
    // STG_E_FILEALREADYEXISTS when the parent already holds an element of that name.
    HRESULT AddStorage(ULONG idParent, std::u16string_view name, ULONG* pId = nullptr);
    // Adds a stream with its bytes; streams of 2 GB or more are refused (E_INVALIDARG).
    HRESULT AddStream(ULONG idParent, std::u16string_view name, std::vector<BYTE> data,
                      ULONG* pId = nullptr);

    // Class, state bits and times of a storage or the root; E_INVALIDARG for a stream.
    // The root keeps no creation time of its own, so a non-zero ctime for it is refused.
    HRESULT SetClass(ULONG id, const CLSID& clsid);
    HRESULT SetStateBits(ULONG id, DWORD grfStateBits);
    HRESULT SetTimes(ULONG id, const FILETIME& ctime, const FILETIME& mtime);

    // The whole file as bytes.
    HRESULT WriteToBytes(std::vector<BYTE>* pBytes) const;
    // Replaces (or creates) the file at strPath in one step.
    HRESULT WriteToFile(const std::string& strPath) const;

private:
    struct Node {
        std::u16string strName;
        BYTE type = 0;
        std::vector<BYTE> data;
        CLSID clsid;
        DWORD grfStateBits = 0;
        FILETIME ctime;
        FILETIME mtime;
        std::vector<ULONG> children;
        std::unordered_set<std::u16string> setUpperNames;  // names of the children, upper-cased
    };
    // Directory links of one node as written.
    struct Links {
        ULONG idLeft;
        ULONG idRight;
        ULONG idChild;
        BYTE color;
    };

    HRESULT AddNode(ULONG idParent, std::u16string_view name, BYTE type, std::vector<BYTE> data,
                    ULONG* pId);
    HRESULT CheckStorageId(ULONG id) const;
    // Links the sorted children [lo, hi) as a balanced tree; gives its root.
    static ULONG LinkTree(const std::vector<ULONG>& sorted, size_t lo, size_t hi, int depth,
                          std::vector<Links>& links, std::vector<int>& depths);

    std::vector<Node> m_arrNodes;
};
