// The Request object as a VBScript page sees it: For Each over a dictionary and over a
// field's several values, the default members, Key, Count, and a missing Form.
#include <gtest/gtest.h>

#include "com/Strings.h"
#include "com/TextForms.h"
#include "objects/RequestObject.h"
#include "script/engine/vbscript/VBScriptEngine.h"

namespace {

// The named item "Out": Line writes one line of text.
class COutput : public CComObjectRoot<COutput, IDispatchImpl<COutput>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IOutput", {DispMethod<&COutput::Line>(u"Line", 1)});
        return table;
    }
    HRESULT Line(BSTR text) {
        m_text += text.ToUtf8() + "\n";
        return S_OK;
    }
    std::string m_text;
};

// A script site with the named items "Request" and "Out" that records script errors.
class CPageSite : public CComObjectRoot<CPageSite, IActiveScriptSite> {
public:
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 1033;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR& name, DWORD, IUnknown** ppiunkItem, ITypeInfo**) override {
        IDispatch* pItem = nullptr;
        if (EqualsNoCase(name.View(), u"Request"))
            pItem = m_ptrRequest.Get();
        else if (EqualsNoCase(name.View(), u"Out"))
            pItem = m_ptrOutput.Get();
        if (!pItem)
            return TYPE_E_ELEMENTNOTFOUND;
        *ppiunkItem = pItem;
        pItem->AddRef();
        return S_OK;
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError* pError) override {
        EXCEPINFO ei;
        pError->GetExceptionInfo(&ei);
        DWORD cookie = 0;
        ULONG line = 0;
        LONG character = 0;
        pError->GetSourcePosition(&cookie, &line, &character);
        m_errors += ei.bstrDescription.ToUtf8() + " at line " + std::to_string(line) + "\n";
        return S_OK;
    }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }

    CComPtr<IDispatch> m_ptrRequest;
    CComPtr<COutput> m_ptrOutput = MakeObject<COutput>();
    std::string m_errors;
};

// Runs a script with a Request made from `httpRequest`; returns its output then errors.
std::string RunWithRequest(const std::string& httpRequest, const std::u16string& script) {
    CHTTPRequest request(nullptr, true, 8080);
    bool bMore = true;
    EXPECT_EQ(S_OK, request.Parse(httpRequest, "127.0.0.1:8080", true, &bMore));
    CComPtr<CRequestObject> ptrRequest = MakeObject<CRequestObject>();
    EXPECT_EQ(S_OK, ptrRequest->Init(&request, &request.GetBody()));

    CComPtr<CPageSite> ptrSite = MakeObject<CPageSite>();
    ptrSite->m_ptrRequest = ptrRequest.Get();
    CComPtr<CVBScriptEngine> ptrEngine = MakeObject<CVBScriptEngine>();
    EXPECT_EQ(S_OK, ptrEngine->SetScriptSite(ptrSite.Get()));
    EXPECT_EQ(S_OK, ptrEngine->AddNamedItem(BSTR(u"Request"), SCRIPTITEM_ISVISIBLE));
    EXPECT_EQ(S_OK, ptrEngine->AddNamedItem(BSTR(u"Out"), SCRIPTITEM_ISVISIBLE));
    ptrEngine->ParseScriptText(BSTR(script), BSTR(), nullptr, BSTR(), 0, 0, SCRIPTTEXT_ISVISIBLE,
                               nullptr, nullptr);
    ptrEngine->SetScriptState(SCRIPTSTATE_CONNECTED);
    ptrEngine->Close();
    return ptrSite->m_ptrOutput->m_text + ptrSite->m_errors;
}

TEST(RequestScriptTest, ForEachWalksValuesAndFieldLists) {
    const std::string output = RunWithRequest(
        "GET /page.asp?b=2&a=1&a=%C3%A9t%C3%A9&c= HTTP/1.1\r\nHost: localhost\r\n\r\n",
        u"Dim v, w\n"
        u"For Each v In Request.QueryString\n"
        u"  If VarType(v) = vbObject Then\n"
        u"    For Each w In v\n"
        u"      Out.Line \"list item \" & w\n"
        u"    Next\n"
        u"  Else\n"
        u"    Out.Line \"value [\" & v & \"]\"\n"
        u"  End If\n"
        u"Next\n"
        u"Out.Line Request.QueryString.Count & \" \" & Request.QueryString.Key(1)\n"
        u"Out.Line Request.QueryString(\"a\").Count & \" \" & Request.QueryString(\"a\")(2)\n"
        u"Out.Line Request.QueryString\n"
        u"Out.Line \"[\" & Request.QueryString(\"missing\") & \"]\"\n"
        u"If Request.Form Is Nothing Then Out.Line \"no form\"\n");
    EXPECT_EQ(
        "list item 1\n"
        "list item \xC3\xA9t\xC3\xA9\n"
        "value [2]\n"
        "value []\n"
        "3 a\n"
        "2 \xC3\xA9t\xC3\xA9\n"
        "b=2&a=1&a=%C3%A9t%C3%A9&c=\n"
        "[]\n"
        "no form\n",
        output);
}

TEST(RequestScriptTest, FormFieldsAndMembersNotOffered) {
    const std::string body = "city=M%FCnchen&note=a%2Bb";
    const std::string output = RunWithRequest(
        "POST /form.asp HTTP/1.1\r\nHost: localhost\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body,
        u"Out.Line Request.Form(\"note\")\n"
        u"Out.Line AscW(Mid(Request.Form(\"city\"), 2, 1))\n"
        u"Out.Line Request.Form\n"
        u"On Error Resume Next\n"
        u"Dim n : n = Request.TotalBytes\n"
        u"Out.Line Hex(Err.Number)\n");
    EXPECT_EQ(
        "a+b\n"
        "-3\n"
        "city=M%FCnchen&note=a%2Bb\n"
        "80004001\n",
        output);
}

}  // namespace
