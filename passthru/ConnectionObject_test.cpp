// The script object Connection: read by name through IDispatch and by a real VBScript
// run, refused when a script sets it; and the server name of an HTTP Host header.
#include "passthru/ConnectionObject.h"

#include <gtest/gtest.h>

#include "com/Strings.h"
#include "com/VarMath.h"
#include "idl/DispatchIds.h"
#include "script/engine/vbscript/VBScriptEngine.h"

namespace {

CComPtr<CConnectionObject> MakeConnection() {
    return CConnectionObject::Create(NetworkProtocol::TLS1, "192.0.2.7:443", "example.test",
                                     BSTR(u"browser"));
}

DISPID IdOf(IDispatch* pDisp, const char16_t* name) {
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(pDisp->GetIDsOfNames(GUID_NULL, &name, 1, 0x409, &id), S_OK) << Utf16ToUtf8(name);
    return id;
}

TEST(ConnectionObjectTest, PropertiesByNameAndReadOnly) {
    CComPtr<CConnectionObject> ptrConnection = MakeConnection();
    ASSERT_TRUE(ptrConnection);
    CComPtr<IConnection> ptrInterface;
    ASSERT_EQ(ptrConnection.QueryInterface(ptrInterface), S_OK);
    CComPtr<IDispatch> ptrDisp;
    ASSERT_EQ(ptrConnection.QueryInterface(ptrDisp), S_OK);
    // One of the program's own objects, which script collections refuse to keep.
    CComPtr<ICorvane_Reserved> ptrReserved;
    EXPECT_EQ(ptrConnection.QueryInterface(ptrReserved), S_OK);

    struct Case {
        const char16_t* name;
        DISPID dispid;
        CComVariant expected;
    };
    const Case cases[] = {
        {u"Protocol", DISPID_ICONNECTION_PROTOCOL, CComVariant(LONG{2})},
        {u"address", DISPID_ICONNECTION_ADDRESS, CComVariant(BSTR(u"192.0.2.7:443"))},
        {u"SERVERNAME", DISPID_ICONNECTION_SERVERNAME, CComVariant(BSTR(u"example.test"))},
        {u"ProcessName", DISPID_ICONNECTION_PROCESSNAME, CComVariant(BSTR(u"browser"))},
    };
    for (const Case& c : cases) {
        const std::string what = Utf16ToUtf8(c.name);
        ASSERT_EQ(IdOf(ptrDisp.Get(), c.name), c.dispid) << what;
        DISPPARAMS none;
        CComVariant value;
        ASSERT_EQ(ptrDisp->Invoke(c.dispid, GUID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &value,
                                  nullptr, nullptr),
                  S_OK)
            << what;
        EXPECT_EQ(value.vt, c.expected.vt) << what;
        EXPECT_EQ(VarCmp(&value, &c.expected, 0x409, 0), VARCMP_EQ) << what;

        // A put finds no member, and the value stays.
        CComVariant newValue(BSTR(u"other.test"));
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS put;
        put.rgvarg = &newValue;
        put.rgdispidNamedArgs = &putId;
        put.cArgs = 1;
        put.cNamedArgs = 1;
        EXPECT_EQ(ptrDisp->Invoke(c.dispid, GUID_NULL, 0x409, DISPATCH_PROPERTYPUT, &put, nullptr,
                                  nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND)
            << what;
    }
    BSTR bstrName;
    ASSERT_EQ(ptrInterface->get_ServerName(&bstrName), S_OK);
    EXPECT_EQ(bstrName.View(), u"example.test");
    EXPECT_EQ(ptrInterface->get_Protocol(nullptr), E_POINTER);
}

TEST(ConnectionObjectTest, NoNameReadsAsEmptyStrings) {
    CComPtr<CConnectionObject> ptrConnection =
        CConnectionObject::Create(NetworkProtocol::Unrecognised, "192.0.2.7:22", "", BSTR());
    ASSERT_TRUE(ptrConnection);
    BSTR bstrName, bstrProcess;
    ASSERT_EQ(ptrConnection->get_ServerName(&bstrName), S_OK);
    ASSERT_EQ(ptrConnection->get_ProcessName(&bstrProcess), S_OK);
    // Scripts compare with "" and concatenate: a null string would read as Null in places.
    EXPECT_FALSE(bstrName.IsNull());
    EXPECT_TRUE(bstrName.View().empty());
    EXPECT_FALSE(bstrProcess.IsNull());
    EXPECT_TRUE(bstrProcess.View().empty());
}

// The named items "Connection" and "Out" (Line writes one line of text).
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

class CFilterSite : public CComObjectRoot<CFilterSite, IActiveScriptSite> {
public:
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 1033;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR& name, DWORD, IUnknown** ppiunkItem, ITypeInfo**) override {
        IDispatch* pItem = nullptr;
        if (EqualsNoCase(name.View(), u"Connection"))
            pItem = m_ptrConnection.Get();
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
        m_ptrOutput->m_text += "error: " + ei.bstrDescription.ToUtf8() + "\n";
        return S_OK;
    }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }

