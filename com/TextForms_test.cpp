// Code pages and the shared text forms of values.
#include "com/TextForms.h"

#include <gtest/gtest.h>

#include "com/CodePage.h"
#include "com/Locale.h"

namespace {

TEST(CodePage, TableLabelsAndValidity) {
    EXPECT_TRUE(IsValidCodePage(65001));
    EXPECT_TRUE(IsValidCodePage(1252));
    EXPECT_FALSE(IsValidCodePage(12345));
    EXPECT_EQ(GetACP(), 65001u);
    ASSERT_NE(FindCodePageByLabel(" Shift_JIS "), nullptr);
    EXPECT_EQ(FindCodePageByLabel("shift_jis")->codePage, 932u);
    EXPECT_EQ(FindCodePageByLabel("euc-kr")->codePage, 949u);
    EXPECT_EQ(FindCodePage(CP_ACP)->codePage, 65001u);
    EXPECT_EQ(FindCodePageByLabel("klingon"), nullptr);
    // Every converter in the table opens.
    for (const auto& e : CodePageTable()) {
        std::u16string text;
        EXPECT_EQ(MultiByteToUnicode(e.codePage, "A", &text), S_OK) << e.icuName;
    }
}

TEST(CodePage, ReplacementsBothWays) {
    std::string bytes;
    ASSERT_EQ(UnicodeToMultiByte(1252, u"\u20AC\u4E2D", &bytes), S_OK);
    EXPECT_EQ(bytes, "\x80?");  // the euro sign exists in 1252, the CJK character does not
    std::u16string text;
    ASSERT_EQ(MultiByteToUnicode(20127, "a\xFF", &text), S_OK);
    EXPECT_EQ(text, u"a\uFFFD");
    ASSERT_EQ(MultiByteToUnicode(932, "\x82\xA0", &text), S_OK);
    EXPECT_EQ(text, u"\u3042");
    ASSERT_EQ(MultiByteToUnicode(65001, "\xC3", &text), S_OK);
    EXPECT_EQ(text, u"\uFFFD");
    ASSERT_EQ(UnicodeToMultiByte(1200, u"A", &bytes), S_OK);
    EXPECT_EQ(bytes, std::string("A\0", 2));
    EXPECT_EQ(MultiByteToUnicode(4242, "a", &text), E_INVALIDARG);
}

TEST(TextForms, DatePartsRoundTripAcrossTheRange) {
    struct Case {
        DateParts parts;
        double date;
    } cases[] = {
        {{1899, 12, 30, 0, 0, 0}, 0},       {{2000, 1, 1, 0, 0, 0}, 36526},
        {{1899, 12, 29, 6, 0, 0}, -1.25},   {{100, 1, 1, 0, 0, 0}, -657434},
        {{9999, 12, 31, 0, 0, 0}, 2958465}, {{1582, 10, 4, 0, 0, 0}, -115869},
        {{1900, 3, 1, 12, 0, 0}, 61.5},
    };
    for (const auto& c : cases) {
        double d = 0;
        ASSERT_TRUE(DateFromParts(c.parts, &d));
        EXPECT_DOUBLE_EQ(d, c.date);
        DateParts back;
        ASSERT_TRUE(PartsFromDate(c.date, &back));
        EXPECT_EQ(back.year, c.parts.year);
        EXPECT_EQ(back.day, c.parts.day);
        EXPECT_EQ(back.hour, c.parts.hour);
    }
    double d;
    EXPECT_FALSE(DateFromParts({99, 12, 31, 0, 0, 0}, &d));
    EXPECT_FALSE(DateFromParts({2001, 2, 29, 0, 0, 0}, &d));
    DateParts p;
    EXPECT_FALSE(PartsFromDate(3e6, &p));
}

TEST(TextForms, FormsOfTwoLocales) {
    EXPECT_EQ(FormatDouble(1234.5, 0x0407), u"1234,5");
    EXPECT_EQ(FormatDouble(1234.5, 0x0409), u"1234.5");
    EXPECT_EQ(FormatDate(36527.5, 0x0407), u"02.01.2000 12:00:00");
    EXPECT_EQ(FormatDate(0.5, 0x0409), u"12:00:00 PM");
    EXPECT_EQ(FormatBool(true), u"True");
    // What is written is read back in the same locale.
    for (LCID lcid : {0x0409u, 0x0407u, 0x040Cu}) {
        for (double date : {36527.75, 1.0, -400.5, 0.25}) {
            auto back = ParseDateText(FormatDate(date, lcid), lcid);
            ASSERT_TRUE(back) << lcid << " " << date;
            EXPECT_NEAR(*back, date, 1e-9) << lcid;
        }
        auto number = ParseNumberText(FormatDouble(-1234.0625, lcid), lcid);
        ASSERT_TRUE(number);
        EXPECT_EQ(ParsedToDouble(*number), -1234.0625);
    }
}

}  // namespace
