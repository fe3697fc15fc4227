// The fixed-width integer names that the program's interfaces are written in.
//
// Operations keep the widths their callers and peers rely on (a process id is a
// 32-bit signed value, a port a 16-bit unsigned one), so the interfaces spell them
// with these names rather than with whatever `int` or `long` happen to be.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
