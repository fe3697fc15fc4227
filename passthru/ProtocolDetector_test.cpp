// The detectors as pure functions: which first bytes are which protocol, and when a test
// wants more bytes before it can say.
#include "passthru/ProtocolDetector.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using P = NetworkProtocol;

struct DetectCase {
    const char* name;
    std::string bytes;
    P protocol;
    bool moreRequired;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

class DetectTest : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, FirstChunk) {
    const DetectCase& c = GetParam();
    const CProtocolDetector::Result r = CProtocolDetector::Detect(c.bytes);
    EXPECT_EQ(r.protocol, c.protocol);
    EXPECT_EQ(r.detected, c.protocol != P::Unrecognised);
    EXPECT_EQ(r.moreRequired, c.moreRequired);
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, DetectTest,
    testing::Values(
        DetectCase{"RequestLine", "GET / HTTP/1.1\r\n", P::HTTP, false},
        DetectCase{"RequestWithHeaders", "POST /form HTTP/1.0\r\nHost: a\r\n\r\nx=1", P::HTTP,
                   false},
        DetectCase{"HTTP09", "GET /\r\n", P::HTTP, false},
        DetectCase{"MethodPrefix", "GE", P::Unrecognised, true},
        DetectCase{"LineWithoutEnd", "GET /index.html HTTP/1.1", P::Unrecognised, true},
        DetectCase{"Empty", "", P::Unrecognised, true},
        DetectCase{"TLS10", Bytes({0x16, 0x03, 0x01, 0x02, 0x00, 0x01}), P::TLS1, false},
        DetectCase{"TLS11", Bytes({0x16, 0x03, 0x02, 0x00, 0x31}), P::TLS1, false},
        DetectCase{"TLS12", Bytes({0x16, 0x03, 0x03, 0x00, 0x31}), P::TLS1, false},
        DetectCase{"SSL3", Bytes({0x16, 0x03, 0x00, 0x00, 0x31}), P::SSL3, false},
        DetectCase{"HandshakeUnknownVersion", Bytes({0x16, 0x03, 0x04, 0x00, 0x31}),
                   P::Unrecognised, false},
        DetectCase{"HandshakeNotVersion3", Bytes({0x16, 0x02, 0x01, 0x00, 0x31}), P::Unrecognised,
                   false},
        DetectCase{"SSL2Hello", Bytes({0x80, 0x2e, 0x01, 0x00, 0x02, 0x00, 0x15}), P::SSL2, false},
        DetectCase{"SSL2HelloOldOrder", Bytes({0x80, 0x2e, 0x01, 0x02, 0x00}), P::SSL2, false},
        DetectCase{"SSL2FormatOfferingSSL3", Bytes({0x80, 0x2e, 0x01, 0x03, 0x00}), P::SSL3, false},
        DetectCase{"SSL2FormatOfferingTLS", Bytes({0x80, 0x2e, 0x01, 0x03, 0x01}), P::TLS1, false},
        DetectCase{"FourTLSBytes", Bytes({0x16, 0x03, 0x01, 0x02}), P::Unrecognised, false},
        DetectCase{"ShortNonsense", "hi", P::Unrecognised, false},
        DetectCase{"SSHBanner", "SSH-2.0-OpenSSH_9.2\r\n", P::Unrecognised, false},
        DetectCase{"LowerCaseMethod", "get / HTTP/1.1\r\n", P::Unrecognised, false}),
    [](const testing::TestParamInfo<DetectCase>& info) { return info.param.name; });

TEST(ProtocolDetectorTest, TLSTestNeverAsksForMore) {
    // The record header arrives whole; a short first chunk is not waited on.
    for (std::size_t n = 0; n < 5; ++n) {
        const auto r = CProtocolDetector::DetectSSL(std::string("\x16\x03\x01\x02\x00", n));
        EXPECT_FALSE(r.detected) << n;
        EXPECT_FALSE(r.moreRequired) << n;
    }
}

TEST(ProtocolDetectorTest, NamesAsScriptsKnowThem) {
    EXPECT_STREQ(CProtocolDetector::ProtocolName(P::Unrecognised), "Unrecognised");
    EXPECT_STREQ(CProtocolDetector::ProtocolName(P::HTTP), "HTTP");
    EXPECT_STREQ(CProtocolDetector::ProtocolName(P::TLS1), "TLS1");
    EXPECT_STREQ(CProtocolDetector::ProtocolName(P::SSL3), "SSL3");
    EXPECT_STREQ(CProtocolDetector::ProtocolName(P::SSL2), "SSL2");
}

}  // namespace
