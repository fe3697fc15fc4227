// The built-in functions called through the table: results, types and errors by family.
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

#include <gtest/gtest.h>

#include "com/SafeArray.h"
#include "com/Strings.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"
#include "script/engine/vbscript/library/VBTestSupport.h"

namespace {

struct Case {
    const char16_t* name;
    std::vector<CComVariant> args;
    const char* expected;   // the result as text, "!n" for error n, "Null"
    VARTYPE vt = VT_EMPTY;  // the result's type when it matters
};

void RunCases(const std::vector<Case>& cases, LCID lcid = 1033) {
    for (const Case& c : cases) {
        VBBuiltinContext ctx;
        ctx.lcid = lcid;
        CComVariant result;
        HRESULT hr = CallBuiltin(ctx, c.name, c.args, &result);
        EXPECT_EQ(Show(hr, result), c.expected) << Utf16ToUtf8(c.name);
        if (c.vt != VT_EMPTY && SUCCEEDED(hr)) {
            EXPECT_EQ(result.vt, c.vt) << Utf16ToUtf8(c.name);
        }
    }
}

TEST(VBScriptBuiltins, TableIsSortedAndFindsNamesInAnyCase) {
    auto table = VBScriptBuiltins();
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_LT(CompareNoCase(table[i - 1].name, table[i].name), 0) << Utf16ToUtf8(table[i].name);
    ASSERT_NE(FindVBScriptBuiltin(u"ucase"), nullptr);
    EXPECT_EQ(FindVBScriptBuiltin(u"UCASE")->name, u"UCase");
    EXPECT_EQ(FindVBScriptBuiltin(u"Eval"), nullptr);
    EXPECT_EQ(FindVBScriptBuiltin(u"NoSuchThing"), nullptr);
}

TEST(VBScriptBuiltins, Conversions) {
    RunCases({
        {u"CInt", {D(2.5)}, "2", VT_I2},
        {u"CInt", {D(3.5)}, "4", VT_I2},
        {u"CInt", {S(u"40000")}, "!6"},
        {u"CInt", {CComVariant::Null()}, "!94"},
        {u"CLng", {S(u"abc")}, "!13"},
        {u"CByte", {I(256)}, "!6"},
        {u"CByte", {I(255)}, "255", VT_UI1},
        {u"CBool", {S(u"true")}, "True", VT_BOOL},
        {u"CBool", {I(0)}, "False"},
        {u"CDbl", {S(u"1.5")}, "1.5", VT_R8},
        {u"CCur", {D(1.23456)}, "1.2346", VT_CY},
        {u"CStr", {CComVariant(true)}, "True", VT_BSTR},
        {u"CStr", {CComVariant::Null()}, "!94"},
        {u"CStr", {CComVariant()}, ""},
        {u"CDate", {S(u"1/2/2024")}, "1/2/2024", VT_DATE},
        {u"Hex", {I(255)}, "FF"},
        {u"Hex", {CComVariant(static_cast<SHORT>(-1))}, "FFFF"},
        {u"Hex", {I(-1)}, "FFFFFFFF"},
        {u"Hex", {CComVariant::Null()}, "Null"},
        {u"Hex", {CComVariant()}, "0"},
        {u"Oct", {I(8)}, "10"},
        {u"Asc", {S(u"A")}, "65", VT_I2},
        {u"Asc", {S(u"")}, "!5"},
        {u"AscW", {S(u"\u20AC")}, "8364"},
        {u"AscB", {S(u"\u20AC")}, "172"},
        {u"Chr", {I(65)}, "A"},
        {u"Chr", {I(256)}, "!5"},
        {u"ChrW", {I(8364)}, "\u20AC"},
        {u"ChrW", {I(70000)}, "!5"},
        {u"Fix", {D(-2.5)}, "-2"},
        {u"Int", {D(-2.5)}, "-3"},
        {u"Int", {S(u"2.7")}, "2", VT_R8},
        {u"Abs", {I(-3)}, "3", VT_I4},
        {u"Abs", {CComVariant::Null()}, "Null"},
        {u"Sgn", {D(-0.5)}, "-1", VT_I2},
        {u"Sgn", {I(0)}, "0"},
    });
}

TEST(VBScriptBuiltins, Inspection) {
    SAFEARRAYBOUND bound{2, 0};
    CComVariant array;
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    CComVariant nothing;
    nothing.vt = VT_DISPATCH;
    nothing.pdispVal = nullptr;
    RunCases({
        {u"TypeName", {I(1)}, "Long"},
        {u"TypeName", {CComVariant(static_cast<SHORT>(1))}, "Integer"},
        {u"TypeName", {S(u"x")}, "String"},
        {u"TypeName", {CComVariant::Null()}, "Null"},
        {u"TypeName", {CComVariant()}, "Empty"},
        {u"TypeName", {array}, "Variant()"},
        {u"TypeName", {nothing}, "Nothing"},
        {u"VarType", {array}, "8204"},
        {u"VarType", {S(u"x")}, "8"},
        {u"IsNumeric", {S(u" 12.5 ")}, "True"},
        {u"IsNumeric", {S(u"12a")}, "False"},
        {u"IsNumeric", {CComVariant()}, "True"},
        {u"IsNumeric", {CComVariant::Null()}, "False"},
        {u"IsDate", {S(u"March 5, 2024")}, "True"},
        {u"IsDate", {S(u"hello")}, "False"},
        {u"IsDate", {I(1)}, "False"},
        {u"IsEmpty", {CComVariant()}, "True"},
        {u"IsNull", {CComVariant::Null()}, "True"},
        {u"IsArray", {array}, "True"},
        {u"IsObject", {nothing}, "True"},
    });
}

TEST(VBScriptBuiltins, Strings) {
    RunCases({
        {u"Len", {S(u"hello")}, "5", VT_I4},
        {u"Len", {CComVariant::Null()}, "Null"},
        {u"Len", {I(1234)}, "4"},
        {u"LenB", {S(u"abc")}, "6"},
        {u"Left", {S(u"hello"), I(2)}, "he"},
        {u"Left", {S(u"hello"), I(20)}, "hello"},
        {u"Left", {CComVariant::Null(), I(1)}, "Null"},
        {u"Left", {S(u"hello"), I(-1)}, "!5"},
        {u"Left", {S(u"hello"), CComVariant::Null()}, "!94"},
        {u"Right", {S(u"hello"), I(3)}, "llo"},
        {u"Mid", {S(u"hello"), I(2), I(3)}, "ell"},
        {u"Mid", {S(u"hello"), I(4)}, "lo"},
        {u"Mid", {S(u"hello"), I(9)}, ""},
        {u"Mid", {S(u"hello"), I(0)}, "!5"},
        {u"Mid", {I(12345), I(2), I(2)}, "23"},
        {u"LeftB", {S(u"hello"), I(4)}, "he"},
        {u"MidB", {S(u"hello"), I(3), I(4)}, "el"},
        {u"InStr", {S(u"abcabc"), S(u"c")}, "3"},
        {u"InStr", {I(4), S(u"abcabc"), S(u"c")}, "6"},
        {u"InStr", {I(1), S(u"ABC"), S(u"b"), I(1)}, "2"},
        {u"InStr", {I(1), S(u"ABC"), S(u"b"), I(0)}, "0"},
        {u"InStr", {S(u"abc"), S(u"")}, "1"},
        {u"InStr", {I(0), S(u"abc"), S(u"a")}, "!5"},
        {u"InStr", {S(u"abc"), CComVariant::Null()}, "Null"},
        {u"InStrRev", {S(u"abcabc"), S(u"b")}, "5"},
        {u"InStrRev", {S(u"abcabc"), S(u"b"), I(4)}, "2"},
        {u"InStrRev", {S(u"abc"), S(u"")}, "3"},
        {u"InStrRev", {S(u"abc"), S(u"a"), I(0)}, "!5"},
        {u"InStrRev", {S(u"aXbx"), S(u"X"), I(-1), I(1)}, "4"},
        {u"InStrRev", {I(12321), I(2)}, "4"},
        {u"LCase", {S(u"ÀBC")}, "àbc"},
        {u"UCase", {S(u"straße")}, "STRAßE"},
        {u"UCase", {CComVariant::Null()}, "Null"},
        {u"Trim", {S(u"  a b  ")}, "a b"},
        {u"LTrim", {S(u"  a ")}, "a "},
        {u"RTrim", {S(u" a  ")}, " a"},
        {u"Trim", {S(u"\ta\t")}, "\ta\t"},
        {u"Space", {I(3)}, "   "},
        {u"Space", {I(-1)}, "!5"},
        {u"String", {I(3), S(u"xyz")}, "xxx"},
        {u"String", {I(2), I(65 + 256)}, "AA"},
        {u"String", {I(2), CComVariant::Null()}, "Null"},
        {u"StrComp", {S(u"a"), S(u"B")}, "1", VT_I2},
        {u"StrComp", {S(u"a"), S(u"B"), I(1)}, "-1"},
        {u"StrComp", {S(u"a"), S(u"A"), I(1)}, "0"},
        {u"StrComp", {S(u"a"), CComVariant::Null()}, "Null"},
        {u"StrComp", {S(u"a"), S(u"b"), I(7)}, "!5"},
        {u"StrReverse", {S(u"abc")}, "cba"},
        {u"StrReverse", {CComVariant::Null()}, "!94"},
        {u"Replace", {S(u"aXbXc"), S(u"X"), S(u"--")}, "a--b--c"},
        {u"Replace", {S(u"aXbxc"), S(u"x"), S(u"_"), I(1), I(-1), I(1)}, "a_b_c"},
        {u"Replace", {S(u"aXbXc"), S(u"X"), S(u"_"), I(3)}, "b_c"},
        {u"Replace", {S(u"aXbXc"), S(u"X"), S(u"_"), I(1), I(1)}, "a_bXc"},
        {u"Replace", {S(u"abc"), S(u""), S(u"_")}, "abc"},
        {u"Replace", {S(u"abc"), S(u"b"), S(u"")}, "ac"},
        {u"Replace", {S(u"abc"), S(u"b"), S(u"_"), I(9)}, ""},
        {u"Replace", {CComVariant::Null(), S(u"b"), S(u"")}, "!94"},
    });
}

TEST(VBScriptBuiltins, Math) {
    RunCases({
        {u"Sqr", {I(16)}, "4", VT_R8},
        {u"Sqr", {I(-1)}, "!5"},
        {u"Sqr", {CComVariant::Null()}, "Null"},
        {u"Log", {I(0)}, "!5"},
        {u"Exp", {I(1000)}, "!6"},
        {u"Exp", {I(0)}, "1"},
        {u"Atn", {I(0)}, "0"},
        {u"Cos", {I(0)}, "1"},
        {u"Round", {D(2.5)}, "2"},
        {u"Round", {D(3.5)}, "4"},
        {u"Round", {D(1.2345), I(2)}, "1.23"},
        {u"Round", {D(1.5), I(-1)}, "!5"},
        {u"Round", {CComVariant::Null()}, "Null"},
        {u"Round", {S(u"2.567"), I(1)}, "2.6"},
    });
}

TEST(VBScriptBuiltins, RndRepeatsForANegativeSeedAndStaysInRange) {
    VBBuiltinContext ctx;
    CComVariant a, b, again;
    ASSERT_EQ(CallBuiltin(ctx, u"Rnd", {I(-1)}, &a), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Rnd", {}, &b), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Rnd", {I(0)}, &again), S_OK);
    EXPECT_EQ(again.fltVal, b.fltVal);
    CComVariant a2;
    ASSERT_EQ(CallBuiltin(ctx, u"Rnd", {I(-1)}, &a2), S_OK);
    EXPECT_EQ(a.fltVal, a2.fltVal);
    ASSERT_EQ(VBRandomize(ctx, &static_cast<const VARIANT&>(I(42))), S_OK);
    std::uint32_t seed = ctx.rndSeed;
    for (int i = 0; i < 1000; ++i) {
        CComVariant r;
        ASSERT_EQ(CallBuiltin(ctx, u"Rnd", {}, &r), S_OK);
        ASSERT_EQ(r.vt, VT_R4);
        ASSERT_GE(r.fltVal, 0.0f);
        ASSERT_LT(r.fltVal, 1.0f);
    }
    VBBuiltinContext other;
    ASSERT_EQ(VBRandomize(other, &static_cast<const VARIANT&>(I(42))), S_OK);
    EXPECT_EQ(other.rndSeed & 0xFFFF00, seed & 0xFFFF00);
}

