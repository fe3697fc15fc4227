// Tests of the entities: ASP pages compiled and run through the script host (VBScript
// and JScript) with doubles of Response and Request; script errors in the output with
// the page's line and character; Response.End; compile failures as critical errors;
// the entity operations' errors; creation through the class registry; file entities.
#include "pages/entities/ASPEntity.h"

#include <gtest/gtest.h>

#include <regex>

#include "com/Strings.h"
#include "pages/MemoryStream.h"
#include "pages/PageEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "pages/entities/FileEntity.h"
#include "storage/FilePage.h"
#include "storage/StorageManager.h"
#include "storage/TestSite.h"

namespace {

using namespace entity_test;

class ASPEntityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterClasses(); }

    HRESULT Create(std::u16string_view text, CComPtr<CASPEntity>* pEntity,
                   std::u16string_view name = u"/test.asp",
                   std::u16string_view mime = u"text/asp") {
        CComPtr<ITextPage> page = MakeTextPage(name, text, mime);
        *pEntity = MakeObject<CASPEntity>();
        (*pEntity)->SetPageLoader(m_pages.Loader());
        return (*pEntity)->Init(0x409, nullptr, page.Get());
    }

    // Runs a page once; the output (or a failure marker) comes back.
    std::u16string Run(CASPEntity* entity, HRESULT* phr = nullptr) {
        CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
        response->m_pEntity = entity;
        CComPtr<CTestRequest> request = MakeObject<CTestRequest>();
        request->m_mapQuery[u"name"] = u"Ann";
        const HRESULT hr =
            entity->Get(reinterpret_cast<IRequest*>(static_cast<IDispatch*>(request.Get())),
                        nullptr, response.Get());
        if (phr)
            *phr = hr;
        return response->m_strOutput;
    }

    CPageSet m_pages;
};

TEST_F(ASPEntityTest, PagesRunInBothLanguages) {
    m_pages.Add(u"js.inc", u"<%@ LANGUAGE=JScript %>[<%= 'inc' %>]");
    m_pages.Add(u"vb.inc", u"{<%= UCase(\"inc\") %>}");
    const struct {
        const char* what;
        std::u16string page;
        std::u16string output;
    } cases[] = {
        {"worked example", u"<%@ LANGUAGE=VBScript %>\r\n<P><%= 1 + 1 %></P>\r\n",
         u"\r\n<P>2</P>\r\n"},
        {"VBScript loop", u"<% For i = 1 To 3 %>[<%= i %>]<% Next %>.", u"[1][2][3]."},
        {"request object", u"Hello <%= Request.QueryString(\"name\") %>!", u"Hello Ann!"},
        {"VBScript server script",
         u"<SCRIPT LANGUAGE=VBScript RUNAT=Server>\r\nFunction Twice(n)\r\nTwice = n * 2\r\nEnd "
         u"Function\r\n</SCRIPT>=<%= Twice(21) %>",
         u"=42"},
        {"JScript loop",
         u"<%@ LANGUAGE=JScript %><% for (var i = 0; i < 3; i++) { %>(<%= i %>)<% } %>",
         u"(0)(1)(2)"},
        {"one-line server script keeps its last character",
         u"<%@ LANGUAGE=JScript %><script language=JScript runat=server>function add(a, b) { "
         u"return a + b; }</script><%= add(2, 3) %>",
         u"5"},
        // An included page's code runs where the include stands.
        {"JScript include", u"a<!-- #include file=\"js.inc\" -->b", u"a[inc]b"},
        {"VBScript include", u"a<!-- #include file=\"vb.inc\" -->b", u"a{INC}b"},
        {"client script and comments pass", u"<script>var x = '<%= 1 %>';</script><!-- c -->",
         u"<script>var x = '1';</script><!-- c -->"},
    };
    for (const auto& c : cases) {
        CComPtr<CASPEntity> entity;
        ASSERT_EQ(S_OK, Create(c.page, &entity)) << c.what;
        HRESULT hr = E_FAIL;
        // Each run starts from fresh globals: twice gives the same page.
        EXPECT_EQ(c.output, Run(entity.Get(), &hr)) << c.what;
        EXPECT_EQ(S_OK, hr) << c.what;
        EXPECT_EQ(c.output, Run(entity.Get(), &hr)) << c.what;
        EXPECT_EQ(S_OK, entity->Close());
    }
}

