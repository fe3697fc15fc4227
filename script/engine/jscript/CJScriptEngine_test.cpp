// Tests of the JScript engine through its engine interface: named items, global
// members, the script dispatch, host objects, errors with positions, clones (and the
// heaps they reuse) and interrupts.
#include "script/engine/jscript/CJScriptEngine.h"

#include <gtest/gtest.h>
#include <future>
#include <thread>
#include <vector>
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/SafeArray.h"
#include "script/engine/jscript/CJScriptHeap.h"

namespace {
// A host object: a counter with a property, a method, a failing method and a signal
// that a script has started.
class CTestObject : public CComObjectRoot<CTestObject, IDispatchImpl<CTestObject>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"ITestObject", {
                                DispGet<&CTestObject::get_Value>(u"Value", 1),
                                DispPut<&CTestObject::put_Value>(u"Value", 1),
                                DispMethod<&CTestObject::Add>(u"Add", 2),
                                DispMethod<&CTestObject::Fail>(u"Fail", 3),
                                DispMethod<&CTestObject::Ready>(u"Ready", 4),
                                DispMethod<&CTestObject::IsNullText>(u"IsNullText", 5),
                                DispGet<&CTestObject::get_Numbers>(u"Numbers", 6),
                            });
        return table;
    }
    HRESULT get_Value(VARIANT* p) { return VariantCopy(p, &m_value); }
    HRESULT put_Value(const VARIANT& v) { return VariantCopy(&m_value, &v); }
    HRESULT Add(LONG a, LONG b, LONG* pResult) {
        *pResult = a + b;
        return S_OK;
    }
    HRESULT Fail() { return ReportError(E_INVALIDARG, u"Test", u"bad argument given"); }
    HRESULT Ready() {
        if (m_ready) {
            m_ready->set_value();
            m_ready = nullptr;
        }
        return S_OK;
    }
    HRESULT IsNullText(BSTR text, bool* pResult) {
        *pResult = text.IsNull();
        return S_OK;
    }
    HRESULT get_Numbers(VARIANT* p) {
        SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
        for (LONG i = 0; i < 3; ++i) {
            CComVariant v(LONG(10 * (i + 1)));
            SafeArrayPutElement(psa, &i, &v);
        }
        p->vt = VT_ARRAY | VT_VARIANT;
        p->parray = psa;
        return S_OK;
    }
    CComVariant m_value;
    std::promise<void>* m_ready = nullptr;
};

struct ReportedError {
    EXCEPINFO info;
    DWORD cookie = 0;
    ULONG line = 0;
    LONG character = 0;
};

class CTestSite : public CComObjectRoot<CTestSite, IActiveScriptSite> {
public:
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR& name, DWORD, IUnknown** ppunk, ITypeInfo**) override {
        for (auto& [n, p] : items)
            if (n == name.View()) {
                *ppunk = p.Get();
                (*ppunk)->AddRef();
                return S_OK;
            }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError* error) override {
        ReportedError r;
        error->GetExceptionInfo(&r.info);
        error->GetSourcePosition(&r.cookie, &r.line, &r.character);
        errors.push_back(r);
        return S_OK;
    }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }
    std::vector<std::pair<std::u16string, CComPtr<IDispatch>>> items;
    std::vector<ReportedError> errors;
};

class JScriptEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        object = MakeObject<CTestObject>();
        site = MakeObject<CTestSite>();
        site->items.emplace_back(u"obj", object.Get());
        engine = MakeObject<CJScriptEngine>();
        ASSERT_EQ(engine->SetScriptSite(site.Get()), S_OK);
        ASSERT_EQ(engine->InitNew(), S_OK);
        ASSERT_EQ(
            engine->AddNamedItem(BSTR(u"obj"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_ISPERSISTENT),
            S_OK);
    }
    void TearDown() override { engine->Close(); }
    HRESULT Parse(std::u16string_view code, DWORD cookie = 0, ULONG line = 0) {
        return engine->ParseScriptText(BSTR(code), BSTR(), nullptr, BSTR(), cookie, line,
                                       SCRIPTTEXT_ISVISIBLE | SCRIPTTEXT_ISPERSISTENT, nullptr,
                                       nullptr);
    }
    CComVariant Eval(CJScriptEngine* e, std::u16string_view code) {
        CComVariant result;
        EXPECT_EQ(e->ParseScriptText(BSTR(code), BSTR(), nullptr, BSTR(), 0, 0,
                                     SCRIPTTEXT_ISEXPRESSION, &result, nullptr),
                  S_OK);
        return result;
    }
    CComVariant CallGlobal(IActiveScript* e, const char16_t* name, std::vector<CComVariant> args) {
        CComPtr<IDispatch> disp;
        EXPECT_EQ(e->GetScriptDispatch(BSTR(), disp.Receive()), S_OK);
        DISPID id = DISPID_UNKNOWN;
        const char16_t* names[] = {name};
        EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
        std::vector<CComVariant> reversed(args.rbegin(), args.rend());
        DISPPARAMS params;
        params.rgvarg = reversed.data();
        params.cArgs = static_cast<UINT>(reversed.size());
        CComVariant result;
        EXCEPINFO ei;
        EXPECT_EQ(disp->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, &ei, nullptr),
                  S_OK);
        return result;
    }
    CComPtr<CTestObject> object;
    CComPtr<CTestSite> site;
    CComPtr<CJScriptEngine> engine;
};

TEST_F(JScriptEngineTest, NamedItemsAndHostCalls) {
    ASSERT_EQ(Parse(u"obj.Value = 'abc'; var sum = obj.Add(2, 3); var v = obj.Value;"
                    u"var isNull = obj.IsNullText(null); var e = '';"
                    u"try { obj.Fail(); } catch (x) { e = x.message + '|' + x.number; }"
                    u"var nums = obj.Numbers.toArray().join(',');"
                    u"var dims = obj.Numbers.ubound(1);"),
              S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_TRUE(site->errors.empty());
    EXPECT_EQ(Eval(engine.Get(), u"sum").lVal, 5);
    EXPECT_EQ(Eval(engine.Get(), u"v").Text(), u"abc");
    EXPECT_EQ(Eval(engine.Get(), u"isNull").boolVal, VARIANT_TRUE);
    EXPECT_EQ(Eval(engine.Get(), u"e").Text(), u"bad argument given|-2147024809");
    EXPECT_EQ(Eval(engine.Get(), u"nums").Text(), u"10,20,30");
    EXPECT_EQ(Eval(engine.Get(), u"dims").lVal, 2);
    EXPECT_EQ(object->m_value.Text(), u"abc");
}

TEST_F(JScriptEngineTest, ValuesRoundTrip) {
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_STARTED), S_OK);
    struct Case {
        const char16_t* expression;
        VARTYPE vt;
    } cases[] = {
        {u"undefined", VT_EMPTY}, {u"1.5", VT_R8},           {u"42", VT_I4},
        {u"true", VT_BOOL},       {u"'a\\u0000b'", VT_BSTR}, {u"new Date(2020, 0, 2)", VT_DATE},
        {u"null", VT_BSTR},       {u"({a: 1})", VT_DISPATCH}};
    for (const Case& c : cases) {
        CComVariant v = Eval(engine.Get(), c.expression);
        EXPECT_EQ(v.vt, c.vt) << Utf16ToUtf8(c.expression);
    }
    EXPECT_EQ(Eval(engine.Get(), u"'a\\u0000b'").Text(), std::u16string_view(u"a\0b", 3));
    EXPECT_TRUE(Eval(engine.Get(), u"null").Bstr().IsNull());
    // 2020-01-02 local midnight is OLE day 43832.
    EXPECT_DOUBLE_EQ(Eval(engine.Get(), u"new Date(2020, 0, 2)").date, 43832.0);
    object->m_value = CComVariant::Date(43832.5);
    EXPECT_EQ(Eval(engine.Get(), u"obj.Value.getHours()").lVal, 12);
}

