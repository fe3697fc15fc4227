// End-to-end tests of the object RPC between this process and rpc_test_server.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "com/DispatchTable.h"
#include "com/ErrorInfo.h"
#include "com/SafeArray.h"
#include "rpc/RpcServer.h"

extern char** environ;

namespace {

constexpr IID IID_ITestCustom = MakeGUID("{0C7A3B2E-55D1-4E8F-9B36-7F1D2A4C6E90}");
constexpr auto kBound = std::chrono::seconds(30);

// A local object that the peer calls back.
class CCallback : public CComObjectRoot<CCallback, IDispatchImpl<CCallback>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"ICallback",
                                          {DispMethod<&CCallback::Triple>(u"Triple", 1),
                                           DispMethod<&CCallback::Ping>(u"Ping", 2)});
        return table;
    }
    HRESULT Triple(LONG value, LONG* pResult) {
        auto caller = CurrentRpcCaller();
        callerPid = caller ? caller->pid : -1;
        *pResult = value * 3;
        return S_OK;
    }
    HRESULT Ping(BSTR* pResult) {
        auto caller = CurrentRpcCaller();
        *pResult = BSTR::FromUtf8("pong " + std::to_string(caller ? caller->pid : -1));
        return S_OK;
    }
    std::atomic<pid_t> callerPid{0};
};

// A local object whose method calls the peer's root back while the peer's call that
// brought it there is still waiting for its reply.
class CRelay : public CComObjectRoot<CRelay, IDispatchImpl<CRelay>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IRelay", {DispMethod<&CRelay::Relay>(u"Relay", 1)});
        return table;
    }
    // value + 2 * value, added up by the peer's Add.
    HRESULT Relay(LONG value, LONG* pResult) {
        CComVariant args[2] = {CComVariant(LONG(2 * value)), CComVariant(value)};
        DISPPARAMS params{args, nullptr, 2, 0};
        CComVariant result;
        HRESULT hr =
            root->Invoke(addId, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        *pResult = result.vt == VT_I4 ? result.lVal : -1;
        return hr;
    }
    CComPtr<IDispatch> root;
    DISPID addId = 0;
};

