// The shipped policy: sites/corvane/Common/global.asa compiled as the service compiles it,
// its entry points called directly with stand-ins for the service's objects (the user's
// session, the Filter object, the connection) over a registry store in a temporary file
// and a category server on a loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "com/Strings.h"
#include "idl/Identifiers.h"
#include "objects/ApplicationObject.h"
#include "objects/CategoryProtocol.h"
#include "objects/LoopbackTestServer.h"
#include "objects/ServerObject.h"
#include "pages/entities/ASAEntity.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "passthru/ConnectionObject.h"
#include "registry/RegistryStore.h"
#include "script/engine/ActiveScript.h"

namespace fs = std::filesystem;

namespace {

using namespace entity_test;

const fs::path kSiteCommon = fs::path(CORVANE_SOURCE_DIR) / "sites" / "corvane" / "Common";
constexpr char16_t kLocalURL[] = u"http://localhost:40123";

// The tray icon's menu: records its items ("-" for a separator) and the default one.
class CFakeMenu : public CComObjectRoot<CFakeMenu, IDispatchImpl<CFakeMenu>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IMenu",
                                          {DispMethod<&CFakeMenu::AddItem>(u"AddItem", 1),
                                           DispMethod<&CFakeMenu::AddSeparator>(u"AddSeparator", 2),
                                           DispPut<&CFakeMenu::put_DefaultItem>(u"DefaultItem", 3),
                                           DispGet<&CFakeMenu::get_ItemCount>(u"ItemCount", 4)});
        return table;
    }
    HRESULT AddItem(BSTR strText, bool, BSTR strURL) {
        m_items.push_back(strText.Str() + u" -> " + strURL.Str());
        return S_OK;
    }
    HRESULT AddSeparator() {
        m_items.push_back(u"-");
        return S_OK;
    }
    HRESULT put_DefaultItem(LONG nItem) {
        m_nDefault = nItem;
        return S_OK;
    }
    HRESULT get_ItemCount(LONG* pnCount) {
        *pnCount = static_cast<LONG>(m_items.size());
        return S_OK;
    }
    std::vector<std::u16string> m_items;
    LONG m_nDefault = 0;
};

// The tray program as the user's session reaches it: records the tip, icon, menu and
// balloons, or fails like a session without a tray program.
class CFakeTray : public CComObjectRoot<CFakeTray, IDispatchImpl<CFakeTray>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"ITrayIcon",
            {DispPut<&CFakeTray::put_Tip>(u"Tip", 0),
             DispMethod<&CFakeTray::BubbleHelp>(u"BubbleHelp", 1),
             DispPut<&CFakeTray::put_Icon>(u"Icon", 2), DispGet<&CFakeTray::get_Menu>(u"Menu", 3)});
        return table;
    }
    HRESULT put_Tip(BSTR strTip) {
        m_strTip = strTip.Str();
        return S_OK;
    }
    HRESULT put_Icon(BSTR strIcon) {
        m_strIcon = strIcon.Str();
        return S_OK;
    }
    HRESULT get_Menu(IDispatch** ppMenu) {
        *ppMenu = CComPtr<IDispatch>(m_ptrMenu.Get()).Detach();
        return S_OK;
    }
    HRESULT BubbleHelp(BSTR strTitle, BSTR strMessage, BSTR strURL, const VARIANT*) {
        m_balloons.push_back(strTitle.Str() + u": " + strMessage.Str() + u" -> " + strURL.Str());
        return S_OK;
    }
    std::u16string m_strTip;
    std::u16string m_strIcon;
    CComPtr<CFakeMenu> m_ptrMenu = MakeObject<CFakeMenu>();
    std::vector<std::u16string> m_balloons;
};

