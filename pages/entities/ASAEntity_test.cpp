// Application files: what compiles, what runs, the objects they declare and the errors.
#include "pages/entities/ASAEntity.h"

#include <gtest/gtest.h>

#include <atomic>

#include "com/ClassRegistry.h"
#include "com/Strings.h"
#include "objects/ApplicationObject.h"
#include "objects/ObjectInterfaces1.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"

namespace {

using namespace entity_test;

constexpr CLSID kPenClass = MakeGUID("{6A0C3E51-97D2-4C8B-A1F0-3D5E7B9C2A14}");
constexpr std::u16string_view kPenProgId = u"CorvaneTest.Pen";
constexpr CLSID kPlainClass = MakeGUID("{0E4B2D9C-5A71-4F36-8C2E-91D0B7A6F385}");

std::atomic<int> g_nPensLoaded{0};

// An object that an application file can declare: it loads "Color" and "SCOPE" from its
// property bag and shows them to scripts.
class CPen : public CComObjectRoot<CPen, IDispatchImpl<CPen>, IPersistPropertyBag> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IPen", {DispGet<&CPen::get_Color>(u"Color", 1),
                                                    DispGet<&CPen::get_Scope>(u"Scope", 2)});
        return table;
    }
    HRESULT get_Color(BSTR* pVal) {
        *pVal = BSTR(m_strColor);
        return S_OK;
    }
    HRESULT get_Scope(BSTR* pVal) {
        *pVal = BSTR(m_strScope);
        return S_OK;
    }
    HRESULT GetClassID(CLSID* pClassID) override {
        *pClassID = kPenClass;
        return S_OK;
    }
    HRESULT InitNew() override { return S_OK; }
    HRESULT Load(IPropertyBag* pBag, IErrorLog*) override {
        CComVariant varColor, varScope;
        HRESULT hr = pBag->Read(u"Color", &varColor, nullptr);
        if (FAILED(hr))
            return hr;
        hr = pBag->Read(u"SCOPE", &varScope, nullptr);
        if (FAILED(hr))
            return hr;
        m_strColor = BSTR::ViewOf(varColor.bstrVal);
        m_strScope = BSTR::ViewOf(varScope.bstrVal);
        ++g_nPensLoaded;
        return S_OK;
    }
    HRESULT Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

private:
    std::u16string m_strColor, m_strScope;
};

// A class without property-bag loading.
class CPlain : public CComObjectRoot<CPlain, IDispatchImpl<CPlain>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IPlain", {});
        return table;
    }
};

class ASAEntityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterClasses();
        CClassRegistry::Instance().RegisterClass<CPen>(kPenClass, kPenProgId);
        CClassRegistry::Instance().RegisterClass<CPlain>(kPlainClass, u"CorvaneTest.Plain");
    }

    void SetUp() override {
        m_ptrApp = MakeObject<CApplicationObject>();
        CASPEntity::SetCriticalErrorNotifier(
            [this](std::u16string_view, std::u16string_view text) { m_notes.emplace_back(text); });
    }
    void TearDown() override { CASPEntity::SetCriticalErrorNotifier(nullptr); }

    HRESULT Create(std::u16string_view text, CComPtr<CASAEntity>* pEntity,
                   std::u16string_view name = u"global.asa") {
        CComPtr<ITextPage> page = MakeTextPage(name, text, u"text/asa", 0x409, CLSID_ASAEntity);
        *pEntity = MakeObject<CASAEntity>();
        (*pEntity)->SetPageLoader(m_pages.Loader());
        return (*pEntity)->Init(0x409, m_ptrApp.Get(), page.Get());
    }

    // Instantiates, runs and invokes one procedure without arguments.
    HRESULT Call(CASAEntity* entity, std::u16string_view procedure,
                 CComVariant* pResult = nullptr) {
        CComPtr<IScriptInstance> si;
        HRESULT hr = entity->Instantiate(si.Receive());
        if (FAILED(hr))
            return hr;
        hr = si->Run();
        CComVariant result;
        DISPPARAMS params{};
        if (SUCCEEDED(hr))
            hr = si->Invoke(BSTR(procedure), GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result,
                            nullptr, nullptr);
        si->Close();
        if (pResult)
            *pResult = result;
        return hr;
    }

    std::u16string AppValue(std::u16string_view name) {
        CComVariant value;
        EXPECT_EQ(S_OK, m_ptrApp->get_Value(BSTR(name), &value));
        CComVariant text;
        if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR)))
            return u"<not text>";
        return std::u16string(BSTR::ViewOf(text.bstrVal));
    }

    CComPtr<CApplicationObject> m_ptrApp;
    CPageSet m_pages;
    std::vector<std::u16string> m_notes;
};

