// The on-disk constants of the Compound File Binary format and its element-name rule.
//
// A compound file is a header followed by sectors of 512 (version 3) or 4096 (version
// 4) bytes. Sector chains are linked through the FAT; the FAT's own sectors are listed
// by the DIFAT (109 entries in the header, then a chain of DIFAT sectors). Small streams
// live in 64-byte mini sectors inside the mini stream, linked through the mini FAT. The
// directory is an array of 128-byte entries; the children of each storage form a
// red-black tree ordered by `CompareElementNames`.
#pragma once

#include <string_view>

#include "com/HResult.h"
#include "com/Types.h"

namespace cfb {

constexpr BYTE kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

constexpr ULONG kHeaderSize = 512;
constexpr ULONG kDirEntrySize = 128;
constexpr ULONG kHeaderDifatEntries = 109;
constexpr ULONG kMiniSectorSize = 64;
constexpr ULONG kMiniStreamCutoff = 4096;
constexpr WORD kByteOrderMark = 0xFFFE;
constexpr WORD kMinorVersion = 0x003E;

// Sector numbers with a meaning of their own.
constexpr ULONG MAXREGSECT = 0xFFFFFFFA;
constexpr ULONG DIFSECT = 0xFFFFFFFC;
constexpr ULONG FATSECT = 0xFFFFFFFD;
constexpr ULONG ENDOFCHAIN = 0xFFFFFFFE;
constexpr ULONG FREESECT = 0xFFFFFFFF;
// No directory entry (an empty sibling or child link).
constexpr ULONG NOSTREAM = 0xFFFFFFFF;

// Directory entry object types.
constexpr BYTE kTypeUnused = 0;
constexpr BYTE kTypeStorage = 1;
constexpr BYTE kTypeStream = 2;
constexpr BYTE kTypeRoot = 5;

constexpr BYTE kColorRed = 0;
constexpr BYTE kColorBlack = 1;

// An element name holds at most 31 UTF-16 units (32 with its terminator).
constexpr size_t kMaxNameLength = 31;

// Header field offsets.
namespace header {
constexpr size_t kMinor = 0x18;
constexpr size_t kMajor = 0x1A;
constexpr size_t kByteOrder = 0x1C;
constexpr size_t kSectorShift = 0x1E;
constexpr size_t kMiniSectorShift = 0x20;
constexpr size_t kDirSectorCount = 0x28;
constexpr size_t kFatSectorCount = 0x2C;
constexpr size_t kDirStart = 0x30;
constexpr size_t kTransaction = 0x34;
constexpr size_t kMiniCutoff = 0x38;
constexpr size_t kMiniFatStart = 0x3C;
constexpr size_t kMiniFatCount = 0x40;
constexpr size_t kDifatStart = 0x44;
constexpr size_t kDifatCount = 0x48;
constexpr size_t kDifat = 0x4C;
}  // namespace header

// Directory entry field offsets.
namespace entry {
constexpr size_t kName = 0x00;
constexpr size_t kNameLength = 0x40;
constexpr size_t kType = 0x42;
constexpr size_t kColor = 0x43;
constexpr size_t kLeft = 0x44;
constexpr size_t kRight = 0x48;
constexpr size_t kChild = 0x4C;
constexpr size_t kClsid = 0x50;
constexpr size_t kStateBits = 0x60;
constexpr size_t kCreated = 0x64;
constexpr size_t kModified = 0x6C;
constexpr size_t kStart = 0x74;
constexpr size_t kSize = 0x78;
}  // namespace entry

// The format's order of element names: the shorter name first, names of equal length
// by their code units after simple upper-casing. Equal under this order means the
// same element.
int CompareElementNames(std::u16string_view a, std::u16string_view b);

// S_OK for a name an element may carry: 1 to 31 units, none of '/', '\', ':', '!'.
// STG_E_INVALIDNAME otherwise.
HRESULT CheckElementName(std::u16string_view name);

// Little-endian reads and writes on byte buffers.
inline WORD ReadU16(const BYTE* p) {
    return static_cast<WORD>(p[0] | p[1] << 8);
}
inline DWORD ReadU32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}
inline ULONGLONG ReadU64(const BYTE* p) {
    return static_cast<ULONGLONG>(ReadU32(p)) | static_cast<ULONGLONG>(ReadU32(p + 4)) << 32;
}
inline void WriteU16(BYTE* p, WORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}
inline void WriteU32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>(v >> (8 * i));
}
inline void WriteU64(BYTE* p, ULONGLONG v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<BYTE>(v >> (8 * i));
}

}  // namespace cfb
