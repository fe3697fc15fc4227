// Tests of the URL cracker: what counts as an absolute URL, and that parts come back
// exactly as written.
#include "http/URLCracker.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CrackCase {
    std::string url;
    HRESULT hr = S_OK;
    std::string host = {}, port = {}, path = {}, query = {};
    bool bUserInfo = false;
};

class URLCrackerTest : public testing::TestWithParam<CrackCase> {};

TEST_P(URLCrackerTest, Cracks) {
    const CrackCase& c = GetParam();
    CURLCracker::Parts parts;
    ASSERT_EQ(CURLCracker::Crack(c.url, &parts), c.hr);
    if (c.hr != S_OK)
        return;
    EXPECT_EQ(parts.strHost, c.host);
    EXPECT_EQ(parts.strPort, c.port);
    EXPECT_EQ(parts.strPath, c.path);
    EXPECT_EQ(parts.strQuery, c.query);
    EXPECT_EQ(parts.bHasUserInfo, c.bUserInfo);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, URLCrackerTest,
    testing::Values(CrackCase{"http://example.com/a?b=c", S_OK, "example.com", "", "/a", "b=c",
                              false},
                    CrackCase{"http://example.com", S_OK, "example.com", "", "/", "", false},
                    // Percent-encoding and dot segments stay as sent.
                    CrackCase{"http://h/a%20b/../%2e/c?x=%41", S_OK, "h", "", "/a%20b/../%2e/c",
                              "x=%41", false},
                    CrackCase{"http://[::1]:8080/", S_OK, "[::1]", "8080", "/", "", false},
                    CrackCase{"http://u:p@h/", S_OK, "h", "", "/", "", true},
                    CrackCase{"/just/a/path", S_FALSE}, CrackCase{"example.com:443", S_FALSE},
                    CrackCase{"*", S_FALSE}, CrackCase{"file:///etc/passwd", S_FALSE},  // no host
                    CrackCase{"http://h:99999/", S_FALSE}, CrackCase{"http://h/a b", S_FALSE},
                    CrackCase{std::string("http://h/a\0b", 12), S_FALSE}));

TEST(URLCracker, NullPartsIsAPointerError) {
    EXPECT_EQ(CURLCracker::Crack("http://h/", nullptr), E_POINTER);
}

}  // namespace
