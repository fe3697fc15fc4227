// User.TrayIcon and its Menu as VBScript pages see them, against an in-process tray
// program: the tip, icon and balloons reach the user's tray, every process of the user
// drives the same icon, the menu is the tray's own, and without a tray (or once the user
// session is gone) every member fails with E_UNEXPECTED.
#include "sessions/TrayIconObject.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>

#include "idl/DispatchIds.h"
#include "script/ScriptHostTestSupport.h"
#include "sessions/MenuProxy.h"
#include "sessions/ProcessSession.h"
#include "sessions/UserSession.h"

using namespace script_test;

namespace {

constexpr LONG kUnexpected = static_cast<LONG>(E_UNEXPECTED);

// An object that answers IDispatch only, as a menu of the tray program arrives over the
// object RPC.
class CDispatchOnly : public CComObjectRoot<CDispatchOnly, IDispatch> {
public:
    explicit CDispatchOnly(CComPtr<IDispatch> inner) : m_inner(std::move(inner)) {}
    HRESULT GetTypeInfoCount(UINT* p) override { return m_inner->GetTypeInfoCount(p); }
    HRESULT GetTypeInfo(UINT i, LCID lcid, ITypeInfo** pp) override {
        return m_inner->GetTypeInfo(i, lcid, pp);
    }
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** names, UINT n, LCID lcid,
                          DISPID* ids) override {
        return m_inner->GetIDsOfNames(riid, names, n, lcid, ids);
    }
    HRESULT Invoke(DISPID id, const IID& riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
        return m_inner->Invoke(id, riid, lcid, flags, params, result, excep, argErr);
    }

private:
    CComPtr<IDispatch> m_inner;
};

// The tray program's menu, reduced to its records: items with their text, flags, URL,
// extras and sub-menu. Indexes are 1-based positions, separators included.
class CFakeMenu : public CComObjectRoot<CFakeMenu, IDispatchImpl<CFakeMenu, IMenu>> {
public:
    struct Item {
        std::u16string text, url, extras;
        bool enabled = true, checked = false, separator = false;
        CComPtr<CFakeMenu> sub;
    };

    // `remote`: sub-menus are handed out as IDispatch-only objects, as over the RPC.
    explicit CFakeMenu(bool remote = false) : m_remote(remote) {}

    static const CDispatchTable& GetDispatchTable() {
        using C = CFakeMenu;
        static const CDispatchTable table(
            u"IMenu",
            {
                DispMethod<&C::AddItem>(u"AddItem", DISPID_IMENU_ADDITEM),
                DispMethod<&C::AddSubMenuDispatch>(u"AddSubMenu", DISPID_IMENU_ADDSUBMENU),
                DispGet<&C::get_DefaultItem>(u"DefaultItem", DISPID_IMENU_DEFAULTITEM),
                DispPut<&C::put_DefaultItem>(u"DefaultItem", DISPID_IMENU_DEFAULTITEM),
                DispGet<&C::get_ItemChecked>(u"ItemChecked", DISPID_IMENU_ITEMCHECKED),
                DispPut<&C::put_ItemChecked>(u"ItemChecked", DISPID_IMENU_ITEMCHECKED),
                DispGet<&C::get_ItemEnabled>(u"ItemEnabled", DISPID_IMENU_ITEMENABLED),
                DispPut<&C::put_ItemEnabled>(u"ItemEnabled", DISPID_IMENU_ITEMENABLED),
                DispGet<&C::get_SubMenuDispatch>(u"SubMenu", DISPID_IMENU_SUBMENU),
                DispMethod<&C::AddSeparator>(u"AddSeparator", DISPID_IMENU_ADDSEPARATOR),
                DispGet<&C::get_ItemText>(u"ItemText", DISPID_IMENU_ITEMTEXT),
                DispPut<&C::put_ItemText>(u"ItemText", DISPID_IMENU_ITEMTEXT),
                DispGet<&C::get_ItemUrl>(u"ItemUrl", DISPID_IMENU_ITEMURL),
                DispPut<&C::put_ItemUrl>(u"ItemUrl", DISPID_IMENU_ITEMURL),
                DispGet<&C::get_ItemExtras>(u"ItemExtras", DISPID_IMENU_ITEMEXTRAS),
                DispPut<&C::put_ItemExtras>(u"ItemExtras", DISPID_IMENU_ITEMEXTRAS),
                DispGet<&C::get_ItemCount>(u"ItemCount", DISPID_IMENU_ITEMCOUNT),
            });
        return table;
    }

