// Tests of the ASP page compiler: page text in, blocks, generated scripts, script maps
// and write blocks out, for each construct in VBScript and JScript; includes, cycles
// and directive errors; the write-format tables and the registry's engine table.
#include "pages/entities/ASPCompiler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "com/CodePage.h"
#include "com/Locale.h"
#include "com/Strings.h"
#include "pages/entities/EntityTestSupport.h"
#include "pages/entities/WriteFormats.h"
#include "registry/RegistryStore.h"

namespace {

using entity_test::CPageSet;
using entity_test::CRecordingTarget;
using entity_test::MakeTextPage;
using Block = CASPCompiler::ParseBlock;

struct Compiled {
    HRESULT hr = E_FAIL;
    CRecordingTarget target;
    std::vector<std::u16string> blockTexts;
    std::u16string language;
    LCID lcid = 0;
    UINT codePage = 0;

    // The body script of the outermost page (handed over last).
    std::u16string Body() const {
        return target.scripts.empty() ? u"<none>" : target.scripts.back().text;
    }
};

std::unique_ptr<Compiled> Compile(std::u16string_view text, CPageSet* pages = nullptr,
                                  std::u16string_view name = u"/main.asp") {
    auto result = std::make_unique<Compiled>();
    CComPtr<ITextPage> page = MakeTextPage(name, text);
    CASPCompiler compiler(result->target, pages ? pages->Loader() : CASPCompiler::PageLoader(),
                          CWriteFormats::Process(), 0x409);
    result->hr = compiler.Compile(page.Get());
    for (const auto& block : compiler.WriteBlocks())
        result->blockTexts.push_back(block.strText.Str());
    result->language = compiler.Language();
    result->lcid = compiler.GetLCID();
    result->codePage = compiler.GetCodePage();
    return result;
}

std::vector<Block> Scan(std::u16string_view text) {
    std::vector<Block> blocks;
    CComPtr<ITextPage> page = MakeTextPage(u"/scan.asp", text);
    EXPECT_EQ(S_OK, CASPCompiler::ScanBlocks(page.Get(), &blocks));
    return blocks;
}

TEST(ASPCompilerTest, WorkedExample) {
    const std::u16string text = u"<%@ LANGUAGE=VBScript %>\r\n<P><%= Now %></P>\r\n";
    ASSERT_EQ(45u, text.size());
    EXPECT_EQ((std::vector<Block>{{1, 0, 24}, {0, 24, 5}, {1, 29, 10}, {0, 39, 6}}), Scan(text));

    auto c = Compile(text);
    ASSERT_EQ(S_OK, c->hr);
    ASSERT_EQ(1u, c->target.scripts.size());
    const auto& script = c->target.scripts[0];
    EXPECT_EQ(u"VBScript", script.language);
    EXPECT_EQ(u"Response.WriteBlock 0 \r\nResponse.Write  Now  \r\nResponse.WriteBlock 1 \r\n",
              script.text);
    EXPECT_EQ((std::vector<std::u16string>{u"\r\n<P>", u"</P>\r\n"}), c->blockTexts);
    ASSERT_EQ(1u, script.blocks.size());
    EXPECT_EQ(39u, script.blocks[0].ulScriptStart);
    EXPECT_EQ(32u, script.blocks[0].ulPageStart);
    EXPECT_EQ(5u, script.blocks[0].ulLength);
    EXPECT_EQ(u"  Now  ", script.text.substr(39 - 1, 7));
}

struct ScanCase {
    const char* what;
    std::u16string text;
    std::vector<Block> blocks;
};

TEST(ASPCompilerTest, ScanningSplitsPagesIntoBlocks) {
    const ScanCase cases[] = {
        {"no delimiter", u"hello\n", {{0, 0, 6}}},
        {"empty page", u"", {}},
        {"adjacent expressions", u"<%=a%><%=b%>", {{1, 0, 6}, {1, 6, 6}}},
        {"unterminated ASP block", u"ab<%cd\nef", {{0, 0, 2}, {0, 2, 7}}},
        {"lower-case script tag",
         u"x<script runat=server>y</script>z",
         {{0, 0, 1}, {2, 1, 31}, {0, 32, 1}}},
        {"comment before an ASP block on its line", u"<!-- c --><%x%>", {{3, 0, 10}, {1, 10, 5}}},
        {"server script before an ASP block on its line",
         u"<script runat=server>x</script><%y%>",
         {{2, 0, 31}, {1, 31, 5}}},
        {"pending script ends before an ASP block on its line",
         u"<script runat=server>\nx</script>=<%y%>",
         {{2, 0, 32}, {0, 32, 1}, {1, 33, 5}}},
        {"comment after an ASP block on its line is found",
         u"<%x%><!-- c -->",
         {{1, 0, 5}, {3, 5, 10}}},
        {"%> inside a string ends the block", u"<% x = \"%>\" %>", {{1, 0, 10}, {0, 10, 4}}},
        {"ASP block over lines", u"<%\nx\n%>", {{1, 0, 7}}},
        {"comment over lines", u"a<!--\nb\n-->c", {{0, 0, 1}, {3, 1, 10}, {0, 11, 1}}},
        {"server script over lines", u"<SCRIPT RUNAT=SERVER>\nx=1\n</SCRIPT>", {{2, 0, 35}}},
        {"ASP block inside a pending comment ends it as text",
         u"<!--\n<%=1%>\n-->",
         {{0, 0, 5}, {1, 5, 6}, {0, 11, 4}}},
        {"script block inside a pending comment ends it as text",
         u"<!--\n<script a=b>\n</script>-->",
         {{0, 0, 5}, {2, 5, 22}, {0, 27, 3}}},
        {"no comment is searched inside an open ASP block",
         u"<% a\n<!-- b\n%>-->",
         {{1, 0, 14}, {0, 14, 3}}},
        {"unterminated comment", u"a<!-- b", {{0, 0, 1}, {0, 1, 6}}},
    };
    for (const ScanCase& c : cases)
        EXPECT_EQ(c.blocks, Scan(c.text)) << c.what;
}

struct ScriptCase {
    const char* what;
    std::u16string text;
    std::u16string vbscript;
    std::u16string jscript;
    std::vector<std::u16string> blocks;
};

TEST(ASPCompilerTest, GeneratedScriptsInBothLanguages) {
    const ScriptCase cases[] = {
        {"literal only",
         u"hello",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"hello"}},
        {"empty page", u"", u"", u"", {}},
        {"adjacent expressions",
         u"<%=a%><%=b%>",
         u"Response.Write a \r\nResponse.Write b \r\n",
         u"Response.Write(a);Response.Write(b);",
         {}},
        {"empty ASP block", u"<%%>", u"\r\n", u"\r\n", {}},
        {"code between literals",
         u"a<% x=1 %>b",
         u"Response.WriteBlock 0 \r\n x=1 \r\nResponse.WriteBlock 1 \r\n",
         u"Response.WriteBlock(0); x=1 \r\nResponse.WriteBlock(1);",
         {u"a", u"b"}},
        {"unterminated ASP block is text",
         u"ab<%cd",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"ab<%cd"}},
        {"client script without attributes is text",
         u"<script>alert(1)</script>",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"<script>alert(1)</script>"}},
        {"client script is text",
         u"a<SCRIPT LANGUAGE=JScript RUNAT=Client>x</SCRIPT>",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"a<SCRIPT LANGUAGE=JScript RUNAT=Client>x</SCRIPT>"}},
        {"other tags that begin with SCRIPT are text",
         u"<scripts a=b>x</script>",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"<scripts a=b>x</script>"}},
        {"ordinary comment is text",
         u"<!-- note --><%=1%>",
         u"Response.WriteBlock 0 \r\nResponse.Write 1 \r\n",
         u"Response.WriteBlock(0);Response.Write(1);",
         {u"<!-- note -->"}},
        {"include in single quotes is a comment",
         u"<!--#include file='x.inc'-->",
         u"Response.WriteBlock 0 \r\n",
         u"Response.WriteBlock(0);",
         {u"<!--#include file='x.inc'-->"}},
    };
    for (const ScriptCase& c : cases) {
        auto vb = Compile(c.text);
        ASSERT_EQ(S_OK, vb->hr) << c.what;
        EXPECT_EQ(c.vbscript, vb->Body()) << c.what;
        EXPECT_EQ(c.blocks, vb->blockTexts) << c.what;
        EXPECT_EQ(u"VBScript", vb->target.scripts.back().language) << c.what;

        auto js = Compile(u"<%@ LANGUAGE=JScript %>" + c.text);
        ASSERT_EQ(S_OK, js->hr) << c.what;
        EXPECT_EQ(c.jscript, js->Body()) << c.what;
        EXPECT_EQ(c.blocks, js->blockTexts) << c.what;
        EXPECT_EQ(u"JScript", js->target.scripts.back().language) << c.what;
    }
}

