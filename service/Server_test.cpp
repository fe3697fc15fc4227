// The Server object: arguments, the RPC convention, and the tray handed over by a peer.
#include "service/Server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "com/CComVariant.h"
#include "idl/DispatchIds.h"
#include "service/PelloraProxy.h"

namespace {

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const std::string path = std::filesystem::temp_directory_path() /
                                        ("cv-server-" + std::to_string(getpid()) + ".reg");
        setenv("CORVANE_REGISTRY", path.c_str(), 1);
    }
    void SetUp() override { ASSERT_EQ(S_OK, m_socketServer.Start()); }
    void TearDown() override { m_socketServer.Stop(); }

    CSocketServer m_socketServer;
    CComPtr<CServer> m_server = MakeObject<CServer>(&m_socketServer);
};

TEST_F(ServerTest, ArgumentErrorsLeaveTheServerClassIdInTheKey) {
    USHORT port = 0;
    GUID key;
    EXPECT_EQ(E_INVALIDARG, m_server->Init(0, BSTR(u"x"), nullptr, &port, &key));
    EXPECT_EQ(E_POINTER, m_server->Init(getpid(), BSTR(u"x"), nullptr, nullptr, &key));
    EXPECT_EQ(E_POINTER, m_server->Init(getpid(), BSTR(u"x"), nullptr, &port, nullptr));
    // A process that does not exist cannot be attached.
    EXPECT_EQ(E_INVALIDARG, m_server->Init(0x7FFFFFF0, BSTR(u"x"), nullptr, &port, &key));
    EXPECT_EQ(key, CLSID_Server);
    EXPECT_EQ(E_POINTER, m_server->Term(nullptr));
    EXPECT_EQ(S_OK, m_server->Term(&key));  // no session knows it
}

TEST_F(ServerTest, RpcInitAndTermByOrdinal) {
    // This test runs as root, which is not an interactive user: attached, not diverted.
    USHORT port = 0;
    BSTR keyText;
    VARIANT args[5];
    for (auto& a : args)
        VariantInit(&a);
    args[0].vt = VT_I4;
    args[0].lVal = getpid();
    VariantSetBstr(&args[1], BSTR(u"/usr/bin/browser"));
    args[3].vt = VT_UI2 | VT_BYREF;
    args[3].puiVal = &port;
    args[4].vt = VT_BSTR | VT_BYREF;
    args[4].pbstrVal = &keyText;
    ASSERT_EQ(S_OK, m_server->RpcCall(IID_ISocketServer, 1, 5, args, nullptr));
    EXPECT_EQ(port, m_socketServer.PrivatePort());
    EXPECT_EQ(keyText.ToUtf8(), GUID2String(GUID{}));

    // Wrong shapes are refused without touching anything.
    args[3].vt = VT_I4 | VT_BYREF;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, m_server->RpcCall(IID_ISocketServer, 1, 5, args, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, m_server->RpcCall(IID_ISocketServer, 1, 4, args, nullptr));
    EXPECT_EQ(E_NOINTERFACE, m_server->RpcCall(IID_IPellora, 1, 5, args, nullptr));
    EXPECT_EQ(E_NOTIMPL, m_server->RpcCall(IID_ISocketServer, 3, 0, nullptr, nullptr));
    VariantClear(&args[1]);

    CComVariant term(u"not a key");
    EXPECT_EQ(E_INVALIDARG, m_server->RpcCall(IID_ISocketServer, 2, 1, &term, nullptr));
    term = CComVariant(BSTR::FromUtf8(GUID2String(NewGUID())));
    EXPECT_EQ(S_OK, m_server->RpcCall(IID_ISocketServer, 2, 1, &term, nullptr));
}

// A peer's tray as the RPC delivers it: an object that answers IRpcCall only.
class CRemoteTray : public CComObjectRoot<CRemoteTray, IRpcCall> {
public:
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) override {
        if (iid != IID_IPellora)
            return E_NOINTERFACE;
        calls.push_back(method);
        if (method == 2 && cArgs == 1 && rgArgs[0].vt == VT_UI2)
            port = rgArgs[0].uiVal;
        if (method == 4 && cArgs == 1 && rgArgs[0].vt == (VT_BSTR | VT_BYREF))
            *rgArgs[0].pbstrVal = BSTR(u"tip");
        if (method == 7 && cArgs == 1 && rgArgs[0].vt == (VT_UNKNOWN | VT_BYREF) && menu) {
            menu->AddRef();
            *rgArgs[0].ppunkVal = menu.Get();
        }
        return S_OK;
    }
    std::vector<ULONG> calls;
    USHORT port = 0;
    CComPtr<IUnknown> menu;
};

// A peer's menu as the RPC delivers it: a dispatch object that does not answer IMenu.
class CRemoteMenu : public CComObjectRoot<CRemoteMenu, IDispatchImpl<CRemoteMenu>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(
            u"IMenu", {DispGet<&CRemoteMenu::get_ItemCount>(u"ItemCount", DISPID_IMENU_ITEMCOUNT)});
        return table;
    }
    HRESULT get_ItemCount(LONG* pVal) {
        *pVal = 3;
        return S_OK;
    }
};

TEST(PelloraProxy, MapsOperationsToOrdinalsAndKeepsTheRemoteIdentity) {
    auto remote = MakeObject<CRemoteTray>();
    IUnknown* unknown = static_cast<IRpcCall*>(remote.Get());
    CComPtr<IPellora> tray = CPelloraProxy::FromUnknown(unknown);
    ASSERT_TRUE(tray);
    ASSERT_EQ(S_OK, tray->SetPrivatePort(4321));
    EXPECT_EQ(remote->port, 4321);
    BSTR tip;
    ASSERT_EQ(S_OK, tray->GetTip(&tip));
    EXPECT_EQ(tip, BSTR(u"tip"));
    ASSERT_EQ(S_OK, tray->TestAlive());
    ASSERT_EQ(S_OK, tray->DestroyTrayIcon());
    EXPECT_EQ(remote->calls, (std::vector<ULONG>{2, 4, 8, 9}));
    CComPtr<IPellora> again = CPelloraProxy::FromUnknown(unknown);
    EXPECT_EQ(ComQuery<IUnknown>(tray.Get()).Get(), ComQuery<IUnknown>(again.Get()).Get());
    EXPECT_FALSE(CPelloraProxy::FromUnknown(nullptr));
}

TEST(PelloraProxy, HandsOutTheRemoteMenuAsAnIMenu) {
    auto remote = MakeObject<CRemoteTray>();
    CComPtr<IPellora> tray = CPelloraProxy::FromUnknown(static_cast<IRpcCall*>(remote.Get()));
    ASSERT_TRUE(tray);
    CComPtr<IMenu> menu;
    ASSERT_EQ(S_OK, tray->GetMenu(menu.Receive()));
    EXPECT_FALSE(menu);  // the tray gave none

    remote->menu = static_cast<IDispatch*>(MakeObject<CRemoteMenu>().Get());
    ASSERT_EQ(S_OK, tray->GetMenu(menu.Receive()));
    ASSERT_TRUE(menu);
    LONG count = 0;
    ASSERT_EQ(S_OK, menu->get_ItemCount(&count));
    EXPECT_EQ(count, 3);
}

}  // namespace