// A page and its includes run as if the included text stood in place of each include
// comment, in either language.
TEST_F(ASPEntityTest, IncludesRunInPageOrder) {
    m_pages.Add(u"b.inc", u"b");
    m_pages.Add(u"n1.inc", u"2<!--#include file=\"n2.inc\"-->4");
    m_pages.Add(u"n2.inc", u"3<%= 1 + 2 %>3");
    m_pages.Add(u"add.inc", u"<% x = x + 1 %>");
    const struct {
        const char* what;
        std::u16string vbscript;
        std::u16string jscript;  // after a JScript directive
        std::u16string output;
    } cases[] = {
        {"literal text", u"a<!--#include file=\"b.inc\"-->c", u"a<!--#include file=\"b.inc\"-->c",
         u"abc"},
        {"nested includes", u"1<!--#include file=\"n1.inc\"-->5",
         u"1<!--#include file=\"n1.inc\"-->5", u"1233345"},
        {"statements before and after",
         u"<% x = 1 %><!--#include file=\"add.inc\"--><!--#include file=\"add.inc\"--><%= x %>",
         u"<% var x = 1; %><!--#include file=\"add.inc\"--><!--#include file=\"add.inc\"--><%= x "
         u"%>",
         u"3"},
        {"include inside a condition",
         u"<% If False Then %><!--#include file=\"b.inc\"--><% End If %>!<% If True Then "
         u"%><!--#include file=\"b.inc\"--><% End If %>",
         u"<% if (false) { %><!--#include file=\"b.inc\"--><% } %>!<% if (true) { "
         u"%><!--#include file=\"b.inc\"--><% } %>",
         u"!b"},
    };
    for (const auto& c : cases) {
        for (const bool bJScript : {false, true}) {
            const std::string what = std::string(c.what) + (bJScript ? " (JScript)" : "");
            CComPtr<CASPEntity> entity;
            ASSERT_EQ(S_OK, Create(bJScript ? u"<%@ LANGUAGE=JScript %>" + c.jscript : c.vbscript,
                                   &entity))
                << what;
            HRESULT hr = E_FAIL;
            EXPECT_EQ(c.output, Run(entity.Get(), &hr)) << what;
            EXPECT_EQ(S_OK, hr) << what;
            EXPECT_EQ(S_OK, entity->Close());
        }
    }
}

TEST_F(ASPEntityTest, RuntimeErrorsNameTheLineAndCharacterOfThePage) {
    m_pages.Add(u"err.inc", u"\n\n\n\n<%x = 1 / 0%>");
    m_pages.Add(u"jserr.inc", u"x\n<% var o = null; o.x = 1; %>");
    m_pages.Add(u"ok.inc", u"\n\n<% z = 1 %>");
    const struct {
        const char* what;
        std::u16string page;
        std::u16string before;  // the output up to the error
        unsigned line;
        unsigned character;
        std::u16string file;
    } cases[] = {
        {"VBScript", u"a\r\n<%\r\nx = 1\r\ny = 1 / 0\r\n%>b", u"a\r\n", 4, 1, u"/test.asp"},
        {"VBScript include", u"<!-- #include file=\"err.inc\" -->b", u"\n\n\n\n", 5, 3, u"err.inc"},
        {"VBScript after an include", u"a<!-- #include file=\"ok.inc\" -->\n<% y = 1 / 0 %>",
         u"a\n\n\n", 2, 4, u"/test.asp"},
        {"JScript", u"<%@ LANGUAGE=JScript %>a\n<% var o = null; o.x = 1; %>b", u"a\n", 2, 3,
         u"/test.asp"},
        {"JScript include", u"<%@ LANGUAGE=JScript %>a<!-- #include file=\"jserr.inc\" -->b",
         u"ax\n", 2, 3, u"jserr.inc"},
        {"JScript after an include",
         u"<%@ LANGUAGE=JScript %>a<!-- #include file=\"ok.inc\" -->\n<% var o = null; o.x = 1; %>",
         u"a\n\n\n", 2, 3, u"/test.asp"},
    };
    for (const auto& c : cases) {
        CComPtr<CASPEntity> entity;
        ASSERT_EQ(S_OK, Create(c.page, &entity)) << c.what;
        const std::string output = Utf16ToUtf8(Run(entity.Get()));
        const std::string before = Utf16ToUtf8(c.before);
        ASSERT_EQ(before, output.substr(0, before.size())) << c.what;
        const std::string text = output.substr(before.size());
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m,
                                      std::regex("^([^:]+): (.+?) at line (\\d+), character "
                                                 "(\\d+) of file (\\S+)\\.")))
            << c.what << ": " << text;
        EXPECT_FALSE(m[2].str().empty()) << c.what;
        EXPECT_EQ(std::to_string(c.line), m[3].str()) << c.what << ": " << text;
        EXPECT_EQ(std::to_string(c.character), m[4].str()) << c.what << ": " << text;
        EXPECT_EQ(Utf16ToUtf8(c.file), m[5].str()) << c.what;
    }
}

