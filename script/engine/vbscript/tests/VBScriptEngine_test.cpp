// What a host sees of the VBScript engine: named items and their global members, the
// script dispatch, clones, interrupts from another thread, error reports with their
// positions, and errors of host calls as the script sees them.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptEngine.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"
#include "script/engine/vbscript/tests/VBScriptTestHost.h"

namespace {

// A host object for these tests: Started() tells the test that the script runs,
// Throw() fails the way a host object with a rich error does.
class CProbe : public CComObjectRoot<CProbe, IDispatchImpl<CProbe>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IProbe",
                                          {
                                              DispMethod<&CProbe::Started>(u"Started", 1),
                                              DispMethod<&CProbe::Throw>(u"Throw", 2),
                                              DispMethod<&CProbe::Twice>(u"Twice", 3),
                                          });
        return table;
    }
    HRESULT Started() {
        m_started.set_value();
        return S_OK;
    }
    HRESULT Throw() { return ReportError(MakeHResult(0x80041234), u"Probe", u"Probe failed"); }
    HRESULT Twice(LONG n, LONG* pResult) {
        *pResult = 2 * n;
        return S_OK;
    }
    std::promise<void> m_started;
};

// A site with the test host's "Host" and more named objects of the test's choosing.
class CItemSite : public CTestSite {
public:
    HRESULT GetItemInfo(const BSTR& name, DWORD mask, IUnknown** ppiunkItem,
                        ITypeInfo** ppti) override {
        for (auto& [itemName, object] : m_objects) {
            if (EqualsNoCase(name.View(), itemName)) {
                *ppiunkItem = object.Get();
                object->AddRef();
                return S_OK;
            }
        }
        return CTestSite::GetItemInfo(name, mask, ppiunkItem, ppti);
    }
    std::vector<std::pair<std::u16string, CComPtr<IDispatch>>> m_objects;
};

class VBScriptEngineTest : public testing::Test {
protected:
    void SetUp() override {
        RegisterVBScriptLibraryClasses();
        m_site = MakeObject<CItemSite>();
        m_engine = NewEngine(m_site.Get());
    }
    void TearDown() override { m_engine->Close(); }

    static CComPtr<CVBScriptEngine> NewEngine(IActiveScriptSite* site) {
        CComPtr<CVBScriptEngine> engine = MakeObject<CVBScriptEngine>();
        engine->SetScriptSite(site);
        engine->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS);
        return engine;
    }
    HRESULT Parse(CVBScriptEngine* engine, std::u16string_view text, DWORD cookie = 0,
                  ULONG line = 0, DWORD flags = SCRIPTTEXT_ISVISIBLE) {
        return engine->ParseScriptText(BSTR(text), BSTR(), nullptr, BSTR(), cookie, line, flags,
                                       nullptr, nullptr);
    }
    std::string Output() const { return m_site->m_host->m_output; }
    // An engine whose item "Host" lends no globals, running `text` as persistent code.
    CComPtr<CVBScriptEngine> EngineWithCode(CItemSite* site, std::u16string_view text) {
        CComPtr<CVBScriptEngine> engine = MakeObject<CVBScriptEngine>();
        engine->SetScriptSite(site);
        engine->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE);
        EXPECT_EQ(Parse(engine.Get(), text, 0, 0, SCRIPTTEXT_ISPERSISTENT), S_OK);
        EXPECT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        return engine;
    }

    // A running clone of `source` on `site`, with the item "Host" (lending no globals) and
    // the site's other items named in `items`.
    static CComPtr<IActiveScript> StartClone(IActiveScript* source, CItemSite* site,
                                             std::initializer_list<const char16_t*> items = {}) {
        CComPtr<IActiveScript> clone;
        EXPECT_EQ(source->Clone(clone.Receive()), S_OK);
        EXPECT_EQ(clone->SetScriptSite(site), S_OK);
        clone->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE);
        for (const char16_t* name : items)
            clone->AddNamedItem(BSTR(name), SCRIPTITEM_ISVISIBLE);
        EXPECT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        return clone;
    }

    CComPtr<CItemSite> m_site;
    CComPtr<CVBScriptEngine> m_engine;
};