TEST_F(JScriptEngineTest, ScriptDispatchCallsFunctions) {
    ASSERT_EQ(Parse(u"function twice(x) { return x * 2; } var counter = 7;"), S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(CallGlobal(engine.Get(), u"twice", {CComVariant(LONG(21))}).lVal, 42);
    // Host languages do not keep case.
    EXPECT_EQ(CallGlobal(engine.Get(), u"TWICE", {CComVariant(LONG(2))}).lVal, 4);
    CComPtr<IDispatch> disp;
    ASSERT_EQ(engine->GetScriptDispatch(BSTR(), disp.Receive()), S_OK);
    const char16_t* missing[] = {u"nothing"};
    DISPID id;
    EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, missing, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(JScriptEngineTest, ErrorsCarryCookieAndLine) {
    EXPECT_EQ(Parse(u"var a = 1;\nvar b = ;", 7, 10), SCRIPT_E_REPORTED);
    ASSERT_EQ(site->errors.size(), 1u);
    EXPECT_EQ(site->errors[0].info.bstrSource.Str(), u"JScript compilation error");
    EXPECT_EQ(site->errors[0].cookie, 7u);
    EXPECT_EQ(site->errors[0].line, 11u);

    ASSERT_EQ(Parse(u"var x = 1;\n\nundefinedName();", 3, 0), S_OK);
    EXPECT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), SCRIPT_E_REPORTED);
    ASSERT_EQ(site->errors.size(), 2u);
    EXPECT_EQ(site->errors[1].info.bstrSource.Str(), u"JScript runtime error");
    EXPECT_EQ(site->errors[1].cookie, 3u);
    EXPECT_EQ(site->errors[1].line, 2u);
    EXPECT_NE(site->errors[1].info.scode, E_FAIL);
}

TEST_F(JScriptEngineTest, RecursionEndsInRangeError) {
    ASSERT_EQ(Parse(u"function f(n) { return f(n + 1) + 1; } f(0);"), S_OK);
    EXPECT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), SCRIPT_E_REPORTED);
    ASSERT_EQ(site->errors.size(), 1u);
    EXPECT_EQ(site->errors[0].info.bstrSource.Str(), u"JScript runtime error");
}