TEST_F(ASAEntityTest, ScriptBlocksRunInPageOrderAndEverythingElseIsIgnored) {
    m_pages.Add(u"more.asa",
                u"<script language=JScript runat=server>function Inc() { return 'inc'; }</script>");
    CComPtr<CASAEntity> entity;
    ASSERT_EQ(S_OK, Create(u"<!-- An ordinary comment: skipped. -->\r\n"
                           u"Sub Stray() : End Sub <% Application(\"x\") = 1 %>\r\n"
                           u"<SCRIPT LANGUAGE=VBScript RUNAT=Server>\r\n"
                           u"Sub Application_OnStart()\r\n"
                           u"    Application(\"order\") = Application(\"order\") & \"start;\"\r\n"
                           u"    Application(\"inc\") = Inc()\r\n"
                           u"End Sub\r\n"
                           u"Application(\"order\") = Application(\"order\") & \"body1;\"\r\n"
                           u"</SCRIPT>\r\n"
                           u"<!-- #include file=\"more.asa\" -->\r\n"
                           u"<script language=vbscript runat=server>\r\n"
                           u"Application(\"order\") = Application(\"order\") & \"body2;\"\r\n"
                           u"</script>",
                           &entity));
    ASSERT_EQ(S_OK, Call(entity.Get(), u"Application_OnStart"));
    EXPECT_EQ(u"body1;body2;start;", AppValue(u"order"));
    EXPECT_EQ(u"inc", AppValue(u"inc"));
    // The text outside the blocks never ran.
    CComVariant x;
    ASSERT_EQ(S_OK, m_ptrApp->get_Value(BSTR(u"x"), &x));
    EXPECT_EQ(VT_EMPTY, x.vt);
}

