// The URL category protocol's URL normal form and messages.
#include "objects/CategoryProtocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

struct NormalCase {
    const char* input;
    const char* expected;
};

TEST(CategoryProtocolTest, NormalizesUrls) {
    const NormalCase cases[] = {
        {"example.com", "http://example.com"},
        {"example.com/", "http://example.com/"},
        {"example.com:443", "https://example.com:443"},
        {"example.com:443/a/b?q=1", "https://example.com:443/a/b?q=1"},
        {"example.com:8080/x", "http://example.com:8080/x"},
        {"https://example.com", "https://example.com"},
        {"HTTP://Example.com:80/", "HTTP://Example.com:80/"},
        {"://example.com:443", "https://example.com:443"},
        // The port's colon is searched after the user information.
        {"ftp://user:pw@host:21/x", "ftp://user:pw@host:21/x"},
        {"user:pw@host", "http://user:pw@host"},
        // Only the first "/" splits the path off; the scheme's slashes are gone by then.
        {"http://host/a:b/c", "http://host/a:b/c"},
        {"", "http://"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CCategoryProtocol::NormalizeURL(c.input), c.expected) << c.input;
}

TEST(CategoryProtocolTest, BuildsTheRequestBytes) {
    std::vector<BYTE> request;
    const uint32_t address = inet_addr("127.1.2.3");
    ASSERT_EQ(CCategoryProtocol::BuildRequest(address, "http://a/", &request), S_OK);
    const BYTE expected[] = {'C', 'S', 'R', 'Q', 0x40, 0,   0,   0,   0,   0,   0,   1,   127, 1,
                             2,   3,   0,   10,  'h',  't', 't', 'p', ':', '/', '/', 'a', '/', 0};
    ASSERT_EQ(request.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(request.data(), expected, sizeof expected), 0);
}

TEST(CategoryProtocolTest, RefusesUrlsThatDoNotFit) {
    std::vector<BYTE> request;
    const std::string longest(CCategoryProtocol::kMaxUrlBytes, 'a');
    ASSERT_EQ(CCategoryProtocol::BuildRequest(0, longest, &request), S_OK);
    EXPECT_EQ(request[16], 0x10);  // 4096 with the terminator
    EXPECT_EQ(request[17], 0x00);
    EXPECT_EQ(CCategoryProtocol::BuildRequest(0, longest + "a", &request), E_INVALIDARG);
    EXPECT_EQ(CCategoryProtocol::BuildRequest(0, std::string("a\0b", 3), &request), E_INVALIDARG);
}

std::vector<BYTE> Header(const char* magic, uint32_t id, uint16_t status, uint16_t count) {
    std::vector<BYTE> h(16, 0xEE);  // bytes 4-7 are not examined
    std::memcpy(h.data(), magic, 4);
    h[8] = id >> 24, h[9] = id >> 16, h[10] = id >> 8, h[11] = id;
    h[12] = status >> 8, h[13] = status;
    h[14] = count >> 8, h[15] = count;
    return h;
}

TEST(CategoryProtocolTest, ChecksReplyHeaders) {
    struct Case {
        std::vector<BYTE> bytes;
        const char* refusal;  // null: accepted
    };
    const Case cases[] = {
        {Header("CSRP", 1, 0, 3), nullptr},
        {Header("CSRP", 2, 0, 3), "ntohl(reply.messageID) != 1"},
        {Header("CSRQ", 1, 0, 3), "strncmp((const char*)reply.magic,CSP_RP_MAGIC,"},
        {Header("CSRP", 1, 1, 0), "statusCode == CSP_ERROR"},
        {Header("CSRP", 1, 2, 0), "statusCode == CSP_INVALID_URL"},
        {Header("CSRP", 1, 3, 0), "statusCode == CSP_EXPIRED_LIST"},
        {Header("CSRP", 1, 0x100, 0), "statusCode != CSP_OK"},
    };
    for (const auto& c : cases) {
        const auto header = CCategoryProtocol::ParseReplyHeader(c.bytes.data());
        const char* refusal = CCategoryProtocol::CheckReplyHeader(header);
        if (!c.refusal)
            EXPECT_EQ(refusal, nullptr);
        else
            EXPECT_TRUE(refusal && std::string(refusal).starts_with(c.refusal)) << c.refusal;
    }
    const auto header = CCategoryProtocol::ParseReplyHeader(Header("CSRP", 1, 0, 0x1234).data());
    EXPECT_EQ(header.count, 0x1234);
}

TEST(CategoryProtocolTest, FormatsCategories) {
    const BYTE bytes[] = {0, 0, 0, 12, 0, 0, 0, 7, 0, 0, 0, 40, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(CCategoryProtocol::FormatCategories(bytes, 3), "12/7/40");
    EXPECT_EQ(CCategoryProtocol::FormatCategories(bytes, 4), "12/7/40/4294967295");
    EXPECT_EQ(CCategoryProtocol::FormatCategories(bytes, 0), "");
}

}  // namespace