TEST(ASPCompilerTest, CodeAndExpressionsMapBackToThePage) {
    const std::u16string text = u"ab<% x = 1 %>\n<%= x + 1 %>";
    auto c = Compile(text);
    ASSERT_EQ(S_OK, c->hr);
    const auto& script = c->target.scripts.back();
    ASSERT_EQ(2u, script.blocks.size());
    for (const auto& block : script.blocks)
        EXPECT_EQ(script.text.substr(block.ulScriptStart, block.ulLength),
                  text.substr(block.ulPageStart, block.ulLength));
    EXPECT_EQ(u" x = 1 ", text.substr(script.blocks[0].ulPageStart, script.blocks[0].ulLength));
    EXPECT_EQ(u" x + 1 ", text.substr(script.blocks[1].ulPageStart, script.blocks[1].ulLength));
}

TEST(ASPCompilerTest, ServerScriptBlocksAreScriptsOfTheirOwn) {
    const std::u16string tag = u"<SCRIPT LANGUAGE=JScript RUNAT=Server>";
    const std::u16string text =
        u"x" + tag +
        u"\r\nfunction f() {}\r\n</SCRIPT>y<script runat=server>Sub G() : End Sub</script>";
    auto c = Compile(text);
    ASSERT_EQ(S_OK, c->hr);
    ASSERT_EQ(3u, c->target.scripts.size());
    const auto& js = c->target.scripts[0];
    EXPECT_EQ(u"JScript", js.language);
    // The line breaks around the code belong to the script.
    EXPECT_EQ(u"\r\nfunction f() {}\r\n", js.text);
    ASSERT_EQ(1u, js.blocks.size());
    EXPECT_EQ(0u, js.blocks[0].ulScriptStart);
    EXPECT_EQ(1 + tag.size(), js.blocks[0].ulPageStart);
    EXPECT_EQ(js.text.size(), js.blocks[0].ulLength);
    // A one-line block keeps its last character.
    EXPECT_EQ(u"VBScript", c->target.scripts[1].language);
    EXPECT_EQ(u"Sub G() : End Sub", c->target.scripts[1].text);
    // The body writes the literal text around them.
    EXPECT_EQ(u"Response.WriteBlock 0 \r\nResponse.WriteBlock 1 \r\n", c->Body());
    EXPECT_EQ((std::vector<std::u16string>{u"x", u"y"}), c->blockTexts);
}

