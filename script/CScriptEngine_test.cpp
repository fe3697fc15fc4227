// Tests of the script host: two languages in one page calling each other, errors mapped
// back to page lines and characters, Halt of endless loops, named objects per clone,
// languages, procedure calls, error routing edge cases, and many concurrent runs of
// clones of one compiled page.
#include "script/CScriptEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <thread>

#include "async/AsyncCall.h"
#include "async/AsyncThreadPool.h"
#include "script/CScriptInstance.h"
#include "script/ScriptHostTestSupport.h"

using namespace script_test;

namespace {
const std::u16string VB = u"VBScript";
const std::u16string JS = u"JScript";

class ScriptHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterEngines();
        engine = MakeObject<CScriptEngine>();
        ASSERT_EQ(engine->Init(&handler), S_OK);
    }
    void TearDown() override { EXPECT_EQ(engine->Close(), S_OK); }

    // A page with a VBScript block and a JScript block whose functions call each other,
    // and global code in each that uses the other language.
    static CPageBuilder TwoLanguagePage() {
        CPageBuilder b;
        b.Html(u"<html>\n<script language=\"VBScript\" runat=\"server\">\n")
            .Code(VB,
                  u"Dim runCount\nrunCount = runCount + 1\n"
                  u"Function VbTwice(x)\n  VbTwice = x * 2\nEnd Function\n"
                  u"Function VbCallsJs(x)\n  VbCallsJs = VbTwice(jsAddOne(x))\nEnd Function\n"
                  u"Function Runs()\n  Runs = runCount\nEnd Function\n"
                  u"Function FromObject()\n  FromObject = VbTwice(out.Value)\nEnd Function\n")
            .Html(u"</script>\n<script language=\"JScript\" runat=\"server\">\n")
            .Code(JS,
                  u"var fromVb = VbTwice(5);\n"
                  u"function jsAddOne(x) { return x + 1; }\n"
                  u"function jsCallsVb(x) { return jsAddOne(VbTwice(x)); }\n"
                  u"function jsFromVb() { return fromVb; }\n"
                  u"function jsFromObject() { return FromObject() + 1; }\n")
            .Html(u"</script>\n");
        return b;
    }

    CComPtr<IScriptInstance> NewRun() {
        CComPtr<IScriptInstance> instance;
        EXPECT_EQ(engine->Instantiate(instance.Receive()), S_OK);
        return instance;
    }

    CTestHandler handler;
    CComPtr<CScriptEngine> engine;
};

// The recorded errors as text, for failure messages.
std::string Describe(CTestHandler& handler) {
    std::string text;
    for (const RecordedError& e : handler.Errors())
        text += Utf16ToUtf8(e.source) + ": " + Utf16ToUtf8(e.description) + " at " +
                std::to_string(e.line) + ":" + std::to_string(e.character) + "\n";
    return text;
}

LONG AsLong(const CComVariant& v) {
    CComVariant copy;
    EXPECT_EQ(VariantChangeType(&copy, &v, 0, VT_I4), S_OK);
    return copy.lVal;
}

TEST_F(ScriptHostTest, VBScriptAndJScriptCallEachOther) {
    CComPtr<CTestPage> page;
    ASSERT_EQ(TwoLanguagePage().CompileInto(engine.Get(), &page), S_OK);
    CComPtr<IScriptInstance> run = NewRun();
    CComPtr<CTestObject> out = MakeObject<CTestObject>();
    out->m_value = CComVariant(LONG(20));
    ASSERT_EQ(run->AddNamedObject(BSTR(u"out"), out.Get()), S_OK);
    ASSERT_EQ(run->Run(), S_OK) << Describe(handler);
    const struct {
        const char16_t* procedure;
        LONG argument;
        LONG expected;
    } calls[] = {
        {u"VbCallsJs", 3, 8},     // VBScript → JScript
        {u"jsCallsVb", 3, 7},     // JScript → VBScript
        {u"jsFromVb", 0, 10},     // JScript global code used a VBScript function
        {u"jsFromObject", 0, 41}  // JScript → VBScript → named object
    };
    for (const auto& c : calls) {
        CComVariant result;
        std::vector<LONG> args;
        if (c.argument)
            args.push_back(c.argument);
        ASSERT_EQ(CallProcedure(run.Get(), c.procedure, args, &result), S_OK)
            << Utf16ToUtf8(c.procedure);
        EXPECT_EQ(AsLong(result), c.expected) << Utf16ToUtf8(c.procedure);
    }
    // Each language holds the other's globals as an item the site answers.
    CComPtr<IActiveScriptSite> site = ComQuery<IActiveScriptSite>(run.Get());
    for (const char16_t* name : {u"__JScript_GlobalMembers", u"__VBScript_GlobalMembers"}) {
        CComPtr<IUnknown> item;
        EXPECT_EQ(site->GetItemInfo(BSTR(name), SCRIPTINFO_IUNKNOWN, item.Receive(), nullptr),
                  S_OK);
        EXPECT_TRUE(item);
    }
    EXPECT_TRUE(handler.Errors().empty());
    EXPECT_EQ(run->Close(), S_OK);
}