// A child process running rpc_test_server, its pipes and the socket path.
class CChild {
public:
    CChild(const std::string& path, bool client) {
        int in[2], out[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string program = RPC_TEST_SERVER;
        std::vector<char*> argv{program.data(), const_cast<char*>(path.c_str())};
        std::string mode = "client";
        if (client)
            argv.push_back(mode.data());
        argv.push_back(nullptr);
        EXPECT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }
    ~CChild() {
        close(m_stdin);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(m_stdout);
    }
    // The next line the child writes (empty at its end).
    std::string ReadLine() {
        std::string line;
        char c;
        while (::read(m_stdout, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    pid_t pid = 0;

private:
    int m_stdin = -1, m_stdout = -1;
};

class RpcEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/rpc_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_dir = dir;
        m_path = m_dir + "/sub/server.sock";
    }
    void TearDown() override {
        m_root = nullptr;
        if (m_conn)
            m_conn->Close();
        m_child.reset();
        std::filesystem::remove_all(m_dir);
    }
    void StartServer() {
        m_child = std::make_unique<CChild>(m_path, false);
        ASSERT_EQ("ready", m_child->ReadLine());
        ASSERT_EQ(S_OK, CRpcConnection::Connect(m_path, &m_conn));
        CComPtr<IUnknown> root;
        ASSERT_EQ(S_OK, m_conn->GetRoot(root.Receive()));
        m_root = ComQuery<IDispatch>(root.Get());
        ASSERT_TRUE(m_root);
    }
    // Calls the root's method `name` with arguments in their natural order.
    HRESULT CallRoot(const char16_t* name, std::vector<VARIANT> args, VARIANT* pResult,
                     EXCEPINFO* pExcep = nullptr) {
        const char16_t* names[] = {name};
        DISPID id = 0;
        HRESULT hr = m_root->GetIDsOfNames(GUID_NULL, names, 1, 0, &id);
        if (FAILED(hr))
            return hr;
        std::reverse(args.begin(), args.end());
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return m_root->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, pResult, pExcep, nullptr);
    }

    std::string m_dir, m_path;
    std::unique_ptr<CChild> m_child;
    std::shared_ptr<CRpcConnection> m_conn;
    CComPtr<IDispatch> m_root;
};

TEST_F(RpcEndToEnd, ListenerSocketHasTheModeAsked) {
    StartServer();
    struct stat st {};
    ASSERT_EQ(0, stat(m_path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat((m_dir + "/sub").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST_F(RpcEndToEnd, DispatchCallsCarryValuesStringsArraysAndByRefs) {
    StartServer();
    CComVariant result;
    ASSERT_EQ(S_OK, CallRoot(u"Add", {CComVariant(LONG(2)), CComVariant(LONG(40))}, &result));
    EXPECT_EQ(42, result.lVal);

    // Null and empty strings stay apart both ways.
    for (bool null : {true, false}) {
        CComVariant text(null ? BSTR() : BSTR::Empty()), flag, echo;
        ASSERT_EQ(S_OK, CallRoot(u"IsNullString", {text}, &flag));
        EXPECT_EQ(null ? VARIANT_TRUE : VARIANT_FALSE, flag.boolVal);
        ASSERT_EQ(S_OK, CallRoot(u"Echo", {text}, &echo));
        ASSERT_EQ(VT_BSTR, echo.vt);
        EXPECT_EQ(null, echo.bstrVal == nullptr);
    }

    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 5}};
    CComVariant array;
    array.vt = VT_ARRAY | VT_R8;
    array.parray = SafeArrayCreate(VT_R8, 2, bounds);
    LONG idx[2] = {1, 6};
    double value = 9.5;
    SafeArrayPutElement(array.parray, idx, &value);
    ASSERT_EQ(S_OK, CallRoot(u"Echo", {array}, &result));
    ASSERT_EQ(VT_ARRAY | VT_R8, result.vt);
    double back = 0;
    ASSERT_EQ(S_OK, SafeArrayGetElement(result.parray, idx, &back));
    EXPECT_EQ(9.5, back);

    LONG number = 21;
    BSTR text(u"hi");
    VARIANT refs[2];
    refs[0].vt = VT_I4 | VT_BYREF;
    refs[0].plVal = &number;
    refs[1].vt = VT_BSTR | VT_BYREF;
    refs[1].pbstrVal = &text;
    result.Clear();
    ASSERT_EQ(S_OK, CallRoot(u"Twice", {refs[0], refs[1]}, &result));
    EXPECT_EQ(42, number);
    EXPECT_EQ(u"hi!", text.View());

    EXCEPINFO excep;
    EXPECT_EQ(DISP_E_EXCEPTION, CallRoot(u"Fail", {}, &result, &excep));
    EXPECT_EQ(E_ACCESSDENIED, excep.scode);
    EXPECT_EQ(u"Denied on purpose", excep.bstrDescription.View());
    EXPECT_EQ(DISP_E_UNKNOWNNAME, CallRoot(u"NoSuchMember", {}, &result));
}

TEST_F(RpcEndToEnd, CustomInterfaceCallsByOrdinal) {
    StartServer();
    CComPtr<IRpcCall> custom = ComQuery<IRpcCall>(m_root.Get());
    ASSERT_TRUE(custom);
    CComVariant args[3] = {CComVariant(LONG(1)), CComVariant(2.0), CComVariant(u"3")};
    CComVariant result;
    ASSERT_EQ(S_OK, custom->RpcCall(IID_ITestCustom, 1, 3, args, &result));
    EXPECT_EQ(VT_I8, result.vt);
    EXPECT_EQ(6, result.llVal);

    LONG number = 8;
    VARIANT ref;
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = &number;
    ASSERT_EQ(S_OK, custom->RpcCall(IID_ITestCustom, 2, 1, &ref, nullptr));
    EXPECT_EQ(16, number);

    EXPECT_EQ(E_NOTIMPL, custom->RpcCall(IID_ITestCustom, 99, 0, nullptr, nullptr));
    CComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.Receive()));
    BSTR description;
    info->GetDescription(&description);
    EXPECT_EQ(u"No such method", description.View());
    EXPECT_EQ(E_NOINTERFACE, custom->RpcCall(IIDOf<IRpcCall>(), 1, 0, nullptr, nullptr));
}

TEST_F(RpcEndToEnd, CallbackThroughAPassedObjectAndCallerCredentials) {
    StartServer();
    auto callback = MakeObject<CCallback>();
    CComVariant result;
    ASSERT_EQ(S_OK, CallRoot(u"CallBack",
                             {CComVariant(static_cast<IDispatch*>(callback.Get())),
                              CComVariant(u"Triple"), CComVariant(LONG(7))},
                             &result));
    EXPECT_EQ(21, result.lVal);
    EXPECT_EQ(m_child->pid, callback->callerPid.load());

    result.Clear();
    ASSERT_EQ(S_OK, CallRoot(u"Caller", {}, &result));
    EXPECT_EQ(std::to_string(getuid()) + " " + std::to_string(getpid()),
              Utf16ToUtf8(result.Text()));
    EXPECT_EQ(m_child->pid, m_conn->Peer().pid);
    EXPECT_EQ(getuid(), m_conn->Peer().uid);
}

TEST_F(RpcEndToEnd, ProxiesKeepIdentityAndOwnObjectsComeBackAsThemselves) {
    StartServer();
    CComVariant a, b;
    ASSERT_EQ(S_OK, CallRoot(u"Self", {}, &a));
    ASSERT_EQ(S_OK, CallRoot(u"Self", {}, &b));
    ASSERT_EQ(VT_DISPATCH, a.vt);
    EXPECT_EQ(a.pdispVal, b.pdispVal);
    EXPECT_EQ(ComQuery<IUnknown>(a.pdispVal), ComQuery<IUnknown>(m_root.Get()));

    auto mine = MakeObject<CCallback>();
    IUnknown* mineUnk = static_cast<IDispatch*>(mine.Get());
    CComVariant kept, none;
    ASSERT_EQ(S_OK, CallRoot(u"Keep", {CComVariant(mineUnk)}, &none));
    EXPECT_EQ(1u, m_conn->ExportCount());
    ASSERT_EQ(S_OK, CallRoot(u"Kept", {}, &kept));
    ASSERT_EQ(VT_UNKNOWN, kept.vt);
    EXPECT_EQ(ComQuery<IUnknown>(mineUnk).Get(), kept.punkVal);
    // The peer drops its proxy: its release arrives before the reply.
    ASSERT_EQ(S_OK, CallRoot(u"Keep", {CComVariant(static_cast<IUnknown*>(nullptr))}, &none));
    EXPECT_EQ(0u, m_conn->ExportCount());
}

TEST_F(RpcEndToEnd, KilledPeerGivesDisconnectedWithoutHanging) {
    StartServer();
    auto pending = std::async(std::launch::async, [this] {
        CComVariant result;
        return CallRoot(u"Block", {}, &result);
    });
    ASSERT_EQ("blocked", m_child->ReadLine());
    ASSERT_EQ(0, kill(m_child->pid, SIGKILL));
    ASSERT_EQ(std::future_status::ready, pending.wait_for(kBound));
    EXPECT_EQ(RPC_E_DISCONNECTED, pending.get());
    CComVariant result;
    EXPECT_EQ(RPC_E_DISCONNECTED,
              CallRoot(u"Add", {CComVariant(LONG(1)), CComVariant(LONG(1))}, &result));
    EXPECT_FALSE(m_conn->IsConnected());
}

TEST_F(RpcEndToEnd, ConcurrentCallersAndNestedCallbacksShareTheConnection) {
    StartServer();
    auto relay = MakeObject<CRelay>();
    relay->root = m_root;
    const char16_t* names[] = {u"Add"};
    ASSERT_EQ(S_OK, m_root->GetIDsOfNames(GUID_NULL, names, 1, 0, &relay->addId));
    // Each thread's replies reach it whichever thread happens to be reading, and the
    // peer's callbacks (which call the peer again) are served while their callers wait.
    std::vector<std::future<int>> workers;
    for (int t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [this, t, &relay] {
            int wrong = 0;
            for (int i = 0; i < 60; ++i) {
                CComVariant result;
                HRESULT hr;
                LONG expected;
                if (i % 3 == 0) {
                    hr = CallRoot(u"CallBack",
                                  {CComVariant(static_cast<IDispatch*>(relay.Get())),
                                   CComVariant(u"Relay"), CComVariant(LONG(i + t))},
                                  &result);
                    expected = 3 * (i + t);
                } else {
                    hr = CallRoot(u"Add", {CComVariant(LONG(t)), CComVariant(LONG(i))}, &result);
                    expected = t + i;
                }
                if (hr != S_OK || result.vt != VT_I4 || result.lVal != expected)
                    ++wrong;
            }
            return wrong;
        }));
    }
    for (auto& worker : workers) {
        ASSERT_EQ(std::future_status::ready, worker.wait_for(kBound));
        EXPECT_EQ(0, worker.get());
    }
    relay->root = nullptr;
}

