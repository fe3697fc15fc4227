// The hand-off record's bytes: what the service reads at the start of a diverted
// connection.
#include "lsp/HandoffRecord.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

namespace {

constexpr GUID kKey = MakeGUID("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
constexpr unsigned short kPrivatePort = 41000;

std::vector<unsigned char> Build(const sockaddr* addr, socklen_t len) {
    unsigned char out[CHandoffRecord::kMaxSize];
    std::size_t size = 0;
    EXPECT_EQ(S_OK, CHandoffRecord::Build(addr, len, kPrivatePort, kKey, out, &size));
    return {out, out + size};
}

sockaddr_in6 V6(const char* text, unsigned short port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

// The IPv4 record of 36 bytes, byte for byte.
TEST(HandoffRecord, IPv4RecordLayout) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    inet_pton(AF_INET, "93.184.216.34", &a.sin_addr);
    std::memset(a.sin_zero, 0xAA, sizeof a.sin_zero);  // junk the program left there
    auto r = Build(reinterpret_cast<sockaddr*>(&a), sizeof a);
    const std::vector<unsigned char> expected = {
        16,   0,    0,    0,                             // L
        2,    0,    0,    80,   93,   184,  216,  34,    // family, port, address
        0,    0,    0,    0,    0,    0,    0,    0,     // zero
        0x3D, 0x2C, 0x1B, 0x0A, 0x5F, 0x4E, 0x71, 0x60,  // key fields, LE
        0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};
    EXPECT_EQ(expected, r);
}

// IPv6 destinations: mapped addresses and ::1 at the private port become IPv4 records;
// everything else travels as the 28-byte sockaddr_in6.
TEST(HandoffRecord, IPv6Destinations) {
    struct Case {
        const char* address;
        unsigned short port;
        std::size_t addressLength;
        const char* ipv4;
    } cases[] = {
        {"::ffff:192.0.2.7", 443, 16, "192.0.2.7"},
        {"::1", kPrivatePort, 16, "127.0.0.1"},
        {"::1", 8080, 28, nullptr},
        {"2001:db8::1", 443, 28, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        sockaddr_in6 a = V6(c.address, c.port);
        auto r = Build(reinterpret_cast<sockaddr*>(&a), sizeof a);
        ASSERT_EQ(4 + c.addressLength + 16, r.size());
        EXPECT_EQ(c.addressLength, r[0]);
        sockaddr_storage parsed{};
        socklen_t len = 0;
        GUID key;
        std::size_t consumed = 0;
        ASSERT_EQ(S_OK, CHandoffRecord::Parse(r.data(), r.size(), &parsed, &len, &key, &consumed));
        EXPECT_EQ(r.size(), consumed);
        EXPECT_EQ(kKey, key);
        if (c.ipv4) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&parsed);
            EXPECT_EQ(AF_INET, v4->sin_family);
            EXPECT_EQ(htons(c.port), v4->sin_port);
            char text[INET_ADDRSTRLEN];
            EXPECT_STREQ(c.ipv4, inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text));
        } else {
            EXPECT_EQ(10, parsed.ss_family);
            EXPECT_EQ(0, std::memcmp(&parsed, &a, sizeof a));
        }
    }
}

TEST(HandoffRecord, RefusesOtherFamiliesAndShortAddresses) {
    unsigned char out[CHandoffRecord::kMaxSize];
    std::size_t size = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    EXPECT_EQ(E_INVALIDARG, CHandoffRecord::Build(reinterpret_cast<sockaddr*>(&a), 8, kPrivatePort,
                                                  kKey, out, &size));
    sockaddr un{};
    un.sa_family = AF_UNIX;
    EXPECT_EQ(E_INVALIDARG, CHandoffRecord::Build(&un, sizeof un, kPrivatePort, kKey, out, &size));
}

// A record arriving in pieces parses only when whole; the service's bound on L holds.
TEST(HandoffRecord, ParseWaitsForWholeRecordAndBoundsLength) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    auto r = Build(reinterpret_cast<sockaddr*>(&a), sizeof a);
    sockaddr_storage parsed{};
    socklen_t len = 0;
    GUID key;
    std::size_t consumed = 0;
    for (std::size_t n = 0; n < r.size(); ++n)
        EXPECT_EQ(S_FALSE, CHandoffRecord::Parse(r.data(), n, &parsed, &len, &key, &consumed));
    const unsigned char tooLong[] = {1, 1, 0, 0};  // 257
    EXPECT_EQ(E_INVALIDARG,
              CHandoffRecord::Parse(tooLong, sizeof tooLong, &parsed, &len, &key, &consumed));
}

}  // namespace
