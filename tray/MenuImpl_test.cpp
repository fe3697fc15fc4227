// Tests of the menu model: items and their indexes, identifiers across sub-menus, the
// default item, the answers for unknown items, and the dispatch table scripts call.
#include "tray/MenuImpl.h"

#include <gtest/gtest.h>

#include "com/CComVariant.h"

namespace {

class MenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_context = std::make_shared<CMenuContext>();
        m_context->SetOnChange([this] { ++m_changes; });
        m_menu = MakeObject<CMenuImpl>(m_context);
    }
    HRESULT Add(const char* text, const char* url, const VARIANT* extras = nullptr,
                bool enabled = true) {
        return m_menu->AddItem(BSTR::FromUtf8(text), enabled, BSTR::FromUtf8(url), extras);
    }
    std::shared_ptr<CMenuContext> m_context;
    CComPtr<CMenuImpl> m_menu;
    int m_changes = 0;
};

TEST_F(MenuTest, ItemsKeepTheirTextsRecordsAndFlags) {
    CComVariant extras(BSTR::FromUtf8("dialogWidth:300px;"));
    ASSERT_EQ(S_OK, Add("&Settings", "dialog:settings.asp", &extras));
    ASSERT_EQ(S_OK, m_menu->AddSeparator());
    ASSERT_EQ(S_OK, Add("Off", "off.asp", nullptr, false));
    CComVariant number(42L);
    ASSERT_EQ(S_OK, Add("Number", "", &number));

    LONG count = 0;
    EXPECT_EQ(S_OK, m_menu->get_ItemCount(&count));
    EXPECT_EQ(4, count);
    BSTR text, url, extrasText;
    EXPECT_EQ(S_OK, m_menu->get_ItemText(1, &text));
    EXPECT_EQ("&Settings", text.ToUtf8());
    EXPECT_EQ(S_OK, m_menu->get_ItemUrl(1, &url));
    EXPECT_EQ("dialog:settings.asp", url.ToUtf8());
    EXPECT_EQ(S_OK, m_menu->get_ItemExtras(1, &extrasText));
    EXPECT_EQ("dialogWidth:300px;", extrasText.ToUtf8());
    EXPECT_EQ(S_OK, m_menu->get_ItemExtras(4, &extrasText));
    EXPECT_EQ("42", extrasText.ToUtf8());
    EXPECT_EQ(S_OK, m_menu->get_ItemExtras(3, &extrasText));
    EXPECT_EQ("", extrasText.ToUtf8());

    bool flag = true;
    EXPECT_EQ(S_OK, m_menu->get_ItemChecked(2, &flag));
    EXPECT_FALSE(flag) << "a separator is never checked";
    EXPECT_EQ(S_OK, m_menu->get_ItemEnabled(3, &flag));
    EXPECT_FALSE(flag);
    EXPECT_EQ(S_OK, m_menu->put_ItemEnabled(3, true));
    EXPECT_EQ(S_OK, m_menu->get_ItemEnabled(3, &flag));
    EXPECT_TRUE(flag);
    EXPECT_EQ(S_OK, m_menu->put_ItemChecked(1, true));
    EXPECT_EQ(S_OK, m_menu->get_ItemChecked(1, &flag));
    EXPECT_TRUE(flag);
    EXPECT_EQ(S_OK, m_menu->put_ItemText(1, BSTR::FromUtf8("Options")));
    EXPECT_EQ(S_OK, m_menu->put_ItemUrl(1, BSTR::FromUtf8("options.asp")));
    EXPECT_EQ(S_OK, m_menu->get_ItemUrl(1, &url));
    EXPECT_EQ("options.asp", url.ToUtf8());
    EXPECT_EQ(7, m_changes) << "every visible change, and only those, tells the window";

    auto snapshot = m_menu->Snapshot();
    ASSERT_EQ(4u, snapshot.size());
    EXPECT_EQ("Options", snapshot[0].strText);
    EXPECT_TRUE(snapshot[0].bChecked);
    EXPECT_EQ(MenuSnapshotItem::Kind::Separator, snapshot[1].kind);
    EXPECT_EQ(0u, snapshot[1].uId);
}

TEST_F(MenuTest, UnknownItemsAndNullPointersAreRefused) {
    ASSERT_EQ(S_OK, Add("One", "one.asp"));
    ASSERT_EQ(S_OK, m_menu->AddSeparator());
    bool flag;
    BSTR text;
    CComPtr<IMenu> sub;
    for (LONG index : {0L, -1L, 3L, 1000L}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(E_INVALIDARG, m_menu->get_ItemChecked(index, &flag));
        EXPECT_EQ(E_INVALIDARG, m_menu->put_ItemChecked(index, true));
        EXPECT_EQ(E_INVALIDARG, m_menu->get_ItemEnabled(index, &flag));
        EXPECT_EQ(E_INVALIDARG, m_menu->put_ItemEnabled(index, true));
        EXPECT_EQ(E_INVALIDARG, m_menu->get_ItemText(index, &text));
        EXPECT_EQ(E_INVALIDARG, m_menu->get_ItemUrl(index, &text));
        EXPECT_EQ(E_INVALIDARG, m_menu->get_ItemExtras(index, &text));
        EXPECT_EQ(E_INVALIDARG, m_menu->get_SubMenu(index, sub.Receive()));
    }
    EXPECT_EQ(E_INVALIDARG, m_menu->get_SubMenu(1, sub.Receive())) << "no sub-menu there";
    EXPECT_EQ(E_INVALIDARG, m_menu->put_ItemUrl(2, BSTR::FromUtf8("x"))) << "separator";
    EXPECT_EQ(E_INVALIDARG, m_menu->put_DefaultItem(3));
    EXPECT_EQ(E_POINTER, m_menu->get_ItemCount(nullptr));
    EXPECT_EQ(E_POINTER, m_menu->get_ItemText(1, nullptr));
    EXPECT_EQ(E_POINTER, m_menu->AddSubMenu(BSTR::FromUtf8("x"), nullptr));
    CComVariant bad;
    bad.vt = VT_UNKNOWN;
    bad.punkVal = nullptr;
    EXPECT_TRUE(FAILED(Add("Bad extras", "x.asp", &bad)));
    LONG count = 0;
    m_menu->get_ItemCount(&count);
    EXPECT_EQ(2, count) << "a failed AddItem adds nothing";
}