// The script object User: the session's name, language, local pages, timer and tray.
class CFakeUser : public CComObjectRoot<CFakeUser, IDispatchImpl<CFakeUser>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"IUserObject", {
                                DispGet<&CFakeUser::get_Name>(u"Name", 7),
                                DispGet<&CFakeUser::get_LCID>(u"LCID", 3),
                                DispGet<&CFakeUser::get_LocalURL>(u"LocalURL", 12),
                                DispGet<&CFakeUser::get_Timeout>(u"Timeout", 4),
                                DispPut<&CFakeUser::put_Timeout>(u"Timeout", 4),
                                DispGet<&CFakeUser::get_TrayIcon>(u"TrayIcon", 9),
                                DispMethod<&CFakeUser::SetTimer>(u"SetTimer", 10),
                                DispMethod<&CFakeUser::CancelTimer>(u"CancelTimer", 11),
                            });
        return table;
    }
    HRESULT get_Name(BSTR* pVal) {
        *pVal = BSTR(m_strName);
        return S_OK;
    }
    HRESULT get_LCID(LONG* pVal) {
        *pVal = m_lcid;
        return S_OK;
    }
    HRESULT get_LocalURL(BSTR* pVal) {
        *pVal = BSTR(kLocalURL);
        return S_OK;
    }
    HRESULT get_Timeout(LONG* pVal) {
        *pVal = m_nTimeout;
        return S_OK;
    }
    HRESULT put_Timeout(LONG nMinutes) {
        m_nTimeout = nMinutes;
        return S_OK;
    }
    HRESULT get_TrayIcon(IDispatch** ppTray) {
        if (!m_ptrTray)
            return E_UNEXPECTED;  // no tray program attached
        *ppTray = CComPtr<IDispatch>(m_ptrTray.Get()).Detach();
        return S_OK;
    }
    HRESULT SetTimer(LONG nMinutes, BSTR strFunction) {
        m_strTimer = std::to_string(nMinutes) + " " + Utf16ToUtf8(strFunction.Str());
        return S_OK;
    }
    HRESULT CancelTimer() {
        m_strTimer = "cancelled";
        return S_OK;
    }

    std::u16string m_strName = u"alice";
    LONG m_lcid = 0x409;
    LONG m_nTimeout = 0;
    std::string m_strTimer;
    CComPtr<CFakeTray> m_ptrTray;
};

// The script object Filter: records the verdict and halts the script, as the real one does.
class CFakeFilter : public CComObjectRoot<CFakeFilter, IDispatchImpl<CFakeFilter>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"IFilterObject", {DispMethod<&CFakeFilter::Continue>(u"Continue", 1),
                               DispMethod<&CFakeFilter::Abort>(u"Abort", 2),
                               DispMethod<&CFakeFilter::HTTPTransfer>(u"HTTPTransfer", 3)});
        return table;
    }
    HRESULT Continue() { return Decide("Continue"); }
    HRESULT Abort() { return Decide("Abort"); }
    HRESULT HTTPTransfer(BSTR strLocalURL) {
        return Decide("HTTPTransfer " + Utf16ToUtf8(strLocalURL.Str()));
    }

    IScriptInstance* m_pInstance = nullptr;  // not counted: the instance outlives the call
    std::vector<std::string> m_calls;

private:
    HRESULT Decide(std::string strCall) {
        HRESULT hr = m_pInstance->Halt();
        if (FAILED(hr))
            return hr;
        m_calls.push_back(std::move(strCall));
        return S_OK;
    }
};

// A category server that puts every URL in the same categories.
class CCategoryServer {
public:
    explicit CCategoryServer(std::vector<uint32_t> categories)
        : m_server([categories](int fd) {
              std::string header(CCategoryProtocol::kRequestHeaderSize, '\0');
              if (!CLoopbackTestServer::ReadExact(fd, header.data(), header.size()))
                  return;
              const std::size_t length =
                  (static_cast<BYTE>(header[16]) << 8) | static_cast<BYTE>(header[17]);
              std::string url(length, '\0');
              if (!CLoopbackTestServer::ReadExact(fd, url.data(), url.size()))
                  return;
              std::string reply("CSRP\0\0\0\0", 8);
              const uint32_t id = htonl(1);
              reply.append(reinterpret_cast<const char*>(&id), 4);
              const uint16_t status = 0, count = htons(static_cast<uint16_t>(categories.size()));
              reply.append(reinterpret_cast<const char*>(&status), 2);
              reply.append(reinterpret_cast<const char*>(&count), 2);
              for (uint32_t c : categories) {
                  const uint32_t n = htonl(c);
                  reply.append(reinterpret_cast<const char*>(&n), 4);
              }
              CLoopbackTestServer::WriteAll(fd, reply);
          }) {}
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_server.Port()); }

