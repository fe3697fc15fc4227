// Helpers shared by the compound-file tests: opening bytes as a storage, walking a
// whole tree into records (type, size, SHA-256 prefix, path) and reading files.
#pragma once

#include <string>
#include <vector>

#include "cfb/StorageInterfaces.h"

struct ElementRecord {
    bool fStorage = false;
    ULONGLONG cbSize = 0;
    std::string strHash;  // first 16 hex digits of the stream's SHA-256
    std::string strPath;  // "/a/b", control characters written \xNN

    friend bool operator==(const ElementRecord&, const ElementRecord&) = default;
};

std::string Sha256Prefix(const std::vector<BYTE>& bytes);
std::string PrintRecords(const std::vector<ElementRecord>& records);
// An element name in UTF-8 with control characters written "\xNN".
std::string EscapeName(std::u16string_view name);

// Opens bytes (copied) as a read-only storage.
HRESULT OpenBytes(const std::vector<BYTE>& bytes, IStorage** ppstg);
// Walks every element under pstg in enumeration order, reading every stream whole.
HRESULT WalkTree(IStorage* pstg, std::vector<ElementRecord>* pRecords,
                 const std::string& strPrefix = "");
// Reads a stream from its current position to its end.
HRESULT ReadAll(IStream* pstm, std::vector<BYTE>* pBytes);

std::vector<BYTE> ReadFileBytes(const std::string& strPath);
// Runs a shell command and gives its standard output; the exit status in *pStatus.
std::string RunCommand(const std::string& strCommand, int* pStatus);