    HRESULT AddItem(BSTR strText, bool bEnabled, BSTR bstrURL, const VARIANT* varExtras) override {
        Item item;
        item.text = strText.Str();
        item.url = bstrURL.Str();
        item.enabled = bEnabled;
        if (varExtras && !(varExtras->vt == VT_ERROR && varExtras->scode == DISP_E_PARAMNOTFOUND)) {
            CComVariant text;
            if (FAILED(VariantChangeType(&text, varExtras, 0, VT_BSTR)))
                return DISP_E_TYPEMISMATCH;
            item.extras = text.Bstr().Str();
        }
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(item));
        return S_OK;
    }
    HRESULT AddSubMenu(BSTR strText, IMenu** ppMenu) override {
        auto sub = MakeObject<CFakeMenu>(m_remote);
        {
            std::lock_guard lock(m_mutex);
            Item item;
            item.text = strText.Str();
            item.sub = sub;
            m_items.push_back(std::move(item));
        }
        *ppMenu = sub.Detach();
        return S_OK;
    }
    HRESULT AddSubMenuDispatch(BSTR strText, IDispatch** ppMenu) {
        CComPtr<IMenu> sub;
        HRESULT hr = AddSubMenu(strText, sub.Receive());
        if (SUCCEEDED(hr))
            *ppMenu = Handout(sub.Get());
        return hr;
    }
    HRESULT get_DefaultItem(LONG* pVal) override {
        *pVal = m_default;
        return S_OK;
    }
    HRESULT put_DefaultItem(LONG newVal) override {
        std::lock_guard lock(m_mutex);
        if (newVal < 1 || newVal > static_cast<LONG>(m_items.size()))
            return E_INVALIDARG;
        m_default = newVal;
        return S_OK;
    }
    HRESULT get_ItemChecked(LONG index, bool* pVal) override {
        return Read(index, [&](Item& i) { *pVal = i.checked; });
    }
    HRESULT put_ItemChecked(LONG index, bool newVal) override {
        return Read(index, [&](Item& i) { i.checked = newVal; });
    }
    HRESULT get_ItemEnabled(LONG index, bool* pVal) override {
        return Read(index, [&](Item& i) { *pVal = i.enabled; });
    }
    HRESULT put_ItemEnabled(LONG index, bool newVal) override {
        return Read(index, [&](Item& i) { i.enabled = newVal; });
    }
    HRESULT get_SubMenu(LONG index, IMenu** pVal) override {
        CComPtr<CFakeMenu> sub;
        HRESULT hr = Read(index, [&](Item& i) { sub = i.sub; });
        if (FAILED(hr))
            return hr;
        if (!sub)
            return E_INVALIDARG;
        *pVal = sub.Detach();
        return S_OK;
    }
    HRESULT get_SubMenuDispatch(LONG index, IDispatch** pVal) {
        CComPtr<IMenu> sub;
        HRESULT hr = get_SubMenu(index, sub.Receive());
        if (SUCCEEDED(hr))
            *pVal = Handout(sub.Get());
        return hr;
    }
    HRESULT AddSeparator() override {
        std::lock_guard lock(m_mutex);
        Item item;
        item.separator = true;
        m_items.push_back(std::move(item));
        return S_OK;
    }
    HRESULT get_ItemText(LONG index, BSTR* pVal) override {
        return Read(index, [&](Item& i) { *pVal = BSTR(i.text); });
    }
    HRESULT put_ItemText(LONG index, BSTR newVal) override {
        return Read(index, [&](Item& i) { i.text = newVal.Str(); });
    }
    HRESULT get_ItemUrl(LONG index, BSTR* pVal) override {
        return Read(index, [&](Item& i) { *pVal = BSTR(i.url); });
    }
    HRESULT put_ItemUrl(LONG index, BSTR newVal) override {
        return Read(index, [&](Item& i) { i.url = newVal.Str(); });
    }
    HRESULT get_ItemExtras(LONG index, BSTR* pVal) override {
        return Read(index, [&](Item& i) { *pVal = BSTR(i.extras); });
    }
    HRESULT put_ItemExtras(LONG index, BSTR newVal) override {
        return Read(index, [&](Item& i) { i.extras = newVal.Str(); });
    }
    HRESULT get_ItemCount(LONG* pVal) override {
        std::lock_guard lock(m_mutex);
        *pVal = static_cast<LONG>(m_items.size());
        return S_OK;
    }

    std::vector<Item> Items() {
        std::lock_guard lock(m_mutex);
        return m_items;
    }
    LONG m_default = 0;