DISPID DispIdOf(IDispatch* disp, const char16_t* name) {
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, &name, 1, 1033, &id), S_OK) << Utf16ToUtf8(name);
    return id;
}

TEST_F(VBScriptEngineTest, GlobalMembersOfAnotherEngineAreCallableUnqualified) {
    // A library engine whose functions a second engine calls as if they were its own.
    CComPtr<CItemSite> librarySite = MakeObject<CItemSite>();
    CComPtr<CVBScriptEngine> library = NewEngine(librarySite.Get());
    ASSERT_EQ(Parse(library.Get(),
                    u"Dim Counter\nFunction Twice(n)\nTwice = n * 2\n"
                    u"Counter = Counter + 1\nEnd Function"),
              S_OK);
    ASSERT_EQ(library->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    CComPtr<IDispatch> libraryDispatch;
    ASSERT_EQ(library->GetScriptDispatch(BSTR(), libraryDispatch.Receive()), S_OK);
    m_site->m_objects.emplace_back(u"Lib", libraryDispatch);
    CComPtr<CProbe> probe = MakeObject<CProbe>();
    m_site->m_objects.emplace_back(u"Probe", CComPtr<IDispatch>(probe.Get()));
    m_engine->AddNamedItem(BSTR(u"Lib"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS);
    m_engine->AddNamedItem(BSTR(u"Probe"), SCRIPTITEM_GLOBALMEMBERS);

    ASSERT_EQ(Parse(m_engine.Get(),
                    u"Print Twice(4) & \" \" & Lib.Twice(5) & \" \" & Counter\n"
                    u"Print Probe_Twice_Unqualified()\n"
                    u"Function Probe_Twice_Unqualified()\n"
                    u"  Probe_Twice_Unqualified = Twice(1) + Lib.Counter\n"
                    u"End Function"),
              S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    // The script's own Twice does not exist: the first global member that has it wins,
    // here the library (added before the probe).
    EXPECT_EQ(Output(), "8 10 2\n5\n");
    EXPECT_EQ(m_site->m_errors, "");
    library->Close();
}

TEST_F(VBScriptEngineTest, ScriptDispatchCallsFunctionsAndReadsAndWritesGlobals) {
    ASSERT_EQ(Parse(m_engine.Get(),
                    u"Dim Total\nTotal = 5\n"
                    u"Function Add(a, b)\nAdd = a + b + Total\nEnd Function\n"
                    u"Sub Fails()\nErr.Raise 9\nEnd Sub"),
              S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    CComPtr<IDispatch> disp;
    ASSERT_EQ(m_engine->GetScriptDispatch(BSTR(), disp.Receive()), S_OK);

    CComVariant args[2] = {CComVariant(LONG(3)), CComVariant(LONG(2))};  // last first
    DISPPARAMS params{args, nullptr, 2, 0};
    CComVariant result;
    ASSERT_EQ(disp->Invoke(DispIdOf(disp.Get(), u"add"), GUID_NULL, 1033, DISPATCH_METHOD, &params,
                           &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.iVal, 10);

    DISPID total = DispIdOf(disp.Get(), u"TOTAL");
    CComVariant value(LONG(40));
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS putParams{&value, &put, 1, 1};
    ASSERT_EQ(disp->Invoke(total, GUID_NULL, 1033, DISPATCH_PROPERTYPUT, &putParams, nullptr,
                           nullptr, nullptr),
              S_OK);
    result.Clear();
    DISPPARAMS none{};
    ASSERT_EQ(disp->Invoke(total, GUID_NULL, 1033, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                           nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 40);

    // A script error in a call from the host: DISP_E_EXCEPTION with the error, and
    // the error also goes to the site.
    EXCEPINFO excepInfo;
    EXPECT_EQ(disp->Invoke(DispIdOf(disp.Get(), u"Fails"), GUID_NULL, 1033, DISPATCH_METHOD, &none,
                           nullptr, &excepInfo, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excepInfo.scode, MakeHResult(0x800A0009));
    EXPECT_EQ(excepInfo.bstrDescription.ToUtf8(), "Subscript out of range");
    EXPECT_EQ(m_site->m_errors, "error 800A0009 Subscript out of range at 0:6:0\n");

    const char16_t* unknown = u"NoSuchName";
    DISPID id;
    EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, &unknown, 1, 1033, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(VBScriptEngineTest, GetRefGivesAnEventHandlerCallableThroughDispidValue) {
    ASSERT_EQ(Parse(m_engine.Get(),
                    u"Dim Handler, Calls\n"
                    u"Sub OnEvent(what)\nCalls = Calls & what\nEnd Sub\n"
                    u"Set Handler = GetRef(\"OnEvent\")"),
              S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    CComPtr<IDispatch> disp;
    ASSERT_EQ(m_engine->GetScriptDispatch(BSTR(), disp.Receive()), S_OK);
    CComVariant handler;
    DISPPARAMS none{};
    ASSERT_EQ(disp->Invoke(DispIdOf(disp.Get(), u"Handler"), GUID_NULL, 1033, DISPATCH_PROPERTYGET,
                           &none, &handler, nullptr, nullptr),
              S_OK);
    ASSERT_EQ(handler.vt, VT_DISPATCH);
    for (const char16_t* what : {u"a", u"b"}) {
        CComVariant arg{BSTR(what)};
        DISPPARAMS params{&arg, nullptr, 1, 0};
        EXPECT_EQ(handler.pdispVal->Invoke(DISPID_VALUE, GUID_NULL, 1033, DISPATCH_METHOD, &params,
                                           nullptr, nullptr, nullptr),
                  S_OK);
    }
    CComVariant calls;
    ASSERT_EQ(disp->Invoke(DispIdOf(disp.Get(), u"Calls"), GUID_NULL, 1033, DISPATCH_PROPERTYGET,
                           &none, &calls, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(Utf16ToUtf8(calls.Text()), "ab");
}

TEST_F(VBScriptEngineTest, ClonesShareTheProgramAndStartWithFreshGlobals) {
    ASSERT_EQ(Parse(m_engine.Get(), u"Dim Runs\nRuns = Runs + 1\nPrint \"runs \" & Runs", 0, 0,
                    SCRIPTTEXT_ISVISIBLE | SCRIPTTEXT_ISPERSISTENT),
              S_OK);
    // A non-persistent block does not travel to clones.
    ASSERT_EQ(Parse(m_engine.Get(), u"Print \"original only\""), S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(Output(), "runs 1\noriginal only\n");
    for (int i = 0; i < 2; ++i) {
        CComPtr<IActiveScript> clone;
        ASSERT_EQ(m_engine->Clone(clone.Receive()), S_OK);
        CComPtr<CItemSite> site = MakeObject<CItemSite>();
        ASSERT_EQ(clone->SetScriptSite(site.Get()), S_OK);
        ASSERT_EQ(
            clone->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS),
            S_OK);
        ASSERT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        EXPECT_EQ(site->m_host->m_output, "runs 1\n");
        clone->Close();
    }
}

// String constants are the program's own, also when programs come and go on one thread
// (a new one often takes a freed one's memory) and when more programs run in turn than a
// thread keeps copies of.
TEST(VBScriptStringConstants, EachProgramGetsItsOwnTexts) {
    RegisterVBScriptLibraryClasses();
    for (int i = 0; i < 40; ++i) {
        const std::string word = "word" + std::to_string(i);
        const std::string text = "Dim s : s = \"" + word + "\" : Print s & Len(\"" + word + "\")";
        EXPECT_EQ(RunScript(Utf8ToUtf16(text)), word + std::to_string(word.size()) + "\n");
    }
}

// Clones start from one shared table of names, yet each has its own variables and arrays;
// what one clone adds is not seen by the next; a program added to the engine later reaches
// the clones made after it, and a clone's clone starts as the clone did.
TEST_F(VBScriptEngineTest, ClonesStartAlikeAndApartUntilTheEngineChanges) {
    ASSERT_EQ(Parse(m_engine.Get(),
                    u"Dim Count, Fixed(2)\nConst Limit = 3\n"
                    u"Sub Bump\n  Count = Count + 1\n  Fixed(0) = Fixed(0) + 1\nEnd Sub\n"
                    u"Bump\nPrint Count & Fixed(0) & Limit & TypeName(Extra)",
                    0, 0, SCRIPTTEXT_ISVISIBLE | SCRIPTTEXT_ISPERSISTENT),
              S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(Output(), "113Empty\n");

    auto run = [&](IActiveScript* source, std::u16string_view more) {
        CComPtr<IActiveScript> clone;
        EXPECT_EQ(source->Clone(clone.Receive()), S_OK);
        CComPtr<CItemSite> site = MakeObject<CItemSite>();
        EXPECT_EQ(clone->SetScriptSite(site.Get()), S_OK);
        clone->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS);
        EXPECT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        if (!more.empty()) {
            EXPECT_EQ(Parse(static_cast<CVBScriptEngine*>(clone.Get()), more), S_OK);
        }
        EXPECT_EQ(site->m_errors, "");
        return std::make_pair(clone, site->m_host->m_output);
    };
    auto [first, firstOutput] =
        run(m_engine.Get(), u"ExecuteGlobal \"Dim Extra : Extra = 5\"\nBump\nPrint Count & Extra");
    EXPECT_EQ(firstOutput, "113Empty\n25\n");
    first->Close();
    EXPECT_EQ(run(m_engine.Get(), u"").second, "113Empty\n");

    ASSERT_EQ(Parse(m_engine.Get(), u"Function Later()\n  Later = \"later\"\nEnd Function", 0, 0,
                    SCRIPTTEXT_ISVISIBLE | SCRIPTTEXT_ISPERSISTENT),
              S_OK);
    auto [later, laterOutput] = run(m_engine.Get(), u"Print Later()");
    EXPECT_EQ(laterOutput, "113Empty\nlater\n");
    auto [grandchild, grandchildOutput] = run(later.Get(), u"Print Later() & Count");
    EXPECT_EQ(grandchildOutput, "113Empty\nlater1\n");
    grandchild->Close();
    later->Close();
}

// Clones that share what the names of the engine's programs are still each have their own
// script-level variables, also while several run at once.
TEST_F(VBScriptEngineTest, ClonesAliveTogetherKeepTheirOwnVariables) {
    CComPtr<CItemSite> site = MakeObject<CItemSite>();
    CComPtr<CVBScriptEngine> engine =
        EngineWithCode(site.Get(),
                       u"Dim Count, Fixed(2)\nConst Limit = 3\n"
                       u"Sub Bump\n  Count = Count + 1\n  Fixed(0) = Fixed(0) + 1\nEnd Sub");
    struct Running {
        CComPtr<IActiveScript> clone;
        CComPtr<CItemSite> site;
    };
    auto start = [&] {
        Running r{nullptr, MakeObject<CItemSite>()};
        r.clone = StartClone(engine.Get(), r.site.Get());
        return r;
    };
    auto run = [&](const Running& r, std::u16string_view text) {
        EXPECT_EQ(Parse(static_cast<CVBScriptEngine*>(r.clone.Get()), text), S_OK);
    };
    for (int round = 0; round < 2; ++round) {
        const Running one = start(), two = start();
        run(one, u"Bump");
        run(two, u"Bump\nBump\nHost.Print Count & Fixed(0) & Limit");
        run(one, u"Host.Print Count & Fixed(0) & Limit");
        EXPECT_EQ(two.site->m_errors + one.site->m_errors, "");
        EXPECT_EQ(two.site->m_host->m_output, "223\n");
        EXPECT_EQ(one.site->m_host->m_output, "113\n");
        two.clone->Close();
        one.clone->Close();
    }
    engine->Close();
}

// The clones of an engine see its string constants, also when engines come and go on one
// thread (a new one's clones often start from memory a freed one's used) and when more of
// them run in turn than a thread keeps copies of.
TEST_F(VBScriptEngineTest, ClonesOfEachEngineSeeItsOwnStringConstants) {
    for (int i = 0; i < 12; ++i) {
        const std::u16string word = u"word" + Utf8ToUtf16(std::to_string(i));
        CComPtr<CItemSite> site = MakeObject<CItemSite>();
        CComPtr<CVBScriptEngine> engine =
            EngineWithCode(site.Get(), u"Const Word = \"" + word + u"\"");
        for (int copy = 0; copy < 2; ++copy) {  // the second starts from the first's layout
            CComPtr<CItemSite> cloneSite = MakeObject<CItemSite>();
            CComPtr<IActiveScript> clone = StartClone(engine.Get(), cloneSite.Get());
            EXPECT_EQ(Parse(static_cast<CVBScriptEngine*>(clone.Get()), u"Host.Print Word"), S_OK);
            EXPECT_EQ(cloneSite->m_host->m_output, Utf16ToUtf8(word) + "\n");
            clone->Close();
        }
        engine->Close();
    }
}

// An item that a host adds to one clone for its run hides a procedure of the engine with
// its name in that clone only, also from the engine's own code; clones without it, before
// and after, call the procedure.
TEST_F(VBScriptEngineTest, AnItemAddedToOneCloneHidesAProcedureInThatCloneOnly) {
    CComPtr<CItemSite> site = MakeObject<CItemSite>();
    CComPtr<CVBScriptEngine> engine =
        EngineWithCode(site.Get(),
                       u"Function Probe()\n  Probe = \"procedure\"\nEnd Function\n"
                       u"Function Show()\n"
                       u"  If IsObject(Probe) Then Show = Probe.Twice(21) Else Show = Probe\n"
                       u"End Function");
    auto run = [&](bool withItem) {
        CComPtr<CItemSite> cloneSite = MakeObject<CItemSite>();
        if (withItem)
            cloneSite->m_objects.emplace_back(u"Probe", MakeObject<CProbe>());
        CComPtr<IActiveScript> clone = withItem
                                           ? StartClone(engine.Get(), cloneSite.Get(), {u"Probe"})
                                           : StartClone(engine.Get(), cloneSite.Get());
        EXPECT_EQ(Parse(static_cast<CVBScriptEngine*>(clone.Get()), u"Host.Print Show()"), S_OK);
        EXPECT_EQ(cloneSite->m_errors, "");
        clone->Close();
        return cloneSite->m_host->m_output;
    };
    for (bool withItem : {false, true, false, true})
        EXPECT_EQ(run(withItem), withItem ? "42\n" : "procedure\n");
    engine->Close();
}

// Clones of one engine tell each other what the names of the engine's programs are (a
// procedure, a built-in function or constant, Err), from any thread; a clone whose own code
// defines such a name still calls its own, and one whose item lends its members as
// globals still finds the built-ins.
TEST_F(VBScriptEngineTest, ClonesShareWhatANameIsButKeepTheirOwnNames) {
    CComPtr<CItemSite> site = MakeObject<CItemSite>();
    CComPtr<CVBScriptEngine> engine =
        EngineWithCode(site.Get(),
                       u"Function Twice(x)\n  Twice = x & x\nEnd Function\n"
                       u"Sub Show\n  Host.Print Twice(Len(\"abc\")) & \"|\" & Err.Number & \"|\" & "
                       u"Mid(\"xyz\", 2) & \"|\" & (vbTab = Chr(9))\nEnd Sub");

    auto show = [&](std::u16string_view own, DWORD flags) {
        CComPtr<IActiveScript> clone;
        EXPECT_EQ(engine->Clone(clone.Receive()), S_OK);
        CComPtr<CItemSite> cloneSite = MakeObject<CItemSite>();
        EXPECT_EQ(clone->SetScriptSite(cloneSite.Get()), S_OK);
        EXPECT_EQ(clone->AddNamedItem(BSTR(u"Host"), flags), S_OK);
        EXPECT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        auto* vbs = static_cast<CVBScriptEngine*>(clone.Get());
        if (!own.empty()) {
            EXPECT_EQ(Parse(vbs, own), S_OK);
        }
        EXPECT_EQ(Parse(vbs, u"Show"), S_OK);
        clone->Close();
        return cloneSite->m_errors + cloneSite->m_host->m_output;
    };
    const std::u16string ownLen = u"Function Len(x)\n  Len = \"own\"\nEnd Function";
    EXPECT_EQ(show(u"", SCRIPTITEM_ISVISIBLE), "33|0|yz|True\n");
    EXPECT_EQ(show(ownLen, SCRIPTITEM_ISVISIBLE), "ownown|0|yz|True\n");
    EXPECT_EQ(show(u"", SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS), "33|0|yz|True\n");

    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const bool mine = (i + t) % 3 == 0;
                if (show(mine ? ownLen : u"", SCRIPTITEM_ISVISIBLE) !=
                    (mine ? "ownown|0|yz|True\n" : "33|0|yz|True\n"))
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    engine->Close();
}

TEST_F(VBScriptEngineTest, ConcatenationFormatsInTheHostsLocale) {
    // The host's locale is the script's until SetLocale: & writes numbers and dates in
    // it as CStr does, in the engine and in its clones.
    CComPtr<CItemSite> site = MakeObject<CItemSite>();
    site->m_lcid = 1031;
    CComPtr<CVBScriptEngine> engine = NewEngine(site.Get());
    const char16_t* text =
        u"Dim x : x = 1.5\nPrint \"a\" & x & \"|\" & (x * 2 + 0.25) & \"|\" & #1/2/2020#"
        u" & \"|\" & CStr(x)";
    ASSERT_EQ(Parse(engine.Get(), text, 0, 0, SCRIPTTEXT_ISPERSISTENT), S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(site->m_host->m_output, "a1,5|3,25|02.01.2020|1,5\n");

    CComPtr<IActiveScript> clone;
    ASSERT_EQ(engine->Clone(clone.Receive()), S_OK);
    CComPtr<CItemSite> cloneSite = MakeObject<CItemSite>();
    cloneSite->m_lcid = 1031;
    ASSERT_EQ(clone->SetScriptSite(cloneSite.Get()), S_OK);
    ASSERT_EQ(clone->AddNamedItem(BSTR(u"Host"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS),
              S_OK);
    ASSERT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(cloneSite->m_host->m_output, "a1,5|3,25|02.01.2020|1,5\n");
    EXPECT_EQ(site->m_errors + cloneSite->m_errors, "");
    clone->Close();
    engine->Close();
}

TEST_F(VBScriptEngineTest, InterruptFromAnotherThreadEndsAnEndlessLoop) {
    CComPtr<CProbe> probe = MakeObject<CProbe>();
    m_site->m_objects.emplace_back(u"Probe", CComPtr<IDispatch>(probe.Get()));
    m_engine->AddNamedItem(BSTR(u"Probe"), SCRIPTITEM_ISVISIBLE);
    std::future<void> started = probe->m_started.get_future();
    std::promise<HRESULT> result;
    std::future<HRESULT> finished = result.get_future();
    std::thread runner([&] {
        // The interrupt passes error handlers by: the script ends, no error is reported.
        HRESULT hr = Parse(m_engine.Get(),
                           u"On Error Resume Next\nProbe.Started\nDo\nLoop\nPrint \"after\"");
        if (SUCCEEDED(hr))
            hr = m_engine->SetScriptState(SCRIPTSTATE_CONNECTED);
        result.set_value(hr);
    });
    started.wait();
    SCRIPTTHREADSTATE state;
    EXPECT_EQ(m_engine->GetScriptThreadState(SCRIPTTHREADID_BASE, &state), S_OK);
    EXPECT_EQ(state, SCRIPTTHREADSTATE_RUNNING);
    EXPECT_EQ(m_engine->InterruptScriptThread(SCRIPTTHREADID_BASE, nullptr, 0), S_OK);
    EXPECT_EQ(finished.get(), S_OK);
    runner.join();
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(m_site->m_errors, "");
    // The engine runs again afterwards.
    EXPECT_EQ(Parse(m_engine.Get(), u"Print \"again\""), S_OK);
    EXPECT_EQ(Output(), "again\n");
}

TEST_F(VBScriptEngineTest, ErrorsReachTheSiteWithCookieLineAndCharacter) {
    struct Case {
        const char16_t* text;
        DWORD cookie;
        ULONG startLine;
        const char* expected;
    };
    const Case cases[] = {
        // run-time error: line counted from the start line given
        {u"Dim a\n\n  a = 1 / 0", 7, 10, "error 800A000B Division by zero at 7:12:2\n"},
        // in a procedure called from the global code: where it happened
        {u"Sub F()\n    Err.Raise 5\nEnd Sub\nF", 3, 0,
         "error 800A0005 Invalid procedure call or argument at 3:1:4\n"},
        // compile error: the character of the offending token
        {u"x = 1\nIf x Then\n", 9, 100, "error 800A03F6 Expected 'End' at 9:102:0\n"},
        {u"x = (1 + \n", 2, 0, "error 800A03FF Expected expression at 2:0:9\n"},
        // a host object's own error: its number, description
        {u"Probe.Throw", 1, 0, "error 80041234 Probe failed at 1:0:0\n"},
        // a failing host status through the fixed table
        {u"Host.Fail &H80070057", 1, 0,
         "error 800A0005 Invalid procedure call or argument at 1:0:0\n"},
        {u"Host.Fail &H80020005", 1, 0, "error 800A000D Type mismatch at 1:0:0\n"},
        {u"Host.NoSuchMethod", 1, 0,
         "error 800A01B6 Object doesn't support this property or method: 'NoSuchMethod' "
         "at 1:0:0\n"},
    };
    for (const Case& c : cases) {
        CComPtr<CItemSite> site = MakeObject<CItemSite>();
        CComPtr<CProbe> probe = MakeObject<CProbe>();
        site->m_objects.emplace_back(u"Probe", CComPtr<IDispatch>(probe.Get()));
        CComPtr<CVBScriptEngine> engine = NewEngine(site.Get());
        engine->AddNamedItem(BSTR(u"Probe"), SCRIPTITEM_ISVISIBLE);
        engine->SetScriptState(SCRIPTSTATE_CONNECTED);
        EXPECT_EQ(Parse(engine.Get(), c.text, c.cookie, c.startLine), SCRIPT_E_REPORTED)
            << Utf16ToUtf8(c.text);
        EXPECT_EQ(site->m_errors, c.expected) << Utf16ToUtf8(c.text);
        engine->Close();
    }
}

TEST_F(VBScriptEngineTest, HostErrorsReachErrWithTheirNumbersAndTexts) {
    CComPtr<CProbe> probe = MakeObject<CProbe>();
    m_site->m_objects.emplace_back(u"Probe", CComPtr<IDispatch>(probe.Get()));
    m_engine->AddNamedItem(BSTR(u"Probe"), SCRIPTITEM_ISVISIBLE);
    ASSERT_EQ(Parse(m_engine.Get(),
                    u"On Error Resume Next\n"
                    u"Probe.Throw\n"
                    u"Print Hex(Err.Number) & \" \" & Err.Source & \" \" & "
                    u"Err.Description\n"
                    u"Err.Clear\n"
                    u"Host.Fail &H8007000E\n"
                    u"Print Err.Number & \" \" & Err.Description\n"
                    u"Err.Clear\n"
                    u"Set o = CreateObject(\"No.Such.Class\")\n"
                    u"Print Err.Number\n"),
              S_OK);
    ASSERT_EQ(m_engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(Output(), "80041234 Probe Probe failed\n7 Out of memory\n429\n");
}

}  // namespace
