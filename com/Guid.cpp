// GUID formatting and generation.
#include "com/Guid.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>

std::array<BYTE, 16> GUID::ToBytes() const {
    std::array<BYTE, 16> out{};
    std::memcpy(out.data(), &Data1, 4);
    std::memcpy(out.data() + 4, &Data2, 2);
    std::memcpy(out.data() + 6, &Data3, 2);
    std::memcpy(out.data() + 8, Data4, 8);
    return out;
}

GUID GUID::FromBytes(const BYTE* bytes) {
    GUID g;
    std::memcpy(&g.Data1, bytes, 4);
    std::memcpy(&g.Data2, bytes + 4, 2);
    std::memcpy(&g.Data3, bytes + 6, 2);
    std::memcpy(g.Data4, bytes + 8, 8);
    return g;
}

std::string GUID2String(const GUID& g) {
    char text[40];
    int n = std::snprintf(text, sizeof text,
                          "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                          g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                          g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return n == 38 ? std::string(text, 38) : std::string();
}

GUID NewGUID() {
    BYTE bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<BYTE>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    GUID g;
    g.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
              static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    std::memcpy(g.Data4, bytes + 8, 8);
    return g;
}