TEST_F(JScriptEngineTest, CloneSharesProgramWithFreshGlobals) {
    ASSERT_EQ(Parse(u"var count = 0; function bump() { return ++count; }"), S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(CallGlobal(engine.Get(), u"bump", {}).lVal, 1);
    EXPECT_EQ(CallGlobal(engine.Get(), u"bump", {}).lVal, 2);

    CComPtr<IActiveScript> clone;
    ASSERT_EQ(engine->Clone(clone.Receive()), S_OK);
    auto other = MakeObject<CTestSite>();
    other->items.emplace_back(u"obj", object.Get());
    ASSERT_EQ(clone->SetScriptSite(other.Get()), S_OK);
    ASSERT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(CallGlobal(clone.Get(), u"bump", {}).lVal, 1);
    EXPECT_EQ(CallGlobal(engine.Get(), u"bump", {}).lVal, 3);
    clone->Close();
}

TEST_F(JScriptEngineTest, InterruptEndsEndlessLoop) {
    std::promise<void> ready;
    object->m_ready = &ready;
    ASSERT_EQ(Parse(u"obj.Ready(); while (true) { try { for (;;) {} } catch (e) {} }"), S_OK);
    std::thread stopper([&] {
        ready.get_future().wait();
        engine->InterruptScriptThread(SCRIPTTHREADID_ALL, nullptr, 0);
    });
    EXPECT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    stopper.join();
    EXPECT_TRUE(site->errors.empty());
    // The engine runs again afterwards.
    EXPECT_EQ(Eval(engine.Get(), u"1 + 1").lVal, 2);
}
// A clone that starts on the heap of a closed clone sees nothing of that clone's run:
// its globals, properties of the global object, and changes to the built-in prototypes
// and objects are all fresh (built-in methods, light functions, included: they inherit
// from the Function.prototype of the run that uses them).
TEST_F(JScriptEngineTest, ReusedHeapStartsWithFreshGlobalsAndBuiltins) {
    ASSERT_EQ(Parse(u"var state = [typeof leaked, typeof this.prop,\n"
                    u"  typeof Object.prototype.polluted, typeof [].extra,\n"
                    u"  typeof ''.trim, typeof JSON.stringify, typeof Math.max,\n"
                    u"  typeof Math.max.polluted, typeof Math.min.own,\n"
                    u"  typeof Math.mine, typeof obj.Value].join();\n"
                    u"leaked = 1; this.prop = 2; Object.prototype.polluted = 3;\n"
                    u"Array.prototype.extra = 4; String.prototype.trim = undefined;\n"
                    u"JSON.stringify = null; delete Math.max; obj.Value = 7;\n"
                    u"Function.prototype.polluted = 5; Math.min.own = 6;\n"
                    u"Math.mine = function() {};\n"
                    u"function getState() { return state; }\n"),
              S_OK);
    const std::size_t openedBefore = CJScriptHeap::OpenedCount();
    for (int run = 0; run < 3; ++run) {
        CComPtr<IActiveScript> clone;
        ASSERT_EQ(engine->Clone(clone.Receive()), S_OK);
        auto other = MakeObject<CTestSite>();
        auto own = MakeObject<CTestObject>();
        own->m_value = CComVariant(LONG(run));
        other->items.emplace_back(u"obj", own.Get());
        ASSERT_EQ(clone->SetScriptSite(other.Get()), S_OK);
        ASSERT_EQ(clone->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        CComVariant state = CallGlobal(clone.Get(), u"getState", {});
        ASSERT_EQ(state.vt, VT_BSTR);
        EXPECT_EQ(Utf16ToUtf8(BSTR::ViewOf(state.bstrVal)),
                  "undefined,undefined,undefined,undefined,function,function,function,"
                  "undefined,undefined,undefined,number")
            << "run " << run;
        EXPECT_EQ(own->m_value.lVal, 7);
        EXPECT_TRUE(other->errors.empty());
        ASSERT_EQ(clone->Close(), S_OK);
        // The clone's host object is released when the clone closes, not at some later
        // collection.
        EXPECT_EQ(own->AddRef(), 3u);  // ours, the site's and this one
        own->Release();
    }
    EXPECT_EQ(CJScriptHeap::OpenedCount() - openedBefore, 1u) << "the later clones reuse the heap";
}

// The global environment holds JScript's built-ins and ours, not the later additions
// that Duktape is configured without (each would cost every fresh environment), and
// the built-in prototypes and objects stay writable and extensible for the page.
TEST_F(JScriptEngineTest, BuiltinSetFitsJScriptAndStaysExtensible) {
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_STARTED), S_OK);
    ASSERT_EQ(Parse(u"Array.prototype.sum = function() {\n"
                    u"  var s = 0; for (var i = 0; i < this.length; i++) s += this[i]; return s;\n"
                    u"};\n"
                    u"String.prototype.twice = function() { return this + this; };\n"
                    u"Date.prototype.yearOnly = function() { return this.getFullYear(); };\n"
                    u"Math.half = function(x) { return x / 2; };\n"
                    u"Object.prototype.tag = 't';\n"
                    u"Array.prototype.reverse = function() { return 'own reverse'; };\n"),
              S_OK);
    const struct {
        const char16_t* expression;
        const char16_t* expected;
    } cases[] = {
        {u"[1, 2, 3].sum()", u"6"},
        {u"'ab'.twice()", u"abab"},
        {u"new Date(2001, 1, 1).yearOnly()", u"2001"},
        {u"Math.half(9)", u"4.5"},
        {u"({}).tag + [].tag + (5).tag", u"ttt"},
        {u"[1, 2].reverse()", u"own reverse"},
        {u"Object.isExtensible(Array.prototype) && Object.isExtensible(Math)", u"true"},
        {u"[typeof Object, typeof Function, typeof Array, typeof String, typeof Boolean,"
         u" typeof Number, typeof Math, typeof Date, typeof RegExp, typeof Error,"
         u" typeof TypeError, typeof JSON, typeof ActiveXObject, typeof Enumerator,"
         u" typeof VBArray, typeof encodeURIComponent, typeof escape].join(' ')",
         u"function function function function function function object function function "
         u"function function object function function function function function"},
        {u"[typeof ArrayBuffer, typeof Uint8Array, typeof Float64Array, typeof DataView,"
         u" typeof Reflect, typeof Symbol, typeof TextEncoder, typeof TextDecoder,"
         u" typeof CBOR, typeof performance, typeof Duktape].join(' ')",
         u"undefined undefined undefined undefined undefined undefined undefined undefined "
         u"undefined undefined undefined"},
    };
    for (const auto& c : cases) {
        CComVariant v = Eval(engine.Get(), std::u16string(u"String(") + c.expression + u")");
        EXPECT_EQ(Utf16ToUtf8(v.Text()), Utf16ToUtf8(c.expected)) << Utf16ToUtf8(c.expression);
    }
    EXPECT_TRUE(site->errors.empty());
}