TEST_F(ASAEntityTest, InstancesCarryApplicationAndServer) {
    CComPtr<CTestRequest> server = MakeObject<CTestRequest>();
    server->m_mapQuery[u"who"] = u"the server";
    CASPEntity::SetServerObjectFactory([&](IDispatch** pp) {
        *pp = CComPtr<IDispatch>(server.Get()).Detach();
        return S_OK;
    });
    CComPtr<CASAEntity> entity;
    ASSERT_EQ(S_OK,
              Create(u"<script runat=server>\r\nFunction Who()\r\n"
                     u"Who = Server.QueryString(\"who\") & \" and \" & TypeName(Application)\r\n"
                     u"End Function\r\n</script>",
                     &entity));
    CComVariant result;
    EXPECT_EQ(S_OK, Call(entity.Get(), u"Who", &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(u"the server and IApplication", std::u16string(BSTR::ViewOf(result.bstrVal)));
    CASPEntity::SetServerObjectFactory(nullptr);

    LCID lcid = 0;
    EXPECT_EQ(S_OK, entity->GetLCID(&lcid));
    EXPECT_EQ(0x409u, lcid);
    EXPECT_EQ(S_OK, entity->Close());
    CComPtr<IScriptInstance> si;
    EXPECT_EQ(E_UNEXPECTED, entity->Instantiate(si.Receive()));
}

TEST_F(ASAEntityTest, CompileFailures) {
    m_pages.Add(u"self.asa", u"<!-- #include file=\"self.asa\" -->");
    const struct {
        const char* what;
        std::u16string text;
        HRESULT hr;
    } cases[] = {
        {"script without RUNAT", u"<script language=vbscript>x = 1</script>", E_UNEXPECTED},
        {"script that runs at the client", u"<script runat=client>x = 1</script>", E_UNEXPECTED},
        {"unusual comment keyword", u"<!-- #include page=\"x.asa\" -->", E_UNEXPECTED},
        {"virtual include", u"<!-- #include virtual=\"/x.asa\" -->", E_NOTIMPL},
        {"include cycle", u"<!-- #include file=\"self.asa\" -->", E_UNEXPECTED},
        {"missing include", u"<!-- #include file=\"none.asa\" -->", STG_E_FILENOTFOUND},
        {"object without ID",
         u"<object runat=server scope=APPLICATION progid=CorvaneTest.Pen>"
         u"</object>",
         E_UNEXPECTED},
        {"object without SCOPE", u"<object runat=server id=p progid=CorvaneTest.Pen></object>",
         E_UNEXPECTED},
        {"object without RUNAT",
         u"<object id=p scope=APPLICATION progid=CorvaneTest.Pen>"
         u"</object>",
         E_UNEXPECTED},
        {"object without a class", u"<object runat=server id=p scope=APPLICATION></object>",
         E_UNEXPECTED},
        {"class id in braces",
         u"<object runat=server id=p scope=APPLICATION "
         u"classid=\"clsid:{6A0C3E51-97D2-4C8B-A1F0-3D5E7B9C2A14}\"></object>",
         E_UNEXPECTED},
        {"unknown ProgID",
         u"<object runat=server id=p scope=APPLICATION progid=No.Such>"
         u"</object>",
         CO_E_CLASSSTRING},
        {"class without property-bag loading",
         u"<object runat=server id=p scope=APPLICATION progid=CorvaneTest.Plain></object>",
         E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        CComPtr<CASAEntity> entity;
        EXPECT_EQ(c.hr, Create(c.text, &entity)) << c.what;
        CComPtr<IScriptInstance> si;
        EXPECT_EQ(E_UNEXPECTED, entity->Instantiate(si.Receive())) << c.what;
    }
}

TEST_F(ASAEntityTest, ObjectsOfApplicationScopeBecomeStaticObjects) {
    g_nPensLoaded = 0;
    CComPtr<CASAEntity> entity;
    ASSERT_EQ(
        S_OK,
        Create(u"<OBJECT RUNAT=Server ID=pen SCOPE=APPLICATION PROGID=\"CorvaneTest.Pen\">\r\n"
               u"  <PARAM NAME=\"Color\" VALUE=\"red\">\r\n"
               u"</OBJECT>\r\n"
               u"<object runat=server id=pen2 scope=APPLICATION "
               u"classid=\"clsid:6a0c3e51-97d2-4c8b-a1f0-3d5e7b9c2a14\">"
               u"<param name=Color value=blue></object>\r\n"
               u"<object runat=server id=dropped scope=Application "
               u"progid=CorvaneTest.Pen><param name=Color value=green></object>\r\n"
               u"<script runat=server>\r\nFunction Colors()\r\n"
               u"Colors = Application.StaticObjects(\"pen\").Color & \",\" & "
               u"Application.StaticObjects(\"pen2\").Color & \",\" & "
               u"Application.StaticObjects(\"pen\").Scope & \",\" & "
               u"Application.StaticObjects.Count\r\n"
               u"End Function\r\n</script>",
               &entity));
    // Every declared object was created and loaded; only the APPLICATION ones were kept.
    EXPECT_EQ(3, g_nPensLoaded.load());
    CComVariant result;
    EXPECT_EQ(S_OK, Call(entity.Get(), u"Colors", &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(u"red,blue,APPLICATION,2", std::u16string(BSTR::ViewOf(result.bstrVal)));
}

TEST_F(ASAEntityTest, ScriptErrorsAreCriticalErrorsWithThePagePosition) {
    CComPtr<CASAEntity> entity;
    EXPECT_TRUE(FAILED(Create(u"<script runat=server>\r\nx = = 1\r\n</script>", &entity)));
    ASSERT_EQ(1u, m_notes.size());
    EXPECT_NE(std::string::npos,
              Utf16ToUtf8(m_notes[0]).find("line 2, character 5 of file global.asa"))
        << Utf16ToUtf8(m_notes[0]);

    m_notes.clear();
    ASSERT_EQ(S_OK, Create(u"<script runat=server>\r\nSub Fails()\r\n  x = 1 / 0\r\nEnd Sub\r\n"
                           u"</script>",
                           &entity));
    EXPECT_TRUE(FAILED(Call(entity.Get(), u"Fails")));
    ASSERT_EQ(1u, m_notes.size());
    EXPECT_NE(std::string::npos,
              Utf16ToUtf8(m_notes[0]).find("line 3, character 3 of file global.asa"))
        << Utf16ToUtf8(m_notes[0]);
}

}  // namespace