std::u16string PageText(ITextPage* page) {
    ULONG lines = 0;
    ULONG chars = 0;
    page->GetSize(&lines, &chars);
    BSTR text;
    page->GetText(0, chars, &text);
    return text.Str();
}

struct IncludeCase {
    const char* what;
    std::u16string text;
    std::u16string vbscript;
    std::u16string jscript;
    std::vector<std::u16string> blocks;
    // Each script-map entry of the body: the document it names and the text it copies.
    std::vector<std::pair<DWORD, std::u16string>> map;
    size_t documents;  // a page included twice is one document
};

// An include stands in the including page's body script where the comment stands: its
// literal text is written in page order, its code runs in page order, and its map
// entries name the included page.
TEST(ASPCompilerTest, IncludesCompileInPlaceInBothLanguages) {
    CPageSet pages;
    pages.Add(u"b.inc", u"b");
    pages.Add(u"outer.inc", u"B1<!--#include file=\"sub\\c.inc\"-->B2");
    pages.Add(u"sub/c.inc", u"<%= 1 %>");
    pages.Add(u"code.inc", u"<% y = 2 %>[<%= y %>]");
    const IncludeCase cases[] = {
        {"literal text in order",
         u"a<!--#include file=\"b.inc\"-->c",
         u"Response.WriteBlock 0 \r\nResponse.WriteBlock 1 \r\nResponse.WriteBlock 2 \r\n",
         u"Response.WriteBlock(0);Response.WriteBlock(1);Response.WriteBlock(2);",
         {u"a", u"b", u"c"},
         {},
         2},
        {"nested includes",
         u"A<!-- #include file=\"outer.inc\" -->C",
         u"Response.WriteBlock 0 \r\nResponse.WriteBlock 1 \r\nResponse.Write  1  \r\n"
         u"Response.WriteBlock 2 \r\nResponse.WriteBlock 3 \r\n",
         u"Response.WriteBlock(0);Response.WriteBlock(1);Response.Write( 1 );"
         u"Response.WriteBlock(2);Response.WriteBlock(3);",
         {u"A", u"B1", u"B2", u"C"},
         {{2, u" 1 "}},
         3},
        {"code before, inside and after",
         u"<% x = 1 %><!--#include file=\"code.inc\"--><%= x %>",
         u" x = 1 \r\n y = 2 \r\nResponse.WriteBlock 0 \r\nResponse.Write  y  \r\n"
         u"Response.WriteBlock 1 \r\nResponse.Write  x  \r\n",
         u" x = 1 \r\n y = 2 \r\nResponse.WriteBlock(0);Response.Write( y );"
         u"Response.WriteBlock(1);Response.Write( x );",
         {u"[", u"]"},
         {{0, u" x = 1 "}, {1, u" y = 2 "}, {1, u" y "}, {0, u" x "}},
         2},
        {"same include twice",
         u"<!--#include file=\"b.inc\"-->-<!--#include file=\"b.inc\"-->",
         u"Response.WriteBlock 0 \r\nResponse.WriteBlock 1 \r\nResponse.WriteBlock 2 \r\n",
         u"Response.WriteBlock(0);Response.WriteBlock(1);Response.WriteBlock(2);",
         {u"b", u"-", u"b"},
         {},
         2},
    };
    for (const IncludeCase& c : cases) {
        for (const bool bJScript : {false, true}) {
            const std::string what = std::string(c.what) + (bJScript ? " (JScript)" : "");
            auto r = Compile(bJScript ? u"<%@ LANGUAGE=JScript %>" + c.text : c.text, &pages);
            ASSERT_EQ(S_OK, r->hr) << what;
            // One body script for the page and everything it includes.
            ASSERT_EQ(1u, r->target.scripts.size()) << what;
            const auto& body = r->target.scripts[0];
            EXPECT_EQ(0u, body.context) << what;
            EXPECT_EQ(bJScript ? u"JScript" : u"VBScript", body.language) << what;
            EXPECT_EQ(bJScript ? c.jscript : c.vbscript, body.text) << what;
            EXPECT_EQ(c.blocks, r->blockTexts) << what;
            EXPECT_EQ(c.documents, r->target.pages.size()) << what;
            std::vector<std::pair<DWORD, std::u16string>> map;
            for (const auto& entry : body.blocks) {
                ASSERT_LT(entry.dwSourceContext, r->target.pages.size()) << what;
                const std::u16string text = PageText(r->target.pages[entry.dwSourceContext].Get())
                                                .substr(entry.ulPageStart, entry.ulLength);
                EXPECT_EQ(text, body.text.substr(entry.ulScriptStart, entry.ulLength)) << what;
                map.emplace_back(entry.dwSourceContext, text);
            }
            EXPECT_EQ(c.map, map) << what;
        }
    }
}

