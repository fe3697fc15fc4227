// Object RPC round trips against a bare request/response ping-pong, in one run.
//
//  - bare: two threads exchange 64-byte messages over a Unix-domain stream socket
//    pair with blocking reads and writes;
//  - rpc: a dispatch call Add(a, b) on a proxy, served by a listener in this process
//    over a Unix-domain socket, on the thread pool.
// Prints calls per second for both and the ratio rpc / bare (goal ≥ 0.5).
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
constexpr int kCalls = 20000;

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

double Bare() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    std::thread server([fd = fds[1]] {
        char buf[64];
        while (Exchange(fd, buf, false) && Exchange(fd, buf, true)) {
        }
    });
    char buf[64] = {};
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        Exchange(fds[0], buf, true);
        Exchange(fds[0], buf, false);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fds[0]);
    server.join();
    close(fds[1]);
    return kCalls / seconds;
}

double Rpc() {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("bench_rpc." + std::to_string(getpid())))
            .string();
    auto adder = MakeObject<CAdder>();
    std::shared_ptr<CRpcServer> server;
    if (FAILED(CRpcServer::Listen(path, 0600, 0700, adder.Get(), &server)))
        return 0;
    std::shared_ptr<CRpcConnection> conn;
    CComPtr<IUnknown> root;
    if (FAILED(CRpcConnection::Connect(path, &conn)) || FAILED(conn->GetRoot(root.Receive())))
        return 0;
    CComPtr<IDispatch> dispatch = ComQuery<IDispatch>(root.Get());
    double rate = 0;
    CComVariant args[2] = {CComVariant(LONG(2)), CComVariant(LONG(3))};
    DISPPARAMS params{args, nullptr, 2, 0};
    auto start = Clock::now();
    int ok = 0;
    for (int i = 0; i < kCalls; ++i) {
        CComVariant result;
        if (SUCCEEDED(dispatch->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
                                       nullptr)))
            ++ok;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (ok == kCalls)
        rate = kCalls / seconds;
    dispatch = nullptr;
    root = nullptr;
    conn->Close();
    server->Stop();
    return rate;
}

}  // namespace

int main() {
    Bare();  // warm-up
    double bare = Bare();
    double rpc = Rpc();
    std::printf("round trips per second: bare %.0f, rpc %.0f, ratio %.2f (goal >= 0.5)\n", bare,
                rpc, bare > 0 ? rpc / bare : 0.0);
    return 0;
}
