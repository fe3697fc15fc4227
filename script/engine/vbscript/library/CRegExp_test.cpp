// RegExp, Matches, Match and SubMatches through GetIDsOfNames and Invoke.
#include "script/engine/vbscript/library/CRegExp.h"

#include <gtest/gtest.h>

#include "script/engine/vbscript/library/DispatchCaller.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

class RegExpTest : public testing::Test {
protected:
    void SetUp() override { m_re = MakeObject<CRegExp>(); }
    void Set(const char16_t* pattern, bool global = false, bool ignoreCase = false,
             bool multiline = false) {
        DispatchCaller re(m_re.Get());
        re.Put(u"Pattern", CComVariant(pattern));
        re.Put(u"Global", CComVariant(global));
        re.Put(u"IgnoreCase", CComVariant(ignoreCase));
        re.Put(u"Multiline", CComVariant(multiline));
    }
    std::u16string Replace(const char16_t* text, const char16_t* with) {
        CComVariant result =
            DispatchCaller(m_re.Get()).Get(u"Replace", {CComVariant(text), CComVariant(with)});
        return std::u16string(result.Text());
    }
    bool Test(const char16_t* text) {
        return DispatchCaller(m_re.Get()).Get(u"Test", {CComVariant(text)}).boolVal != 0;
    }
    HRESULT TestStatus(const char16_t* pattern) {
        Set(pattern);
        CComVariant result;
        return DispatchCaller(m_re.Get())
            .Call(u"Test", DISPATCH_METHOD, {CComVariant(u"x")}, &result);
    }

    CComPtr<CRegExp> m_re;
};

TEST_F(RegExpTest, ExecuteGivesMatchesWithPositionsAndGroups) {
    Set(u"(\\w)(\\d)?-", true);
    CComVariant matches = DispatchCaller(m_re.Get()).Get(u"Execute", {CComVariant(u"a1- b- c3-")});
    ASSERT_EQ(matches.vt, VT_DISPATCH);
    DispatchCaller collection(matches.pdispVal);
    EXPECT_EQ(collection.Get(u"Count").lVal, 3);
    CComVariant second = collection.Get(u"Item", {CComVariant(static_cast<LONG>(1))});
    DispatchCaller match(second.pdispVal);
    EXPECT_EQ(match.Get(u"Value").Text(), u"b-");
    EXPECT_EQ(match.Get(u"FirstIndex").lVal, 4);
    EXPECT_EQ(match.Get(u"Length").lVal, 2);
    CComVariant groups = match.Get(u"SubMatches");
    DispatchCaller subMatches(groups.pdispVal);
    EXPECT_EQ(subMatches.Get(u"Count").lVal, 2);
    EXPECT_EQ(subMatches.Get(u"Item", {CComVariant(static_cast<LONG>(0))}).Text(), u"b");
    EXPECT_EQ(subMatches.Get(u"Item", {CComVariant(static_cast<LONG>(1))}).vt, VT_EMPTY);
    CComVariant out;
    EXPECT_EQ(
        collection.Call(u"Item", DISPATCH_PROPERTYGET, {CComVariant(static_cast<LONG>(3))}, &out),
        VBScriptError(5));

    std::vector<CComVariant> all = Enumerate(matches.pdispVal);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(DispatchCaller(all[2].pdispVal).Get(u"Value").Text(), u"c3-");
    CComPtr<ITypeInfo> info;
    ASSERT_EQ(matches.pdispVal->GetTypeInfo(0, 0, info.Receive()), S_OK);

    Set(u"\\w+");  // not global: the first match only
    matches = DispatchCaller(m_re.Get()).Get(u"Execute", {CComVariant(u"one two")});
    EXPECT_EQ(DispatchCaller(matches.pdispVal).Get(u"Count").lVal, 1);
}

TEST_F(RegExpTest, ReplaceExpandsReferences) {
    Set(u"(\\w+)@(\\w+)", true);
    EXPECT_EQ(Replace(u"ann@x bob@y", u"$2:$1"), u"x:ann y:bob");
    EXPECT_EQ(Replace(u"ann@x", u"[$&] $$ $3 \\1"), u"[ann@x] $ $3 \\1");
    Set(u"b");
    EXPECT_EQ(Replace(u"abcb", u"<$`|$'>"), u"a<a|cb>cb");
    Set(u"x*", true);
    EXPECT_EQ(Replace(u"ab", u"-"), u"-a-b-");
}

TEST_F(RegExpTest, FlagsAndLanguageDifferences) {
    Set(u"^b.c$", false, true, true);
    EXPECT_TRUE(Test(u"a\nB-C\nd"));
    Set(u"^b.c$", false, true, false);
    EXPECT_FALSE(Test(u"a\nB-C\nd"));
    Set(u"a.c");
    EXPECT_FALSE(Test(u"a\nc"));
    EXPECT_TRUE(Test(u"a\rc"));
    Set(u"c$");
    EXPECT_FALSE(Test(u"abc\n"));
    Set(u"[[&]+");
    EXPECT_TRUE(Test(u"x[&"));
    Set(u"a{x");
    EXPECT_TRUE(Test(u"a{x"));
    Set(u"a{2}");
    EXPECT_TRUE(Test(u"caab"));
    Set(u"[^]");
    EXPECT_TRUE(Test(u"\n"));
    Set(u"[]");
    EXPECT_FALSE(Test(u"x"));
    Set(u"\\x41\\u0042\\q");
    EXPECT_TRUE(Test(u"ABq"));
}

TEST_F(RegExpTest, SyntaxErrorsCarryTheLanguagesNumbers) {
    EXPECT_EQ(TestStatus(u"*a"), VBScriptError(5018));
    EXPECT_EQ(TestStatus(u"a**"), VBScriptError(5018));
    EXPECT_EQ(TestStatus(u"[ab"), VBScriptError(5019));
    EXPECT_EQ(TestStatus(u"(ab"), VBScriptError(5020));
    EXPECT_EQ(TestStatus(u"ab)"), VBScriptError(5017));
    EXPECT_EQ(TestStatus(u"a\\"), VBScriptError(5017));
    EXPECT_EQ(TestStatus(u"(?<n>a)"), VBScriptError(5017));
    EXPECT_EQ(TestStatus(u"a+?"), S_OK);
}

}  // namespace
