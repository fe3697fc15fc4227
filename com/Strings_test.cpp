// UTF conversions with bad input, and the simple upper-casing.
#include "com/Strings.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "com/Bstr.h"

TEST(Strings, Utf8ToUtf16ReplacesIllFormedInput) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"abc", u"abc"},
        {"\xC2\xA3", u"\u00A3"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"a\xE2\x82", u"a\uFFFD"},                // truncated
        {"\xFF", u"\uFFFD"},
        {"x\xF0\x9F\x98\x80y\xC2\xA3z", u"x\U0001F600y\u00A3z"},  // mixed with ASCII
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
    EXPECT_TRUE(IsValidUtf8("\xEF\xBF\xBD ok \xC2\xA3"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
}

TEST(Strings, Utf16ToUtf8ReplacesLoneSurrogates) {
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600\u00A3"), "\xF0\x9F\x98\x80\xC2\xA3");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(Strings, UpperCasingIsSimpleAndKeepsLength) {
    EXPECT_EQ(ToUpperSimple(u"about\u00A3asp"), u"ABOUT\u00A3ASP");
    EXPECT_EQ(ToUpperSimple(u"stra\u00DFe"), u"STRA\u00DFE");  // no full mapping to "SS"
    EXPECT_EQ(ToUpperSimple(u"\u00E9t\u00E9"), u"\u00C9T\u00C9");
    EXPECT_TRUE(EqualsNoCase("Content-Length", "CONTENT-LENGTH"));
    EXPECT_FALSE(EqualsNoCase(u"a", u"ab"));
    EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
}

// Comparing without case answers as comparing the upper-cased copies does, for letters of
// every kind, lone surrogates and strings of different lengths.
TEST(Strings, ComparingWithoutCaseAgreesWithComparingUpperCasedCopies) {
    const char16_t units[] = {u'a',   u'A',   u'z',   u'Z',   u'0',   u'_',   0x00E9, 0x00C9,
                              0x00DF, 0x03C3, 0x03A3, 0x0131, 0xD800, 0xDC00, 0xFFFF};
    std::mt19937 random(12);
    auto text = [&] {
        std::u16string t(random() % 4, u' ');
        for (auto& c : t)
            c = units[random() % std::size(units)];
        return t;
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (int i = 0; i < 20000; ++i) {
        const std::u16string a = text(), b = text();
        const int expected = sign(ToUpperSimple(a).compare(ToUpperSimple(b)));
        ASSERT_EQ(sign(CompareNoCase(a, b)), expected) << Utf16ToUtf8(a) << " " << Utf16ToUtf8(b);
        ASSERT_EQ(EqualsNoCase(a, b), expected == 0);
        const std::string x = Utf16ToUtf8(a), y = Utf16ToUtf8(b);
        const int expectedNarrow = sign(ToUpperSimple(x).compare(ToUpperSimple(y)));
        ASSERT_EQ(sign(CompareNoCase(x, y)), expectedNarrow) << x << " " << y;
        ASSERT_EQ(EqualsNoCase(x, y), expectedNarrow == 0);
    }
}

TEST(Bstr, NullIsDistinctFromEmpty) {
    BSTR null;
    BSTR empty = BSTR::Empty();
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(empty.IsNull());
    EXPECT_EQ(null, empty);  // equal in content, told apart by IsNull
    EXPECT_EQ(null.Length(), 0u);
    BSTR text = BSTR::FromUtf8("Caf\xC3\xA9");
    EXPECT_EQ(text.Length(), 4u);
    EXPECT_EQ(text.ToUtf8(), "Caf\xC3\xA9");
    EXPECT_LT(BSTR(u"a"), BSTR(u"b"));
}

TEST(Bstr, EmptyStringsShareABufferThatChangingOneLeavesAlone) {
    BSTR a = BSTR::Empty();
    BSTR b(std::u16string{});
    BSTR c = a;
    EXPECT_EQ(BSTR::ViewOf(a.Detach()), u"");  // a raw handle of it needs no release
    a = c;
    a.Mutable() += u"x";
    EXPECT_EQ(a.View(), u"x");
    EXPECT_EQ(b.View(), u"");
    EXPECT_EQ(c.View(), u"");
    EXPECT_FALSE(c.IsNull());
    // Released more often than shared, as a raw handle may be: still there and empty.
    for (int i = 0; i < 3; ++i)
        BSTR::ReleaseBuffer(BSTR::Empty().Detach());
    EXPECT_EQ(BSTR::Empty().View(), u"");
    EXPECT_EQ(BSTR(u"").Length(), 0u);
}