// An error in the second script block of a page is reported at the page's own line and
// character of the failing statement, in either language.
TEST_F(ScriptHostTest, ErrorInSecondBlockMapsToPageLineAndCharacter) {
    const struct {
        const std::u16string& language;
        const char16_t* first;
        const char16_t* second;
        const char16_t* marker;  // where the failing statement starts in the page
        const char16_t* source;
    } cases[] = {
        {VB, u" Dim a\na = 1 ", u"\n   b = 1 / 0 ", u"b = 1 / 0", u"VBScript runtime error"},
        {JS, u" var a = 1;\n", u"\n   undefinedFn(); ", u"undefinedFn", u"JScript runtime error"},
    };
    for (const auto& c : cases) {
        CComPtr<CScriptEngine> pageEngine = MakeObject<CScriptEngine>();
        CTestHandler pageHandler;
        ASSERT_EQ(pageEngine->Init(&pageHandler), S_OK);
        CPageBuilder b;
        b.Html(u"<p>Hello</p>\n<%")
            .Code(c.language, c.first)
            .Html(u"%>\n<p>text</p>\n<%")
            .Glue(c.language, u"\n")
            .Code(c.language, c.second)
            .Html(u"%>\n");
        CComPtr<CTestPage> page;
        ASSERT_EQ(b.CompileInto(pageEngine.Get(), &page), S_OK);
        CComPtr<IScriptInstance> run;
        ASSERT_EQ(pageEngine->Instantiate(run.Receive()), S_OK);
        EXPECT_TRUE(FAILED(run->Run()));
        auto errors = pageHandler.Errors();
        ASSERT_EQ(errors.size(), 1u) << Utf16ToUtf8(c.language);
        const std::size_t at = b.PageText().find(c.marker);
        EXPECT_EQ(errors[0].page.Get(), static_cast<ITextPage*>(page.Get()));
        EXPECT_EQ(errors[0].position, at) << Utf16ToUtf8(c.language);
        EXPECT_EQ(errors[0].line, 5u) << Utf16ToUtf8(c.language);
        EXPECT_EQ(errors[0].character, 3u) << Utf16ToUtf8(c.language);
        EXPECT_EQ(errors[0].source, c.source);
        EXPECT_FALSE(pageHandler.m_lastCanDebug);
        run->Close();
        EXPECT_EQ(pageEngine->Close(), S_OK);
    }
}

// An error inside a procedure that the entity calls (an event procedure) reaches the
// handler at its page position too, and the call fails with the exception.
TEST_F(ScriptHostTest, ErrorInProcedureCalledByHostMapsToPage) {
    const struct {
        const std::u16string& language;
        const char16_t* code;
        const char16_t* marker;
    } cases[] = {
        {VB, u"\nSub Fails()\n  x = 1 / 0\nEnd Sub\n", u"x = 1 / 0"},
        {JS, u"\nfunction Fails() {\n  undefinedFn();\n}\n", u"undefinedFn"},
    };
    for (const auto& c : cases) {
        CComPtr<CScriptEngine> pageEngine = MakeObject<CScriptEngine>();
        CTestHandler pageHandler;
        ASSERT_EQ(pageEngine->Init(&pageHandler), S_OK);
        CPageBuilder b;
        b.Html(u"<p>top</p>\n<%").Code(c.language, c.code).Html(u"%>\n");
        CComPtr<CTestPage> page;
        ASSERT_EQ(b.CompileInto(pageEngine.Get(), &page), S_OK);
        CComPtr<IScriptInstance> run;
        ASSERT_EQ(pageEngine->Instantiate(run.Receive()), S_OK);
        ASSERT_EQ(run->Run(), S_OK);
        CComVariant result;
        EXPECT_EQ(CallProcedure(run.Get(), u"Fails", {}, &result), DISP_E_EXCEPTION);
        auto errors = pageHandler.Errors();
        ASSERT_EQ(errors.size(), 1u) << Utf16ToUtf8(c.language);
        EXPECT_EQ(errors[0].position, b.PageText().find(c.marker)) << Utf16ToUtf8(c.language);
        EXPECT_EQ(errors[0].line, 3u);
        EXPECT_EQ(errors[0].character, 2u);
        run->Close();
        EXPECT_EQ(pageEngine->Close(), S_OK);
    }
}