// Built-in methods are light functions (a function pointer, no object of their own):
// scripts use them as any function, errors inside them carry the calling script's
// position, and the host gets a callable object for one.
TEST_F(JScriptEngineTest, BuiltinMethodsBehaveAsFunctions) {
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_STARTED), S_OK);
    const struct {
        const char16_t* expression;
        const char16_t* expected;
    } cases[] = {
        {u"typeof Math.max", u"function"},
        {u"Math.max instanceof Function", u"true"},
        {u"Math.max.length", u"2"},
        {u"Math.max.call(null, 1, 5)", u"5"},
        {u"Math.max.apply(null, [3, 9])", u"9"},
        {u"Math.max.bind(null, 20)(4)", u"20"},
        {u"['a', 'b'].map(Function.prototype.call, String.prototype.toUpperCase).join()", u"A,B"},
        {u"Object.prototype.toString.call([])", u"[object Array]"},
        {u"Object.prototype.hasOwnProperty.call(Math, 'max')", u"true"},
        {u"Math.max === Math.max", u"true"},
        {u"(function() { try { JSON.parse('{'); } catch (e) { return e.name; } })()",
         u"SyntaxError"},
        {u"(function() { var m = Math.max; m.own = 1; return typeof m.own; })()", u"undefined"},
    };
    for (const auto& c : cases) {
        CComVariant v = Eval(engine.Get(), std::u16string(u"String(") + c.expression + u")");
        EXPECT_EQ(v.Text(), std::u16string_view(c.expected)) << Utf16ToUtf8(c.expression);
    }

    ASSERT_EQ(Parse(u"obj.Value = Math.max;\nvar x = 1;\n[].reduce(Math.max);", 4, 20),
              SCRIPT_E_REPORTED);
    ASSERT_EQ(site->errors.size(), 1u);
    EXPECT_EQ(site->errors[0].info.bstrSource.Str(), u"JScript runtime error");
    EXPECT_EQ(site->errors[0].cookie, 4u);
    EXPECT_EQ(site->errors[0].line, 22u);
    ASSERT_EQ(object->m_value.vt, VT_DISPATCH);
    CComVariant args[] = {CComVariant(LONG(7)), CComVariant(LONG(4))};  // reversed: (4, 7)
    DISPPARAMS params;
    params.rgvarg = args;
    params.cArgs = 2;
    CComVariant result;
    EXCEPINFO ei;
    ASSERT_EQ(object->m_value.pdispVal->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_METHOD, &params,
                                               &result, &ei, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 7);
}

