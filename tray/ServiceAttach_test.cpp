// Tests of attaching the tray to the service: the Init call and its callback, a service
// that lets go of the tray, and a service that goes away and comes back.
#include "tray/ServiceAttach.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "com/CComVariant.h"
#include "idl/Identifiers.h"
#include "rpc/RpcServer.h"

namespace {

// The service's Server object as far as the tray sees it: Init keeps the tray and tells
// it the port while the call is still running, as the user session does.
class CFakeServer : public CComObjectRoot<CFakeServer, IRpcCall> {
public:
    HRESULT RpcCall(const IID& iid, ULONG method, UINT cArgs, VARIANT* rgArgs, VARIANT*) override {
        if (iid != IID_ISocketServer || method != 1 || cArgs != 5)
            return E_NOTIMPL;
        CComPtr<IRpcCall> tray = ComQuery<IRpcCall>(rgArgs[2].punkVal);
        if (!tray)
            return E_NOINTERFACE;
        CComVariant port;
        port.vt = VT_UI2;
        port.uiVal = 4321;
        CComVariant result;
        HRESULT hr = tray->RpcCall(IID_IPellora, 2, 1, &port, &result);
        if (FAILED(hr))
            return hr;
        {
            std::lock_guard guard(m_lock);
            m_tray = tray;
            m_pid = rgArgs[0].lVal;
            ++m_inits;
        }
        m_cv.notify_all();
        *rgArgs[3].puiVal = 4321;
        *rgArgs[4].pbstrVal = BSTR::FromUtf8("{00000000-0000-0000-0000-000000000000}");
        return S_OK;
    }
    bool WaitInits(int n) {
        std::unique_lock guard(m_lock);
        return m_cv.wait_for(guard, std::chrono::seconds(20), [&] { return m_inits >= n; });
    }
    void DropTray() {
        std::lock_guard guard(m_lock);
        m_tray = nullptr;
    }
    std::mutex m_lock;
    std::condition_variable m_cv;
    CComPtr<IRpcCall> m_tray;
    LONG m_pid = 0;
    int m_inits = 0;
};

// The tray: records the port it is told.
class CPortTray : public CComObjectRoot<CPortTray, IRpcCall> {
public:
    HRESULT RpcCall(const IID& iid, ULONG method, UINT, VARIANT* rgArgs, VARIANT*) override {
        if (iid == IID_IPellora && method == 2)
            port = rgArgs[0].uiVal;
        return S_OK;
    }
    std::atomic<USHORT> port{0};
};

struct Events {
    std::promise<USHORT> attached;
    std::promise<void> lost, released;
    std::atomic<int> attaches{0};
    CServiceAttach::Handlers Handlers() {
        return {[this](USHORT port) {
                    if (attaches++ == 0)
                        attached.set_value(port);
                },
                [this] { lost.set_value(); }, [this] { released.set_value(); }};
    }
};

class ServiceAttachTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = ::testing::TempDir() + "pellora-attach-" + std::to_string(getpid());
        m_path = m_dir + "/server.sock";
        m_server = MakeObject<CFakeServer>();
        m_tray = MakeObject<CPortTray>();
    }
    void TearDown() override {
        // The fake holds the tray's proxy, which holds the connection that holds the fake.
        m_server->DropTray();
        if (m_listener)
            m_listener->Stop();
        std::filesystem::remove_all(m_dir);
    }
    void Listen() {
        ASSERT_EQ(S_OK, CRpcServer::Listen(m_path, 0600, 0700,
                                           static_cast<IRpcCall*>(m_server.Get()), &m_listener));
    }
    std::string m_dir, m_path;
    CComPtr<CFakeServer> m_server;
    CComPtr<CPortTray> m_tray;
    std::shared_ptr<CRpcServer> m_listener;
};

TEST_F(ServiceAttachTest, AttachesWithItsPidAndEndsWhenTheServiceLetsGo) {
    Listen();
    Events events;
    CServiceAttach attach(m_tray.Get(), m_path, events.Handlers());
    attach.Start();
    auto attached = events.attached.get_future();
    ASSERT_EQ(std::future_status::ready, attached.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(4321, attached.get());
    EXPECT_EQ(4321, m_tray->port.load()) << "the port came through the tray during Init";
    EXPECT_EQ(getpid(), m_server->m_pid);

    m_server->DropTray();
    auto released = events.released.get_future();
    EXPECT_EQ(std::future_status::ready, released.wait_for(std::chrono::seconds(20)));
    attach.Stop();
}

TEST_F(ServiceAttachTest, WaitsForTheServiceAndAttachesAgainAfterItWentAway) {
    Events events;
    CServiceAttach attach(m_tray.Get(), m_path, events.Handlers(),
                          {std::chrono::milliseconds(20), std::chrono::milliseconds(200)});
    attach.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a few failed tries
    Listen();
    // The tray's side of the Init must be over too: a service that goes away before its
    // answer arrives was never attached to, and the tray simply tries again.
    auto attached = events.attached.get_future();
    ASSERT_EQ(std::future_status::ready, attached.wait_for(std::chrono::seconds(20)));

    m_listener->Stop();  // the service goes away: its connections end
    m_listener = nullptr;
    auto lost = events.lost.get_future();
    ASSERT_EQ(std::future_status::ready, lost.wait_for(std::chrono::seconds(20)));
    m_server->DropTray();
    Listen();
    EXPECT_TRUE(m_server->WaitInits(2));
    attach.Stop();  // ends at once, while attached
}

}  // namespace
