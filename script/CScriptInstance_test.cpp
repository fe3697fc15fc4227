// Tests of script instances under load and at their edges: many clones of one compiled
// two-language page running at once on the thread pool (some failing, some halted),
// runs that follow each other on reused engine state without seeing each other, and
// procedures called by the host with the wrong number of arguments.
#include "script/CScriptInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <memory>
#include <vector>

#include "async/AsyncCall.h"
#include "async/AsyncThreadPool.h"
#include "script/ScriptHostTestSupport.h"

using namespace script_test;

namespace {
const std::u16string VB = u"VBScript";
const std::u16string JS = u"JScript";

class ScriptInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterEngines();
        engine = MakeObject<CScriptEngine>();
        ASSERT_EQ(engine->Init(&handler), S_OK);
    }
    void TearDown() override { EXPECT_EQ(engine->Close(), S_OK); }

    // Procedures that succeed, fail at run time, or loop until halted, in each language,
    // calling across languages.
    void CompilePage() {
        CPageBuilder b;
        b.Html(u"<script language=\"VBScript\" runat=\"server\">\n")
            .Code(VB,
                  u"Function VbTwice(x)\n  VbTwice = x * 2\nEnd Function\n"
                  u"Function VbFail(x)\n  VbFail = x / 0\nEnd Function\n"
                  u"Sub VbLoop()\n  out.Ready\n  Do\n  Loop\nEnd Sub\n")
            .Html(u"</script>\n<script language=\"JScript\" runat=\"server\">\n")
            .Code(JS,
                  u"function jsWork(x) { return VbTwice(x) + out.Value; }\n"
                  u"function jsFail() { return undefinedThing.member; }\n"
                  u"function jsLoop() { out.Ready(); for (;;) {} }\n")
            .Html(u"</script>\n");
        ASSERT_EQ(b.CompileInto(engine.Get(), &page), S_OK);
    }

    CTestHandler handler;
    CComPtr<CScriptEngine> engine;
    CComPtr<CTestPage> page;
};

LONG AsLong(const CComVariant& v) {
    CComVariant copy;
    EXPECT_EQ(VariantChangeType(&copy, &v, 0, VT_I4), S_OK);
    return copy.lVal;
}

// Runs of clones of one page on the program's thread pool at the same time: each works,
// fails or is halted on its own, errors reach the handler once each, and nothing is
// shared between them (ThreadSanitizer builds check the locking as well).
TEST_F(ScriptInstanceTest, ConcurrentRunsFailAndHaltIndependently) {
    CompilePage();
    enum Kind { kWorks, kVbFails, kJsFails, kVbHalted, kJsHalted, kKinds };
    constexpr int kRuns = 100;
    struct RunState {
        Kind kind;
        CComPtr<IScriptInstance> instance;  // set before queueing for halted runs
        std::promise<void> ready;
        HRESULT hr = E_FAIL;
        CComVariant result;
    };
    std::vector<std::unique_ptr<RunState>> runs;
    CAsyncThreadPool* pool = THREAD_POOL::instance();
    ASSERT_NE(pool, nullptr);
    std::latch done(kRuns);
    std::atomic<int> setupFailures{0};
    for (int i = 0; i < kRuns; ++i) {
        auto state = std::make_unique<RunState>();
        state->kind = static_cast<Kind>(i % kKinds);
        const bool halted = state->kind == kVbHalted || state->kind == kJsHalted;
        if (halted) {
            ASSERT_EQ(engine->Instantiate(state->instance.Receive()), S_OK);
        }
        RunState* s = state.get();
        runs.push_back(std::move(state));
        auto call = CAsyncCall::CreateFunctionCall([this, s, i, &done, &setupFailures] {
            CComPtr<IScriptInstance> run = s->instance;
            CComPtr<CTestObject> out = MakeObject<CTestObject>();
            out->m_value = CComVariant(LONG(i));
            out->m_ready = &s->ready;
            if ((!run && FAILED(engine->Instantiate(run.Receive()))) ||
                FAILED(run->AddNamedObject(BSTR(u"out"), out.Get())) || FAILED(run->Run())) {
                ++setupFailures;
            } else {
                static const char16_t* const procedures[] = {u"jsWork", u"VbFail", u"jsFail",
                                                             u"VbLoop", u"jsLoop"};
                std::vector<LONG> args;
                if (s->kind == kWorks || s->kind == kVbFails)
                    args.push_back(i);
                s->hr = CallProcedure(run.Get(), procedures[s->kind], args, &s->result);
            }
            if (run && FAILED(run->Close()))
                ++setupFailures;
            done.count_down();
        });
        // A looping run blocks its thread until halted: the pool adds threads for those.
        ASSERT_EQ(pool->QueueCall(call, halted ? WT_EXECUTELONGFUNCTION : 0), S_OK);
    }
    // Halt each looping run once its script has started.
    for (auto& s : runs) {
        if (s->kind != kVbHalted && s->kind != kJsHalted)
            continue;
        s->ready.get_future().wait();
        EXPECT_EQ(s->instance->Halt(), S_OK);
    }
    done.wait();
    EXPECT_EQ(setupFailures.load(), 0);
    int failing = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunState& s = *runs[i];
        switch (s.kind) {
            case kWorks:
                EXPECT_EQ(s.hr, S_OK) << "run " << i;
                EXPECT_EQ(AsLong(s.result), 3 * LONG(i)) << "run " << i;
                break;
            case kVbFails:
            case kJsFails:
                EXPECT_TRUE(FAILED(s.hr)) << "run " << i;
                ++failing;
                break;
            default:
                EXPECT_EQ(s.hr, S_OK) << "a halted run ends quietly, run " << i;
        }
    }
    const std::vector<RecordedError> errors = handler.Errors();
    ASSERT_EQ(errors.size(), static_cast<std::size_t>(failing));
    int vbErrors = 0;
    for (const RecordedError& e : errors) {
        ASSERT_EQ(e.page, page);
        const bool vb = e.source == u"VBScript runtime error";
        vbErrors += vb;
        EXPECT_TRUE(vb || e.source == u"JScript runtime error") << Utf16ToUtf8(e.source);
        // The failing lines of the page: "VbFail = x / 0" and the body of jsFail.
        EXPECT_EQ(e.line, vb ? 5u : 15u) << Utf16ToUtf8(e.description);
    }
    EXPECT_EQ(vbErrors, failing / 2);
}