// A view of a script object that the host still holds when its clone closes keeps the
// heap out of the pool: the view answers E_UNEXPECTED, and never reaches objects of a
// later run.
TEST_F(JScriptEngineTest, HeldViewKeepsItsHeapFromReuse) {
    ASSERT_EQ(Parse(u"var mine = 'first'; function get() { return mine; }"), S_OK);
    CComPtr<IActiveScript> first;
    ASSERT_EQ(engine->Clone(first.Receive()), S_OK);
    auto firstSite = MakeObject<CTestSite>();
    ASSERT_EQ(first->SetScriptSite(firstSite.Get()), S_OK);
    ASSERT_EQ(first->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    CComPtr<IDispatch> held;
    ASSERT_EQ(first->GetScriptDispatch(BSTR(), held.Receive()), S_OK);
    ASSERT_EQ(first->Close(), S_OK);

    const std::size_t openedBefore = CJScriptHeap::OpenedCount();
    CComPtr<IActiveScript> second;
    ASSERT_EQ(engine->Clone(second.Receive()), S_OK);
    auto secondSite = MakeObject<CTestSite>();
    ASSERT_EQ(second->SetScriptSite(secondSite.Get()), S_OK);
    ASSERT_EQ(second->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(CJScriptHeap::OpenedCount() - openedBefore, 1u);
    CComVariant mine = CallGlobal(second.Get(), u"get", {});
    ASSERT_EQ(mine.vt, VT_BSTR);
    EXPECT_EQ(Utf16ToUtf8(BSTR::ViewOf(mine.bstrVal)), "first");

    const char16_t* names[] = {u"mine"};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(held->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), E_UNEXPECTED);
    ASSERT_EQ(second->Close(), S_OK);
}

// Calls from the host: a JavaScript function takes any number of arguments (missing
// ones are undefined, extra ones only in `arguments`); a property takes exactly its new
// value, and a value that is no function takes no arguments.
TEST_F(JScriptEngineTest, HostCallArgumentCounts) {
    ASSERT_EQ(Parse(u"var n = 5; function count(a, b) { return arguments.length; }"), S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    CComPtr<IDispatch> disp;
    ASSERT_EQ(engine->GetScriptDispatch(BSTR(), disp.Receive()), S_OK);
    auto idOf = [&](const char16_t* name) {
        DISPID id = DISPID_UNKNOWN;
        const char16_t* names[] = {name};
        EXPECT_EQ(disp->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
        return id;
    };
    DISPID putId = DISPID_PROPERTYPUT;
    const struct {
        const char16_t* name;
        WORD flags;
        UINT args;
        bool named;
        HRESULT expected;
    } cases[] = {
        {u"count", DISPATCH_METHOD, 0, false, S_OK},
        {u"count", DISPATCH_METHOD, 1, false, S_OK},
        {u"count", DISPATCH_METHOD, 3, false, S_OK},
        {u"n", DISPATCH_PROPERTYGET, 0, false, S_OK},
        {u"n", DISPATCH_METHOD | DISPATCH_PROPERTYGET, 1, false, DISP_E_BADPARAMCOUNT},
        {u"n", DISPATCH_PROPERTYPUT, 1, true, S_OK},
        {u"n", DISPATCH_PROPERTYPUT, 2, true, DISP_E_BADPARAMCOUNT},
        {u"n", DISPATCH_PROPERTYPUT, 0, false, DISP_E_BADPARAMCOUNT},
    };
    for (const auto& c : cases) {
        std::vector<CComVariant> args(c.args, CComVariant(LONG(1)));
        DISPPARAMS params;
        params.rgvarg = args.data();
        params.cArgs = c.args;
        if (c.named) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        CComVariant result;
        EXCEPINFO ei;
        EXPECT_EQ(disp->Invoke(idOf(c.name), GUID_NULL, 0, c.flags, &params, &result, &ei, nullptr),
                  c.expected)
            << Utf16ToUtf8(c.name) << " with " << c.args << " arguments";
        if (c.expected == S_OK && std::u16string_view(c.name) == u"count") {
            EXPECT_EQ(result.lVal, LONG(c.args));
        }
    }
    EXPECT_TRUE(site->errors.empty());
}
}  // namespace
