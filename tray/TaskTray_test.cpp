// Tests of the tray object: what it stores, what it posts to the window and when, and its
// methods by ordinal over the object RPC, as the service calls them.
#include "tray/TaskTray.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "com/CComVariant.h"
#include "idl/Identifiers.h"
#include "rpc/RpcInterfaces.h"
#include "rpc/RpcServer.h"

namespace {

class CFakeWindow : public ITrayWindow {
public:
    void Post(TrayPost post) override {
        std::lock_guard guard(m_lock);
        posts.push_back(std::move(post));
    }
    void MenuChanged() override { ++menuChanges; }
    void Destroy() override { ++destroys; }
    void Reset() override { ++resets; }
    std::mutex m_lock;
    std::vector<TrayPost> posts;
    std::atomic<int> menuChanges{0}, destroys{0}, resets{0};
};

class TaskTrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_tray = MakeObject<CTaskTray>(&m_hr, std::chrono::milliseconds(300));
        ASSERT_EQ(S_OK, m_hr);
    }
    HRESULT m_hr = S_OK;
    CComPtr<CTaskTray> m_tray;
    CFakeWindow m_window;
};

TEST_F(TaskTrayTest, StringsAreStoredAndPostedOnlyWhenTheyChange) {
    BSTR value;
    EXPECT_EQ(S_OK, m_tray->GetTip(&value));
    EXPECT_EQ("", value.ToUtf8());
    EXPECT_FALSE(value.IsNull()) << "an empty copy, not nothing";
    m_tray->SetWindow(&m_window);
    EXPECT_EQ(S_OK, m_tray->SetTip(BSTR::FromUtf8("Filtering on")));
    EXPECT_EQ(S_OK, m_tray->SetTip(BSTR::FromUtf8("Filtering on")));
    EXPECT_EQ(S_OK, m_tray->SetIcon(BSTR::FromUtf8("images/taskbar.off.ico")));
    EXPECT_EQ(S_OK, m_tray->GetTip(&value));
    EXPECT_EQ("Filtering on", value.ToUtf8());
    EXPECT_EQ(S_OK, m_tray->GetIcon(&value));
    EXPECT_EQ("images/taskbar.off.ico", value.ToUtf8());
    ASSERT_EQ(2u, m_window.posts.size()) << "the repeated tip posts nothing";
    EXPECT_EQ(TrayMessage::SetTip, m_window.posts[0].message);
    EXPECT_EQ("Filtering on", m_window.posts[0].strText);
    EXPECT_EQ(TrayMessage::SetIcon, m_window.posts[1].message);
}

TEST_F(TaskTrayTest, WithoutAWindowPostingMethodsFailUnexpected) {
    EXPECT_EQ(E_UNEXPECTED, m_tray->SetTip(BSTR::FromUtf8("x")));
    EXPECT_EQ(E_UNEXPECTED, m_tray->SetIcon(BSTR::FromUtf8("x")));
    CComVariant missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(E_UNEXPECTED, m_tray->BubbleHelp(BSTR::FromUtf8("t"), BSTR::FromUtf8("m"),
                                               BSTR::FromUtf8("u"), missing));
    EXPECT_EQ(S_OK, m_tray->TestAlive());
}

