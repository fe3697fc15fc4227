// The language choice from "Accept-Language": order by quality, the wildcard, quality
// 0, unknown tags, duplicates, and the session's language as the fallback.
#include "http/AcceptLanguage.h"

#include <gtest/gtest.h>

namespace {

using Candidates = std::vector<CAcceptLanguage::Candidate>;

constexpr LCID kEnUS = 0x409, kEnGB = 0x809, kDeDE = 0x407, kFrFR = 0x40C, kJaJP = 0x411;

struct ParseCase {
    const char* header;
    Candidates expected;
};

class AcceptLanguageParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AcceptLanguageParse, GivesTheCandidatesInTheOrderToTry) {
    Candidates candidates;
    ASSERT_EQ(CAcceptLanguage::Parse(GetParam().header, &candidates), S_OK);
    EXPECT_EQ(candidates, GetParam().expected) << GetParam().header;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, AcceptLanguageParse,
    ::testing::Values(ParseCase{"", {}},
                      // A language without a quality comes before one with a lower quality.
                      ParseCase{"de;q=0.5, en", {{1000, kEnUS}, {500, kDeDE}}},
                      // Equal qualities keep the header's order.
                      ParseCase{"fr, de", {{1000, kFrFR}, {1000, kDeDE}}},
                      ParseCase{" en-GB ; q=0.7 , ja", {{1000, kJaJP}, {700, kEnGB}}},
                      // Fractions are thousandths by their digits; above 1 counts as 1.
                      ParseCase{"de;q=0.05,fr;q=0.123,ja;q=0.5",
                                {{500, kJaJP}, {123, kFrFR}, {50, kDeDE}}},
                      ParseCase{"de;q=1.5", {{1000, kDeDE}}},
                      ParseCase{"de;Q=0.3;level=1", {{300, kDeDE}}},
                      // The wildcard drops everything and ends the list.
                      ParseCase{"fr, *, de", {}},
                      // Quality 0 is "not acceptable".
                      ParseCase{"en;q=0, de;q=0.2", {{200, kDeDE}}},
                      // A tag without an LCID is passed over; so is an element without a tag.
                      ParseCase{"tlh, , ;q=0.5, de", {{1000, kDeDE}}},
                      // The same LCID is tried once, at its best quality.
                      ParseCase{"en;q=0.8, en-US", {{1000, kEnUS}}}));

TEST(AcceptLanguageChoose, FallsBackToTheSessionLanguage) {
    std::vector<LCID> lcids;
    ASSERT_EQ(CAcceptLanguage::Choose("fr, *", kJaJP, &lcids), S_OK);
    EXPECT_EQ(lcids, std::vector<LCID>{kJaJP});
    ASSERT_EQ(CAcceptLanguage::Choose("", kJaJP, &lcids), S_OK);
    EXPECT_EQ(lcids, std::vector<LCID>{kJaJP});
    ASSERT_EQ(CAcceptLanguage::Choose("de;q=0.5, en", kJaJP, &lcids), S_OK);
    EXPECT_EQ(lcids, (std::vector<LCID>{kEnUS, kDeDE}));
}

}  // namespace