// Runs one after another reuse the engines' state of earlier runs (the JScript heap of a
// closed clone): what a run changes in its globals and in the built-in objects is not
// seen by the next, and the languages still reach each other's globals.
TEST_F(ScriptInstanceTest, RunsAfterEachOtherSeeNoTraceOfEarlierRuns) {
    CPageBuilder b;
    b.Html(u"<script language=\"VBScript\" runat=\"server\">\n")
        .Code(VB,
              u"Dim vbCount\nvbCount = vbCount + 1\n"
              u"Function VbTwice(x)\n  VbTwice = x * 2\nEnd Function\n")
        .Html(u"</script>\n<script language=\"JScript\" runat=\"server\">\n")
        .Code(JS,
              u"var seen = [typeof jsLeft, typeof Array.prototype.jsExtra,\n"
              u"  typeof Object.prototype.jsPolluted, vbCount].join();\n"
              u"jsLeft = VbTwice(out.Value); Array.prototype.jsExtra = 1;\n"
              u"Object.prototype.jsPolluted = 2;\n"
              u"function jsSeen() { return seen + ',' + jsLeft; }\n")
        .Html(u"</script>\n");
    ASSERT_EQ(b.CompileInto(engine.Get(), &page), S_OK);
    for (LONG run = 1; run <= 4; ++run) {
        CComPtr<IScriptInstance> instance;
        ASSERT_EQ(engine->Instantiate(instance.Receive()), S_OK);
        CComPtr<CTestObject> out = MakeObject<CTestObject>();
        out->m_value = CComVariant(run);
        ASSERT_EQ(instance->AddNamedObject(BSTR(u"out"), out.Get()), S_OK);
        ASSERT_EQ(instance->Run(), S_OK);
        CComVariant seen;
        ASSERT_EQ(CallProcedure(instance.Get(), u"jsSeen", {}, &seen), S_OK);
        ASSERT_EQ(seen.vt, VT_BSTR);
        EXPECT_EQ(Utf16ToUtf8(BSTR::ViewOf(seen.bstrVal)),
                  "undefined,undefined,undefined,1," + std::to_string(2 * run));
        EXPECT_EQ(instance->Close(), S_OK);
    }
    EXPECT_TRUE(handler.Errors().empty());
}

// The host calling a procedure with the wrong number of arguments gets
// DISP_E_BADPARAMCOUNT from VBScript, and no script error is raised. JavaScript
// functions take any number of arguments, as in JavaScript itself.
TEST_F(ScriptInstanceTest, WrongArgumentCountFromTheHost) {
    CPageBuilder b;
    b.Code(VB,
           u"Function VbPair(a, b)\n  VbPair = a + b\nEnd Function\n"
           u"Sub VbNone()\nEnd Sub\n")
        .Code(JS, u"function jsPair(a, b) { return arguments.length; }\n");
    ASSERT_EQ(b.CompileInto(engine.Get(), &page), S_OK);
    CComPtr<IScriptInstance> instance;
    ASSERT_EQ(engine->Instantiate(instance.Receive()), S_OK);
    ASSERT_EQ(instance->Run(), S_OK);
    const struct {
        const char16_t* name;
        std::vector<LONG> args;
        HRESULT expected;
    } cases[] = {
        {u"VbPair", {1, 2}, S_OK},
        {u"VbPair", {1}, DISP_E_BADPARAMCOUNT},
        {u"VbPair", {}, DISP_E_BADPARAMCOUNT},
        {u"VbPair", {1, 2, 3}, DISP_E_BADPARAMCOUNT},
        {u"VbNone", {}, S_OK},
        {u"VbNone", {1}, DISP_E_BADPARAMCOUNT},
        {u"jsPair", {1}, S_OK},
        {u"jsPair", {1, 2, 3}, S_OK},
    };
    for (const auto& c : cases) {
        CComVariant result;
        EXPECT_EQ(CallProcedure(instance.Get(), c.name, c.args, &result), c.expected)
            << Utf16ToUtf8(c.name) << " with " << c.args.size() << " arguments";
        if (c.expected == S_OK && c.name[0] == u'j') {
            EXPECT_EQ(AsLong(result), LONG(c.args.size()));
        }
    }
    EXPECT_TRUE(handler.Errors().empty());
    EXPECT_EQ(instance->Close(), S_OK);
}
}  // namespace