private:
    CLoopbackTestServer m_server;
};

std::u16string ReadSiteFile(const std::u16string& name) {
    std::ifstream in(kSiteCommon / Utf16ToUtf8(name), std::ios::binary);
    if (!in)
        return {};
    std::stringstream s;
    s << in.rdbuf();
    return Utf8ToUtf16(s.str());
}

std::u16string AsText(const VARIANT& var) {
    CComVariant text;
    if (FAILED(VariantChangeType(&text, &var, 0, VT_BSTR)))
        return u"<not text>";
    return std::u16string(BSTR::ViewOf(text.bstrVal));
}

class PolicySiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterClasses(); }

    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("cv-policy-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        m_store = std::make_unique<CRegistryStore>((m_dir / "registry.reg").string());
        CASPEntity::SetServerObjectFactory([this](IDispatch** ppServer) {
            CComPtr<CServerObject> ptrServer = MakeObject<CServerObject>(m_store.get(), m_dir);
            *ppServer = CComPtr<IDispatch>(ptrServer.Get()).Detach();
            return S_OK;
        });
        m_ptrApp = MakeObject<CApplicationObject>();
        m_ptrUser = MakeObject<CFakeUser>();
        ASSERT_EQ(S_OK, Compile(u"global.asa", ReadSiteFile(u"global.asa"), &m_ptrGlobal));
    }
    void TearDown() override {
        CASPEntity::SetServerObjectFactory(nullptr);
        if (m_ptrGlobal)
            m_ptrGlobal->Close();
        m_store.reset();
        fs::remove_all(m_dir);
    }

    // Compiles an application file whose includes come from the site's Common folder.
    HRESULT Compile(std::u16string_view name, std::u16string_view text,
                    CComPtr<CASAEntity>* pEntity) {
        CComPtr<ITextPage> page = MakeTextPage(name, text, u"text/asa", 0x409, CLSID_ASAEntity);
        if (!page)
            return E_FAIL;
        *pEntity = MakeObject<CASAEntity>();
        (*pEntity)->SetPageLoader([](LCID, std::u16string_view strName, IPage** ppPage) {
            const std::u16string text = ReadSiteFile(std::u16string(strName));
            if (text.empty())
                return STG_E_FILENOTFOUND;
            CComPtr<ITextPage> included = MakeTextPage(strName, text, u"text/asa");
            return included->QueryInterface(IIDOf<IPage>(), reinterpret_cast<void**>(ppPage));
        });
        return (*pEntity)->Init(0x409, m_ptrApp.Get(), page.Get());
    }

    void Set(const char* name, std::string_view value) {
        ASSERT_EQ(S_OK, m_store->SetString(kCorvaneKey, std::string("Policy.") + name, value));
    }

    // Runs a procedure of a fresh instance of `entity` with named objects added the way
    // the service adds them; its status, result in *pResult.
    HRESULT Call(CASAEntity* entity, std::u16string_view procedure, std::vector<CComVariant> args,
                 CComVariant* pResult, CFakeFilter* pFilter = nullptr,
                 CConnectionObject* pConnection = nullptr) {
        CComPtr<IScriptInstance> si;
        HRESULT hr = entity->Instantiate(si.Receive());
        if (FAILED(hr))
            return hr;
        hr = si->AddNamedObject(BSTR(u"User"), m_ptrUser.Get());
        if (SUCCEEDED(hr) && pFilter) {
            pFilter->m_pInstance = si.Get();
            hr = si->AddNamedObject(BSTR(u"Filter"), pFilter);
        }
        if (SUCCEEDED(hr) && pConnection)
            hr = si->AddNamedObject(BSTR(u"Connection"), pConnection);
        if (SUCCEEDED(hr))
            hr = si->Run();
        if (SUCCEEDED(hr)) {
            std::reverse(args.begin(), args.end());
            DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
            CComVariant result;
            hr = si->Invoke(BSTR(procedure), GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result,
                            nullptr, nullptr);
            if (pResult)
                *pResult = result;
        }
        si->Close();
        return hr;
    }

    // What Filtering_IsHTTPAllowed decided for a URL: the one call made on Filter.
    std::string HTTPVerdict(const std::u16string& url) {
        CComPtr<CFakeFilter> filter = MakeObject<CFakeFilter>();
        CComPtr<CTestRequest> request = MakeObject<CTestRequest>();
        HRESULT hr = Call(m_ptrGlobal.Get(), u"Filtering_IsHTTPAllowed",
                          {CComVariant(static_cast<IDispatch*>(request.Get())),
                           CComVariant(std::u16string_view(url))},
                          nullptr, filter.Get(), m_ptrConnection.Get());
        if (FAILED(hr) && hr != SCRIPT_E_REPORTED)
            return "failed " + std::to_string(hr);
        if (filter->m_calls.size() != 1)
            return std::to_string(filter->m_calls.size()) + " calls";
        return filter->m_calls[0];
    }

    // Filtering_IsProtocolAllowed's answer: "True", "False", or what else it gave.
    std::string ProtocolVerdict(LONG protocol, const char16_t* host, const char* serverName) {
        m_ptrConnection =
            CConnectionObject::Create(static_cast<NetworkProtocol>(protocol), Utf16ToUtf8(host),
                                      serverName, BSTR(u"browser"));
        CComVariant result;
        HRESULT hr = Call(m_ptrGlobal.Get(), u"Filtering_IsProtocolAllowed",
                          {CComVariant(protocol), CComVariant(host)}, &result, nullptr,
                          m_ptrConnection.Get());
        m_ptrConnection = nullptr;
        if (FAILED(hr))
            return "failed " + std::to_string(hr);
        if (result.vt != VT_BOOL)
            return "not a Boolean";
        return result.boolVal == VARIANT_TRUE ? "True" : "False";
    }

    std::u16string AppValue(std::u16string_view name) {
        CComVariant value;
        EXPECT_EQ(S_OK, m_ptrApp->get_Value(BSTR(name), &value));
        return AsText(value);
    }

    fs::path m_dir;
    std::unique_ptr<CRegistryStore> m_store;
    CComPtr<CApplicationObject> m_ptrApp;
    CComPtr<CFakeUser> m_ptrUser;
    CComPtr<CASAEntity> m_ptrGlobal;
    CComPtr<CConnectionObject> m_ptrConnection;
};

