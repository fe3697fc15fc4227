// GUIDs: class, interface and library identifiers, and session keys.
//
// The registry form is 38 characters: braces and upper-case hexadecimal digits,
// "{19BF719A-8566-443A-92F7-307C2D1D348D}". Its byte layout is COM's (three fields in
// host order, then eight bytes) so that records and wire formats carrying GUIDs
// keep their bytes.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "com/HexDigit.h"
#include "com/Types.h"

struct GUID {
    DWORD Data1 = 0;
    WORD Data2 = 0;
    WORD Data3 = 0;
    BYTE Data4[8] = {};

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
    friend constexpr bool operator<(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1)
            return a.Data1 < b.Data1;
        if (a.Data2 != b.Data2)
            return a.Data2 < b.Data2;
        if (a.Data3 != b.Data3)
            return a.Data3 < b.Data3;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return a.Data4[i] < b.Data4[i];
        return false;
    }
    constexpr bool IsNull() const { return *this == GUID{}; }

    // The 16 bytes as COM lays them out in memory on a little-endian machine.
    std::array<BYTE, 16> ToBytes() const;
    static GUID FromBytes(const BYTE* bytes);
};

using IID = GUID;
using CLSID = GUID;

constexpr GUID GUID_NULL{};

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any case).
constexpr std::optional<GUID> ParseGUID(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}')
            return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36)
        return std::nullopt;
    for (std::size_t dash : {8u, 13u, 18u, 23u})
        if (text[dash] != '-')
            return std::nullopt;
    BYTE bytes[16] = {};
    int n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            continue;
        int d = HexDigitValue(static_cast<unsigned char>(text[i]));
        if (d < 0)
            return std::nullopt;
        bytes[n / 2] = static_cast<BYTE>(bytes[n / 2] << 4 | d);
        ++n;
    }
    GUID g;
    g.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
              static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = bytes[8 + i];
    return g;
}

// A GUID literal checked at compile time: MakeGUID("{...}").
consteval GUID MakeGUID(std::string_view text) {
    auto g = ParseGUID(text);
    if (!g)
        throw "malformed GUID literal";
    return *g;
}

// The registry form, or an empty string if formatting fails.
std::string GUID2String(const GUID& guid);

// A new random GUID (version 4), from the system's random source.
GUID NewGUID();

template <>
struct std::hash<GUID> {
    std::size_t operator()(const GUID& g) const noexcept {
        std::size_t h = g.Data1;
        h = h * 31 + g.Data2;
        h = h * 31 + g.Data3;
        for (BYTE b : g.Data4)
            h = h * 31 + b;
        return h;
    }
};