private:
    template <class F>
    HRESULT Read(LONG index, F&& f) {
        std::lock_guard lock(m_mutex);
        if (index < 1 || index > static_cast<LONG>(m_items.size()))
            return E_INVALIDARG;
        f(m_items[index - 1]);
        return S_OK;
    }
    IDispatch* Handout(IMenu* menu) {
        if (!m_remote) {
            menu->AddRef();
            return menu;
        }
        return MakeObject<CDispatchOnly>(CComPtr<IDispatch>(menu)).Detach();
    }

    const bool m_remote;
    std::mutex m_mutex;
    std::vector<Item> m_items;
};

struct Balloon {
    std::u16string title, message, url;
    CComVariant extras;
};

// The user's tray program: keeps what it was told and hands out its menu.
class CRecordingTray : public CComObjectRoot<CRecordingTray, IPellora> {
public:
    HRESULT BubbleHelp(BSTR title, BSTR message, BSTR url, const VARIANT& extras) override {
        std::lock_guard lock(m_mutex);
        m_balloons.push_back({title.Str(), message.Str(), url.Str(), CComVariant(extras)});
        return S_OK;
    }
    HRESULT SetPrivatePort(USHORT) override { return S_OK; }
    HRESULT SetTip(BSTR text) override {
        std::lock_guard lock(m_mutex);
        m_tip = text;
        return S_OK;
    }
    HRESULT GetTip(BSTR* text) override {
        std::lock_guard lock(m_mutex);
        *text = m_tip;
        return S_OK;
    }
    HRESULT SetIcon(BSTR icon) override {
        std::lock_guard lock(m_mutex);
        if (FAILED(m_setIconAnswer))
            return m_setIconAnswer;
        m_icon = icon;
        return S_OK;
    }
    HRESULT GetIcon(BSTR* icon) override {
        std::lock_guard lock(m_mutex);
        *icon = m_icon;
        return S_OK;
    }
    HRESULT GetMenu(IMenu** menu) override {
        std::lock_guard lock(m_mutex);
        *menu = nullptr;
        if (FAILED(m_getMenuAnswer))
            return m_getMenuAnswer;
        if (m_menu) {
            m_menu->AddRef();
            *menu = m_menu.Get();
        }
        return S_OK;
    }
    HRESULT TestAlive() override { return S_OK; }
    HRESULT DestroyTrayIcon() override { return S_OK; }
    HRESULT GetPrivatePort(USHORT* port) override {
        *port = 0;
        return S_OK;
    }

    std::vector<Balloon> Balloons() {
        std::lock_guard lock(m_mutex);
        return m_balloons;
    }
    BSTR Tip() {
        std::lock_guard lock(m_mutex);
        return m_tip;
    }

    std::mutex m_mutex;
    BSTR m_tip, m_icon;
    CComPtr<IMenu> m_menu;
    HRESULT m_setIconAnswer = S_OK;
    HRESULT m_getMenuAnswer = S_OK;
    std::vector<Balloon> m_balloons;
};

class TrayIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterEngines();
        ASSERT_EQ(S_OK, CUserSession::Create(nullptr, 1000, getpid(), &m_user));
    }
    void TearDown() override {
        if (m_user)
            m_user->Stop();
    }

    // A process session of the user; with a tray, the tray is bound to the user first.
    CComPtr<CProcessSession> Attach(LONG pid, IPellora* tray = nullptr) {
        CSessionEvents events;
        GUID key;
        CComPtr<CProcessSession> session;
        EXPECT_EQ(S_OK, m_user->SetTray(tray, &events));
        EXPECT_EQ(S_OK, m_user->GetProcessSession(pid, BSTR(u"/usr/bin/browser"), &key, &session,
                                                  &events));
        return session;
    }

    // Runs VBScript code as a page with `session` as "User"; script errors fail the test.
    HRESULT Run(CProcessSession* session, std::u16string_view code) {
        CTestHandler handler;
        auto engine = MakeObject<CScriptEngine>();
        EXPECT_EQ(S_OK, engine->Init(&handler));
        CPageBuilder page;
        page.Code(u"VBScript", code);
        CComPtr<CTestPage> compiled;
        HRESULT hr = page.CompileInto(engine.Get(), &compiled);
        CComPtr<IScriptInstance> run;
        if (SUCCEEDED(hr))
            hr = engine->Instantiate(run.Receive());
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(S_OK, run->AddNamedObject(BSTR(u"User"), static_cast<IUserObject*>(session)));
            hr = run->Run();
            EXPECT_EQ(S_OK, run->Close());
        }
        EXPECT_EQ(S_OK, engine->Close());
        for (const RecordedError& e : handler.Errors())
            ADD_FAILURE() << Utf16ToUtf8(e.description) << " at line " << e.line + 1;
        return hr;
    }

    CComVariant Value(const char16_t* name) {
        CComVariant v;
        EXPECT_EQ(S_OK, m_user->GetValue(BSTR(name), &v));
        return v;
    }
    std::u16string Text(const char16_t* name) {
        CComVariant v = Value(name);
        EXPECT_EQ(S_OK, v.ChangeType(VT_BSTR));
        return v.Bstr().Str();
    }

    std::shared_ptr<CUserSession> m_user;
};