const std::string kContinue = "Continue";

TEST_F(PolicySiteTest, AFreshInstallIsOpenForEveryone) {
    for (const char16_t* url : {u"http://blocked.example/", u"http://192.0.2.1:8080/x?y=1"})
        EXPECT_EQ(HTTPVerdict(url), kContinue) << Utf16ToUtf8(url);
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.1:443", "blocked.example"), "True");
    EXPECT_EQ(ProtocolVerdict(0, u"192.0.2.1:25", ""), "True");
}

TEST_F(PolicySiteTest, BlockedHostsAndTheirSubdomainsGoToTheBlockPage) {
    Set("Mode.alice", "filtered");
    Set("Blocked.alice", "example.com games.test");
    const struct {
        const char16_t* url;
        std::string verdict;
    } cases[] = {
        {u"http://example.com/",
         "HTTPTransfer block.asp?reason=host&detail=example.com"
         "&host=example.com&url=http://example.com/"},
        {u"http://www.Example.COM:8080/a%20b?q=1&r=2",
         "HTTPTransfer block.asp?reason=host&detail=example.com&host=www.example.com"
         "&url=http://www.Example.COM:8080/a%2520b%3fq%3d1%26r%3d2"},
        {u"http://play.games.test./",
         "HTTPTransfer block.asp?reason=host&detail=games.test"
         "&host=play.games.test&url=http://play.games.test./"},
        {u"http://notexample.com/", kContinue},
        {u"http://example.com.evil.test/", kContinue},
        {u"http://other.test/", kContinue},
        // The service's own pages, and only those, whatever is blocked.
        {u"http://localhost:40123/settings.asp", kContinue},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HTTPVerdict(c.url), c.verdict) << Utf16ToUtf8(c.url);

    // Another user without settings of their own is open.
    m_ptrUser->m_strName = u"bob";
    EXPECT_EQ(HTTPVerdict(u"http://example.com/"), kContinue);
}

