// Creating classes by CLSID and ProgID, and finding them by category.
#include "com/ClassRegistry.h"

#include <gtest/gtest.h>

#include "com/Dispatch.h"

namespace {

struct IGreeter : IUnknown {
    DECLARE_IID("{5A0C1D0E-1111-4C3B-9A55-000000000001}");
    virtual int Greet() = 0;
};

class CGreeter : public CComObjectRoot<CGreeter, IGreeter> {
public:
    int Greet() override { return 7; }
};

constexpr CLSID kGreeter = MakeGUID("{5A0C1D0E-2222-4C3B-9A55-000000000001}");
constexpr CLSID kBroken = MakeGUID("{5A0C1D0E-2222-4C3B-9A55-000000000002}");
constexpr CATID kCategory = MakeGUID("{5A0C1D0E-3333-4C3B-9A55-000000000001}");

TEST(ClassRegistry, CreatesByClsidAndProgId) {
    auto& registry = CClassRegistry::Instance();
    ASSERT_EQ(registry.RegisterClass<CGreeter>(kGreeter, u"Test.Greeter", {kCategory}), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"test.GREETER", &clsid), S_OK);
    EXPECT_EQ(clsid, kGreeter);
    CComPtr<IGreeter> greeter;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IIDOf<IGreeter>(), greeter.ReceiveVoid()),
        S_OK);
    EXPECT_EQ(greeter->Greet(), 7);
    std::u16string progId;
    ASSERT_EQ(ProgIDFromCLSID(kGreeter, &progId), S_OK);
    EXPECT_EQ(progId, u"Test.Greeter");
    CComPtr<IDispatch> dispatch;
    EXPECT_EQ(
        CoCreateInstance(kGreeter, nullptr, CLSCTX_ALL, IIDOf<IDispatch>(), dispatch.ReceiveVoid()),
        E_NOINTERFACE);
    CComPtr<IGreeter> inner;
    EXPECT_EQ(CoCreateInstance(kGreeter, greeter.Get(), CLSCTX_ALL, IIDOf<IGreeter>(),
                               inner.ReceiveVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(registry.ClassesOfCategory(kCategory), std::vector<CLSID>{kGreeter});
    EXPECT_TRUE(registry.ClassesOfCategory(CATID_ActiveScriptParse).empty() ||
                registry.ClassesOfCategory(CATID_ActiveScriptParse).front() != kGreeter);
    EXPECT_EQ(registry.Unregister(kGreeter), S_OK);
    EXPECT_EQ(registry.Unregister(kGreeter), S_FALSE);
}

TEST(ClassRegistry, UnknownNamesAndClasses) {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"No.Such.Class", &clsid), CO_E_CLASSSTRING);
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(
        CoCreateInstance(kBroken, nullptr, CLSCTX_ALL, IIDOf<IUnknown>(), unknown.ReceiveVoid()),
        REGDB_E_CLASSNOTREG);
    std::u16string progId;
    EXPECT_EQ(ProgIDFromCLSID(kBroken, &progId), REGDB_E_CLASSNOTREG);
    // A factory that fails reports its own status and hands out nothing.
    ASSERT_EQ(CClassRegistry::Instance().Register(kBroken, u"Test.Broken",
                                                  [](const IID&, void**) { return E_OUTOFMEMORY; }),
              S_OK);
    EXPECT_EQ(
        CoCreateInstance(kBroken, nullptr, CLSCTX_ALL, IIDOf<IUnknown>(), unknown.ReceiveVoid()),
        E_OUTOFMEMORY);
    EXPECT_FALSE(unknown);
    CClassRegistry::Instance().Unregister(kBroken);
}

}  // namespace