TEST_F(RpcEndToEnd, OtherCallsGoOnWhileOneWaitsAndTimesOut) {
    StartServer();
    m_conn->SetCallTimeout(std::chrono::milliseconds(500));
    auto blocked = std::async(std::launch::async, [this] {
        CComVariant result;
        return CallRoot(u"Block", {}, &result);
    });
    ASSERT_EQ("blocked", m_child->ReadLine());
    // The blocked call's thread may be the one reading: the replies of these calls still
    // reach this thread, and reading passes on when that call times out.
    for (int i = 0; i < 10; ++i) {
        CComVariant result;
        ASSERT_EQ(S_OK, CallRoot(u"Add", {CComVariant(LONG(i)), CComVariant(LONG(1))}, &result));
        EXPECT_EQ(i + 1, result.lVal);
    }
    ASSERT_EQ(std::future_status::ready, blocked.wait_for(kBound));
    EXPECT_EQ(RPC_E_TIMEOUT, blocked.get());
    CComVariant result;
    ASSERT_EQ(S_OK, CallRoot(u"Add", {CComVariant(LONG(20)), CComVariant(LONG(22))}, &result));
    EXPECT_EQ(42, result.lVal);
}

TEST_F(RpcEndToEnd, CallTimesOut) {
    StartServer();
    m_conn->SetCallTimeout(std::chrono::milliseconds(100));
    CComVariant result;
    EXPECT_EQ(RPC_E_TIMEOUT, CallRoot(u"Block", {}, &result));
}