TEST_F(PolicySiteTest, ConnectionsAreJudgedByServerNameOrAddress) {
    Set("Mode.*", "filtered");  // everyone
    Set("Blocked.*", "example.com 192.0.2.66");
    const struct {
        LONG protocol;
        const char16_t* host;
        const char* serverName;
        const char* verdict;
    } cases[] = {
        {2, u"192.0.2.1:443", "www.example.com", "False"},  // TLS by its server name
        {3, u"192.0.2.1:443", "example.com", "False"},
        {2, u"192.0.2.1:443", "school.test", "True"},
        {0, u"192.0.2.66:25", "", "False"},  // no name: the address
        {2, u"192.0.2.67:443", "", "True"},
        {1, u"192.0.2.1:80", "example.com", "True"},  // HTTP: judged per request
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProtocolVerdict(c.protocol, c.host, c.serverName), c.verdict)
            << Utf16ToUtf8(c.host) << " " << c.serverName;
}

TEST_F(PolicySiteTest, AllowListModeLetsOnlyAllowedHostsThrough) {
    Set("Mode.alice", "allowlist");
    Set("Allowed.alice", "school.test");
    Set("Blocked.alice", "games.school.test");
    EXPECT_EQ(HTTPVerdict(u"http://www.school.test/lesson"), kContinue);
    EXPECT_EQ(HTTPVerdict(u"http://other.test/"),
              "HTTPTransfer block.asp?reason=allowlist&detail=&host=other.test"
              "&url=http://other.test/");
    // A blocked entry wins over an allowed parent.
    EXPECT_EQ(
        HTTPVerdict(u"http://games.school.test/").rfind("HTTPTransfer block.asp?reason=host", 0),
        0u);
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.1:443", "www.school.test"), "True");
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.1:443", "other.test"), "False");
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.1:443", ""), "False");
}

TEST_F(PolicySiteTest, OutsideTheAllowedHoursOnlyLocalPagesAreReached) {
    Set("Mode.alice", "filtered");
    Set("Hours.alice", "-|-|-|-|-|-|-");
    EXPECT_EQ(HTTPVerdict(u"http://school.test/").rfind("HTTPTransfer block.asp?reason=hours", 0),
              0u);
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.1:443", "school.test"), "False");
    EXPECT_EQ(HTTPVerdict(u"http://localhost:40123/block.asp"), kContinue);
    EXPECT_EQ(HTTPVerdict(u"http://127.0.0.1:40123/about.asp"), kContinue);
    EXPECT_EQ(ProtocolVerdict(1, u"127.0.0.1:40123", ""), "True");
    // Loopback at another port is not the service.
    EXPECT_EQ(ProtocolVerdict(2, u"127.0.0.1:8443", ""), "False");

    // The whole day allowed.
    Set("Hours.alice", "||||||");
    EXPECT_EQ(HTTPVerdict(u"http://school.test/"), kContinue);
}