TEST_F(MenuTest, IdentifiersGrowAcrossSubMenusAndFindSearchesDepthFirst) {
    ASSERT_EQ(S_OK, Add("A", "a.asp"));
    ASSERT_EQ(S_OK, Add("B", "b.asp"));
    ASSERT_EQ(S_OK, Add("C", "c.asp"));
    CComPtr<IMenu> sub;
    ASSERT_EQ(S_OK, m_menu->AddSubMenu(BSTR::FromUtf8("More"), sub.Receive()));
    CComVariant extras(BSTR::FromUtf8("center:yes;"));
    ASSERT_EQ(S_OK, sub->AddItem(BSTR::FromUtf8("D"), true, BSTR::FromUtf8("d.asp"), &extras));
    ASSERT_EQ(S_OK, Add("E", ""));

    auto snapshot = m_menu->Snapshot();
    ASSERT_EQ(5u, snapshot.size());
    EXPECT_EQ(1u, snapshot[0].uId);
    EXPECT_EQ(3u, snapshot[2].uId);
    EXPECT_EQ(0u, snapshot[3].uId) << "a sub-menu entry has no identifier";
    ASSERT_EQ(1u, snapshot[3].subItems.size());
    EXPECT_EQ(4u, snapshot[3].subItems[0].uId);
    EXPECT_EQ(5u, snapshot[4].uId);

    std::string url, options;
    EXPECT_TRUE(m_menu->FindId(4, &url, &options));
    EXPECT_EQ("d.asp", url);
    EXPECT_EQ("center:yes;", options);
    EXPECT_TRUE(m_menu->FindId(5, &url, &options));
    EXPECT_EQ("", url) << "found, with nothing to open";
    EXPECT_FALSE(m_menu->FindId(0, &url, &options)) << "0 is a dismissed menu";
    EXPECT_FALSE(m_menu->FindId(6, &url, &options));

    CComPtr<IMenu> again;
    ASSERT_EQ(S_OK, m_menu->get_SubMenu(4, again.Receive()));
    EXPECT_EQ(sub.Get(), again.Get());
}

TEST_F(MenuTest, DefaultItemIsAOneBasedPosition) {
    LONG value = -5;
    EXPECT_EQ(S_OK, m_menu->get_DefaultItem(&value));
    EXPECT_EQ(0, value);
    ASSERT_EQ(S_OK, Add("A", "a.asp"));
    ASSERT_EQ(S_OK, Add("B", "b.asp"));
    EXPECT_EQ(S_OK, m_menu->put_DefaultItem(2));
    EXPECT_EQ(S_OK, m_menu->get_DefaultItem(&value));
    EXPECT_EQ(2, value);
    EXPECT_EQ(2u, m_menu->DefaultId());
    EXPECT_TRUE(m_menu->Snapshot()[1].bDefault);
    EXPECT_EQ(S_OK, m_menu->put_DefaultItem(0));
    EXPECT_EQ(S_OK, m_menu->get_DefaultItem(&value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(0u, m_menu->DefaultId());
}

TEST_F(MenuTest, ScriptsReachTheMembersByNameThroughDispatch) {
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(static_cast<IMenu*>(m_menu.Get()));
    ASSERT_TRUE(dispatch);
    struct {
        const char16_t* name;
        DISPID dispid;
    } names[] = {{u"AddItem", 1},      {u"AddSubMenu", 2},  {u"DefaultItem", 3},
                 {u"ItemChecked", 4},  {u"ItemEnabled", 5}, {u"SubMenu", 6},
                 {u"AddSeparator", 7}, {u"ItemText", 8},    {u"ItemUrl", 9},
                 {u"ItemExtras", 10},  {u"ItemCount", 11}};
    for (const auto& n : names) {
        DISPID id = -1;
        const char16_t* name = n.name;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID{}, &name, 1, 0, &id));
        EXPECT_EQ(n.dispid, id);
    }
    // AddSubMenu("More") hands out a menu object a script can call again.
    CComVariant arg(BSTR::FromUtf8("More"));
    DISPPARAMS params{&arg, nullptr, 1, 0};
    CComVariant result;
    ASSERT_EQ(S_OK,
              dispatch->Invoke(2, IID{}, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    ASSERT_EQ(VT_DISPATCH, result.vt);
    ASSERT_TRUE(result.pdispVal);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant count;
    ASSERT_EQ(S_OK, dispatch->Invoke(11, IID{}, 0, DISPATCH_PROPERTYGET, &none, &count, nullptr,
                                     nullptr));
    EXPECT_EQ(VT_I4, count.vt);
    EXPECT_EQ(1, count.lVal);
}

TEST_F(MenuTest, ClearEmptiesTheTree) {
    ASSERT_EQ(S_OK, Add("A", "a.asp"));
    ASSERT_EQ(S_OK, m_menu->put_DefaultItem(1));
    m_menu->Clear();
    LONG value = -1;
    m_menu->get_ItemCount(&value);
    EXPECT_EQ(0, value);
    m_menu->get_DefaultItem(&value);
    EXPECT_EQ(0, value);
}

}  // namespace
