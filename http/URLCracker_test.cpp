// Tests of the URL cracker: what counts as an absolute URL, and that parts come back
// exactly as written.
#include "http/URLCracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    EXPECT_EQ(CURLCracker::CrackOriginForm("/", nullptr), E_POINTER);
}

// The quick split of an origin-form target answers exactly as the parser does for the
// same target on a host: random targets over characters it takes, characters it leaves to
// the parser (escapes good and bad, '#', spaces, dots, bytes above 127) and the ends of
// query and path.
TEST(URLCracker, OriginFormAnswersAsTheParserDoes) {
    const std::string kAlphabet = "ab/?=&%2F.#: @~+g\x7f\x80\t";
    const std::string kFixed[] = {"/",     "/?",     "/a?",      "/a?b?c",      "/./x",
                                  "/a/..", "/%zz",   "/%4",      "/a%41",       "//h/p",
                                  "/a#f",  "/a?q#f", "/a?b=c/d", "/.hidden/..x"};
    std::vector<std::string> targets(std::begin(kFixed), std::end(kFixed));
    unsigned seed = 12345;
    for (int i = 0; i < 3000; ++i) {
        std::string t = "/";
        seed = seed * 1103515245 + 12345;
        const unsigned length = (seed >> 16) % 12;
        for (unsigned j = 0; j < length; ++j) {
            seed = seed * 1103515245 + 12345;
            t += kAlphabet[(seed >> 16) % kAlphabet.size()];
        }
        targets.push_back(t);
    }
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        CURLCracker::Parts quick, parsed;
        const HRESULT hrQuick = CURLCracker::CrackOriginForm(target, &quick);
        const HRESULT hrParsed = CURLCracker::Crack("http://origin.test" + target, &parsed);
        ASSERT_EQ(hrQuick, hrParsed);
        if (hrParsed != S_OK)
            continue;
        EXPECT_EQ(quick.strPath, parsed.strPath);
        EXPECT_EQ(quick.strQuery, parsed.strQuery);
        EXPECT_EQ(quick.bHasQuery, parsed.bHasQuery);
        EXPECT_EQ(quick.bHasFragment, parsed.bHasFragment);
        EXPECT_TRUE(quick.strHost.empty());
    }
}

}  // namespace
