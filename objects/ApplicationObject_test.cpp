// Tests of the application object and its dictionaries: lookups across the two maps,
// refusal of the program's own objects in each form they can arrive in, read-only
// static objects, key order for Key and For Each, letter case in keys, static object
// registration, and Application.Lock between threads.
#include "objects/ApplicationObject.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "com/SafeArray.h"

namespace {

// An object of the program's own kind: it answers the private marker.
class CReservedObject
    : public CComObjectRoot<CReservedObject, IDispatchImpl<CReservedObject>, ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IReserved", {});
        return table;
    }
};

// An object of other origin, with a default value.
class CPlainObject : public CComObjectRoot<CPlainObject, IDispatchImpl<CPlainObject>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"IPlain", {DispGet<&CPlainObject::get_Value>(u"Value", DISPID_VALUE)});
        return table;
    }
    HRESULT get_Value(BSTR* p) {
        *p = BSTR(u"b");
        return S_OK;
    }
};

class ApplicationTest : public ::testing::Test {
protected:
    CComPtr<IVariantDictionary> Contents() {
        CComPtr<IVariantDictionary> p;
        EXPECT_EQ(app->get_Contents(p.Receive()), S_OK);
        return p;
    }
    CComPtr<IVariantDictionary> StaticObjects() {
        CComPtr<IVariantDictionary> p;
        EXPECT_EQ(app->get_StaticObjects(p.Receive()), S_OK);
        return p;
    }
    CComVariant Value(const char16_t* name) {
        CComVariant v;
        EXPECT_EQ(app->get_Value(BSTR(name), &v), S_OK);
        return v;
    }
    static std::u16string Text(const VARIANT& v) {
        CComVariant s;
        EXPECT_EQ(VariantChangeType(&s, &v, 0, VT_BSTR), S_OK);
        return std::u16string(s.Text());
    }

    CComPtr<CApplicationObject> app = MakeObject<CApplicationObject>();
};