    CComPtr<IDispatch> m_ptrConnection;
    CComPtr<COutput> m_ptrOutput = MakeObject<COutput>();
};

TEST(ConnectionObjectTest, FilterScriptReadsTheConnection) {
    CComPtr<CConnectionObject> ptrConnection = MakeConnection();
    ASSERT_TRUE(ptrConnection);
    CComPtr<CFilterSite> ptrSite = MakeObject<CFilterSite>();
    ptrSite->m_ptrConnection = static_cast<IConnection*>(ptrConnection.Get());
    CComPtr<CVBScriptEngine> ptrEngine = MakeObject<CVBScriptEngine>();
    ASSERT_EQ(S_OK, ptrEngine->SetScriptSite(ptrSite.Get()));
    ASSERT_EQ(S_OK, ptrEngine->AddNamedItem(BSTR(u"Connection"), SCRIPTITEM_ISVISIBLE));
    ASSERT_EQ(S_OK, ptrEngine->AddNamedItem(BSTR(u"Out"), SCRIPTITEM_ISVISIBLE));
    ptrEngine->ParseScriptText(
        BSTR(u"Out.Line TypeName(Connection)\n"
             u"Out.Line Connection.Protocol & \" \" & Connection.Address\n"
             u"If Connection.ServerName = \"example.test\" Then Out.Line \"named \" & "
             u"Connection.ProcessName\n"
             u"Out.Line Right(Connection.ServerName, 5) & \" \" & VarType(Connection.Protocol)\n"
             u"On Error Resume Next\n"
             u"Connection.ServerName = \"other.test\"\n"
             u"Out.Line (Err.Number <> 0) & \" \" & Connection.ServerName\n"),
        BSTR(), nullptr, BSTR(), 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, nullptr);
    ptrEngine->SetScriptState(SCRIPTSTATE_CONNECTED);
    ptrEngine->Close();
    EXPECT_EQ(ptrSite->m_ptrOutput->m_text,
              "IConnection\n"
              "2 192.0.2.7:443\n"
              "named browser\n"
              ".test 3\n"
              "True example.test\n");
}

TEST(ConnectionObjectTest, ServerNameFromHostHeader) {
    struct Case {
        const char* host;
        const char* expected;
    };
    const Case cases[] = {
        {"example.test", "example.test"},
        {"Example.TEST:8080", "example.test"},
        {" example.test\t", "example.test"},
        {"example.test:", "example.test"},
        {"example.test.", "example.test"},
        {"192.0.2.7:80", "192.0.2.7"},
        {"[::1]:8080", "[::1]"},
        {"[2001:DB8::1]", "[2001:db8::1]"},
        {"[::ffff:192.0.2.7]:443", "[::ffff:192.0.2.7]"},
        {"", ""},
        {"   ", ""},
        {":80", ""},
        {"example.test:8o", ""},
        {"example.test:80:81", ""},
        {"[::1", ""},
        {"[::1]x", ""},
        {"[]", ""},
        {"[fe80::1%25eth0]", ""},
        {"[example.test]", ""},
        {"user@example.test", ""},
        {"exa mple.test", ""},
        {"example..test", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServerNameFromHTTPHost(c.host), c.expected) << "[" << c.host << "]";
}

}  // namespace
