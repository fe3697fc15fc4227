// The hand-off record reader; see HandoffRecord.h.
#include "intake/HandoffRecord.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

std::uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

CHandoffRecord::Parse CHandoffRecord::Read(const unsigned char* data, std::size_t length) {
    if (length > 0 && !data)
        return Parse::Malformed;
    if (length < 4)
        return Parse::NeedMore;
    const std::uint32_t addressLength = ReadLe32(data);
    // A length above 256 never completes; the connection is read on until it holds more
    // than any record could, then closed.
    if (addressLength > kMaxAddressLength || length < 20 + static_cast<std::size_t>(addressLength))
        return length > kMaxPendingBytes ? Parse::Malformed : Parse::NeedMore;

    m_addressLength = addressLength;
    const unsigned char* address = data + 4;
    m_family = addressLength >= 2 ? static_cast<std::uint16_t>(address[0] | address[1] << 8) : 0;
    m_ipv4 = sockaddr_in{};
    if (IsIPv4()) {
        m_ipv4.sin_family = AF_INET;
        std::memcpy(&m_ipv4.sin_port, address + 2, 2);
        std::memcpy(&m_ipv4.sin_addr, address + 4, 4);
    }
    m_key = GUID::FromBytes(address + addressLength);
    return Parse::Complete;
}

std::string CHandoffRecord::IPv4Text() const {
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &m_ipv4.sin_addr, text, sizeof text))
        return {};
    return std::string(text) + ":" + std::to_string(ntohs(m_ipv4.sin_port));
}

std::array<unsigned char, 4> CHandoffRecord::Answer(std::int32_t code) {
    const auto u = static_cast<std::uint32_t>(code);
    return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
            static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
}