TEST_F(PolicySiteTest, BlockedCategoriesAskTheCategoryServer) {
    Set("Mode.alice", "filtered");
    Set("Categories.alice", "3 7");
    {
        CCategoryServer server({12, 7});
        Set("CategoryServer", server.Address());
        EXPECT_EQ(HTTPVerdict(u"http://192.0.2.10/page"),
                  "HTTPTransfer block.asp?reason=category&detail=7&host=192.0.2.10"
                  "&url=http://192.0.2.10/page");
        EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.10:443", ""), "False");
        // Allowed hosts are not looked up.
        Set("Allowed.alice", "192.0.2.10");
        EXPECT_EQ(HTTPVerdict(u"http://192.0.2.10/page"), kContinue);
        Set("Allowed.alice", "");
    }
    {
        CCategoryServer server({12});
        Set("CategoryServer", server.Address());
        EXPECT_EQ(HTTPVerdict(u"http://192.0.2.10/page"), kContinue);
    }
    // No server answers: categories do not block.
    CClosedLoopbackPort closed;
    Set("CategoryServer", "127.0.0.1:" + std::to_string(closed.Port()));
    EXPECT_EQ(HTTPVerdict(u"http://192.0.2.10/page"), kContinue);
    EXPECT_EQ(ProtocolVerdict(2, u"192.0.2.10:443", ""), "True");
}

TEST_F(PolicySiteTest, RecentBlockedRequestsAreKeptPerUserAndBounded) {
    Set("Mode.alice", "filtered");
    Set("Blocked.alice", "example.com");
    for (int i = 0; i < 105; ++i)
        HTTPVerdict(u"http://example.com/" + Utf8ToUtf16(std::to_string(i)));
    const std::u16string list = AppValue(u"Corvane.Blocked.alice");
    EXPECT_EQ(std::count(list.begin(), list.end(), u'\n'), 99);
    // Newest first: record = time, host, reason, detail, URL.
    const std::u16string first = list.substr(0, list.find(u'\n'));
    EXPECT_NE(first.find(u"\texample.com\thost\texample.com\thttp://example.com/104"),
              std::u16string::npos)
        << Utf16ToUtf8(first);
    EXPECT_EQ(AppValue(u"Corvane.Users"), u"alice");
}

// Not part of global.asa: small wrappers around the helpers that settings.asa shares with
// the settings pages, so the parsers and the hours arithmetic can be called with values.
constexpr char16_t kHelpers[] =
    u"<!-- #include file=\"settings.asa\" -->\r\n"
    u"<script language=vbscript runat=server>\r\n"
    u"Function TryHosts(s)\r\n Dim ok : ok = True\r\n r = ParseHostList(s, ok)\r\n"
    u" If ok Then TryHosts = r Else TryHosts = \"invalid\"\r\nEnd Function\r\n"
    u"Function TryCategories(s)\r\n Dim ok : ok = True\r\n r = ParseCategoryList(s, ok)\r\n"
    u" If ok Then TryCategories = r Else TryCategories = \"invalid\"\r\nEnd Function\r\n"
    u"Function TryDay(s)\r\n Dim ok : ok = True\r\n r = ParseDayHours(s, ok)\r\n"
    u" If ok Then TryDay = r Else TryDay = \"invalid\"\r\nEnd Function\r\n"
    u"Function LeftAt(hours, y, mo, d, h, mi)\r\n"
    u" Server.RegistryKey(\"Policy.Hours.p\") = hours\r\n"
    u" LeftAt = MinutesLeft(\"p\", DateSerial(y, mo, d) + TimeSerial(h, mi, 0))\r\n"
    u"End Function\r\n"
    u"Function Password(newPassword, guess)\r\n"
    u" If newPassword <> \"\" Then SetPassword newPassword\r\n"
    u" Password = CheckPassword(guess)\r\nEnd Function\r\n"
    u"</script>\r\n";