TEST(VBScriptBuiltins, Arrays) {
    VBBuiltinContext ctx;
    CComVariant parts;
    ASSERT_EQ(CallBuiltin(ctx, u"Split", {S(u"a,b,,c"), S(u",")}, &parts), S_OK);
    RunCases({
        {u"UBound", {parts}, "3"},
        {u"LBound", {parts}, "0"},
        {u"UBound", {parts, I(2)}, "!9"},
        {u"UBound", {S(u"x")}, "!13"},
        {u"Join", {parts, S(u"+")}, "a+b++c"},
        {u"Join", {parts}, "a b  c"},
        {u"Join", {S(u"x")}, "!13"},
    });
    CComVariant empty, limited, text, filtered, excluded, made;
    ASSERT_EQ(CallBuiltin(ctx, u"Split", {S(u"")}, &empty), S_OK);
    RunCases({{u"UBound", {empty}, "-1"}});
    ASSERT_EQ(CallBuiltin(ctx, u"Split", {S(u"a b c d"), S(u" "), I(2)}, &limited), S_OK);
    RunCases({{u"Join", {limited, S(u"|")}, "a|b c d"}});
    ASSERT_EQ(CallBuiltin(ctx, u"Split", {S(u"aXbxc"), S(u"x"), I(-1), I(1)}, &text), S_OK);
    RunCases({{u"UBound", {text}, "2"}});
    CComVariant words;
    ASSERT_EQ(CallBuiltin(ctx, u"Array", {S(u"apple"), S(u"Banana"), S(u"cherry")}, &words), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Filter", {words, S(u"an")}, &filtered), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"Filter", {words, S(u"A"), CComVariant(false), I(1)}, &excluded),
              S_OK);
    RunCases({
        {u"Join", {filtered, S(u",")}, "Banana"},
        {u"Join", {excluded, S(u",")}, "cherry"},
        {u"Filter", {CComVariant::Null(), S(u"a")}, "!94"},
    });
    ASSERT_EQ(CallBuiltin(ctx, u"Array", {}, &made), S_OK);
    RunCases({{u"UBound", {made}, "-1"}, {u"TypeName", {made}, "Variant()"}});
}