TEST_F(TrayIconTest, ScriptsSetTipIconAndBalloonsOfTheUsersTray) {
    auto tray = MakeObject<CRecordingTray>();
    CComPtr<CProcessSession> a = Attach(getpid(), tray.Get());
    CComPtr<CProcessSession> b = Attach(getppid());
    ASSERT_EQ(S_OK, Run(a.Get(),
                        u"User.TrayIcon.Tip = \"Filtering on\"\n"
                        u"User(\"tipA\") = User.TrayIcon.Tip\n"
                        u"Set t = User.TrayIcon\n"
                        u"t.Icon = \"images/taskbar.off.ico\"\n"
                        u"User(\"icon\") = t.Icon\n"
                        u"t.BubbleHelp \"Blocked\", \"A page was blocked\", \"blocked.asp\"\n"
                        u"t.BubbleHelp \"Note\", \"Text\", \"\", 42\n"));
    EXPECT_EQ(tray->Tip(), BSTR(u"Filtering on"));
    EXPECT_EQ(Text(u"tipA"), u"Filtering on");
    EXPECT_EQ(Text(u"icon"), u"images/taskbar.off.ico");

    auto balloons = tray->Balloons();
    ASSERT_EQ(balloons.size(), 2u);
    EXPECT_EQ(balloons[0].title, u"Blocked");
    EXPECT_EQ(balloons[0].message, u"A page was blocked");
    EXPECT_EQ(balloons[0].url, u"blocked.asp");
    // Extras left out reach the tray as missing, not as an empty value.
    EXPECT_EQ(balloons[0].extras.vt, VT_ERROR);
    EXPECT_EQ(balloons[0].extras.scode, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(balloons[1].url, u"");
    EXPECT_EQ(balloons[1].extras.ChangeType(VT_I4), S_OK);
    EXPECT_EQ(balloons[1].extras.lVal, 42);

    // Another process of the same user drives the same icon.
    ASSERT_EQ(S_OK, Run(b.Get(),
                        u"User(\"tipB\") = User.TrayIcon.Tip\n"
                        u"User.TrayIcon.Tip = \"Set by B\"\n"));
    EXPECT_EQ(Text(u"tipB"), u"Filtering on");
    BSTR tip;
    CComPtr<IDispatch> trayIconA;
    ASSERT_EQ(S_OK, a->get_TrayIcon(trayIconA.Receive()));
    ASSERT_EQ(S_OK, ComQuery<ITrayIcon>(trayIconA.Get())->get_Tip(&tip));
    EXPECT_EQ(tip, BSTR(u"Set by B"));
}

TEST_F(TrayIconTest, EachProcessSessionKeepsOneTrayIconObject) {
    CComPtr<CProcessSession> a = Attach(getpid());
    CComPtr<CProcessSession> b = Attach(getppid());
    CComPtr<IDispatch> first, again, other;
    ASSERT_EQ(S_OK, a->get_TrayIcon(first.Receive()));
    ASSERT_EQ(S_OK, a->get_TrayIcon(again.Receive()));
    ASSERT_EQ(S_OK, b->get_TrayIcon(other.Receive()));
    EXPECT_TRUE(first);
    EXPECT_EQ(first.Get(), again.Get());
    EXPECT_NE(first.Get(), other.Get());
    EXPECT_TRUE(ComQuery<ITrayIcon>(first.Get()));
    EXPECT_EQ(E_POINTER, a->get_TrayIcon(nullptr));
}

// The menu as the tray hands it out: its own object in process, or over the RPC an object
// that answers IDispatch only, which the program reaches through CMenuProxy.
class TrayMenuTest : public TrayIconTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TrayMenuTest, ScriptsBuildTheTraysMenu) {
    const bool remote = GetParam();
    auto menu = MakeObject<CFakeMenu>(remote);
    auto tray = MakeObject<CRecordingTray>();
    if (remote) {
        auto arrived = MakeObject<CDispatchOnly>(CComPtr<IDispatch>(menu.Get()));
        tray->m_menu = CMenuProxy::FromUnknown(arrived.Get());
    } else {
        tray->m_menu = menu.Get();
    }
    ASSERT_TRUE(tray->m_menu);
    CComPtr<CProcessSession> a = Attach(getpid(), tray.Get());
    ASSERT_EQ(S_OK, Run(a.Get(),
                        u"Set m = User.TrayIcon.Menu\n"
                        u"m.AddItem \"Settings\", True, \"settings.asp\"\n"
                        u"m.AddSeparator\n"
                        u"Set s = m.AddSubMenu(\"More\")\n"
                        u"s.AddItem \"About\", False, \"dialog:about.asp\", \"w:20em\"\n"
                        u"m.DefaultItem = 1\n"
                        u"m.ItemChecked(1) = True\n"
                        u"User(\"count\") = m.ItemCount\n"
                        u"User(\"checked\") = m.ItemChecked(1)\n"
                        u"User(\"sub\") = m.SubMenu(3).ItemUrl(1)\n"
                        u"On Error Resume Next\n"
                        u"x = m.ItemText(9)\n"
                        u"User(\"bad\") = Err.Number\n"));
    auto items = menu->Items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].text, u"Settings");
    EXPECT_EQ(items[0].url, u"settings.asp");
    EXPECT_TRUE(items[0].enabled);
    EXPECT_TRUE(items[0].checked);
    EXPECT_TRUE(items[1].separator);
    EXPECT_EQ(items[2].text, u"More");
    ASSERT_TRUE(items[2].sub);
    auto subItems = items[2].sub->Items();
    ASSERT_EQ(subItems.size(), 1u);
    EXPECT_EQ(subItems[0].text, u"About");
    EXPECT_FALSE(subItems[0].enabled);
    EXPECT_EQ(subItems[0].extras, u"w:20em");
    EXPECT_EQ(menu->m_default, 1);
    EXPECT_EQ(Value(u"count").lVal, 3);
    EXPECT_EQ(Value(u"checked").vt, VT_BOOL);
    EXPECT_EQ(Value(u"checked").boolVal, VARIANT_TRUE);
    EXPECT_EQ(Text(u"sub"), u"dialog:about.asp");
    EXPECT_EQ(Value(u"bad").lVal, 5);  // the menu's E_INVALIDARG, as VBScript numbers it
}