TEST(ASPCompilerTest, ServerScriptsOfIncludesComeBeforeTheOneBody) {
    CPageSet pages;
    pages.Add(u"s.inc", u"s<script runat=server>Sub G() : End Sub</script>t");
    auto c = Compile(u"x<!-- #include file=\"s.inc\" -->y", &pages);
    ASSERT_EQ(S_OK, c->hr);
    ASSERT_EQ(2u, c->target.scripts.size());
    const auto& server = c->target.scripts[0];
    EXPECT_EQ(u"Sub G() : End Sub", server.text);
    EXPECT_EQ(1u, server.context);
    ASSERT_EQ(1u, server.blocks.size());
    EXPECT_EQ(1u, server.blocks[0].dwSourceContext);
    EXPECT_EQ(0u, c->target.scripts[1].context);
    EXPECT_EQ(
        u"Response.WriteBlock 0 \r\nResponse.WriteBlock 1 \r\nResponse.WriteBlock 2 "
        u"\r\nResponse.WriteBlock 3 \r\n",
        c->Body());
    EXPECT_EQ((std::vector<std::u16string>{u"x", u"s", u"t", u"y"}), c->blockTexts);
    EXPECT_EQ(2u, c->target.pages.size());
}

TEST(ASPCompilerTest, IncludeFailures) {
    CPageSet pages;
    pages.Add(u"a.inc", u"<!-- #include file=\"b.inc\" -->");
    pages.Add(u"b.inc", u"<!-- #include file=\"a.inc\" -->");
    pages.Add(u"self.asp", u"<!-- #include file=\"self.asp\" -->");
    pages.Add(u"ansi.inc", u"x", 1252);
    // A chain of distinct pages deeper than the bound.
    for (int i = 0; i < 40; ++i) {
        const std::string next = "<!-- #include file=\"deep" + std::to_string(i + 1) + "\" -->";
        pages.Add(u"deep" + Utf8ToUtf16(std::to_string(i)), Utf8ToUtf16(next));
    }
    pages.Add(u"deep40", u"end");
    for (int i = 0; i < 30; ++i) {
        const std::string next = "<!-- #include file=\"ok" + std::to_string(i + 1) + "\" -->";
        pages.Add(u"ok" + Utf8ToUtf16(std::to_string(i)), Utf8ToUtf16(next));
    }
    pages.Add(u"ok30", u"end");

    const struct {
        const char* what;
        std::u16string text;
        std::u16string name;
        HRESULT hr;
    } cases[] = {
        {"cycle", u"<!-- #include file=\"a.inc\" -->", u"/main.asp", E_UNEXPECTED},
        {"includes itself", u"<!-- #include file=\"self.asp\" -->", u"self.asp", E_UNEXPECTED},
        {"virtual", u"<!-- #include virtual=\"a.inc\" -->", u"/main.asp", E_NOTIMPL},
        {"missing", u"<!-- #include file=\"none.inc\" -->", u"/main.asp", STG_E_FILENOTFOUND},
        {"not UTF-16", u"<!-- #include file=\"ansi.inc\" -->", u"/main.asp", E_UNEXPECTED},
        {"bad keyword", u"<!-- #include page=\"a.inc\" -->", u"/main.asp", E_UNEXPECTED},
        {"too deep", u"<!-- #include file=\"deep0\" -->", u"/main.asp", E_UNEXPECTED},
        {"deep but bounded", u"<!-- #include file=\"ok0\" -->", u"/main.asp", S_OK},
        {"no spaces", u"<!--#include file=\"ok29\"-->", u"/main.asp", S_OK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.hr, Compile(c.text, &pages, c.name)->hr) << c.what;
}

TEST(ASPCompilerTest, Directives) {
    const struct {
        const char* what;
        std::u16string text;
        HRESULT hr;
        std::u16string language;
        LCID lcid;
        UINT codePage;  // 0: the ANSI code page
    } cases[] = {
        {"spaces around =", u"<%@ LANGUAGE = VBScript %>", E_INVALIDARG, u"", 0x409, 0},
        {"quoted value keeps its quotes", u"<%@ LANGUAGE=\"VBScript\" %>x", E_UNEXPECTED,
         u"\"VBScript\"", 0x409, 0},
        {"second language", u"<%@ LANGUAGE=VBScript %><%@ LANGUAGE=JScript %>", E_UNEXPECTED,
         u"VBScript", 0x409, 0},
        {"unknown directive", u"<%@ TRANSACTION=Required %>", E_INVALIDARG, u"", 0x409, 0},
        {"name too long", u"<%@ ABCDEFGHIJKLMNOPQRST=1 %>", E_INVALIDARG, u"", 0x409, 0},
        {"no value", u"<%@ LCID= %>", E_INVALIDARG, u"", 0x409, 0},
        {"unknown language", u"<%@ LANGUAGE=Perl %>text", E_UNEXPECTED, u"Perl", 0x409, 0},
        {"user default LCID", u"<%@ LCID=LOCALE_USER_DEFAULT %>", S_OK, u"VBScript", 0x409, 0},
        {"LCID", u"<%@ LCID=2057 %>", S_OK, u"VBScript", 2057, 0},
        {"LCID not a number", u"<%@ LCID=2057x %>", E_INVALIDARG, u"", 0x409, 0},
        {"LCID not installed", u"<%@ LCID=99999 %>", E_INVALIDARG, u"", 0x409, 0},
        {"code page", u"<%@ CODEPAGE=65001 %>", S_OK, u"VBScript", 0x409, 65001},
        {"unknown code page", u"<%@ CODEPAGE=1 %>", E_INVALIDARG, u"", 0x409, 0},
        {"several at once", u"<%@ LANGUAGE=JScript  LCID=1031 CODEPAGE=1252 %>", S_OK, u"JScript",
         1031, 1252},
        {"lower-case names", u"<%@ language=JScript %>", S_OK, u"JScript", 0x409, 0},
    };
    for (const auto& c : cases) {
        auto r = Compile(c.text);
        EXPECT_EQ(c.hr, r->hr) << c.what;
        EXPECT_EQ(c.language, r->language) << c.what;
        EXPECT_EQ(c.lcid, r->lcid) << c.what;
        EXPECT_EQ(c.codePage ? c.codePage : GetACP(), r->codePage) << c.what;
    }
    EXPECT_EQ(GetSystemDefaultLCID(), Compile(u"<%@ LCID=LOCALE_SYSTEM_DEFAULT %>")->lcid);
}

TEST(ASPCompilerTest, LanguageAcrossIncludes) {
    CPageSet pages;
    pages.Add(u"plain.inc", u"x<%= 1 %>");
    pages.Add(u"js.inc", u"<%@ LANGUAGE=JScript %>");
    pages.Add(u"vb.inc", u"<%@ LANGUAGE=VBScript %>");
    const struct {
        const char* what;
        std::u16string text;
        HRESULT hr;
        std::u16string language;
        std::u16string body;
    } cases[] = {
        // An include before the directive fixes the language while it compiles.
        {"include before the directive",
         u"<!-- #include file=\"plain.inc\" --><%@ LANGUAGE=JScript %>", E_UNEXPECTED, u"VBScript",
         u""},
        // A directive in an include sets the language of the including page too.
        {"directive in the include", u"<!-- #include file=\"js.inc\" -->text", S_OK, u"JScript",
         u"Response.WriteBlock(0);"},
        // An include is compiled in the including page's language.
        {"include in the page's language",
         u"<%@ LANGUAGE=JScript %><!-- #include file=\"plain.inc\" -->", S_OK, u"JScript",
         u"Response.WriteBlock(0);Response.Write( 1 );"},
        // A LANGUAGE directive in an include is a second one, whatever it says.
        {"other language in the include",
         u"<%@ LANGUAGE=JScript %><!-- #include file=\"vb.inc\" -->", E_UNEXPECTED, u"JScript",
         u""},
        {"same language in the include",
         u"<%@ LANGUAGE=JScript %><!-- #include file=\"js.inc\" -->", E_UNEXPECTED, u"JScript",
         u""},
    };
    for (const auto& c : cases) {
        auto r = Compile(c.text, &pages);
        EXPECT_EQ(c.hr, r->hr) << c.what;
        EXPECT_EQ(c.language, r->language) << c.what;
        if (c.hr == S_OK) {
            ASSERT_EQ(1u, r->target.scripts.size()) << c.what;
            EXPECT_EQ(c.language, r->target.scripts[0].language) << c.what;
            EXPECT_EQ(c.body, r->Body()) << c.what;
        } else {
            EXPECT_TRUE(r->target.scripts.empty()) << c.what;
        }
    }
}

TEST(ASPCompilerTest, EngineTableInTheRegistryAddsAndReplacesFormats) {
    const std::string path =
        ::testing::TempDir() + "entities_registry_" + std::to_string(::getpid()) + ".reg";
    std::filesystem::remove(path);
    {
        CRegistryStore store(path);
        CWriteFormats formats(&store);
        std::u16string format;
        ASSERT_EQ(S_OK, formats.LookupWrite(u"vbscript", &format));  // no key: built-in rows
        EXPECT_EQ(u"Response.Write | \r\n", format);
    }
    CRegistryStore store(path);
    const std::string key(CWriteFormats::kLanguageEnginesKey);
    ASSERT_TRUE(SUCCEEDED(store.CreateKey(key + "\\PerlScript")));
    ASSERT_EQ(S_OK, store.SetString(key + "\\PerlScript", "Write", "$Response->Write(|);"));
    ASSERT_EQ(S_OK,
              store.SetString(key + "\\PerlScript", "WriteBlock", "$Response->WriteBlock(|);"));
    ASSERT_TRUE(SUCCEEDED(store.CreateKey(key + "\\VBScript")));
    ASSERT_EQ(S_OK, store.SetString(key + "\\VBScript", "Write", "Response.Write(|)\r\n"));
    ASSERT_TRUE(SUCCEEDED(store.CreateKey(key + "\\NoBar")));
    ASSERT_EQ(S_OK, store.SetString(key + "\\NoBar", "Write", "Response.Write"));

    CWriteFormats formats(&store);
    // Many compilations may start at once: the tables are filled exactly once.
    std::vector<std::thread> threads;
    std::atomic<int> nGood{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            std::u16string format;
            if (formats.LookupWriteBlock(u"PERLSCRIPT", &format) == S_OK &&
                format == u"$Response->WriteBlock(|);")
                ++nGood;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(8, nGood.load());
    std::u16string format;
    ASSERT_EQ(S_OK, formats.LookupWrite(u"VBScript", &format));
    EXPECT_EQ(u"Response.Write(|)\r\n", format);
    ASSERT_EQ(S_OK, formats.LookupWriteBlock(u"VBScript", &format));
    EXPECT_EQ(u"Response.WriteBlock | \r\n", format);
    EXPECT_EQ(E_UNEXPECTED, formats.LookupWrite(u"NoBar", &format));
    std::filesystem::remove(path);
}

}  // namespace