TEST(VBScriptBuiltins, HostFunctions) {
    RunCases({
        {u"Escape", {S(u"a b+c/\u00E9\u20AC")}, "a%20b+c/%E9%u20AC"},
        {u"Unescape", {S(u"a%20b%u20AC%zz%4")}, "a b\u20AC%zz%4"},
        {u"ScriptEngine", {}, "VBScript"},
        {u"ScriptEngineMajorVersion", {}, "5"},
        {u"ScriptEngineMinorVersion", {}, "8"},
        {u"RGB", {I(255), I(0), I(300)}, "16711935"},
        {u"RGB", {I(-1), I(0), I(0)}, "!5"},
        {u"MsgBox", {S(u"hi")}, "1"},
        {u"InputBox", {S(u"name?"), S(u"title"), S(u"Ann")}, "Ann"},
        {u"CreateObject", {S(u"No.Such.Class")}, "!429"},
        {u"GetObject", {S(u"x")}, "!429"},
        {u"LoadPicture", {S(u"x.bmp")}, "!429"},
        {u"GetLocale", {}, "1033"},
    });
    VBBuiltinContext ctx;
    CComVariant previous;
    ASSERT_EQ(CallBuiltin(ctx, u"SetLocale", {S(u"de-DE")}, &previous), S_OK);
    EXPECT_EQ(previous.lVal, 1033);
    EXPECT_EQ(ctx.lcid, 1031u);
    EXPECT_EQ(CallBuiltin(ctx, u"SetLocale", {I(0x7777)}, &previous), VBScriptError(5));
    EXPECT_EQ(ctx.lcid, 1031u);
}

