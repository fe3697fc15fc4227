// VBScript engine figures against the same programs in JavaScript on the JScript engine
// (Duktape), both driven through the script-engine interface in the same run:
//   fib       recursion, fib(24)
//   loop      a counted loop of integer arithmetic
//   strings   building a string by concatenation
//   arrays    filling and summing an array
//   dict      a Scripting.Dictionary (a plain object in JavaScript): adds and lookups
//   methods   method calls on a class instance
//   page      500 Response.Write calls on a host object, as a generated page makes them
// Each figure is the best of several runs of parse + run on a fresh engine, in CPU time
// of the running thread; the ratio is JavaScript time / VBScript time (above 1: VBScript
// is faster).
// Then: Clone of an engine holding a compiled 500-line page, plus running the clone,
// which the host does for every request (goal: under 50 µs).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "com/DispatchTable.h"
#include "com/Strings.h"
#include "script/engine/jscript/CJScriptEngine.h"
#include "script/engine/vbscript/VBScriptEngine.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

// Thread CPU time: the figures stay comparable on a busy machine.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now() {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return time_point(duration(ts.tv_sec * 1000000000LL + ts.tv_nsec));
    }
};

class CResponse : public CComObjectRoot<CResponse, IDispatchImpl<CResponse>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IResponse",
                                          {
                                              DispMethod<&CResponse::Write>(u"Write", 1),
                                          });
        return table;
    }
    HRESULT Write(const VARIANT&) {
        ++m_writes;
        return S_OK;
    }
    long m_writes = 0;
};

class CSite : public CComObjectRoot<CSite, IActiveScriptSite> {
public:
    CSite() : m_response(MakeObject<CResponse>()) {}
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR& name, DWORD, IUnknown** ppiunkItem, ITypeInfo**) override {
        if (!EqualsNoCase(name.View(), u"Response") || !ppiunkItem)
            return TYPE_E_ELEMENTNOTFOUND;
        *ppiunkItem = static_cast<IDispatch*>(m_response.Get());
        (*ppiunkItem)->AddRef();
        return S_OK;
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError* error) override {
        EXCEPINFO ei;
        error->GetExceptionInfo(&ei);
        std::fprintf(stderr, "script error: %s\n", ei.bstrDescription.ToUtf8().c_str());
        m_failed = true;
        return S_OK;
    }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }

    CComPtr<CResponse> m_response;
    bool m_failed = false;
};

template <class Engine>
double RunOnce(const std::u16string& text, bool* pFailed) {
    CComPtr<CSite> site = MakeObject<CSite>();
    CComPtr<Engine> engine = MakeObject<Engine>();
    auto start = Clock::now();
    engine->SetScriptSite(site.Get());
    engine->InitNew();
    engine->AddNamedItem(BSTR(u"Response"), SCRIPTITEM_ISVISIBLE);
    engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    engine->ParseScriptText(BSTR(text), BSTR(), nullptr, BSTR(), 0, 0, 0, nullptr, nullptr);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    engine->Close();
    *pFailed |= site->m_failed;
    return seconds;
}

template <class Engine>
double Best(const std::u16string& text, int rounds, bool* pFailed) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i)
        best = std::min(best, RunOnce<Engine>(text, pFailed));
    return best;
}

struct Program {
    const char* name;
    const char16_t* vbs;
    const char16_t* js;
};