TEST_F(ScriptHostTest, HaltStopsAnEndlessLoopInEachLanguage) {
    const struct {
        const std::u16string& language;
        const char16_t* code;
    } cases[] = {
        {VB, u"obj.Ready\nDo\nLoop\n"},
        {JS, u"obj.Ready(); while (true) {}\n"},
    };
    for (const auto& c : cases) {
        CComPtr<CScriptEngine> loopEngine = MakeObject<CScriptEngine>();
        ASSERT_EQ(loopEngine->Init(&handler), S_OK);
        CPageBuilder b;
        b.Code(c.language, c.code);
        CComPtr<CTestPage> page;
        ASSERT_EQ(b.CompileInto(loopEngine.Get(), &page), S_OK);
        CComPtr<IScriptInstance> run;
        ASSERT_EQ(loopEngine->Instantiate(run.Receive()), S_OK);
        CComPtr<CTestObject> obj = MakeObject<CTestObject>();
        std::promise<void> ready;
        obj->m_ready = &ready;
        ASSERT_EQ(run->AddNamedObject(BSTR(u"obj"), obj.Get()), S_OK);
        auto running = std::async(std::launch::async, [&] { return run->Run(); });
        ready.get_future().wait();
        EXPECT_EQ(run->Halt(), S_OK);
        EXPECT_EQ(running.get(), S_OK) << Utf16ToUtf8(c.language);
        EXPECT_EQ(run->Close(), S_OK);
        EXPECT_EQ(loopEngine->Close(), S_OK);
    }
    EXPECT_TRUE(handler.Errors().empty());
}

