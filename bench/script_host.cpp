// Script host figures for a small compiled page with a VBScript block and a JScript
// block that call each other:
//  - runs per second on 2 threads: Instantiate (clone of the compiled page), a named
//    object added, Run (both languages' global code), Close and release; against the
//    same loop with the page in one language only (VBScript, then JScript), as the
//    baselines that show what each language and the cross-language globals cost;
//  - memory of one live clone after its run (heap in use, averaged over many clones).
// With "--runs N [two|js|vb]" it does only N runs of one page on this thread (default the
// two-language page), for counting instructions under callgrind: the difference between
// two counts divided by the difference in N is the cost of one run, whatever the load.
// The goal is above 20,000 runs per second for the two-language page.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "script/CScriptEngine.h"
#include "script/ScriptHostTestSupport.h"

using namespace script_test;

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kThreads = 2;
constexpr auto kDuration = std::chrono::seconds(3);
constexpr int kLiveClones = 500;

CTestHandler g_handler;

enum class Page { kTwoLanguages, kVBScript, kJScript };

CComPtr<CScriptEngine> Compile(Page kind) {
    CPageBuilder b;
    if (kind == Page::kTwoLanguages) {
        b.Html(u"<script language=\"VBScript\" runat=\"server\">\n")
            .Code(u"VBScript",
                  u"Function VbTwice(x)\n  VbTwice = x * 2\nEnd Function\n"
                  u"out.Value = VbTwice(21)\n")
            .Html(u"</script>\n<script language=\"JScript\" runat=\"server\">\n")
            .Code(u"JScript",
                  u"function jsAddOne(x) { return x + 1; }\n"
                  u"out.Value = jsAddOne(VbTwice(out.Value));\n")
            .Html(u"</script>\n");
    } else if (kind == Page::kVBScript) {
        b.Html(u"<script language=\"VBScript\" runat=\"server\">\n")
            .Code(u"VBScript",
                  u"Function VbTwice(x)\n  VbTwice = x * 2\nEnd Function\n"
                  u"Function VbAddOne(x)\n  VbAddOne = x + 1\nEnd Function\n"
                  u"out.Value = VbAddOne(VbTwice(21))\n")
            .Html(u"</script>\n");
    } else {
        b.Html(u"<script language=\"JScript\" runat=\"server\">\n")
            .Code(u"JScript",
                  u"function jsTwice(x) { return x * 2; }\n"
                  u"function jsAddOne(x) { return x + 1; }\n"
                  u"out.Value = jsAddOne(jsTwice(21));\n")
            .Html(u"</script>\n");
    }
    CComPtr<CScriptEngine> engine = MakeObject<CScriptEngine>();
    CComPtr<CTestPage> page;
    if (FAILED(engine->Init(&g_handler)) || FAILED(b.CompileInto(engine.Get(), &page))) {
        std::fprintf(stderr, "the page does not compile\n");
        std::exit(1);
    }
    return engine;
}

bool OneRun(CScriptEngine* engine, CComPtr<IScriptInstance>* keep = nullptr) {
    CComPtr<IScriptInstance> run;
    CComPtr<CTestObject> out = MakeObject<CTestObject>();
    bool ok = SUCCEEDED(engine->Instantiate(run.Receive())) &&
              SUCCEEDED(run->AddNamedObject(BSTR(u"out"), out.Get())) && SUCCEEDED(run->Run());
    if (keep && ok) {
        *keep = run;
        return true;
    }
    if (run)
        ok = SUCCEEDED(run->Close()) && ok;
    return ok;
}

double RunsPerSecond(CScriptEngine* engine) {
    std::atomic<long> runs{0};
    std::atomic<bool> failed{false};
    const auto end = Clock::now() + kDuration;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            long mine = 0;
            while (Clock::now() < end) {
                if (!OneRun(engine))
                    failed = true;
                ++mine;
            }
            runs += mine;
        });
    }
    for (auto& t : threads)
        t.join();
    if (failed) {
        std::fprintf(stderr, "a run failed\n");
        std::exit(1);
    }
    return runs / std::chrono::duration<double>(Clock::now() - start).count();
}

double BytesPerLiveClone(CScriptEngine* engine) {
    std::vector<CComPtr<IScriptInstance>> live(kLiveClones);
    OneRun(engine);  // first-use allocations (tables, caches) are not a clone's
    const std::size_t before = mallinfo2().uordblks;
    for (auto& run : live)
        OneRun(engine, &run);
    const std::size_t after = mallinfo2().uordblks;
    for (auto& run : live)
        run->Close();
    return (static_cast<double>(after) - static_cast<double>(before)) / kLiveClones;
}
}  // namespace

int main(int argc, char** argv) {
    RegisterEngines();
    if (argc >= 3 && std::strcmp(argv[1], "--runs") == 0) {
        const long count = std::atol(argv[2]);
        const char* kind = argc >= 4 ? argv[3] : "two";
        const Page page = std::strcmp(kind, "js") == 0   ? Page::kJScript
                          : std::strcmp(kind, "vb") == 0 ? Page::kVBScript
                                                         : Page::kTwoLanguages;
        CComPtr<CScriptEngine> engine = Compile(page);
        OneRun(engine.Get());
        for (long i = 0; i < count; ++i) {
            if (!OneRun(engine.Get())) {
                std::fprintf(stderr, "a run failed\n");
                return 1;
            }
        }
        engine->Close();
        return 0;
    }
    CComPtr<CScriptEngine> two = Compile(Page::kTwoLanguages);
    CComPtr<CScriptEngine> vb = Compile(Page::kVBScript);
    CComPtr<CScriptEngine> js = Compile(Page::kJScript);
    for (CScriptEngine* engine : {two.Get(), vb.Get(), js.Get()})
        OneRun(engine);
    const double vbRate = RunsPerSecond(vb.Get());
    const double jsRate = RunsPerSecond(js.Get());
    const double ours = RunsPerSecond(two.Get());
    std::printf("two-language page: %10.0f runs/s on %d threads (goal 20000)\n", ours, kThreads);
    std::printf("VBScript-only page: %9.0f runs/s on %d threads   ratio %.2f\n", vbRate, kThreads,
                ours / vbRate);
    std::printf("JScript-only page: %10.0f runs/s on %d threads   ratio %.2f\n", jsRate, kThreads,
                ours / jsRate);
    std::printf("live clone: two-language page %.0f bytes, VBScript only %.0f, JScript only %.0f\n",
                BytesPerLiveClone(two.Get()), BytesPerLiveClone(vb.Get()),
                BytesPerLiveClone(js.Get()));
    two->Close();
    vb->Close();
    js->Close();
    return g_handler.Errors().empty() ? 0 : 1;
}
