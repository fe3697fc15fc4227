// Scripting.Dictionary through GetIDsOfNames and Invoke.
#include "script/engine/vbscript/library/CDictionary.h"

#include <gtest/gtest.h>

#include <string>

#include "com/SafeArray.h"
#include "com/Strings.h"
#include "script/engine/vbscript/library/DispatchCaller.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

CComVariant L(LONG v) {
    return CComVariant(v);
}

TEST(Dictionary, AddItemKeyRemoveAndOrder) {
    CComPtr<CDictionary> object = MakeObject<CDictionary>();
    DispatchCaller d(object.Get());
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(u"a"), L(1)}), S_OK);
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {L(2), CComVariant(u"two")}), S_OK);
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(u"a"), L(9)}), VBScriptError(457));
    // Numbers are one key whatever their type; "2" is another key.
    EXPECT_EQ(d.Get(u"Item", {CComVariant(2.0)}).Text(), u"two");
    EXPECT_EQ(d.Get(u"Exists", {CComVariant(u"2")}).boolVal, VARIANT_FALSE);
    EXPECT_EQ(d.Get(u"Exists", {CComVariant(u"A")}).boolVal, VARIANT_FALSE);
    // Reading a missing key adds it, Empty.
    EXPECT_EQ(d.Get(u"Item", {CComVariant(u"new")}).vt, VT_EMPTY);
    EXPECT_EQ(d.Get(u"Count").lVal, 3);
    EXPECT_EQ(d.Call(u"Item", DISPATCH_PROPERTYPUT, {CComVariant(u"b"), L(5)}), S_OK);
    EXPECT_EQ(d.Call(u"Key", DISPATCH_PROPERTYPUT, {CComVariant(u"b"), CComVariant(u"c")}), S_OK);
    EXPECT_EQ(d.Call(u"Key", DISPATCH_PROPERTYPUT, {CComVariant(u"zz"), CComVariant(u"y")}),
              VBScriptError(32811));
    EXPECT_EQ(d.Call(u"Key", DISPATCH_PROPERTYPUT, {CComVariant(u"c"), CComVariant(u"a")}),
              VBScriptError(457));
    EXPECT_EQ(d.Get(u"Item", {CComVariant(u"c")}).lVal, 5);
    EXPECT_EQ(d.Call(u"Remove", DISPATCH_METHOD, {CComVariant(u"new")}), S_OK);
    EXPECT_EQ(d.Call(u"Remove", DISPATCH_METHOD, {CComVariant(u"new")}), VBScriptError(32811));

    CComVariant keys = d.Get(u"Keys");
    ASSERT_EQ(keys.vt, VT_ARRAY | VT_VARIANT);
    LONG upper = 0;
    SafeArrayGetUBound(keys.parray, 1, &upper);
    EXPECT_EQ(upper, 2);
    std::vector<CComVariant> walked = Enumerate(object.Get());
    ASSERT_EQ(walked.size(), 3u);
    EXPECT_EQ(walked[0].Text(), u"a");
    EXPECT_EQ(walked[1].lVal, 2);
    EXPECT_EQ(walked[2].Text(), u"c");
    CComVariant items = d.Get(u"Items");
    CComVariant last;
    LONG index = 2;
    SafeArrayGetElement(items.parray, &index, &last);
    EXPECT_EQ(last.lVal, 5);

    // CompareMode may change only while the dictionary is empty.
    EXPECT_EQ(d.Call(u"CompareMode", DISPATCH_PROPERTYPUT, {L(1)}), VBScriptError(5));
    EXPECT_EQ(d.Call(u"RemoveAll", DISPATCH_METHOD, {}), S_OK);
    EXPECT_EQ(d.Get(u"Count").lVal, 0);
    d.Put(u"CompareMode", L(1));
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(u"Key"), L(1)}), S_OK);
    EXPECT_EQ(d.Get(u"Exists", {CComVariant(u"KEY")}).boolVal, VARIANT_TRUE);
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(u"kEy"), L(1)}), VBScriptError(457));
}

TEST(Dictionary, ManyKeysSurviveRemovalsRenamesAndGrowth) {
    // Enough keys to grow the index several times, with removals and renames between:
    // every key stays findable, removed ones are gone and the order is that of addition.
    CComPtr<CDictionary> object = MakeObject<CDictionary>();
    DispatchCaller d(object.Get());
    auto key = [](int i) { return CComVariant(BSTR(u"k" + Utf8ToUtf16(std::to_string(i)))); };
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(d.Call(u"Add", DISPATCH_METHOD, {key(i), L(i)}), S_OK);
    for (int i = 0; i < 1000; i += 2)
        ASSERT_EQ(d.Call(u"Remove", DISPATCH_METHOD, {key(i)}), S_OK);
    ASSERT_EQ(d.Call(u"Key", DISPATCH_PROPERTYPUT, {key(1), key(5000)}), S_OK);
    ASSERT_EQ(d.Call(u"Add", DISPATCH_METHOD, {key(0), L(-1)}), S_OK);
    EXPECT_EQ(d.Get(u"Count").lVal, 501);
    for (int i = 1; i < 1000; ++i) {
        bool kept = i % 2 == 1 && i != 1;
        EXPECT_EQ(d.Get(u"Exists", {key(i)}).boolVal, kept ? VARIANT_TRUE : VARIANT_FALSE) << i;
        if (kept) {
            EXPECT_EQ(d.Get(u"Item", {key(i)}).lVal, i);
        }
    }
    EXPECT_EQ(d.Get(u"Item", {key(5000)}).lVal, 1);
    std::vector<CComVariant> walked = Enumerate(object.Get());
    ASSERT_EQ(walked.size(), 501u);
    EXPECT_EQ(walked[0].Text(), u"k5000");
    EXPECT_EQ(walked[1].Text(), u"k3");
    EXPECT_EQ(walked[499].Text(), u"k999");
    EXPECT_EQ(walked[500].Text(), u"k0");
    // Numbers of any type are one key, and a removed key can come back.
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(static_cast<SHORT>(7)), L(1)}), S_OK);
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(7.0), L(1)}), VBScriptError(457));
    EXPECT_EQ(d.Call(u"Remove", DISPATCH_METHOD, {L(7)}), S_OK);
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {CComVariant(-0.0), L(2)}), S_OK);
    EXPECT_EQ(d.Get(u"Item", {L(0)}).lVal, 2);
}

TEST(Dictionary, ObjectsAreKeysByIdentity) {
    CComPtr<CDictionary> object = MakeObject<CDictionary>();
    CComPtr<CDictionary> other = MakeObject<CDictionary>();
    DispatchCaller d(object.Get());
    CComVariant key(static_cast<IDispatch*>(other.Get()));
    EXPECT_EQ(d.Call(u"Add", DISPATCH_METHOD, {key, L(1)}), S_OK);
    EXPECT_EQ(d.Get(u"Exists", {key}).boolVal, VARIANT_TRUE);
    CComPtr<CDictionary> third = MakeObject<CDictionary>();
    EXPECT_EQ(d.Get(u"Exists", {CComVariant(static_cast<IDispatch*>(third.Get()))}).boolVal,
              VARIANT_FALSE);
}

}  // namespace