TEST_F(TaskTrayTest, SetPrivatePortWaitsForTheWindowThenTimesOut) {
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_tray->SetWindow(&m_window);
    });
    EXPECT_EQ(S_OK, m_tray->SetPrivatePort(4321));
    late.join();
    USHORT port = 0;
    EXPECT_EQ(S_OK, m_tray->GetPrivatePort(&port));
    EXPECT_EQ(4321, port);
    ASSERT_EQ(1u, m_window.posts.size());
    EXPECT_EQ(4321u, m_window.posts[0].uValue);

    m_tray->SetWindow(nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(E_FAIL, m_tray->SetPrivatePort(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(TaskTrayTest, BalloonsCarryTheirExtrasAsText) {
    m_tray->SetWindow(&m_window);
    CComVariant missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(S_OK, m_tray->BubbleHelp(BSTR::FromUtf8("Title"), BSTR::FromUtf8("Text"),
                                       BSTR::FromUtf8("blocked.asp"), missing));
    EXPECT_EQ(S_OK, m_tray->BubbleHelp(BSTR::FromUtf8("T"), BSTR::FromUtf8("M"), BSTR(),
                                       CComVariant(7L)));
    ASSERT_EQ(2u, m_window.posts.size());
    EXPECT_EQ(TrayMessage::Balloon, m_window.posts[0].message);
    EXPECT_EQ("Title", m_window.posts[0].balloon.strTitle);
    EXPECT_EQ("Text", m_window.posts[0].balloon.strMessage);
    EXPECT_EQ("blocked.asp", m_window.posts[0].balloon.strClickUrl);
    EXPECT_EQ("", m_window.posts[0].balloon.strExtras);
    EXPECT_EQ("7", m_window.posts[1].balloon.strExtras);
}

TEST_F(TaskTrayTest, MenuDestroyAndReset) {
    m_tray->SetWindow(&m_window);
    EXPECT_EQ(E_POINTER, m_tray->GetMenu(nullptr));
    CComPtr<IMenu> menu;
    ASSERT_EQ(S_OK, m_tray->GetMenu(menu.Receive()));
    ASSERT_EQ(S_OK, menu->AddItem(BSTR::FromUtf8("A"), true, BSTR::FromUtf8("a.asp"), nullptr));
    EXPECT_GE(m_window.menuChanges.load(), 1);
    int destroyed = 0;
    m_tray->SetDestroyHandler([&] { ++destroyed; });
    EXPECT_EQ(S_OK, m_tray->DestroyTrayIcon());
    EXPECT_EQ(1, m_window.destroys.load());
    EXPECT_EQ(1, destroyed);

    ASSERT_EQ(S_OK, m_tray->SetTip(BSTR::FromUtf8("tip")));
    ASSERT_EQ(S_OK, m_tray->SetPrivatePort(99));
    m_tray->Reset();
    EXPECT_EQ(1, m_window.resets.load());
    BSTR tip;
    m_tray->GetTip(&tip);
    EXPECT_EQ("", tip.ToUtf8());
    USHORT port = 1;
    m_tray->GetPrivatePort(&port);
    EXPECT_EQ(0, port);
    LONG count = -1;
    menu->get_ItemCount(&count);
    EXPECT_EQ(0, count) << "a new service starts with an empty menu";
    EXPECT_EQ(S_OK, m_tray->SetTip(BSTR::FromUtf8("tip"))) << "the same tip is new again";
    EXPECT_EQ(TrayMessage::SetTip, m_window.posts.back().message);
}

// The methods by ordinal, over a real connection, as the service's proxy calls them.
TEST_F(TaskTrayTest, OrdinalsOverTheObjectRpc) {
    m_tray->SetWindow(&m_window);
    const std::string dir = ::testing::TempDir() + "pellora-rpc-" + std::to_string(getpid());
    const std::string path = dir + "/pellora.sock";
    std::shared_ptr<CRpcServer> server;
    ASSERT_EQ(S_OK,
              CRpcServer::Listen(path, 0600, 0700, static_cast<IPellora*>(m_tray.Get()), &server));
    std::shared_ptr<CRpcConnection> connection;
    ASSERT_EQ(S_OK, CRpcConnection::Connect(path, &connection));
    CComPtr<IUnknown> root;
    ASSERT_EQ(S_OK, connection->GetRoot(root.Receive()));
    CComPtr<IRpcCall> tray = ComQuery<IRpcCall>(root.Get());
    ASSERT_TRUE(tray);

    CComVariant result;
    EXPECT_EQ(S_OK, RpcInvoke(tray.Get(), IID_IPellora, 3, &result, BSTR::FromUtf8("Remote tip")));
    BSTR tip;
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_BSTR | VT_BYREF;
    out.pbstrVal = &tip;
    EXPECT_EQ(S_OK, tray->RpcCall(IID_IPellora, 4, 1, &out, &result));
    EXPECT_EQ("Remote tip", tip.ToUtf8());

    CComVariant port;
    port.vt = VT_UI2;
    port.uiVal = 5555;
    EXPECT_EQ(S_OK, tray->RpcCall(IID_IPellora, 2, 1, &port, &result));
    USHORT got = 0;
    VariantInit(&out);
    out.vt = VT_UI2 | VT_BYREF;
    out.puiVal = &got;
    EXPECT_EQ(S_OK, tray->RpcCall(IID_IPellora, 10, 1, &out, &result));
    EXPECT_EQ(5555, got);
    EXPECT_EQ(S_OK, tray->RpcCall(IID_IPellora, 8, 0, nullptr, &result));

    // GetMenu hands out the menu, which the service's scripts then call by dispatch.
    IUnknown* menu = nullptr;
    VariantInit(&out);
    out.vt = VT_UNKNOWN | VT_BYREF;
    out.ppunkVal = &menu;
    ASSERT_EQ(S_OK, tray->RpcCall(IID_IPellora, 7, 1, &out, &result));
    CComPtr<IUnknown> held;
    held.Attach(menu);
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(held.Get());
    ASSERT_TRUE(dispatch);
    CComVariant args[3] = {CComVariant(BSTR::FromUtf8("remote.asp")), CComVariant(true),
                           CComVariant(BSTR::FromUtf8("Remote"))};  // reverse order
    DISPPARAMS params{args, nullptr, 3, 0};
    EXPECT_EQ(S_OK,
              dispatch->Invoke(1, IID{}, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    LONG count = 0;
    m_tray->RootMenu()->get_ItemCount(&count);
    EXPECT_EQ(1, count);
    BSTR url;
    m_tray->RootMenu()->get_ItemUrl(1, &url);
    EXPECT_EQ("remote.asp", url.ToUtf8());

    EXPECT_EQ(E_NOTIMPL, tray->RpcCall(IID_IPellora, 11, 0, nullptr, &result));
    EXPECT_EQ(S_OK, tray->RpcCall(IID_IPellora, 9, 0, nullptr, &result));
    EXPECT_EQ(1, m_window.destroys.load());

    dispatch = nullptr;
    held = nullptr;
    tray = nullptr;
    root = nullptr;
    connection->Close();
    server->Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
