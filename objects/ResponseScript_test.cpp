// Response and Application as a VBScript page sees them: Response.End and
// Response.Redirect stop the page at once (even inside a procedure and under On Error
// Resume Next), literal blocks come through WriteBlock, and Application with its
// dictionaries answers scripts through dispatch.
#include <gtest/gtest.h>

#include "objects/ApplicationObject.h"
#include "objects/ResponseObject.h"
#include "pages/MemoryStream.h"
#include "script/ScriptHostTestSupport.h"

using namespace script_test;

namespace {

// The part of an ASP entity that a running page reaches: its literal blocks and End,
// which halts the script instance of the run.
class CRunningEntity : public CComObjectRoot<CRunningEntity, IASPEntity> {
public:
    HRESULT Init(LCID, IApplication*, IPage*) override { return E_NOTIMPL; }
    HRESULT GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return E_NOTIMPL; }
    HRESULT GetBlockText(ULONG n, BSTR* pbstrText) override {
        if (n >= m_blocks.size())
            return E_INVALIDARG;
        *pbstrText = BSTR(m_blocks[n]);
        return S_OK;
    }
    HRESULT End() override { return m_ptrSI ? m_ptrSI->Halt() : E_UNEXPECTED; }

    std::vector<std::u16string> m_blocks;
    CComPtr<IScriptInstance> m_ptrSI;
};

class ResponseScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterEngines();
        engine = MakeObject<CScriptEngine>();
        ASSERT_EQ(engine->Init(&handler), S_OK);
        ASSERT_EQ(response->Init(http.Get(), entity.Get()), S_OK);
        ASSERT_EQ(response->SetStream(body.Get()), S_OK);
        ASSERT_EQ(response->put_CodePage(65001), S_OK);
    }
    void TearDown() override {
        EXPECT_EQ(engine->Close(), S_OK);
        for (const RecordedError& e : handler.Errors())
            ADD_FAILURE() << Utf16ToUtf8(e.description) << " at line " << e.line + 1;
    }

    // Runs VBScript code as a page with Response and Application, as an ASP entity would.
    HRESULT RunPage(std::u16string_view code) { return RunBlocks({{u"VBScript", code}}); }
    // The same for a page of several script blocks, each in its own language.
    HRESULT RunBlocks(std::vector<std::pair<const char16_t*, std::u16string_view>> blocks) {
        // A fresh engine: an engine keeps every page compiled into it.
        EXPECT_EQ(engine->Close(), S_OK);
        engine = MakeObject<CScriptEngine>();
        EXPECT_EQ(engine->Init(&handler), S_OK);
        CPageBuilder b;
        for (const auto& [language, code] : blocks)
            b.Code(language, code);
        CComPtr<CTestPage> page;
        HRESULT hr = b.CompileInto(engine.Get(), &page);
        if (FAILED(hr))
            return hr;
        CComPtr<IScriptInstance> run;
        hr = engine->Instantiate(run.Receive());
        if (FAILED(hr))
            return hr;
        entity->m_ptrSI = run;
        EXPECT_EQ(run->AddNamedObject(BSTR(u"Response"), response.Get()), S_OK);
        EXPECT_EQ(run->AddNamedObject(BSTR(u"Application"), app.Get()), S_OK);
        hr = run->Run();
        EXPECT_EQ(run->Close(), S_OK);
        entity->m_ptrSI = nullptr;
        app->ReleaseScriptLocks();
        return hr;
    }
    std::string Body() const { return std::string(body->Bytes().begin(), body->Bytes().end()); }
    CComVariant AppValue(const char16_t* name) {
        CComVariant v;
        EXPECT_EQ(app->get_Value(BSTR(name), &v), S_OK);
        return v;
    }

    CTestHandler handler;
    CComPtr<CScriptEngine> engine;
    CComPtr<CHTTPResponse> http = CHTTPResponse::Create(nullptr);
    CComPtr<CRunningEntity> entity = MakeObject<CRunningEntity>();
    CComPtr<CResponseObject> response = MakeObject<CResponseObject>();
    CComPtr<CMemoryStream> body = MakeObject<CMemoryStream>();
    CComPtr<CApplicationObject> app = MakeObject<CApplicationObject>();
};

