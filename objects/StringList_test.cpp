// Tests of the two string lists: the read-only list of a request field's values, and the
// list whose contents and changes belong to a site, both as scripts reach them.
#include "objects/StringList.h"

#include <gtest/gtest.h>

#include "idl/DispatchIds.h"
#include "objects/CollectionsTestSupport.h"
#include "objects/StringList2.h"

namespace {

using collections_test::Call;
using collections_test::Drain;

CComPtr<CStringList> MakeList(std::vector<BSTR> strings) {
    CComPtr<CStringList> ptrList = MakeObject<CStringList>();
    EXPECT_EQ(S_OK, ptrList->Init(std::move(strings)));
    return ptrList;
}

TEST(StringListTest, ItemCountsFromOne) {
    CComPtr<CStringList> ptrList = MakeList({BSTR(u"one"), BSTR(u"two"), BSTR(u"three")});
    IDispatch* pDisp = ptrList.Get();
    struct Case {
        CComVariant index;
        HRESULT hr;
        std::u16string_view text;
    } const cases[] = {
        {CComVariant(LONG{1}), S_OK, u"one"},       {CComVariant(LONG{3}), S_OK, u"three"},
        {CComVariant(u"2"), S_OK, u"two"},  // converted as a script's argument is
        {CComVariant(LONG{0}), E_INVALIDARG, u""},  {CComVariant(LONG{4}), E_INVALIDARG, u""},
        {CComVariant(LONG{-1}), E_INVALIDARG, u""},
    };
    for (const Case& c : cases) {
        CComVariant var;
        EXPECT_EQ(c.hr, Call(pDisp, DISPID_ISTRINGLIST_ITEM, DISPATCH_PROPERTYGET, {c.index}, &var))
            << c.index.lVal;
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(VT_BSTR, var.vt);
            EXPECT_EQ(c.text, var.Text());
        }
    }
    CComVariant varCount;
    ASSERT_EQ(S_OK, Call(pDisp, DISPID_ISTRINGLIST_COUNT, DISPATCH_PROPERTYGET, {}, &varCount));
    EXPECT_EQ(3, varCount.lVal);

    // Item is the default member, and the names resolve without regard to case.
    const char16_t* names[] = {u"ITEM"};
    DISPID dispid = DISPID_UNKNOWN;
    ASSERT_EQ(S_OK, pDisp->GetIDsOfNames(GUID_NULL, names, 1, 0, &dispid));
    EXPECT_EQ(DISPID_VALUE, dispid);
    EXPECT_EQ(E_POINTER, ptrList->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, ptrList->get_Item(1, nullptr));
    EXPECT_EQ(E_POINTER, ptrList->get__NewEnum(nullptr));
}

TEST(StringListTest, EnumeratesItsStringsInOrder) {
    CComPtr<CStringList> ptrList = MakeList({BSTR(u"b"), BSTR(u"a"), BSTR(u"b")});
    CComVariant varEnum;
    ASSERT_EQ(S_OK, Call(ptrList.Get(), DISPID_NEWENUM, DISPATCH_PROPERTYGET, {}, &varEnum));
    ASSERT_EQ(VT_UNKNOWN, varEnum.vt);
    const std::vector<CComVariant> values = Drain(varEnum.punkVal);
    ASSERT_EQ(3u, values.size());
    EXPECT_EQ(u"b", values[0].Text());
    EXPECT_EQ(u"a", values[1].Text());
    EXPECT_EQ(u"b", values[2].Text());

    CComPtr<IUnknown> ptrIface;
    EXPECT_EQ(S_OK, ptrList->QueryInterface(IID_IStringList, ptrIface.ReceiveVoid()));
}

