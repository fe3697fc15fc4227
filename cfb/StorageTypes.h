// The value types and flags of structured storage: element statistics, file times and
// the mode, type and seek constants, with the values the storage interfaces give them.
//
// Names in storages are UTF-16 (`OLECHAR`). `STATSTG::pwcsName` is a BSTR so that
// STATFLAG_NONAME can leave it null and the caller owns the text without a separate
// free call.
#pragma once

#include "com/Bstr.h"
#include "com/Guid.h"
#include "com/Types.h"

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A list of element names to leave out of an opened storage; null-terminated.
using SNB = OLECHAR**;

// A time in 100-nanosecond intervals since 1 January 1601 (UTC), in two halves.
struct FILETIME {
    DWORD dwLowDateTime = 0;
    DWORD dwHighDateTime = 0;

    constexpr ULONGLONG Value() const {
        return static_cast<ULONGLONG>(dwHighDateTime) << 32 | dwLowDateTime;
    }
    static constexpr FILETIME FromValue(ULONGLONG value) {
        return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    }
    friend constexpr bool operator==(const FILETIME& a, const FILETIME& b) {
        return a.Value() == b.Value();
    }
};

// Seconds between 1601-01-01 and the Unix epoch.
constexpr ULONGLONG FILETIME_UNIX_EPOCH_SECONDS = 11644473600ull;

// The file time of a Unix time given in seconds and nanoseconds; times before 1601 give 0.
FILETIME FileTimeFromUnix(long long seconds, long nanoseconds);

struct STATSTG {
    BSTR pwcsName;   // null when STATFLAG_NONAME was asked
    DWORD type = 0;  // STGTY_*
    ULONGLONG cbSize = 0;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode = 0;
    DWORD grfLocksSupported = 0;
    CLSID clsid;
    DWORD grfStateBits = 0;
    DWORD reserved = 0;
};

// Access.
constexpr DWORD STGM_READ = 0x00000000;
constexpr DWORD STGM_WRITE = 0x00000001;
constexpr DWORD STGM_READWRITE = 0x00000002;
constexpr DWORD STGM_ACCESS_MASK = 0x00000003;
// Sharing.
constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
constexpr DWORD STGM_SHARE_MASK = 0x00000070;
// Transactions and creation.
constexpr DWORD STGM_DIRECT = 0x00000000;
constexpr DWORD STGM_TRANSACTED = 0x00010000;
constexpr DWORD STGM_PRIORITY = 0x00040000;
constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
constexpr DWORD STGM_CREATE = 0x00001000;
constexpr DWORD STGM_CONVERT = 0x00020000;
constexpr DWORD STGM_NOSCRATCH = 0x00100000;
constexpr DWORD STGM_NOSNAPSHOT = 0x00200000;
constexpr DWORD STGM_DIRECT_SWMR = 0x00400000;
constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;
constexpr DWORD STGM_SIMPLE = 0x08000000;

// Element types.
constexpr DWORD STGTY_STORAGE = 1;
constexpr DWORD STGTY_STREAM = 2;
constexpr DWORD STGTY_LOCKBYTES = 3;
constexpr DWORD STGTY_PROPERTY = 4;

// Stat flags.
constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;
constexpr DWORD STATFLAG_NOOPEN = 2;

// Seek origins.
constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

// Region lock types. glibc's <fcntl.h> defines LOCK_WRITE as a macro for flock(); the
// storage name wins wherever both are seen.
#ifdef LOCK_WRITE
#undef LOCK_WRITE
#endif
constexpr DWORD LOCK_WRITE = 1;
constexpr DWORD LOCK_EXCLUSIVE = 2;
constexpr DWORD LOCK_ONLYONCE = 4;

// Commit flags.
constexpr DWORD STGC_DEFAULT = 0;
