// The local web server's connection and response over loopback: keep-alive round trips
// per second (one small GET answered with a 200-byte body) against a plain ping-pong of
// the same sizes between two blocking sockets, and the rate of a 64 MB body against a
// plain send of the same bytes. Printed as ratios against those baselines.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "async/AsyncWrite.h"
#include "cfb/StorageInterfaces.h"
#include "http/HTTPConnection.h"
#include "http/HTTPResponse.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSmallBody = 200;
constexpr std::size_t kLargeBody = 64u << 20;
const std::string kRequest = "GET /page.asp HTTP/1.1\r\nHost: localhost\r\n\r\n";

// A connected pair on 127.0.0.1: `accepted` and `client` descriptors.
bool Connect(int* accepted, int* client) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    *client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    *accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    int one = 1;
    ::setsockopt(*client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(*accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return *accepted >= 0;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `bytes` more bytes have arrived.
bool Receive(int fd, std::size_t bytes) {
    static thread_local char chunk[1 << 16];
    while (bytes > 0) {
        const ssize_t n = ::recv(fd, chunk, std::min(sizeof(chunk), bytes), 0);
        if (n <= 0)
            return false;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

// A body stream over a shared string.
class CBodyStream final : public CComObjectRoot<CBodyStream, IStream> {
public:
    explicit CBodyStream(const std::string* bytes) : m_bytes(bytes) {}
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        const ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_bytes->size() - m_pos));
        std::memcpy(pv, m_bytes->data() + m_pos, n);
        m_pos += n;
        *pcbRead = n;
        return n == cb ? S_OK : S_FALSE;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LONGLONG move, DWORD, ULONGLONG*) override {
        m_pos = static_cast<ULONGLONG>(move);
        return S_OK;
    }
    HRESULT SetSize(ULONGLONG) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULONGLONG, ULONGLONG*, ULONGLONG*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULONGLONG, ULONGLONG, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULONGLONG, ULONGLONG, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG* pstat, DWORD) override {
        *pstat = STATSTG{};
        pstat->cbSize = m_bytes->size();
        return S_OK;
    }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    const std::string* m_bytes;
    ULONGLONG m_pos = 0;
};

// Answers every request with the body that its path names; the client waits for each
// answer, so no busy-socket registration is needed here.
class CBenchServer final : public CHTTPRequestHandler {
public:
    std::string small = std::string(kSmallBody, 'x');
    std::string large = std::string(kLargeBody, 'y');

    void ProcessRequest(const std::shared_ptr<CHTTPRequest>& request,
                        const CSocketHandle& sock) override {
        CComPtr<CHTTPResponse> response = CHTTPResponse::Create(nullptr);
        response->SetSocketOwner(nullptr);
        response->PutHeader("Content-Type", "text/html");
        CComPtr<IStream> body(
            MakeObject<CBodyStream>(request->GetPath() == "/large" ? &large : &small));
        response->SetEntityStream(body.Get());
        response->Send(sock, false);
    }
    void RespondError(const std::shared_ptr<CHTTPRequest>&, const CSocketHandle&, ULONG) override {}
    void RespondInternalError(const std::shared_ptr<CHTTPRequest>&, const CSocketHandle&,
                              HRESULT) override {}
};

// The size of the head that the server sends before a body of `bodySize` bytes.
std::size_t HeadSize(std::size_t bodySize) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ").size() +
           std::to_string(bodySize).size() + 2 + std::string("Date: ").size() +
           CHTTPResponse::FormatDate(0).size() + 2 + std::string("Server: ").size() +
           CHTTPResponse::ServerName().size() + 2 + 2;
}

template <class F>
double PerSecond(F&& once) {
    int n = 0;
    const auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    do {
        if (!once())
            return -1;
        ++n;
        elapsed = Clock::now() - start;
    } while (elapsed.count() < 2.0);
    return n / elapsed.count();
}

}  // namespace

int main() {
    CBenchServer server;
    int accepted = -1, client = -1;
    if (!Connect(&accepted, &client))
        return 1;
    CSocketHandle sock;
    if (FAILED(sock.Attach(accepted)))
        return 1;
    auto* connection = new (std::nothrow) CHTTPConnection(nullptr, sock, &server);
    if (!connection || FAILED(connection->Start(nullptr)))
        return 1;
    sock.release();

    const std::size_t smallAnswer = HeadSize(kSmallBody) + kSmallBody;
    const double served = PerSecond([&] {
        return SendAll(client, kRequest.data(), kRequest.size()) && Receive(client, smallAnswer);
    });

    const std::string large = "GET /large HTTP/1.1\r\n\r\n";
    const std::size_t largeAnswer = HeadSize(kLargeBody) + kLargeBody;
    const double servedLarge = PerSecond([&] {
        return SendAll(client, large.data(), large.size()) && Receive(client, largeAnswer);
    });
    ::close(client);

    // Baselines: the same exchanges between two plain blocking sockets.
    int a = -1, b = -1;
    if (!Connect(&a, &b))
        return 1;
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        char request[256];
        const std::string bodyBytes(kLargeBody, 'y');
        while (!stop) {
            const ssize_t n = ::recv(a, request, sizeof(request), 0);
            if (n <= 0)
                break;
            const bool bLarge = std::memchr(request, 'l', static_cast<std::size_t>(n)) != nullptr;
            if (!SendAll(a, bodyBytes.data(), bLarge ? largeAnswer : smallAnswer))
                break;
        }
    });
    const double raw = PerSecond(
        [&] { return SendAll(b, kRequest.data(), kRequest.size()) && Receive(b, smallAnswer); });
    const double rawLarge = PerSecond(
        [&] { return SendAll(b, large.data(), large.size()) && Receive(b, largeAnswer); });
    stop = true;
    ::shutdown(b, SHUT_RDWR);
    echo.join();
    ::close(a);
    ::close(b);
    CHTTPConnection::Instances().WaitForNone(60000);
    CAsyncWrite::Instances().WaitForNone(60000);

    std::printf("keep-alive round trips: %.0f/s served, %.0f/s plain sockets, ratio %.2f\n", served,
                raw, served / raw);
    std::printf("64 MB body: %.0f MB/s served, %.0f MB/s plain sockets, ratio %.2f\n",
                servedLarge * 64, rawLarge * 64, servedLarge / rawLarge);
    return 0;
}
