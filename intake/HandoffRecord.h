// CHandoffRecord: the record that the connect() library writes at the start of a
// diverted connection, and the 4-byte answer the service writes back.
//
// The record, all integers little-endian:
//
//     offset 0      4 bytes   address length L
//     offset 4      L bytes   the destination as the application passed it to connect():
//                             a Linux sockaddr (family as a 16-bit value, then for IPv4 the
//                             port and the address in network order)
//     offset 4 + L  16 bytes  the session key, a GUID in its binary layout
//     offset 20 + L           the application's first data, not part of the record
//
// The reader is a pure function of the bytes received so far, shared by the socket
// server and the fuzz target. A record never needs more than 4 + 256 + 16 bytes, so a
// connection that holds more than that without a complete record (an address length
// above 256 can never complete) is malformed and is closed: a client that streams bytes
// without a record never makes the service hold more than that bound.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "com/Guid.h"

class CHandoffRecord {
public:
    static constexpr std::uint32_t kMaxAddressLength = 256;
    // The most bytes a connection may hold while its record is incomplete.
    static constexpr std::size_t kMaxPendingBytes = 4 + kMaxAddressLength + 16;

    enum class Parse {
        NeedMore,   // not complete yet; read on (the connection ends at the end of the stream)
        Complete,   // the record is there; RecordLength() bytes of it
        Malformed,  // more than kMaxPendingBytes without a complete record: close
    };

    // Reads a record from the start of (`data`, `length`).
    Parse Read(const unsigned char* data, std::size_t length);

    std::uint32_t AddressLength() const { return m_addressLength; }
    // 4 + L + 16: the bytes to consume; what follows is the application's first data.
    std::size_t RecordLength() const { return 20 + static_cast<std::size_t>(m_addressLength); }
    const GUID& Key() const { return m_key; }
    // The destination's address family (0 when the address is shorter than the family).
    std::uint16_t Family() const { return m_family; }
    // An IPv4 destination with a complete address (family 2, at least 8 bytes).
    bool IsIPv4() const { return m_family == AF_INET && m_addressLength >= 8; }
    // For IPv4: the destination (port and address in network order).
    const sockaddr_in& IPv4() const { return m_ipv4; }
    // For IPv4: the dotted address, a colon and the port in decimal ("192.0.2.7:443").
    std::string IPv4Text() const;

    // The answer: the Winsock code as a 32-bit little-endian value.
    static std::array<unsigned char, 4> Answer(std::int32_t code);

private:
    std::uint32_t m_addressLength = 0;
    std::uint16_t m_family = 0;
    sockaddr_in m_ipv4{};
    GUID m_key;
};