TEST_F(ASPEntityTest, ResponseEndStopsThePageWithoutAnError) {
    const struct {
        std::u16string page;
        std::u16string output;
    } cases[] = {
        {u"a<% Response.End %>b", u"a"},
        {u"a<% For i = 1 To 5 : Response.Write i : If i = 2 Then Response.End\r\nNext %>b", u"a12"},
        {u"<%@ LANGUAGE=JScript %>a<% Response.End(); %>b", u"a"},
    };
    for (const auto& c : cases) {
        CComPtr<CASPEntity> entity;
        ASSERT_EQ(S_OK, Create(c.page, &entity));
        HRESULT hr = E_FAIL;
        EXPECT_EQ(c.output, Run(entity.Get(), &hr));
        EXPECT_EQ(S_OK, hr);
        // The next request runs the whole page again.
        EXPECT_EQ(c.output, Run(entity.Get(), &hr));
    }
}

TEST_F(ASPEntityTest, LCIDDuringARunIsTheResponses) {
    CComPtr<CASPEntity> entity;
    ASSERT_EQ(S_OK, Create(u"<% Response.LCID = 2057 %><%= 1 %>", &entity));
    CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
    response->m_pEntity = entity.Get();
    LCID lcidDuring = 0;
    response->m_onWrite = [&] { entity->GetLCID(&lcidDuring); };
    ASSERT_EQ(S_OK, entity->Get(nullptr, nullptr, response.Get()));
    EXPECT_EQ(2057u, lcidDuring);
    LCID lcidAfter = 0;
    ASSERT_EQ(S_OK, entity->GetLCID(&lcidAfter));
    EXPECT_EQ(0x409u, lcidAfter);
    EXPECT_EQ(E_POINTER, entity->GetLCID(nullptr));
}

TEST_F(ASPEntityTest, ResponseSettingsAndMimeTypes) {
    const struct {
        std::u16string mime;
        std::u16string sent;
    } cases[] = {{u"text/asp", u"text/html"}, {u"text/css", u"text/css"}};
    for (const auto& c : cases) {
        CComPtr<CASPEntity> entity;
        ASSERT_EQ(S_OK, Create(u"<%@ CODEPAGE=65001 LCID=2057 %>x", &entity, u"/a.asp", c.mime));
        CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
        response->m_pEntity = entity.Get();
        ASSERT_EQ(S_OK, entity->Get(nullptr, nullptr, response.Get()));
        EXPECT_EQ(c.sent, response->m_strContentType);
        EXPECT_EQ(65001, response->m_lCodePage);
        EXPECT_EQ(2057, response->m_lLcid);
        EXPECT_EQ(u"x", response->m_strOutput);
    }
}