// A site that records what reaches it and answers with a set status.
class CRecordingSite : public CComObjectRoot<CRecordingSite, IUnknown>, public CStringList2Site {
public:
    HRESULT GetValues(std::vector<CComVariant>& values) override {
        for (const std::u16string& s : m_items)
            values.emplace_back(std::u16string_view(s));
        return S_OK;
    }
    HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn) override {
        m_calls += "Item;";
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(m_items.size()))
            return E_INVALIDARG;
        VariantSetBstr(pVariantReturn, BSTR(m_items[index.lVal - 1]));
        return S_OK;
    }
    HRESULT get_Count(LONG* cStrRet) override {
        m_calls += "Count;";
        *cStrRet = static_cast<LONG>(m_items.size());
        return S_OK;
    }
    HRESULT Add(BSTR bstrItem) override {
        m_calls += "Add;";
        if (bstrItem.View() == u"refused")
            return E_ACCESSDENIED;
        m_items.emplace_back(bstrItem.View());
        return S_OK;
    }
    HRESULT Remove(const VARIANT&) override {
        m_calls += "Remove;";
        return m_hrRemove;
    }

    std::vector<std::u16string> m_items;
    std::string m_calls;
    HRESULT m_hrRemove = S_OK;
};

TEST(StringList2Test, ForwardsEveryMemberToItsSite) {
    CComPtr<CRecordingSite> ptrSite = MakeObject<CRecordingSite>();
    CComPtr<CStringList2> ptrList = MakeObject<CStringList2>();
    ASSERT_EQ(S_OK, ptrList->Init(ptrSite.Get(), ptrSite.Get()));
    IDispatch* pDisp = ptrList.Get();

    EXPECT_EQ(S_OK, Call(pDisp, DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD, {CComVariant(u"first")}));
    EXPECT_EQ(E_ACCESSDENIED,
              Call(pDisp, DISPID_ISTRINGLIST2_ADD, DISPATCH_METHOD, {CComVariant(u"refused")}));
    CComVariant var;
    EXPECT_EQ(S_OK, Call(pDisp, DISPID_ISTRINGLIST2_ITEM, DISPATCH_PROPERTYGET,
                         {CComVariant(LONG{1})}, &var));
    EXPECT_EQ(u"first", var.Text());
    EXPECT_EQ(E_INVALIDARG, Call(pDisp, DISPID_ISTRINGLIST2_ITEM, DISPATCH_PROPERTYGET,
                                 {CComVariant(LONG{2})}, &var));
    EXPECT_EQ(S_OK, Call(pDisp, DISPID_ISTRINGLIST2_COUNT, DISPATCH_PROPERTYGET, {}, &var));
    EXPECT_EQ(1, var.lVal);
    ptrSite->m_hrRemove = DISP_E_TYPEMISMATCH;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(pDisp, DISPID_ISTRINGLIST2_REMOVE, DISPATCH_METHOD, {CComVariant(u"x")}));
    EXPECT_EQ("Add;Add;Item;Item;Count;Remove;", ptrSite->m_calls);

    CComPtr<IUnknown> ptrIface;
    EXPECT_EQ(S_OK, ptrList->QueryInterface(IID_IStringList2, ptrIface.ReceiveVoid()));
    EXPECT_EQ(E_POINTER, ptrList->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, CComPtr<CStringList2>(MakeObject<CStringList2>())->Init(nullptr, nullptr));
}

TEST(StringList2Test, EnumeratorKeepsTheOwnerAndSeesTheSiteValues) {
    CComPtr<CRecordingSite> ptrSite = MakeObject<CRecordingSite>();
    ptrSite->m_items = {u"x", u"y"};
    CComPtr<IUnknown> ptrEnum;
    {
        CComPtr<CStringList2> ptrList = MakeObject<CStringList2>();
        ASSERT_EQ(S_OK, ptrList->Init(ptrSite.Get(), ptrSite.Get()));
        ASSERT_EQ(S_OK, ptrList->get__NewEnum(ptrEnum.Receive()));
    }
    // List and outside reference gone: the enumerator's owner reference keeps the site.
    CRecordingSite* pSite = ptrSite.Get();
    ptrSite = nullptr;
    EXPECT_EQ(1u, pSite->RefCount());
    pSite->m_items.push_back(u"z");
    CComPtr<IEnumVARIANT> ptrEnumVar = ComQuery<IEnumVARIANT>(ptrEnum.Get());
    ASSERT_EQ(S_OK, ptrEnumVar->Reset());
    const std::vector<CComVariant> values = Drain(ptrEnum.Get());
    ASSERT_EQ(3u, values.size());
    EXPECT_EQ(u"z", values[2].Text());
}

}  // namespace