TEST(VBScriptBuiltins, ConstantsAndClasses) {
    bool sawCrLf = false, sawNullString = false;
    for (const VBBuiltinConstant& c : VBScriptConstants()) {
        if (c.name == u"vbCrLf")
            sawCrLf = VariantText(c.value) == u"\r\n";
        if (c.name == u"vbNullString")
            sawNullString = c.value.vt == VT_BSTR && VariantBstr(c.value).IsNull();
    }
    EXPECT_TRUE(sawCrLf);
    EXPECT_TRUE(sawNullString);
    CComPtr<IDispatch> regexp;
    EXPECT_EQ(CreateVBScriptBuiltinClass(u"regexp", regexp.Receive()), S_OK);
    EXPECT_TRUE(regexp);
    CComPtr<IDispatch> none;
    EXPECT_EQ(CreateVBScriptBuiltinClass(u"Widget", none.Receive()), VBScriptError(506));

    RegisterVBScriptLibraryClasses();
    RegisterVBScriptLibraryClasses();
    VBBuiltinContext ctx;
    CComVariant dict, name;
    ASSERT_EQ(CallBuiltin(ctx, u"CreateObject", {S(u"Scripting.Dictionary")}, &dict), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"TypeName", {dict}, &name), S_OK);
    EXPECT_EQ(name.Text(), u"Dictionary");
    ASSERT_EQ(CallBuiltin(ctx, u"CreateObject", {S(u"vbscript.regexp")}, &dict), S_OK);
    ASSERT_EQ(CallBuiltin(ctx, u"TypeName", {dict}, &name), S_OK);
    EXPECT_EQ(name.Text(), u"IRegExp2");
}

