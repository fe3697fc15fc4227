// Tests of the storage object as scripts reach it: its dispatch ids, the settings it
// forwards to the storage manager, and the list of external sites.
#include "storage/StorageObject.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "com/Strings.h"
#include "idl/DispatchIds.h"
#include "idl/Identifiers.h"
#include "storage/TestSite.h"

namespace {

namespace fs = std::filesystem;

// Calls a member through IDispatch; args in the order a script writes them.
HRESULT Call(IDispatch* pDisp, DISPID dispid, WORD wFlags, std::vector<CComVariant> args,
             VARIANT* pResult = nullptr) {
    std::vector<VARIANTARG> reversed(args.rbegin(), args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    if (wFlags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    return pDisp->Invoke(dispid, GUID_NULL, 0, wFlags, &params, pResult, nullptr, nullptr);
}

class StorageObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strTemplate = ::testing::TempDir() + "storageobj_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(strTemplate.data()));
        m_dir = strTemplate;
        CTestSite site;
        ASSERT_EQ(S_OK, site.AddFilePage("0x409", "a.asp", "a"));
        ASSERT_EQ(S_OK, site.WriteToFile((m_dir / "one.dat").string()));
        ASSERT_EQ(S_OK, site.WriteToFile((m_dir / "two.dat").string()));
        m_manager.SetSiteDirectory(m_dir);
        m_ptrObject = MakeObject<CStorageObject>(&m_manager);
        ASSERT_TRUE(m_ptrObject);
    }
    void TearDown() override {
        m_ptrObject = nullptr;
        fs::remove_all(m_dir);
    }

    CComPtr<IDispatch> Sites() {
        CComVariant var;
        EXPECT_EQ(S_OK, Call(m_ptrObject.Get(), DISPID_ISTORAGEOBJECT_EXTERNALSITES,
                             DISPATCH_PROPERTYGET, {}, &var));
        EXPECT_EQ(VT_DISPATCH, var.vt);
        return var.vt == VT_DISPATCH ? CComPtr<IDispatch>(var.pdispVal) : nullptr;
    }
    std::u16string FullPath(const char* name) {
        return Utf8ToUtf16((fs::canonical(m_dir) / name).string());
    }

    fs::path m_dir;
    CStorageManager m_manager;
    CComPtr<CStorageObject> m_ptrObject;
};

TEST_F(StorageObjectTest, NamesResolveToTheDesignedDispatchIds) {
    struct Case {
        const char16_t* name;
        DISPID dispid;
    } const cases[] = {{u"DefaultPage", 1}, {u"fallbacklcid", 2}, {u"ExternalSites", 3}};
    for (const Case& c : cases) {
        DISPID dispid = DISPID_UNKNOWN;
        const char16_t* names[] = {c.name};
        EXPECT_EQ(S_OK, m_ptrObject->GetIDsOfNames(GUID_NULL, names, 1, 0, &dispid));
        EXPECT_EQ(c.dispid, dispid) << Utf16ToUtf8(c.name);
    }
    CComPtr<IUnknown> ptrDual;
    EXPECT_EQ(S_OK, m_ptrObject->QueryInterface(IID_IStorageObject, ptrDual.ReceiveVoid()));
}

TEST_F(StorageObjectTest, SettingsGoToTheManager) {
    ASSERT_EQ(S_OK, Call(m_ptrObject.Get(), DISPID_ISTORAGEOBJECT_DEFAULTPAGE, DISPATCH_PROPERTYPUT,
                         {CComVariant(u"404_error.asp")}));
    BSTR bstrPage;
    ASSERT_EQ(S_OK, m_manager.get_DefaultPage(&bstrPage));
    EXPECT_EQ(u"404_error.asp", bstrPage.View());

    ASSERT_EQ(S_OK, Call(m_ptrObject.Get(), DISPID_ISTORAGEOBJECT_FALLBACKLCID,
                         DISPATCH_PROPERTYPUT, {CComVariant(0x809L)}));
    // A language that is not installed is refused and the old one stays.
    EXPECT_EQ(E_INVALIDARG, Call(m_ptrObject.Get(), DISPID_ISTORAGEOBJECT_FALLBACKLCID,
                                 DISPATCH_PROPERTYPUT, {CComVariant(0x7FFF0000L)}));
    CComVariant varLcid;
    ASSERT_EQ(S_OK, Call(m_ptrObject.Get(), DISPID_ISTORAGEOBJECT_FALLBACKLCID,
                         DISPATCH_PROPERTYGET, {}, &varLcid));
    EXPECT_EQ(VT_I4, varLcid.vt);
    EXPECT_EQ(0x809, varLcid.lVal);

    EXPECT_EQ(E_POINTER, m_ptrObject->get_DefaultPage(nullptr));
    EXPECT_EQ(E_POINTER, m_ptrObject->get_ExternalSites(nullptr));
}

TEST_F(StorageObjectTest, ExternalSitesListAddsItemsAndRemoves) {
    CComPtr<IDispatch> ptrSites = Sites();
    ASSERT_TRUE(ptrSites);
    CComPtr<IUnknown> ptrList2;
    EXPECT_EQ(S_OK, ptrSites->QueryInterface(IID_IStringList2, ptrList2.ReceiveVoid()));

    ASSERT_EQ(S_OK, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD,
                         {CComVariant(u"one.dat")}));
    ASSERT_EQ(S_OK, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD,
                         {CComVariant(u"two.dat")}));
    EXPECT_EQ(E_INVALIDARG, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD,
                                 {CComVariant(u"one.dat")}));
    EXPECT_EQ(STG_E_FILENOTFOUND, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD,
                                       {CComVariant(u"three.dat")}));

    // A second list sees the same sites: they belong to the manager.
    CComPtr<IDispatch> ptrAgain = Sites();
    CComVariant varCount;
    ASSERT_EQ(S_OK,
              Call(ptrAgain.Get(), DISPID_ISTRINGLIST2_COUNT, DISPATCH_PROPERTYGET, {}, &varCount));
    EXPECT_EQ(2, varCount.lVal);

    struct ItemCase {
        CComVariant index;
        HRESULT hr;
        std::u16string name;
    } const items[] = {
        {CComVariant(1L), S_OK, FullPath("one.dat")},
        {CComVariant(u"2"), S_OK, FullPath("two.dat")},
        {CComVariant(0L), E_INVALIDARG, u""},
        {CComVariant(3L), E_INVALIDARG, u""},
        {CComVariant(u"two"), DISP_E_TYPEMISMATCH, u""},
    };
    for (const ItemCase& c : items) {
        CComVariant var;
        EXPECT_EQ(c.hr, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ITEM, DISPATCH_PROPERTYGET,
                             {c.index}, &var));
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.name, var.Text());
        }
    }

    // Remove by the name as added, by full path and by index; unknown names and
    // indexes out of range are refused.
    struct RemoveCase {
        CComVariant index;
        HRESULT hr;
    } const removes[] = {
        {CComVariant(u"nosuch.dat"), E_INVALIDARG},
        {CComVariant(3L), E_INVALIDARG},
        {CComVariant(u"two.dat"), S_OK},
        {CComVariant(std::u16string_view(FullPath("one.dat"))), S_OK},
        {CComVariant(1L), E_INVALIDARG},
    };
    for (const RemoveCase& c : removes)
        EXPECT_EQ(c.hr,
                  Call(ptrSites.Get(), DISPID_ISTRINGLIST2_REMOVE, DISPATCH_METHOD, {c.index}));
    LONG nCount = -1;
    ASSERT_EQ(S_OK, m_manager.get_Count(&nCount));
    EXPECT_EQ(0, nCount);
}

