// Tests of the JScript engine through its engine interface: named items, global
// members, the script dispatch, host objects, errors with positions, clones and
// interrupts.
#include "script/engine/jscript/CJScriptEngine.h"

#include <gtest/gtest.h>
#include <future>
#include <thread>
#include <vector>
#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/SafeArray.h"

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
}  // namespace

TEST_F(JScriptEngineTest, GlobalMembersReadCallAndWriteAsGlobals) {
    CComPtr<CTestObject> members = MakeObject<CTestObject>();
    members->m_value = CComVariant(LONG(4));
    site->items.emplace_back(u"members", members.Get());
    ASSERT_EQ(
        engine->AddNamedItem(BSTR(u"members"),
                             SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS | SCRIPTITEM_NOCODE),
        S_OK);
    // A method, a property read and a property write, all without the item's name; an
    // unknown name stays an error rather than binding to anything.
    ASSERT_EQ(Parse(u"var sum = Add(2, 3); var before = Value; Value = 9;\n"
                    u"var unknown = typeof NoSuchMember;"),
              S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    EXPECT_EQ(Eval(engine.Get(), u"sum").lVal, 5);
    EXPECT_EQ(Eval(engine.Get(), u"before").lVal, 4);
    EXPECT_EQ(members->m_value.lVal, 9);
    EXPECT_EQ(BSTR::ViewOf(Eval(engine.Get(), u"unknown").bstrVal), u"undefined");
    // The script's own declaration wins over the member of the same name.
    ASSERT_EQ(Parse(u"function Add(a, b) { return 100; }\nvar own = Add(1, 1);"), S_OK);
    EXPECT_EQ(Eval(engine.Get(), u"own").lVal, 100);
    EXPECT_TRUE(site->errors.empty());
}

TEST_F(JScriptEngineTest, ErrorNumbersAreSignedStatusesAndPositionsPointIntoTheLine) {
    const struct {
        const char16_t* code;
        LONG number;
    } cases[] = {
        {u"(function(){ try { undefinedName; } catch (e) { return e.number; } })()",
         static_cast<LONG>(0x800A1391u)},
        {u"(function(){ try { null.x; } catch (e) { return e.number; } })()",
         static_cast<LONG>(0x800A138Fu)},
        {u"(function(){ try { obj.Fail(); } catch (e) { return e.number; } })()",
         static_cast<LONG>(E_INVALIDARG)},
        {u"(function(){ var e = new Error('x'); e.number = 7; return e.number; })()", 7},
    };
    for (const auto& c : cases) {
        CComVariant v = Eval(engine.Get(), c.code);
        EXPECT_EQ(v.vt, VT_I4) << Utf16ToUtf8(c.code);
        EXPECT_EQ(v.lVal, c.number) << Utf16ToUtf8(c.code);
    }
    ASSERT_EQ(Parse(u"var a = 1;\n   undefinedName();", 4, 0), S_OK);
    EXPECT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), SCRIPT_E_REPORTED);
    ASSERT_EQ(site->errors.size(), 1u);
    EXPECT_EQ(site->errors[0].line, 1u);
    EXPECT_EQ(site->errors[0].character, 3);
    EXPECT_EQ(site->errors[0].info.scode, static_cast<SCODE>(0x800A1391u));
}
