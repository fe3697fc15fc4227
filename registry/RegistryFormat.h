// CRegistryFormat: the registry store's text format, a pure function of bytes.
//
// The format is the registry editor's export syntax, version 5: UTF-8 without a byte
// order mark, the first line "Windows Registry Editor Version 5.00", then key lines
// ("[HKEY_LOCAL_MACHINE\SOFTWARE\Corvane]") each followed by the key's values:
//
//     @="default text"                 REG_SZ (only \\ and \" are escapes)
//     "Name"=dword:00000005            REG_DWORD
//     "Blob"=hex:01,02,03              REG_BINARY
//     "Big"=hex(b):05,00,00,00,00,00,00,00   REG_QWORD, little endian
//     "Path"=hex(2):25,00,00,00        REG_EXPAND_SZ, UTF-16LE bytes
//     "List"=hex(7):...                REG_MULTI_SZ; hex(N) for any other type
//
// Hex lists may continue over lines that end in a backslash; lines starting with ';'
// are comments; blank lines are ignored; lines end in LF or CRLF. Parse never touches a
// file and never logs: it gives the tree or the first bad line's number and the reason.
// Serialize writes LF line ends, a blank line between keys, every key (so empty keys
// survive) and strings that the quoted form cannot carry (line breaks, zero characters,
// no terminator) as hex(1), so that any tree round-trips.
#pragma once

#include <string>
#include <string_view>

#include "com/HResult.h"
#include "registry/RegistryTree.h"

struct CRegistryParseError {
    unsigned line = 0;  // 1-based
    std::string reason;
};

class CRegistryFormat {
public:
    static constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

    // S_OK with the tree, or HRESULT_FROM_WIN32(ERROR_BADDB) with the error filled in.
    // An empty text is an empty tree.
    static HRESULT Parse(std::string_view text, CRegistryTree* tree, CRegistryParseError* error);
    static std::string Serialize(const CRegistryTree& tree);
};