const Program kPrograms[] = {
    {"fib",
     u"Function Fib(n)\n If n < 2 Then\n  Fib = n\n Else\n  Fib = Fib(n - 1) + Fib(n - 2)\n"
     u" End If\nEnd Function\nDim r : r = Fib(24)",
     u"function fib(n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }\nvar r = fib(24);"},
    {"loop", u"Dim i, s : s = 0\nFor i = 1 To 1000000\n s = (s + i * 3) Mod 1000\nNext",
     u"var s = 0;\nfor (var i = 1; i <= 1000000; i++) { s = (s + i * 3) % 1000; }"},
    {"strings",
     u"Dim i, s : s = \"\"\nFor i = 1 To 20000\n s = s & \"ab\" & i\nNext\nDim n : n = Len(s)",
     u"var s = '';\nfor (var i = 1; i <= 20000; i++) { s = s + 'ab' + i; }\nvar n = s.length;"},
    {"arrays",
     u"Dim a(), i, t : ReDim a(100000)\nFor i = 0 To 100000\n a(i) = i * 2\nNext\n"
     u"t = 0\nFor i = 0 To 100000\n t = t + a(i)\nNext",
     u"var a = new Array(100001), t = 0, i;\nfor (i = 0; i <= 100000; i++) { a[i] = i * 2; }\n"
     u"for (i = 0; i <= 100000; i++) { t = t + a[i]; }"},
    {"dict",
     u"Dim d, i, t : Set d = CreateObject(\"Scripting.Dictionary\")\n"
     u"For i = 1 To 20000\n d.Add \"k\" & i, i\nNext\n"
     u"t = 0\nFor i = 1 To 20000\n t = t + d(\"k\" & i)\nNext",
     u"var d = {}, i, t = 0;\nfor (i = 1; i <= 20000; i++) { d['k' + i] = i; }\n"
     u"for (i = 1; i <= 20000; i++) { t = t + d['k' + i]; }"},
    {"methods",
     u"Class Counter\n Private m_n\n Public Sub Add(k)\n  m_n = m_n + k\n End Sub\n"
     u" Public Property Get Value()\n  Value = m_n\n End Property\nEnd Class\n"
     u"Dim c, i : Set c = New Counter\nFor i = 1 To 200000\n c.Add i\nNext\nDim v : v = c.Value",
     u"function Counter() { this.n = 0; }\nCounter.prototype.add = function (k) { this.n += k; };\n"
     u"var c = new Counter(), i;\nfor (i = 1; i <= 200000; i++) { c.add(i); }\nvar v = c.n;"},
};

// A generated page: literal blocks and expressions written to Response, 500 lines.
std::u16string PageText(bool vbs) {
    std::u16string text;
    for (int i = 0; i < 500; ++i) {
        std::u16string n = Utf8ToUtf16(std::to_string(i));
        if (vbs)
            text += i % 2 ? u"Response.Write \"<td>\" & " + n + u" * 2 & \"</td>\"\n"
                          : u"Response.Write \"<tr class='row'>\"\n";
        else
            text += i % 2 ? u"Response.Write('<td>' + " + n + u" * 2 + '</td>');\n"
                          : u"Response.Write(\"<tr class='row'>\");\n";
    }
    return text;
}

void Compare(const char* name, const std::u16string& vbs, const std::u16string& js, int rounds) {
    bool failed = false;
    double v = Best<CVBScriptEngine>(vbs, rounds, &failed);
    double j = Best<CJScriptEngine>(js, rounds, &failed);
    std::printf("%-8s VBScript %9.1f us   JScript %9.1f us   ratio %5.2f%s\n", name, v * 1e6,
                j * 1e6, j / v, failed ? "   (script error)" : "");
}

void CloneAndRun() {
    CComPtr<CSite> site = MakeObject<CSite>();
    CComPtr<CVBScriptEngine> engine = MakeObject<CVBScriptEngine>();
    engine->SetScriptSite(site.Get());
    engine->AddNamedItem(BSTR(u"Response"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_ISPERSISTENT);
    engine->ParseScriptText(BSTR(PageText(true)), BSTR(), nullptr, BSTR(), 0, 0,
                            SCRIPTTEXT_ISPERSISTENT, nullptr, nullptr);
    constexpr int kRounds = 2000;
    // Clone alone, then clone + run; each loop is timed as a whole, so the clock's own
    // cost (a system call for thread CPU time) stays out of the figures.
    double clone = 1e9, total = 1e9;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            CComPtr<IActiveScript> copy;
            engine->Clone(copy.Receive());
            copy->Close();
        }
        clone = std::min(clone, std::chrono::duration<double>(Clock::now() - start).count());
        start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            CComPtr<IActiveScript> copy;
            engine->Clone(copy.Receive());
            CComPtr<CSite> copySite = MakeObject<CSite>();
            copy->SetScriptSite(copySite.Get());
            copy->SetScriptState(SCRIPTSTATE_CONNECTED);
            copy->Close();
            if (copySite->m_failed || copySite->m_response->m_writes != 500)
                std::fprintf(stderr, "clone: the page did not run as written\n");
        }
        total = std::min(total, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("clone    Clone %7.2f us   Clone + run of a 500-line page %7.2f us (goal < 50)\n",
                clone * 1e6 / kRounds, total * 1e6 / kRounds);
    engine->Close();
}

}  // namespace

// With a name, runs only that figure ("fib" … "page", "clone").
int main(int argc, char** argv) {
    RegisterVBScriptLibraryClasses();
    std::string only = argc > 1 ? argv[1] : "";
    for (const Program& p : kPrograms)
        if (only.empty() || only == p.name)
            Compare(p.name, p.vbs, p.js, 5);
    if (only.empty() || only == "page")
        Compare("page", PageText(true), PageText(false), 200);
    if (only.empty() || only == "clone")
        CloneAndRun();
    return 0;
}