TEST_F(ApplicationTest, ValueReadsContentsBeforeStaticObjectsAndEmptyWhenAbsent) {
    EXPECT_EQ(Value(u"never").vt, VT_EMPTY);

    CComPtr<CPlainObject> obj = MakeObject<CPlainObject>();
    ASSERT_EQ(app->AddStaticObject(BSTR(u"Both"), obj.Get()), S_OK);
    ASSERT_EQ(app->AddStaticObject(BSTR(u"OnlyStatic"), obj.Get()), S_OK);
    ASSERT_EQ(app->put_Value(BSTR(u"Both"), CComVariant(LONG(7))), S_OK);

    CComVariant both = Value(u"Both");
    ASSERT_EQ(both.vt, VT_I4);
    EXPECT_EQ(both.lVal, 7);
    CComVariant onlyStatic = Value(u"OnlyStatic");
    ASSERT_EQ(onlyStatic.vt, VT_DISPATCH);
    EXPECT_EQ(onlyStatic.pdispVal, static_cast<IDispatch*>(obj.Get()));

    // The dictionaries show the live maps, not copies.
    LONG count = 0;
    EXPECT_EQ(Contents()->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(StaticObjects()->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
}

TEST_F(ApplicationTest, ProgramObjectsAreRefusedInEveryFormOtherValuesStored) {
    CComPtr<CReservedObject> reserved = MakeObject<CReservedObject>();
    IDispatch* pDisp = reserved.Get();
    IUnknown* pUnk = static_cast<IUnknown*>(static_cast<IDispatch*>(reserved.Get()));
    IDispatch* pSelf = app.Get();
    VARIANT byrefDisp{}, byrefUnk{}, self{};
    byrefDisp.vt = VT_DISPATCH | VT_BYREF;
    byrefDisp.ppdispVal = &pDisp;
    byrefUnk.vt = VT_UNKNOWN | VT_BYREF;
    byrefUnk.ppunkVal = &pUnk;
    self.vt = VT_DISPATCH;
    self.pdispVal = pSelf;
    const VARIANT refused[] = {CComVariant(pDisp), CComVariant(pUnk), byrefDisp, byrefUnk, self};
    CComPtr<IVariantDictionary> contents = Contents();
    for (const VARIANT& v : refused) {
        SCOPED_TRACE(v.vt);
        EXPECT_EQ(app->put_Value(BSTR(u"x"), v), E_ACCESSDENIED);
        EXPECT_EQ(app->putref_Value(BSTR(u"x"), v), E_ACCESSDENIED);
        EXPECT_EQ(contents->put_Item(CComVariant(u"x"), v), E_ACCESSDENIED);
    }
    // A dictionary of the application is the program's own object too: stored in the
    // application it would keep it alive for ever.
    EXPECT_EQ(app->put_Value(BSTR(u"x"), CComVariant(static_cast<IDispatch*>(contents.Get()))),
              E_ACCESSDENIED);
    LONG count = -1;
    EXPECT_EQ(contents->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);

    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT array{};
    array.vt = VT_ARRAY | VT_VARIANT;
    array.parray = psa;
    CComVariant arrayValue;
    arrayValue.Attach(&array);
    CComPtr<CPlainObject> plain = MakeObject<CPlainObject>();
    const CComVariant accepted[] = {CComVariant(u"text"), CComVariant(LONG(3)), arrayValue,
                                    CComVariant(static_cast<IDispatch*>(plain.Get()))};
    for (const CComVariant& v : accepted) {
        SCOPED_TRACE(v.vt);
        EXPECT_EQ(app->put_Value(BSTR(u"ok"), v), S_OK);
        EXPECT_EQ(Value(u"ok").vt, v.vt);
    }
}

TEST_F(ApplicationTest, StaticObjectsAreReadOnlyForScripts) {
    CComPtr<CPlainObject> obj = MakeObject<CPlainObject>();
    ASSERT_EQ(app->AddStaticObject(BSTR(u"Storage"), obj.Get()), S_OK);
    CComPtr<IVariantDictionary> statics = StaticObjects();
    EXPECT_EQ(statics->Remove(CComVariant(u"Storage")), E_ACCESSDENIED);
    EXPECT_EQ(statics->RemoveAll(), E_ACCESSDENIED);
    EXPECT_EQ(statics->put_Item(CComVariant(u"Other"), CComVariant(LONG(1))), E_ACCESSDENIED);
    CComVariant v;
    EXPECT_EQ(statics->get_Item(CComVariant(u"Storage"), &v), S_OK);
    EXPECT_EQ(v.vt, VT_DISPATCH);
}

TEST_F(ApplicationTest, KeyAndEnumerationFollowKeyOrderAndCaseMatters) {
    CComPtr<IVariantDictionary> contents = Contents();
    // Stored out of order; "Name" and "name" are two entries.
    for (const auto& [key, value] :
         {std::pair{u"b", u"2"}, {u"Name", u"upper"}, {u"a", u"1"}, {u"name", u"lower"}})
        ASSERT_EQ(contents->put_Item(CComVariant(key), CComVariant(value)), S_OK);
    LONG count = 0;
    ASSERT_EQ(contents->get_Count(&count), S_OK);
    ASSERT_EQ(count, 4);

    // The locale's collation puts lower case before upper case of the same letters.
    const std::u16string expected[] = {u"1", u"2", u"lower", u"upper"};
    for (LONG i = 1; i <= count; ++i) {
        CComVariant v;
        ASSERT_EQ(contents->get_Key(CComVariant(i), &v), S_OK);
        EXPECT_EQ(Text(v), expected[i - 1]) << i;
    }
    for (LONG outside : {LONG(0), count + 1, LONG(-1)}) {
        CComVariant v(u"stale");
        EXPECT_EQ(contents->get_Key(CComVariant(outside), &v), S_OK);
        EXPECT_EQ(v.vt, VT_EMPTY) << outside;
    }
    // The index is converted: "2" is 2.
    CComVariant second;
    ASSERT_EQ(contents->get_Key(CComVariant(u"2"), &second), S_OK);
    EXPECT_EQ(Text(second), u"2");

    CComPtr<IUnknown> unk;
    ASSERT_EQ(contents->get__NewEnum(unk.Receive()), S_OK);
    CComPtr<IEnumVARIANT> e = ComQuery<IEnumVARIANT>(unk.Get());
    ASSERT_TRUE(e);
    CComVariant values[5];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(5, values, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Text(values[i]), expected[i]);

    CComVariant upper;
    ASSERT_EQ(app->get_Value(BSTR(u"Name"), &upper), S_OK);
    EXPECT_EQ(Text(upper), u"upper");
}

TEST_F(ApplicationTest, DictionaryChangesAndErrors) {
    CComPtr<IVariantDictionary> contents = Contents();
    ASSERT_EQ(contents->put_Item(CComVariant(u"k"), CComVariant(LONG(1))), S_OK);
    ASSERT_EQ(contents->put_Item(CComVariant(u"k"), CComVariant(LONG(2))), S_OK);
    CComVariant v;
    ASSERT_EQ(app->get_Value(BSTR(u"k"), &v), S_OK);
    EXPECT_EQ(v.lVal, 2);

    EXPECT_EQ(contents->Remove(CComVariant(u"missing")), E_INVALIDARG);
    EXPECT_EQ(contents->Remove(CComVariant(u"k")), S_OK);
    EXPECT_EQ(contents->Remove(CComVariant(u"k")), E_INVALIDARG);

    // Numbers and strings are distinct keys; an object key stands for its default value;
    // Empty is the empty string.
    CComPtr<CPlainObject> obj = MakeObject<CPlainObject>();
    ASSERT_EQ(contents->put_Item(CComVariant(LONG(1)), CComVariant(u"number")), S_OK);
    ASSERT_EQ(contents->put_Item(CComVariant(u"1"), CComVariant(u"string")), S_OK);
    ASSERT_EQ(contents->put_Item(CComVariant(static_cast<IDispatch*>(obj.Get())),
                                 CComVariant(u"via object")),
              S_OK);
    ASSERT_EQ(contents->put_Item(CComVariant(), CComVariant(u"empty")), S_OK);
    for (const auto& [key, value] : {std::pair{CComVariant(LONG(1)), u"number"},
                                     {CComVariant(1.0), u"number"},
                                     {CComVariant(u"1"), u"string"},
                                     {CComVariant(u"b"), u"via object"},
                                     {CComVariant(u""), u"empty"}}) {
        CComVariant got;
        ASSERT_EQ(contents->get_Item(key, &got), S_OK);
        EXPECT_EQ(Text(got), value);
    }
    // Keys that cannot be ordered are refused instead of corrupting the map's order.
    for (const CComVariant& bad : {CComVariant::Null(), CComVariant::Error(DISP_E_PARAMNOTFOUND)}) {
        CComVariant got;
        EXPECT_EQ(contents->put_Item(bad, CComVariant(LONG(1))), E_INVALIDARG);
        EXPECT_EQ(contents->get_Item(bad, &got), E_INVALIDARG);
    }

    EXPECT_EQ(contents->RemoveAll(), S_OK);
    LONG count = -1;
    EXPECT_EQ(contents->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);

    EXPECT_EQ(contents->get_Item(CComVariant(u"k"), nullptr), E_POINTER);
    EXPECT_EQ(contents->get_Count(nullptr), E_POINTER);
    EXPECT_EQ(contents->get__NewEnum(nullptr), E_POINTER);

    // A dictionary that was never given a map.
    CComPtr<CVariantDictionary> orphan = MakeObject<CVariantDictionary>();
    EXPECT_EQ(orphan->get_Count(&count), E_UNEXPECTED);
    EXPECT_EQ(orphan->put_Item(CComVariant(u"k"), CComVariant(LONG(1))), E_UNEXPECTED);
}

// A name read before is found again at once; once its entry is gone, by whichever way,
// reading it finds nothing and a new entry of that name is found in its place.
TEST_F(ApplicationTest, ANameReadBeforeFollowsItsEntryOutAndBackIn) {
    CComPtr<IVariantDictionary> contents = Contents();
    const std::pair<const char*, std::function<void()>> removals[] = {
        {"Remove", [&] { EXPECT_EQ(contents->Remove(CComVariant(u"Mode")), S_OK); }},
        {"RemoveAll", [&] { EXPECT_EQ(contents->RemoveAll(), S_OK); }},
    };
    for (const auto& [how, remove] : removals) {
        SCOPED_TRACE(how);
        ASSERT_EQ(app->put_Value(BSTR(u"Mode"), CComVariant(u"open")), S_OK);
        ASSERT_EQ(app->put_Value(BSTR(u"Other"), CComVariant(LONG(1))), S_OK);
        EXPECT_EQ(Text(Value(u"Mode")), u"open");
        EXPECT_EQ(Text(Value(u"Mode")), u"open");
        // Adding entries moves none: the name read before still reads its own.
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(app->put_Value(BSTR::FromUtf8("k" + std::to_string(i)), CComVariant(LONG(i))),
                      S_OK);
        EXPECT_EQ(Text(Value(u"Mode")), u"open");
        EXPECT_EQ(Value(u"mode").vt, VT_EMPTY);  // another name: case matters here
        remove();
        EXPECT_EQ(Value(u"Mode").vt, VT_EMPTY);
        ASSERT_EQ(app->put_Value(BSTR(u"Mode"), CComVariant(u"filtered")), S_OK);
        EXPECT_EQ(Text(Value(u"Mode")), u"filtered");
        EXPECT_EQ(contents->RemoveAll(), S_OK);
    }

    // A static object taken out is no longer found either.
    CComPtr<CPlainObject> obj = MakeObject<CPlainObject>();
    ASSERT_EQ(app->AddStaticObject(BSTR(u"Obj"), obj.Get()), S_OK);
    EXPECT_EQ(Value(u"Obj").vt, VT_DISPATCH);
    CComPtr<IDispatch> out;
    ASSERT_EQ(app->RemoveStaticObject(BSTR(u"Obj"), out.Receive()), S_OK);
    EXPECT_EQ(Value(u"Obj").vt, VT_EMPTY);
}

TEST_F(ApplicationTest, DictionaryKeepsTheApplicationAlive) {
    CComPtr<IVariantDictionary> contents = Contents();
    ASSERT_EQ(app->put_Value(BSTR(u"k"), CComVariant(u"v")), S_OK);
    app = nullptr;
    CComVariant v;
    ASSERT_EQ(contents->get_Item(CComVariant(u"k"), &v), S_OK);
    EXPECT_EQ(Text(v), u"v");
}

TEST_F(ApplicationTest, RemoveStaticObjectHandsTheObjectOut) {
    CComPtr<CPlainObject> obj = MakeObject<CPlainObject>();
    ASSERT_EQ(app->AddStaticObject(BSTR(u"Storage"), obj.Get()), S_OK);
    EXPECT_EQ(app->AddStaticObject(BSTR(u"None"), nullptr), E_INVALIDARG);

    CComPtr<IDispatch> out;
    EXPECT_EQ(app->RemoveStaticObject(BSTR(u"Storage"), out.Receive()), S_OK);
    EXPECT_EQ(out.Get(), static_cast<IDispatch*>(obj.Get()));
    EXPECT_EQ(app->RemoveStaticObject(BSTR(u"Storage"), out.Receive()), E_INVALIDARG);
    EXPECT_FALSE(out);
    EXPECT_EQ(Value(u"Storage").vt, VT_EMPTY);

    ASSERT_EQ(app->AddStaticObject(BSTR(u"Again"), obj.Get()), S_OK);
    EXPECT_EQ(app->RemoveStaticObject(BSTR(u"Again"), nullptr), S_OK);
}

// Two threads increment one value under Application.Lock; no increment is lost.
TEST_F(ApplicationTest, LockSerialisesReadModifyWriteAcrossThreads) {
    ASSERT_EQ(app->put_Value(BSTR(u"n"), CComVariant(LONG(0))), S_OK);
    constexpr int kRounds = 2000;
    auto worker = [this] {
        for (int i = 0; i < kRounds; ++i) {
            app->Lock();
            CComVariant v;
            app->get_Value(BSTR(u"n"), &v);
            app->put_Value(BSTR(u"n"), CComVariant(LONG(v.lVal + 1)));
            app->UnLock();
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(Value(u"n").lVal, 2 * kRounds);
}

// A script that ends while holding Application.Lock must not lock every other thread out.
TEST_F(ApplicationTest, LocksLeftByAScriptAreReleasedAfterItsRun) {
    EXPECT_EQ(app->ReleaseScriptLocks(), S_FALSE);
    ASSERT_EQ(app->Lock(), S_OK);
    ASSERT_EQ(app->Lock(), S_OK);

    // While this thread holds it, another thread's UnLock changes nothing, and its
    // access waits.
    std::async(std::launch::async, [this] { EXPECT_EQ(app->UnLock(), S_OK); }).get();
    auto other = std::async(std::launch::async,
                            [this] { return app->put_Value(BSTR(u"k"), CComVariant(u"v")); });
    EXPECT_EQ(Value(u"k").vt, VT_EMPTY);

    EXPECT_EQ(app->ReleaseScriptLocks(), S_OK);
    ASSERT_EQ(other.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(other.get(), S_OK);
    EXPECT_EQ(Text(Value(u"k")), u"v");
}

}  // namespace