TEST_F(RpcEndToEnd, GarbageFrameClosesOnlyThatConnection) {
    StartServer();
    // A request of another protocol, and a frame header announcing an oversized body.
    for (std::string_view garbage : {std::string_view("GET / HTTP/1.1\r\n\r\n"),
                                     std::string_view("CVRP\x01\x01\0\0\xff\xff\xff\x7f", 12)}) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        timeval limit{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_EQ(static_cast<ssize_t>(garbage.size()),
                  send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL));
        char c;
        EXPECT_EQ(0, recv(fd, &c, 1, 0));  // closed by the server, not timed out
        close(fd);
    }
    CComVariant result;
    ASSERT_EQ(S_OK, CallRoot(u"Add", {CComVariant(LONG(1)), CComVariant(LONG(2))}, &result));
    EXPECT_EQ(3, result.lVal);
}

TEST_F(RpcEndToEnd, PeerCallsIntoThisProcessAsServer) {
    auto root = MakeObject<CCallback>();
    std::shared_ptr<CRpcServer> server;
    ASSERT_EQ(S_OK,
              CRpcServer::Listen(m_path, 0600, 0700, static_cast<IDispatch*>(root.Get()), &server));
    m_child = std::make_unique<CChild>(m_path, true);
    EXPECT_EQ("ok pong " + std::to_string(m_child->pid), m_child->ReadLine());
    server->Stop();
}

}  // namespace