TEST_F(ResponseScriptTest, EndStopsThePageWhereItIsCalled) {
    const std::u16string pages[] = {
        u"Response.Write \"before\"\nApplication(\"x\") = 1\nResponse.End\n"
        u"Application(\"x\") = 2\nResponse.Write \"after\"\n",
        // Inside a procedure, a loop and On Error Resume Next alike.
        u"On Error Resume Next\nApplication(\"x\") = 1\n"
        u"Sub Finish()\n  Do\n    Response.Write \"before\"\n    Response.End\n"
        u"    Application(\"x\") = 2\n  Loop\nEnd Sub\n"
        u"Finish\nApplication(\"x\") = 3\nResponse.Write \"after\"\n",
        u"Application(\"x\") = 1\nDo\n    Response.Write \"before\"\n    Response.End\n"
        u"    Application(\"x\") = 2\n  Loop\n",
        u"On Error Resume Next\nApplication(\"x\") = 1\nResponse.Write \"before\"\n    "
        u"Response.End\n"
        u"    Application(\"x\") = 2\n",
        u"Application(\"x\") = 1\nSub Finish()\n    Response.Write \"before\"\n    Response.End\n"
        u"    Application(\"x\") = 2\nEnd Sub\nFinish\nApplication(\"x\") = 3\n",
    };
    for (const std::u16string& code : pages) {
        SCOPED_TRACE(Utf16ToUtf8(code));
        ASSERT_EQ(response->Clear(), S_OK);
        ASSERT_EQ(RunPage(code), S_OK);
        EXPECT_EQ(Body(), "before");
        EXPECT_EQ(AppValue(u"x").lVal, 1);
    }
}

TEST_F(ResponseScriptTest, EndInOneLanguagesBlockEndsThePageForTheOtherLanguageToo) {
    // Whichever language's block runs first ends the page: the other block never writes.
    ASSERT_EQ(RunBlocks({{u"VBScript", u"Response.Write \"vb\"\nResponse.End\n"},
                         {u"JScript", u"Response.Write(\"js\"); Response.End();"}}),
              S_OK);
    EXPECT_TRUE(Body() == "vb" || Body() == "js") << Body();
}

TEST_F(ResponseScriptTest, RedirectSendsOnlyTheLocationAndStopsThePage) {
    ASSERT_EQ(RunPage(u"Response.Write \"page text\"\n"
                      u"Response.AddHeader \"X-Early\", \"1\"\n"
                      u"Response.Redirect \"/Common/blocked.asp\"\n"
                      u"Response.Write \"after\"\n"
                      u"Application(\"after\") = True\n"),
              S_OK);
    EXPECT_EQ(AppValue(u"after").vt, VT_EMPTY);
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetStatus(), "302 Found");
    EXPECT_EQ(http->GetHeader("Location"), "/Common/blocked.asp");
    EXPECT_EQ(http->GetHeader("X-Early"), "");
    EXPECT_EQ(http->GetHeader("Content-Length"), "0");
    EXPECT_EQ(Body(), "");
}

TEST_F(ResponseScriptTest, LiteralBlocksAndResponseProperties) {
    entity->m_blocks = {u"<p>", u"</p>"};
    ASSERT_EQ(RunPage(u"Response.WriteBlock 0\n"
                      u"Response.Write Response.CodePage & \" \" & Response.CharSet\n"
                      u"Response.Status = \"404 Not Found\"\n"
                      u"Response.ContentType = \"text/plain\"\n"
                      u"Response.WriteBlock 1\n"),
              S_OK);
    EXPECT_EQ(Body(), "<p>65001 utf-8</p>");
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetStatus(), "404 Not Found");
    EXPECT_EQ(http->GetHeader("Content-Type"), "text/plain; charset=utf-8");
}

TEST_F(ResponseScriptTest, ApplicationThroughDispatch) {
    ASSERT_EQ(RunPage(u"Application(\"b\") = \"2\"\nApplication(\"a\") = \"1\"\n"
                      u"Application.Contents(\"c\") = \"3\"\n"
                      u"Application.Lock\n"
                      u"For Each v In Application.Contents\n  Response.Write v\nNext\n"
                      u"Response.Write \"|\" & Application.Contents.Key(1)\n"
                      u"Response.Write \"|\" & IsEmpty(Application.Contents.Key(0))\n"
                      u"Response.Write \"|\" & Application.Contents.Count\n"
                      u"Application.UnLock\n"
                      u"On Error Resume Next\n"
                      u"Set Application(\"self\") = Application\n"
                      u"Response.Write \"|\" & (Err.Number <> 0)\n"
                      u"Err.Clear\n"
                      u"Set Application(\"response\") = Response\n"
                      u"Response.Write \"|\" & (Err.Number <> 0)\n"
                      u"Err.Clear\n"
                      u"Application.Contents.Remove \"missing\"\n"
                      u"Response.Write \"|\" & (Err.Number <> 0)\n"
                      u"Err.Clear\n"
                      u"Application.StaticObjects.Remove \"Storage\"\n"
                      u"Response.Write \"|\" & (Err.Number <> 0)\n"
                      u"Err.Clear\n"
                      u"Application.StaticObjects(\"New\") = 1\n"
                      u"Response.Write \"|\" & (Err.Number <> 0)\n"),
              S_OK);
    EXPECT_EQ(Body(), "123|1|True|3|True|True|True|True|True");
    EXPECT_EQ(AppValue(u"self").vt, VT_EMPTY);
    EXPECT_EQ(AppValue(u"response").vt, VT_EMPTY);
}

}  // namespace