TEST_F(ASPEntityTest, OperationErrors) {
    CComPtr<CASPEntity> entity;
    ASSERT_EQ(S_OK, Create(u"a<%= 1 %>b", &entity));
    EXPECT_EQ(2u, entity->WriteBlockCount());
    BSTR text;
    EXPECT_EQ(S_OK, entity->GetBlockText(1, &text));
    EXPECT_EQ(u"b", text.Str());
    EXPECT_EQ(E_INVALIDARG, entity->GetBlockText(2, &text));
    EXPECT_EQ(E_UNEXPECTED, entity->End());
    EXPECT_EQ(E_POINTER, entity->Get(nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, entity->Close());
    EXPECT_EQ(S_OK, entity->Close());
    CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
    EXPECT_EQ(E_UNEXPECTED, entity->Get(nullptr, nullptr, response.Get()));

    CComPtr<CASPEntity> other = MakeObject<CASPEntity>();
    EXPECT_EQ(E_INVALIDARG, other->Init(0x409, nullptr, nullptr));
}

TEST_F(ASPEntityTest, CompileFailuresAreCriticalErrors) {
    std::vector<std::pair<std::u16string, std::u16string>> notes;
    CASPEntity::SetCriticalErrorNotifier([&](std::u16string_view title, std::u16string_view text) {
        notes.emplace_back(title, text);
    });
    m_pages.Add(u"bad.inc", u"\n<% x = = 1 %>");
    const struct {
        const char* what;
        std::u16string page;
        bool engineError;   // reported by the script engine with a position
        std::string where;  // " at line L, character C of file F."; empty: not checked
    } cases[] = {
        {"syntax error", u"a\n<% x = = 1 %>", true, " at line 2, character 8 of file /test.asp."},
        {"%> inside a string ends the block", u"<% x = \"%>\" %>", true, ""},
        {"syntax error in an include", u"a<!-- #include file=\"bad.inc\" -->b", true,
         " at line 2, character 8 of file bad.inc."},
        // Found at the end of the generated script, after the last code of the page: the
        // end of that code.
        {"missing End If", u"a\n<% If x Then %>", true,
         " at line 2, character 14 of file /test.asp."},
        {"missing brace", u"<%@ LANGUAGE=JScript %>a\n<% if (x) { %>", true,
         " at line 2, character 13 of file /test.asp."},
        {"unknown directive", u"<%@ FOO=1 %>", false, ""},
        {"include cycle", u"<!-- #include file=\"/test.asp\" -->", false, ""},
    };
    for (const auto& c : cases) {
        notes.clear();
        CComPtr<CASPEntity> entity;
        EXPECT_TRUE(FAILED(Create(c.page, &entity))) << c.what;
        if (c.engineError) {
            ASSERT_EQ(1u, notes.size()) << c.what;
            EXPECT_EQ(u"Corvane", notes[0].first);
            const std::string text = Utf16ToUtf8(notes[0].second);
            EXPECT_EQ(0u, text.find("A critical error has occured in Corvane.\n\n")) << text;
            EXPECT_NE(std::string::npos, text.find(".\n\nPlease contect your support team for "
                                                   "advice on further action."))
                << text;
            if (!c.where.empty()) {
                EXPECT_NE(std::string::npos, text.find(c.where)) << c.what << ": " << text;
            }
        } else {
            EXPECT_TRUE(notes.empty()) << c.what;
        }
        // A page that failed to compile cannot run.
        CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
        EXPECT_EQ(E_UNEXPECTED, entity->Get(nullptr, nullptr, response.Get()));
    }
    CASPEntity::SetCriticalErrorNotifier(nullptr);
}

TEST_F(ASPEntityTest, ServerObjectComesFromTheFactory) {
    CComPtr<CTestRequest> server = MakeObject<CTestRequest>();
    server->m_mapQuery[u"x"] = u"from server";
    CASPEntity::SetServerObjectFactory([&](IDispatch** pp) {
        *pp = server.Get();
        (*pp)->AddRef();
        return S_OK;
    });
    CComPtr<CASPEntity> entity;
    ASSERT_EQ(S_OK, Create(u"<%= Server.QueryString(\"x\") %>", &entity));
    EXPECT_EQ(u"from server", Run(entity.Get()));
    CASPEntity::SetServerObjectFactory([](IDispatch**) { return E_OUTOFMEMORY; });
    HRESULT hr = S_OK;
    EXPECT_EQ(u"", Run(entity.Get(), &hr));
    EXPECT_EQ(E_OUTOFMEMORY, hr);
    CASPEntity::SetServerObjectFactory(nullptr);
}

TEST_F(ASPEntityTest, EntitiesComeFromTheClassRegistry) {
    CComPtr<ITextPage> page = MakeTextPage(u"/r.asp", u"<%= 6 * 7 %>");
    CComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, CreatePageEntity(CLSID_ASPEntity, 0x409, nullptr, page.Get(),
                                     IIDOf<IASPEntity>(), unknown.Receive()));
    CComPtr<IASPEntity> asp;
    ASSERT_EQ(S_OK, unknown.QueryInterface(asp));
    CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
    response->m_pEntity = asp.Get();
    ASSERT_EQ(S_OK, asp->Get(nullptr, nullptr, response.Get()));
    EXPECT_EQ(u"42", response->m_strOutput);

    unknown.Reset();
    ASSERT_EQ(S_OK, CreatePageEntity(CLSID(), 0x409, nullptr, page.Get(), IIDOf<IHTTPEntity>(),
                                     unknown.Receive()));
    CComPtr<IASPEntity> notAsp;
    EXPECT_EQ(E_NOINTERFACE, unknown.QueryInterface(notAsp));
}