TEST_F(ScriptHostTest, NamedObjectsBelongToOneClone) {
    CComPtr<CTestPage> page;
    ASSERT_EQ(TwoLanguagePage().CompileInto(engine.Get(), &page), S_OK);
    CComPtr<IScriptInstance> first = NewRun();
    CComPtr<IScriptInstance> second = NewRun();
    CComPtr<CTestObject> out = MakeObject<CTestObject>();
    ASSERT_EQ(first->AddNamedObject(BSTR(u"out"), out.Get()), S_OK);

    CComPtr<IDispatch> found;
    EXPECT_EQ(first->GetNamedObject(BSTR(u"out"), found.Receive()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IDispatch*>(out.Get()));
    found = nullptr;
    EXPECT_EQ(second->GetNamedObject(BSTR(u"out"), found.Receive()), E_INVALIDARG);
    EXPECT_EQ(second->GetNamedObject(BSTR(u"out"), nullptr), E_POINTER);
    CComPtr<IActiveScriptSite> site = ComQuery<IActiveScriptSite>(second.Get());
    CComPtr<IUnknown> item;
    EXPECT_EQ(site->GetItemInfo(BSTR(u"out"), SCRIPTINFO_IUNKNOWN, item.Receive(), nullptr),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(site->GetItemInfo(BSTR(u"out"), SCRIPTINFO_IUNKNOWN, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(site->GetItemInfo(BSTR(u"out"), SCRIPTINFO_ITYPEINFO, nullptr, nullptr),
              E_INVALIDARG);
    // A new object under the same name replaces the old one.
    CComPtr<CTestObject> other = MakeObject<CTestObject>();
    EXPECT_EQ(first->AddNamedObject(BSTR(u"out"), other.Get()), S_OK);
    EXPECT_EQ(first->GetNamedObject(BSTR(u"out"), found.Receive()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IDispatch*>(other.Get()));
    EXPECT_EQ(first->AddNamedObject(BSTR(u"none"), nullptr), E_INVALIDARG);
    first->Close();
    second->Close();
}

TEST_F(ScriptHostTest, LanguagesAndProcedureLookup) {
    CLSID clsid;
    const struct {
        const char16_t* name;
        HRESULT hr;
        CLSID clsid;
    } languages[] = {
        {u"VBScript", S_OK, CLSID_VBScript},
        {u"vbscript", S_OK, CLSID_VBScript},
        {u"JSCRIPT", S_OK, CLSID_JScript},
        {u"PerlScript", E_FAIL, GUID_NULL},
        {u"", E_FAIL, GUID_NULL},
    };
    for (const auto& l : languages) {
        clsid = GUID_NULL;
        EXPECT_EQ(CScriptInstance::DetermineScriptLanguage(BSTR(l.name), &clsid), l.hr)
            << Utf16ToUtf8(l.name);
        if (l.hr == S_OK) {
            EXPECT_EQ(clsid, l.clsid);
        }
    }

    CTestPage* raw = nullptr;
    CComPtr<CTestPage> page = MakeObject<CTestPage>(u"/Common/same.asp", u"<% x %>");
    raw = page.Get();
    DWORD context = 9;
    ASSERT_EQ(engine->AddScriptPage(raw, nullptr, &context), S_OK);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(engine->AddScript(BSTR(u"PerlScript"), BSTR(u"x"), context, {}), E_FAIL);
    EXPECT_EQ(engine->AddScript(BSTR(u"VBScript"), BSTR(u"x"), 5, {}), E_INVALIDARG);
    // Both languages define Both(); the engine object first in the map answers.
    ASSERT_EQ(engine->AddScript(BSTR(u"JScript"), BSTR(u"function Both() { return 'JScript'; }"),
                                context, {}),
              S_OK);
    ASSERT_EQ(
        engine->AddScript(BSTR(u"vbscript"),
                          BSTR(u"Function Both()\nBoth = \"VBScript\"\nEnd Function"), context, {}),
        S_OK);
    CComPtr<IScriptInstance> run = NewRun();
    ASSERT_EQ(run->Run(), S_OK);
    CComVariant result;
    EXPECT_EQ(CallProcedure(run.Get(), u"Both", {}, &result), S_OK);
    EXPECT_EQ(BSTR::ViewOf(result.bstrVal), u"VBScript");
    EXPECT_EQ(CallProcedure(run.Get(), u"Neither", {}, &result), DISP_E_UNKNOWNNAME);
    run->Close();
}

TEST_F(ScriptHostTest, DocumentsAndPages) {
    CComPtr<CTestPage> main = MakeObject<CTestPage>(u"/Common/main.asp", u"main");
    CComPtr<CTestPage> include = MakeObject<CTestPage>(u"/Common/inc.asp", u"inc");
    CComPtr<CTestPage> stranger = MakeObject<CTestPage>(u"/Common/x.asp", u"x");
    DWORD first = 0, second = 0, again = 0, ignored = 0;
    ASSERT_EQ(engine->AddScriptPage(main.Get(), nullptr, &first), S_OK);
    ASSERT_EQ(engine->AddScriptPage(include.Get(), main.Get(), &second), S_OK);
    // Included twice: one document.
    ASSERT_EQ(engine->AddScriptPage(include.Get(), main.Get(), &again), S_OK);
    EXPECT_EQ(std::make_pair(first, second), std::make_pair(0u, 1u));
    EXPECT_EQ(again, second);
    EXPECT_EQ(engine->AddScriptPage(main.Get(), stranger.Get(), &ignored), S_OK);
    EXPECT_EQ(
        engine->AddScriptPage(stranger.Get(), MakeObject<CTestPage>(u"y", u"y").Get(), &ignored),
        E_INVALIDARG);
    CComPtr<ITextPage> got;
    EXPECT_EQ(engine->GetPage(1, got.Receive()), S_OK);
    EXPECT_EQ(got.Get(), static_cast<ITextPage*>(include.Get()));
    EXPECT_EQ(engine->GetPage(2, got.Receive()), E_INVALIDARG);
    // Without debugging the hooks do nothing and there is no application.
    CComPtr<IDebugApplication32> app;
    EXPECT_EQ(engine->GetApplication(app.Receive()), S_OK);
    EXPECT_FALSE(app);
    EXPECT_EQ(engine->AttachEngine(7, 7, 7, nullptr), S_OK);
}

// An error object with fixed answers, for the routing rules of OnScriptError.
class CFixedError : public CComObjectRoot<CFixedError, IActiveScriptError> {
public:
    CFixedError(SCODE scode, DWORD cookie, ULONG line, LONG character)
        : m_scode(scode), m_cookie(cookie), m_line(line), m_character(character) {}
    HRESULT GetExceptionInfo(EXCEPINFO* p) override {
        *p = EXCEPINFO();
        p->scode = m_scode;
        p->bstrSource = BSTR(u"Test");
        return S_OK;
    }
    HRESULT GetSourcePosition(DWORD* cookie, ULONG* line, LONG* character) override {
        *cookie = m_cookie;
        *line = m_line;
        *character = m_character;
        return S_OK;
    }
    HRESULT GetSourceLineText(BSTR*) override { return E_NOTIMPL; }
    SCODE m_scode;
    DWORD m_cookie;
    ULONG m_line;
    LONG m_character;
};

TEST_F(ScriptHostTest, ErrorRoutingEdgeCases) {
    EXPECT_EQ(CScriptInstance::LinePositions(u"abc"), (std::vector<ULONG>{0, 3}));
    EXPECT_EQ(CScriptInstance::LinePositions(u""), (std::vector<ULONG>{0, 0}));
    EXPECT_EQ(CScriptInstance::LinePositions(u"a\nbc\n"), (std::vector<ULONG>{0, 1, 4, 5}));

    // Script "x = 1\n  y = 2\nz" with one block for "  y = 2" at page position 100, and
    // glue before it.
    CComPtr<CTestPage> page = MakeObject<CTestPage>(u"p.asp", std::u16string(200, u' '));
    DWORD context = 0;
    ASSERT_EQ(engine->AddScriptPage(page.Get(), nullptr, &context), S_OK);
    ASSERT_EQ(engine->AddScript(BSTR(u"VBScript"), BSTR(u"x = 1\n  y = 2\nz = 3"), context,
                                {{6, 100, 7}}),
              S_OK);
    CComPtr<IScriptInstance> run = NewRun();
    CComPtr<IActiveScriptSite> site = ComQuery<IActiveScriptSite>(run.Get());
    const struct {
        SCODE scode;
        DWORD cookie;
        ULONG line;
        LONG character;
        HRESULT expected;
        ULONG pagePosition;  // ~0u: no report
    } cases[] = {
        {E_FAIL, 0, 1, 2, S_OK, ~0u},                       // ignored status
        {DISP_E_TYPEMISMATCH, 1, 0, 0, E_INVALIDARG, ~0u},  // unknown cookie
        {DISP_E_TYPEMISMATCH, 0, 1, 2, S_OK, 102},          // "y" of line 1
        {DISP_E_TYPEMISMATCH, 0, 0, 0, S_OK, 100},          // glue before the block: its start
        {DISP_E_TYPEMISMATCH, 0, 2, 0, S_OK, 107},          // after the last block: its end
        {DISP_E_TYPEMISMATCH, 0, 7, 0, E_INVALIDARG, ~0u},  // no such line
    };
    for (const auto& c : cases) {
        const std::size_t before = handler.Errors().size();
        CComPtr<CFixedError> error =
            MakeObject<CFixedError>(c.scode, c.cookie, c.line, c.character);
        EXPECT_EQ(site->OnScriptError(error.Get()), c.expected) << c.line << ":" << c.character;
        auto errors = handler.Errors();
        if (c.pagePosition == ~0u) {
            EXPECT_EQ(errors.size(), before);
        } else {
            ASSERT_EQ(errors.size(), before + 1);
            EXPECT_EQ(errors.back().position, c.pagePosition);
            EXPECT_EQ(errors.back().scode, c.scode);
        }
    }
    // The site's service provider answers only the site service.
    CComPtr<IServiceProvider> services = ComQuery<IServiceProvider>(run.Get());
    CComPtr<IActiveScriptSite> served;
    EXPECT_EQ(services->QueryService(IIDOf<IActiveScriptSite>(), IIDOf<IActiveScriptSite>(),
                                     served.ReceiveVoid()),
              S_OK);
    EXPECT_EQ(served.Get(), site.Get());
    EXPECT_EQ(services->QueryService(IIDOf<IDispatch>(), IIDOf<IActiveScriptSite>(),
                                     served.ReceiveVoid()),
              E_NOINTERFACE);
    run->Close();
}

// One script holding code of two pages (an included page's code inlined in the including
// page's body): an error in each stretch names that stretch's page and its position
// there; generated glue after the last stretch is the end of that stretch; a script
// without any page text reports the start of its page.
TEST_F(ScriptHostTest, ErrorsNameThePageOfTheirStretch) {
    CComPtr<CTestPage> main = MakeObject<CTestPage>(u"/main.asp", u"<%a=1%><!--inc--><%c=3%>");
    CComPtr<CTestPage> include = MakeObject<CTestPage>(u"inc.inc", u"\n<% b = 2 %>");
    DWORD mainDoc = 0, includeDoc = 0;
    ASSERT_EQ(engine->AddScriptPage(main.Get(), nullptr, &mainDoc), S_OK);
    ASSERT_EQ(engine->AddScriptPage(include.Get(), main.Get(), &includeDoc), S_OK);
    // Script lines: "a=1", " b = 2 ", "c=3", "x" (glue).
    const std::u16string script = u"a=1\n b = 2 \nc=3\nx";
    EXPECT_EQ(engine->AddScript(BSTR(u"VBScript"), BSTR(script), mainDoc,
                                {{0, 2, 3}, {4, 3, 7, includeDoc}, {12, 19, 3}, {0, 0, 1, 7}}),
              E_INVALIDARG);  // a block of an unknown document
    ASSERT_EQ(engine->AddScript(BSTR(u"VBScript"), BSTR(script), mainDoc,
                                {{0, 2, 3}, {4, 3, 7, includeDoc}, {12, 19, 3, mainDoc}}),
              S_OK);
    ASSERT_EQ(engine->AddScript(BSTR(u"VBScript"), BSTR(u"glue"), includeDoc, {}), S_OK);
    CComPtr<IScriptInstance> run = NewRun();
    CComPtr<IActiveScriptSite> site = ComQuery<IActiveScriptSite>(run.Get());
    const struct {
        DWORD cookie;
        ULONG line;
        LONG character;
        ITextPage* page;
        ULONG position;
    } cases[] = {
        {0, 0, 1, main.Get(), 3},     // "=" of "a=1"
        {0, 1, 1, include.Get(), 4},  // "b" of the include's line 2
        {0, 2, 0, main.Get(), 19},    // "c" after the include
        {0, 3, 0, main.Get(), 22},    // glue after the last stretch: its end
        {1, 0, 2, include.Get(), 0},  // no page text at all
    };
    for (const auto& c : cases) {
        const std::size_t before = handler.Errors().size();
        CComPtr<CFixedError> error =
            MakeObject<CFixedError>(DISP_E_TYPEMISMATCH, c.cookie, c.line, c.character);
        EXPECT_EQ(site->OnScriptError(error.Get()), S_OK) << c.line;
        auto errors = handler.Errors();
        ASSERT_EQ(errors.size(), before + 1);
        EXPECT_EQ(errors.back().page.Get(), c.page) << c.line;
        EXPECT_EQ(errors.back().position, c.position) << c.line;
    }
    run->Close();
}

// Many runs of clones of one compiled two-language page at once on the thread pool: each
// clone has its own globals and named objects, so no run sees another's values.
TEST_F(ScriptHostTest, ConcurrentClonesShareNothingMutable) {
    CComPtr<CTestPage> page;
    ASSERT_EQ(TwoLanguagePage().CompileInto(engine.Get(), &page), S_OK);
    constexpr int kRuns = 200;
    CAsyncThreadPool pool(4);
    std::latch done(kRuns);
    std::atomic<int> failures{0};
    for (int i = 0; i < kRuns; ++i) {
        auto call = CAsyncCall::CreateFunctionCall([&, i] {
            CComPtr<IScriptInstance> run;
            CComPtr<CTestObject> out = MakeObject<CTestObject>();
            out->m_value = CComVariant(LONG(i));
            CComVariant fromObject, runs;
            bool ok = SUCCEEDED(engine->Instantiate(run.Receive())) &&
                      SUCCEEDED(run->AddNamedObject(BSTR(u"out"), out.Get())) &&
                      SUCCEEDED(run->Run()) &&
                      SUCCEEDED(CallProcedure(run.Get(), u"jsFromObject", {}, &fromObject)) &&
                      SUCCEEDED(CallProcedure(run.Get(), u"Runs", {}, &runs)) &&
                      AsLong(fromObject) == 2 * i + 1 && AsLong(runs) == 1;
            if (run)
                ok = SUCCEEDED(run->Close()) && ok;
            if (!ok)
                ++failures;
            done.count_down();
        });
        ASSERT_EQ(pool.QueueCall(call, 0), S_OK);
    }
    done.wait();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(handler.Errors().empty());
}
}  // namespace