// The search that InStr uses on long texts looks at several positions at once and only at
// some of a pattern's characters first: texts made of characters that share a byte (A,
// U+0141, U+4E41, U+4100) and patterns of every length up to 30 (some with alike first and
// last characters) must still give exactly the positions of a plain scan, from every
// start, up to the text's last position; with sixteen positions at a time and with eight.
void FindTextAgreesWithAPlainScanOnce() {
    const char16_t alphabet[] = {u'A', u'\u0141', u'\u4E41', u'\u4100', u'b', u'|', u'.'};
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int round = 0; round < 200; ++round) {
        std::u16string text(100 + next() % 400, u' ');
        for (char16_t& c : text)
            c = alphabet[next() % 7];
        const std::size_t length = 1 + next() % 30;
        const std::size_t at = next() % (text.size() - length);
        // Half the patterns occur in the text, the rest perhaps not.
        std::u16string what = text.substr(at, length);
        if (round % 2)
            what[next() % length] = alphabet[next() % 7];
        for (std::size_t from = 0; from <= text.size(); from += 1 + next() % 7)
            ASSERT_EQ(FindText(text, what, from, false), text.find(what, from))
                << "round " << round << " from " << from;
    }
}

TEST(VBScriptBuiltins, FindTextAgreesWithAPlainScan) {
    for (const bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "wide search allowed" : "narrow search");
        AllowWideSearchForTest(wide);
        FindTextAgreesWithAPlainScanOnce();
    }
    AllowWideSearchForTest(true);
}

}  // namespace
