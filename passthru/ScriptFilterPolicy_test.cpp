// The script policy against a site of the test's own: how the answers of the two entry
// points become verdicts, and what the scripts see of the connection.
#include "passthru/ScriptFilterPolicy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "com/Strings.h"
#include "http/HTTPRequest.h"
#include "idl/Identifiers.h"
#include "objects/ServerObject.h"
#include "pages/entities/ASPEntity.h"
#include "pages/entities/EntityTestSupport.h"
#include "sessions/UserSession.h"
#include "storage/StorageManager.h"
#include "storage/TestSite.h"

namespace {

// One site for the process (the storage manager is a singleton): the answer depends on
// the destination text or the URL, one case each.
constexpr char16_t kGlobalAsa[] =
    uR"(<script language=vbscript runat=server>
Function Filtering_IsProtocolAllowed(nProtocol, strHost)
    Select Case strHost
        Case "true:1" : Filtering_IsProtocolAllowed = True
        Case "one:1" : Filtering_IsProtocolAllowed = 1
        Case "text:1" : Filtering_IsProtocolAllowed = "True"
        Case "error:1" : Err.Raise 5
        Case "facts:1"
            Filtering_IsProtocolAllowed = (nProtocol = 2 And Connection.ServerName = "ok.test" _
                And Connection.Address = strHost And Connection.Protocol = 2 _
                And Connection.ProcessName = "/usr/bin/browser" And User.CurrentProcess <> "")
    End Select
End Function

Sub Filtering_IsHTTPAllowed(objRequest, strURL)
    Application("after") = ""
    Select Case objRequest.QueryString("do")
        Case "continue" : Filter.Continue : Application("after") = "ran"
        Case "abort" : Filter.Abort
        Case "transfer" : Filter.HTTPTransfer "block.asp?u=" & Server.URLEncode(strURL)
        Case "error" : Dim x : x = 1 / 0 : Filter.Continue
        Case "host" : If Connection.ServerName = "host.test" Then Filter.Continue
    End Select
End Sub
</script>
)";

class CTestOwner : public IUserSessionOwner {
public:
    void OnUserSessionEmpty(const std::shared_ptr<CUserSession>& session) override {
        session->MarkStoppingIfEmpty();
    }
};

// Records the verdict it is given.
class CRecordingDecision : public IFilterDecision {
public:
    HRESULT Continue() override { return Note("continue"); }
    HRESULT Close() override { return Note("close"); }
    HRESULT HTTPTransfer(const std::string& strLocalURL) override {
        return Note("transfer " + strLocalURL);
    }
    std::vector<std::string> verdicts;

private:
    HRESULT Note(std::string what) {
        verdicts.push_back(std::move(what));
        return S_OK;
    }
};

class ScriptFilterPolicyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        entity_test::RegisterClasses();
        CASPEntity::SetServerObjectFactory([](IDispatch** ppServer) {
            HRESULT hr = S_OK;
            CComPtr<CServerObject> ptrServer = MakeObject<CServerObject>(&hr);
            *ppServer = ptrServer ? static_cast<IDispatch*>(ptrServer.Detach()) : nullptr;
            return hr;
        });
        CTestSite site;
        ASSERT_EQ(S_OK, site.AddTextPage("Common", "global.asa", kGlobalAsa, CLSID_ASAEntity));
        static std::vector<BYTE> s_bytes;
        ASSERT_EQ(S_OK, site.WriteToBytes(&s_bytes));
        ASSERT_EQ(S_OK, STORAGE_MANAGER::instance()->SetEmbeddedSite(s_bytes, FILETIME(),
                                                                     FILETIME(), FILETIME()));
    }

    void SetUp() override {
        ASSERT_EQ(S_OK, CUserSession::Create(&m_owner, getuid(), getpid(), &m_user));
        CSessionEvents events;
        GUID key{};
        ASSERT_TRUE(SUCCEEDED(m_user->GetProcessSession(getpid(), BSTR(u"/usr/bin/browser"), &key,
                                                        &m_session, &events)));
        events.Run();
    }
    void TearDown() override {
        m_session.Reset();
        if (m_user)
            m_user->Stop();
    }

    CConnectionFacts Facts(std::string strHost, std::string strServerName = {}) {
        CConnectionFacts facts;
        facts.protocol = NetworkProtocol::TLS1;
        facts.strHost = std::move(strHost);
        facts.strServerName = std::move(strServerName);
        facts.ptrSession = CComPtr<IUnknown>(static_cast<IUserObject*>(m_session.Get()));
        return facts;
    }

    CTestOwner m_owner;
    std::shared_ptr<CUserSession> m_user;
    CComPtr<CProcessSession> m_session;
    CScriptFilterPolicy m_policy;
};