INSTANTIATE_TEST_SUITE_P(InProcessAndRemote, TrayMenuTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Remote" : "InProcess"; });

// The program's own use of a menu that came over the RPC: every IMenu member by its
// dispatch id, sub-menus wrapped again.
TEST(MenuProxy, CallsTheMenuByDispatchId) {
    auto menu = MakeObject<CFakeMenu>(true);
    auto arrived = MakeObject<CDispatchOnly>(CComPtr<IDispatch>(menu.Get()));
    CComPtr<IMenu> proxy = CMenuProxy::FromUnknown(arrived.Get());
    ASSERT_TRUE(proxy);
    EXPECT_EQ(CMenuProxy::FromUnknown(static_cast<IMenu*>(menu.Get())).Get(),
              static_cast<IMenu*>(menu.Get()));
    EXPECT_FALSE(CMenuProxy::FromUnknown(nullptr));

    ASSERT_EQ(S_OK, proxy->AddItem(BSTR(u"Home"), true, BSTR(u"home.asp"), nullptr));
    CComVariant extras(LONG(7));
    ASSERT_EQ(S_OK, proxy->AddItem(BSTR(u"Off"), false, BSTR(u"off.asp"), &extras));
    ASSERT_EQ(S_OK, proxy->AddSeparator());
    CComPtr<IMenu> sub;
    ASSERT_EQ(S_OK, proxy->AddSubMenu(BSTR(u"More"), sub.Receive()));
    ASSERT_TRUE(sub);
    ASSERT_EQ(S_OK, sub->AddItem(BSTR(u"Inner"), true, BSTR(u"inner.asp"), nullptr));

    ASSERT_EQ(S_OK, proxy->put_ItemChecked(2, true));
    ASSERT_EQ(S_OK, proxy->put_ItemEnabled(2, true));
    ASSERT_EQ(S_OK, proxy->put_ItemText(1, BSTR(u"Start")));
    ASSERT_EQ(S_OK, proxy->put_ItemUrl(1, BSTR(u"start.asp")));
    ASSERT_EQ(S_OK, proxy->put_ItemExtras(1, BSTR(u"x")));
    ASSERT_EQ(S_OK, proxy->put_DefaultItem(2));

    LONG count = 0, item = 0;
    ASSERT_EQ(S_OK, proxy->get_ItemCount(&count));
    EXPECT_EQ(count, 4);
    ASSERT_EQ(S_OK, proxy->get_DefaultItem(&item));
    EXPECT_EQ(item, 2);
    bool checked = false, enabled = false;
    ASSERT_EQ(S_OK, proxy->get_ItemChecked(2, &checked));
    ASSERT_EQ(S_OK, proxy->get_ItemEnabled(2, &enabled));
    EXPECT_TRUE(checked);
    EXPECT_TRUE(enabled);
    BSTR text, url, extrasText;
    ASSERT_EQ(S_OK, proxy->get_ItemText(1, &text));
    ASSERT_EQ(S_OK, proxy->get_ItemUrl(1, &url));
    ASSERT_EQ(S_OK, proxy->get_ItemExtras(2, &extrasText));
    EXPECT_EQ(text, BSTR(u"Start"));
    EXPECT_EQ(url, BSTR(u"start.asp"));
    EXPECT_EQ(extrasText, BSTR(u"7"));
    CComPtr<IMenu> again;
    ASSERT_EQ(S_OK, proxy->get_SubMenu(4, again.Receive()));
    ASSERT_EQ(S_OK, again->get_ItemText(1, &text));
    EXPECT_EQ(text, BSTR(u"Inner"));

    // The menu's own failures come back unchanged.
    EXPECT_EQ(E_INVALIDARG, proxy->get_ItemText(9, &text));
    EXPECT_EQ(E_INVALIDARG, proxy->get_SubMenu(1, again.Receive()));
    EXPECT_EQ(E_POINTER, proxy->get_ItemCount(nullptr));
}

TEST_F(TrayIconTest, WithoutATrayEveryMemberFailsAndNothingIsKept) {
    CComPtr<CProcessSession> a = Attach(getpid());
    CComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, a->get_TrayIcon(dispatch.Receive()));
    CComPtr<ITrayIcon> trayIcon = ComQuery<ITrayIcon>(dispatch.Get());
    ASSERT_TRUE(trayIcon);

    BSTR text;
    CComPtr<IMenu> menu;
    EXPECT_EQ(E_UNEXPECTED, trayIcon->put_Tip(BSTR(u"x")));
    EXPECT_EQ(E_UNEXPECTED, trayIcon->get_Tip(&text));
    EXPECT_EQ(E_UNEXPECTED, trayIcon->put_Icon(BSTR(u"y")));
    EXPECT_EQ(E_UNEXPECTED, trayIcon->get_Icon(&text));
    EXPECT_EQ(E_UNEXPECTED, trayIcon->BubbleHelp(BSTR(u"t"), BSTR(u"m"), BSTR(u"u"), nullptr));
    EXPECT_EQ(E_UNEXPECTED, trayIcon->get_Menu(menu.Receive()));
    EXPECT_FALSE(menu);
    EXPECT_EQ(E_POINTER, trayIcon->get_Tip(nullptr));

    ASSERT_EQ(S_OK, Run(a.Get(),
                        u"On Error Resume Next\n"
                        u"User.TrayIcon.Tip = \"x\"\n"
                        u"User(\"tip\") = Err.Number : Err.Clear\n"
                        u"Set m = User.TrayIcon.Menu\n"
                        u"User(\"menu\") = Err.Number : Err.Clear\n"
                        u"User.TrayIcon.BubbleHelp \"t\", \"m\", \"u\"\n"
                        u"User(\"bubble\") = Err.Number\n"));
    EXPECT_EQ(Value(u"tip").lVal, kUnexpected);
    EXPECT_EQ(Value(u"menu").lVal, kUnexpected);
    EXPECT_EQ(Value(u"bubble").lVal, kUnexpected);

    // A tray that attaches later answers through the same object, and the tip that failed
    // before was kept nowhere.
    auto tray = MakeObject<CRecordingTray>();
    CComPtr<CProcessSession> b = Attach(getppid(), tray.Get());
    ASSERT_EQ(S_OK, trayIcon->get_Tip(&text));
    EXPECT_TRUE(text.View().empty());
    ASSERT_EQ(S_OK, trayIcon->put_Tip(BSTR(u"now")));
    EXPECT_EQ(tray->Tip(), BSTR(u"now"));

    // A tray that gives no menu gives scripts Nothing; a tray's failure reaches the script.
    tray->m_setIconAnswer = E_FAIL;
    ASSERT_EQ(S_OK, Run(a.Get(),
                        u"User(\"nothing\") = User.TrayIcon.Menu Is Nothing\n"
                        u"On Error Resume Next\n"
                        u"User.TrayIcon.Icon = \"on.ico\"\n"
                        u"User(\"icon\") = Err.Number\n"));
    EXPECT_EQ(Value(u"nothing").boolVal, VARIANT_TRUE);
    EXPECT_EQ(Value(u"icon").lVal, static_cast<LONG>(E_FAIL));

    // A tray that has lost its menu is stuck: the running tray programs are closed and
    // the script goes on without a menu; when none are found the failure stands.
    tray->m_getMenuAnswer = E_UNEXPECTED;
    int closed = 0;
    bool found = true;
    CUserSession::SetStuckTrayHandler([&] {
        ++closed;
        return found;
    });
    EXPECT_EQ(S_OK, trayIcon->get_Menu(menu.Receive()));
    EXPECT_FALSE(menu);
    found = false;
    EXPECT_EQ(E_UNEXPECTED, trayIcon->get_Menu(menu.Receive()));
    EXPECT_EQ(2, closed);
    CUserSession::SetStuckTrayHandler(nullptr);
}

TEST_F(TrayIconTest, AnObjectThatOutlivesItsUserSessionFailsSafely) {
    auto tray = MakeObject<CRecordingTray>();
    CComPtr<IDispatch> dispatch;
    {
        CComPtr<CProcessSession> a = Attach(getpid(), tray.Get());
        ASSERT_EQ(S_OK, a->get_TrayIcon(dispatch.Receive()));
    }
    CComPtr<ITrayIcon> trayIcon = ComQuery<ITrayIcon>(dispatch.Get());
    ASSERT_TRUE(trayIcon);
    ASSERT_EQ(S_OK, trayIcon->put_Tip(BSTR(u"before")));
    m_user->Stop();
    m_user.reset();  // the last reference to the user session
    EXPECT_EQ(E_UNEXPECTED, trayIcon->put_Tip(BSTR(u"after")));
    CComPtr<IMenu> menu;
    EXPECT_EQ(E_UNEXPECTED, trayIcon->get_Menu(menu.Receive()));
    EXPECT_EQ(tray->Tip(), BSTR(u"before"));
}

}  // namespace