TEST_F(StorageObjectTest, ExternalSitesEnumerateAndKeepTheStorageObjectAlive) {
    CComPtr<IDispatch> ptrSites = Sites();
    ASSERT_TRUE(ptrSites);
    ASSERT_EQ(S_OK, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD,
                         {CComVariant(u"one.dat")}));
    CComVariant varEnum;
    ASSERT_EQ(S_OK, Call(ptrSites.Get(), DISPID_ISTRINGLIST2_NEWENUM, DISPATCH_PROPERTYGET, {},
                         &varEnum));
    ASSERT_EQ(VT_UNKNOWN, varEnum.vt);
    CComPtr<IEnumVARIANT> ptrEnum = ComQuery<IEnumVARIANT>(varEnum.punkVal);
    ASSERT_TRUE(ptrEnum);
    varEnum.Clear();

    // The list and the storage object may go; the enumerator holds the storage object,
    // which owns the handler the enumerator reads.
    ptrSites = nullptr;
    m_ptrObject = nullptr;
    ASSERT_EQ(S_OK, m_manager.Add(BSTR(u"two.dat")));
    EXPECT_EQ(S_OK, ptrEnum->Reset());
    CComVariant vars[3];
    ULONG nFetched = 0;
    EXPECT_EQ(S_FALSE, ptrEnum->Next(3, vars, &nFetched));
    ASSERT_EQ(2u, nFetched);
    EXPECT_EQ(FullPath("one.dat"), vars[0].Text());
    EXPECT_EQ(FullPath("two.dat"), vars[1].Text());
}

}  // namespace