TEST_F(ScriptFilterPolicyTest, OnlyABooleanTrueLetsAConnectionGoOn) {
    const struct {
        const char* host;
        const char* serverName;
        bool allowed;
    } cases[] = {
        {"true:1", "", true},
        {"one:1", "", false},          // a number is not an answer
        {"text:1", "", false},         // nor a string that reads true
        {"error:1", "", false},        // a script error closes
        {"unlisted:1", "", false},     // the function returned Empty
        {"facts:1", "ok.test", true},  // the script sees the connection and the user
        {"facts:1", "other.test", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.allowed, m_policy.IsProtocolAllowed(Facts(c.host, c.serverName)))
            << c.host << " " << c.serverName;
    // Without a process session there is nobody to judge for.
    CConnectionFacts facts = Facts("true:1");
    facts.ptrSession.Reset();
    EXPECT_FALSE(m_policy.IsProtocolAllowed(facts));
}

TEST_F(ScriptFilterPolicyTest, RequestsGetTheVerdictTheScriptGives) {
    const struct {
        const char* query;
        const char* serverName;
        std::vector<std::string> verdicts;
    } cases[] = {
        {"do=continue", "", {"continue"}},
        {"do=abort", "", {"close"}},
        {"do=transfer", "", {"transfer block.asp?u=http://site.test/p%3fdo%3dtransfer"}},
        {"do=error", "", {}},  // reported; the data stays held
        {"do=nothing", "", {}},
        {"do=host", "host.test", {"continue"}},
        {"do=host", "other.test", {}},
    };
    for (const auto& c : cases) {
        CHTTPRequest request(nullptr, false);
        bool more = false;
        const std::string text =
            std::string("GET /p?") + c.query + " HTTP/1.1\r\nHost: site.test\r\n\r\n";
        ASSERT_EQ(S_OK, request.Parse(text, "127.0.0.2:80", false, &more)) << c.query;
        CRecordingDecision decision;
        CConnectionFacts facts = Facts("127.0.0.2:80", c.serverName);
        facts.protocol = NetworkProtocol::HTTP;
        EXPECT_EQ(S_OK, m_policy.ClassifyRequest(facts, request, &decision)) << c.query;
        EXPECT_EQ(c.verdicts, decision.verdicts) << c.query;
    }
    // Statements after a Filter method did not run.
    {
        CHTTPRequest request(nullptr, false);
        bool more = false;
        ASSERT_EQ(S_OK, request.Parse("GET /?do=continue HTTP/1.1\r\nHost: x\r\n\r\n",
                                      "127.0.0.2:80", false, &more));
        CRecordingDecision decision;
        EXPECT_EQ(S_OK, m_policy.ClassifyRequest(Facts("127.0.0.2:80"), request, &decision));
    }
    CComPtr<IApplication> app;
    ASSERT_EQ(S_OK, STORAGE_MANAGER::instance()->GetApplication(app.Receive()));
    CComVariant after;
    ASSERT_EQ(S_OK, app->get_Value(BSTR(u"after"), &after));
    EXPECT_EQ(u"", std::u16string(BSTR::ViewOf(after.bstrVal)));

    // A session whose process has gone, or none: closed at once.
    CHTTPRequest request(nullptr, false);
    bool more = false;
    ASSERT_EQ(S_OK, request.Parse("GET /?do=continue HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.2:80",
                                  false, &more));
    CRecordingDecision decision;
    CConnectionFacts facts = Facts("127.0.0.2:80");
    facts.ptrSession.Reset();
    EXPECT_EQ(S_OK, m_policy.ClassifyRequest(facts, request, &decision));
    EXPECT_EQ(std::vector<std::string>{"close"}, decision.verdicts);
}

}  // namespace
