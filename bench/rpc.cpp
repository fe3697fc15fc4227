// Object RPC round trips against a bare request/response ping-pong, in one run.
//
//  - bare: two threads exchange 64-byte messages over a Unix-domain stream socket
//    pair with blocking reads and writes;
//  - rpc: a dispatch call Add(a, b) on a proxy, served by a listener in this process
//    over a Unix-domain socket, on the thread pool.
// The two run in alternating rounds, so that a change in the machine's load during the
// run affects both alike. Prints calls per second for both and the ratio rpc / bare
// (goal ≥ 0.5).
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "com/DispatchTable.h"
#include "rpc/RpcServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 10;
constexpr int kCallsPerRound = 2000;

class CAdder : public CComObjectRoot<CAdder, IDispatchImpl<CAdder>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IAdder", {DispMethod<&CAdder::Add>(u"Add", 1)});
        return table;
    }
    HRESULT Add(LONG a, LONG b, LONG* pResult) {
        *pResult = a + b;
        return S_OK;
    }
};

bool Exchange(int fd, char* buf, bool write) {
    std::size_t done = 0;
    while (done < 64) {
        ssize_t n = write ? ::write(fd, buf + done, 64 - done) : ::read(fd, buf + done, 64 - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The bare ping-pong: a socket pair and the thread that answers.
class CBare {
public:
    bool Start() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds) != 0)
            return false;
        m_server = std::thread([fd = m_fds[1]] {
            char buf[64];
            while (Exchange(fd, buf, false) && Exchange(fd, buf, true)) {
            }
        });
        return true;
    }
    ~CBare() {
        if (m_server.joinable()) {
            close(m_fds[0]);
            m_server.join();
            close(m_fds[1]);
        }
    }
    // Seconds for `calls` round trips, or a negative number on failure.
    double Run(int calls) {
        char buf[64] = {};
        auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            if (!Exchange(m_fds[0], buf, true) || !Exchange(m_fds[0], buf, false))
                return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    int m_fds[2] = {-1, -1};
    std::thread m_server;
};

// The RPC: a listener serving an adder, a connection to it and the adder's proxy.
class CRpc {
public:
    bool Start() {
        m_path =
            (std::filesystem::temp_directory_path() / ("bench_rpc." + std::to_string(getpid())))
                .string();
        auto adder = MakeObject<CAdder>();
        CComPtr<IUnknown> root;
        if (FAILED(CRpcServer::Listen(m_path, 0600, 0700, adder.Get(), &m_server)) ||
            FAILED(CRpcConnection::Connect(m_path, &m_conn)) ||
            FAILED(m_conn->GetRoot(root.Receive())))
            return false;
        m_dispatch = ComQuery<IDispatch>(root.Get());
        return m_dispatch != nullptr;
    }
    ~CRpc() {
        m_dispatch = nullptr;
        if (m_conn)
            m_conn->Close();
        if (m_server)
            m_server->Stop();
    }
    double Run(int calls) {
        CComVariant args[2] = {CComVariant(LONG(2)), CComVariant(LONG(3))};
        DISPPARAMS params{args, nullptr, 2, 0};
        auto start = Clock::now();
        for (int i = 0; i < calls; ++i) {
            CComVariant result;
            if (FAILED(m_dispatch->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, &result,
                                          nullptr, nullptr)) ||
                result.lVal != 5)
                return -1;
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    std::string m_path;
    std::shared_ptr<CRpcServer> m_server;
    std::shared_ptr<CRpcConnection> m_conn;
    CComPtr<IDispatch> m_dispatch;
};

}  // namespace

int main() {
    CBare bare;
    CRpc rpc;
    if (!bare.Start() || !rpc.Start()) {
        std::printf("setup failed\n");
        return 1;
    }
    // Warm-up.
    if (bare.Run(kCallsPerRound) < 0 || rpc.Run(kCallsPerRound) < 0) {
        std::printf("warm-up failed\n");
        return 1;
    }
    double bareSeconds = 0, rpcSeconds = 0;
    for (int round = 0; round < kRounds; ++round) {
        double b = bare.Run(kCallsPerRound);
        double r = rpc.Run(kCallsPerRound);
        if (b < 0 || r < 0) {
            std::printf("round %d failed\n", round);
            return 1;
        }
        bareSeconds += b;
        rpcSeconds += r;
    }
    const double calls = double(kRounds) * kCallsPerRound;
    const double bareRate = calls / bareSeconds, rpcRate = calls / rpcSeconds;
    std::printf("round trips per second: bare %.0f, rpc %.0f, ratio %.2f (goal >= 0.5)\n", bareRate,
                rpcRate, rpcRate / bareRate);
    return 0;
}