TEST_F(PolicySiteTest, SettingsInputParsesOrIsRejected) {
    CComPtr<CASAEntity> helpers;
    ASSERT_EQ(S_OK, Compile(u"helpers.asa", kHelpers, &helpers));
    const struct {
        const char16_t* function;
        const char16_t* input;
        const char16_t* stored;
    } cases[] = {
        {u"TryHosts", u"Example.COM, https://www.school.test:8443/x\r\nexample.com  a-b.test.",
         u"example.com www.school.test a-b.test"},
        {u"TryHosts", u"", u""},
        {u"TryHosts", u"good.test bad_host!.test", u"invalid"},
        {u"TryHosts", u"\"><b>x</b>", u"invalid"},
        {u"TryCategories", u"3, 07 12 3", u"3 7 12"},
        {u"TryCategories", u"3 x", u"invalid"},
        {u"TryDay", u"7:30-12:00, 14:00-24:00", u"07:30-12:00,14:00-24:00"},
        {u"TryDay", u" - ", u"-"},
        {u"TryDay", u"", u""},
        {u"TryDay", u"12:00-07:00", u"invalid"},
        {u"TryDay", u"25:00-26:00", u"invalid"},
        {u"TryDay", u"noon", u"invalid"},
    };
    for (const auto& c : cases) {
        CComVariant result;
        ASSERT_EQ(S_OK, Call(helpers.Get(), c.function, {CComVariant(c.input)}, &result))
            << Utf16ToUtf8(c.input);
        EXPECT_EQ(AsText(result), c.stored)
            << Utf16ToUtf8(c.function) << " " << Utf16ToUtf8(c.input);
    }
}

TEST_F(PolicySiteTest, MinutesLeftOfTheAllowedTime) {
    CComPtr<CASAEntity> helpers;
    ASSERT_EQ(S_OK, Compile(u"helpers.asa", kHelpers, &helpers));
    // 2026-12-10 is a Thursday (field 4); Friday is field 5.
    const struct {
        const char16_t* hours;
        LONG hour, minute, left;
    } cases[] = {
        {u"||||08:00-20:00||", 19, 57, 3},
        {u"||||08:00-20:00||", 7, 59, 0},
        {u"||||08:00-20:00||", 20, 0, 0},
        {u"||||08:00-12:00,13:00-20:00||", 11, 30, 30},
        {u"||||||", 23, 59, -1},
        {u"||||20:00-24:00|-||", 23, 50, 10},
        {u"||||20:00-24:00|||", 23, 50, -1},             // Friday is allowed all day
        {u"||||20:00-24:00||00:00-01:00|", 23, 50, -1},  // runs on past midnight
        {u"||||-|||", 12, 0, 0},
    };
    for (const auto& c : cases) {
        CComVariant result;
        ASSERT_EQ(S_OK, Call(helpers.Get(), u"LeftAt",
                             {CComVariant(c.hours), CComVariant(LONG{2026}), CComVariant(LONG{12}),
                              CComVariant(LONG{10}), CComVariant(c.hour), CComVariant(c.minute)},
                             &result));
        EXPECT_EQ(AsText(result), Utf8ToUtf16(std::to_string(c.left)))
            << Utf16ToUtf8(c.hours) << " at " << c.hour << ":" << c.minute;
    }
}