TEST_F(ASPEntityTest, FileEntitiesHandTheStoredBytesToTheResponse) {
    // An icon: a file page, whose code page is left alone.
    CComPtr<CFilePage> icon = MakeObject<CFilePage>();
    CComPtr<CMemoryStream> bytes = MakeObject<CMemoryStream>(std::vector<BYTE>{0, 0, 1, 0, 'I'});
    ASSERT_EQ(S_OK, icon->Load(0x809, nullptr, bytes.Get(), BSTR(u"icon.ico"),
                               BSTR(u"image/x-icon"), CLSID(), 0));
    CComPtr<CFileEntity> entity = MakeObject<CFileEntity>();
    ASSERT_EQ(S_OK, entity->Init(0x809, nullptr, icon.Get()));
    CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
    ASSERT_EQ(S_OK, entity->Get(nullptr, nullptr, response.Get()));
    EXPECT_EQ(u"image/x-icon", response->m_strContentType);
    EXPECT_EQ(-1, response->m_lCodePage);
    EXPECT_EQ(0x809, response->m_lLcid);
    EXPECT_EQ(std::string("\0\0\1\0I", 5), ReadAll(response->m_ptrStream.Get()));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, entity->GetLCID(&lcid));
    EXPECT_EQ(0x809u, lcid);
    EXPECT_EQ(S_OK, entity->Close());

    // A text page sends its code page.
    CComPtr<ITextPage> css = MakeTextPage(u"a.css", u"p{}", u"text/css");
    CComPtr<CFileEntity> text = MakeObject<CFileEntity>();
    ASSERT_EQ(S_OK, text->Init(0x409, nullptr, css.Get()));
    CComPtr<CTestResponse> response2 = MakeObject<CTestResponse>();
    ASSERT_EQ(S_OK, text->Get(nullptr, nullptr, response2.Get()));
    EXPECT_EQ(1200, response2->m_lCodePage);
    EXPECT_EQ(std::string("p\0{\0}\0", 6), ReadAll(response2->m_ptrStream.Get()));

    EXPECT_EQ(E_INVALIDARG, MakeObject<CFileEntity>()->Init(0x409, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, text->GetLCID(nullptr));
}

TEST_F(ASPEntityTest, IncludesComeFromTheStorageManager) {
    // The program's own path: the storage manager creates the entity, which loads its
    // includes from the same manager.
    static std::vector<BYTE> s_site;
    CTestSite site;
    ASSERT_EQ(S_OK,
              site.AddTextPage("0x409", "main.asp", u"<!-- #include file=\"inc\\part.inc\" -->!",
                               CLSID_ASPEntity));
    ASSERT_EQ(S_OK, site.AddTextPage("Common", "inc/part.inc", u"part<%= 1 + 1 %>"));
    ASSERT_EQ(S_OK, site.WriteToBytes(&s_site));
    ASSERT_EQ(S_OK, CFilePage::RegisterClass());
    CStorageManager* manager = STORAGE_MANAGER::instance();
    ASSERT_NE(nullptr, manager);
    ASSERT_EQ(S_OK, manager->SetEmbeddedSite(s_site, FILETIME::FromValue(1), FILETIME::FromValue(1),
                                             FILETIME::FromValue(1)));
    CComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK,
              manager->LoadEntity(0x409, u"main.asp", IIDOf<IASPEntity>(), unknown.Receive()));
    CComPtr<IASPEntity> asp;
    ASSERT_EQ(S_OK, unknown.QueryInterface(asp));
    CComPtr<CTestResponse> response = MakeObject<CTestResponse>();
    response->m_pEntity = asp.Get();
    ASSERT_EQ(S_OK, asp->Get(nullptr, nullptr, response.Get()));
    EXPECT_EQ(u"part2!", response->m_strOutput);
    EXPECT_EQ(u"text/html", response->m_strContentType);
}

}  // namespace
