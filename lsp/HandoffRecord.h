// CHandoffRecord: the bytes that open a diverted connection, and their parser.
//
// A diverted connect reaches the service's private port and first sends the address the
// program asked for and the process's session key:
//
//     u32 address length L | L bytes of socket address | 16-byte key (GUID layout)
//
// An IPv4 destination is a 16-byte sockaddr_in (family 2, port and address in network
// order, 8 zero bytes). An IPv4-mapped IPv6 destination, and ::1 at the service's
// private port, are written as that IPv4 address, since the service serves only IPv4;
// any other IPv6 destination goes as the 28-byte sockaddr_in6 of this platform (family
// 10), which the service answers with "host unreachable". Pure functions of bytes.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "com/Guid.h"
#include "com/HResult.h"

class CHandoffRecord {
public:
    static constexpr std::size_t kMaxAddressSize = 256;  // the service's bound on L
    static constexpr std::size_t kMaxSize = 4 + sizeof(sockaddr_in6) + 16;
    static constexpr std::size_t kAnswerSize = 4;

    // Writes the record for `addr` (AF_INET or AF_INET6, `len` bytes) and `key` into
    // `out` (kMaxSize bytes) and its length into `*size`. `privatePort` (host order) is
    // the port at which ::1 counts as the service itself. E_INVALIDARG for another
    // family or a short address.
    static HRESULT Build(const sockaddr* addr, socklen_t len, unsigned short privatePort,
                         const GUID& key, unsigned char* out, std::size_t* size);

    // Reads a record from the start of `data`: S_OK with the address, its length, the
    // key and the record's size in `*consumed`; S_FALSE when more bytes are needed;
    // E_INVALIDARG for an address length over kMaxAddressSize.
    static HRESULT Parse(const unsigned char* data, std::size_t size, sockaddr_storage* addr,
                         socklen_t* len, GUID* key, std::size_t* consumed);

    // True for 127.0.0.1, ::1 and ::ffff:127.0.0.1.
    static bool IsLoopbackHost(const sockaddr* addr, socklen_t len);
    // The destination port in network order, or 0 for another family.
    static unsigned short PortOf(const sockaddr* addr, socklen_t len);
};