TEST_F(PolicySiteTest, PasswordIsStoredSaltedAndChecked) {
    CComPtr<CASAEntity> helpers;
    ASSERT_EQ(S_OK, Compile(u"helpers.asa", kHelpers, &helpers));
    CComVariant result;
    ASSERT_EQ(S_OK,
              Call(helpers.Get(), u"Password", {CComVariant(u""), CComVariant(u"x")}, &result));
    EXPECT_EQ(AsText(result), u"0");  // False: no password set yet
    ASSERT_EQ(S_OK,
              Call(helpers.Get(), u"Password",
                   {CComVariant(u"s3cret pass+word"), CComVariant(u"s3cret pass+word")}, &result));
    ASSERT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(AsText(result), u"-1");  // True
    for (const char16_t* wrong : {u"", u"s3cret", u"S3CRET PASS+WORD"}) {
        ASSERT_EQ(S_OK, Call(helpers.Get(), u"Password", {CComVariant(u""), CComVariant(wrong)},
                             &result));
        EXPECT_EQ(AsText(result), u"0") << Utf16ToUtf8(wrong);
    }
    // Neither the password nor its plain digest is stored.
    std::string salt, hash;
    ASSERT_EQ(S_OK, m_store->GetString(kCorvaneKey, "Policy.PasswordSalt", &salt));
    ASSERT_EQ(S_OK, m_store->GetString(kCorvaneKey, "Policy.PasswordHash", &hash));
    EXPECT_EQ(salt.size(), 16u);
    EXPECT_EQ(hash.size(), 32u);
    std::ifstream in(m_store->Path());
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str().find("s3cret"), std::string::npos);
}

TEST_F(PolicySiteTest, UserEventsStartTheTimerThatWarnsBeforeTheEnd) {
    // Without a tray program the events run without errors.
    EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"User_OnStart", {}, nullptr));
    EXPECT_EQ(m_ptrUser->m_strTimer, "1 Policy_OnTimer");
    EXPECT_GT(m_ptrUser->m_nTimeout, 0);
    Set("Mode.alice", "filtered");
    Set("Hours.alice", "-|-|-|-|-|-|-");
    m_ptrUser->m_nTimeout = 0;
    EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"Policy_OnTimer", {}, nullptr));
    EXPECT_GT(m_ptrUser->m_nTimeout, 0);  // renewed while the user is there

    m_ptrUser->m_ptrTray = MakeObject<CFakeTray>();
    EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"Policy_OnTimer", {}, nullptr));
    EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"Policy_OnTimer", {}, nullptr));
    ASSERT_EQ(m_ptrUser->m_ptrTray->m_balloons.size(), 1u);  // said once, not every minute
    EXPECT_EQ(m_ptrUser->m_ptrTray->m_balloons[0],
              u"Browsing time is over: Websites open again at the next allowed time. -> "
              u"activity.asp");
    EXPECT_EQ(m_ptrUser->m_ptrTray->m_strTip, u"Corvane: filtered");
    EXPECT_EQ(m_ptrUser->m_ptrTray->m_strIcon, u"images/taskbar.on.ico");
    // The menu with the family's pages, made once however often the timer runs.
    const std::vector<std::u16string> menu{u"Activity -> activity.asp", u"Settings -> settings.asp",
                                           u"-", u"About Corvane -> about.asp"};
    EXPECT_EQ(m_ptrUser->m_ptrTray->m_ptrMenu->m_items, menu);
    EXPECT_EQ(m_ptrUser->m_ptrTray->m_ptrMenu->m_nDefault, 1);

    // A few minutes before the end of today's time (skipped close to midnight).
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int end = local.tm_hour * 60 + local.tm_min + 3;
    if (end + 2 < 24 * 60) {
        std::string hours;
        char range[32];
        std::snprintf(range, sizeof range, "00:00-%02d:%02d", end / 60, end % 60);
        for (int day = 0; day < 7; ++day)
            hours += (day ? "|" : "") + std::string(range);
        Set("Hours.alice", hours);
        m_ptrUser->m_lcid = 0x407;
        EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"Policy_OnTimer", {}, nullptr));
        ASSERT_EQ(m_ptrUser->m_ptrTray->m_balloons.size(), 2u);
        EXPECT_EQ(m_ptrUser->m_ptrTray->m_balloons[1].rfind(u"Die Surfzeit endet bald: Noch ", 0),
                  0u)
            << Utf16ToUtf8(m_ptrUser->m_ptrTray->m_balloons[1]);
    }

    EXPECT_EQ(S_OK, Call(m_ptrGlobal.Get(), u"User_OnEnd", {}, nullptr));
    EXPECT_EQ(m_ptrUser->m_strTimer, "cancelled");
}

}  // namespace
