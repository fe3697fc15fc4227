// Loopback throughput of the socket reader and writer against blocking calls, in one run.
//
//  - bare: a thread sends 64 MiB with blocking send() and another receives it with
//    blocking recv() into a 128 KiB block;
//  - reader: the same stream received by a CAsyncRead whose owner takes each buffer;
//  - writer: the same stream sent by one CAsyncWrite, received with blocking recv().
// Prints MiB/s for each and the ratios reader / bare and writer / bare (goal ≥ 0.5).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "async/Event.h"
#include "com/Singleton.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBytes = 64u << 20;

// A connected loopback pair: `first` accepted, `second` connecting.
bool Connect(int& first, int& second) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    second = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(second, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    first = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return first >= 0;
}

void SendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
}

std::size_t ReceiveAll(int fd) {
    std::vector<char> block(128 << 10);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, block.data(), block.size(), 0);
        if (n <= 0)
            return total;
        total += static_cast<std::size_t>(n);
    }
}

double MiBPerSecond(Clock::time_point start, std::size_t bytes) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(bytes) / (1 << 20) / seconds;
}

double Bare(const std::string& stream) {
    int a, b;
    if (!Connect(a, b))
        return 0;
    const auto start = Clock::now();
    std::thread sender([&] { SendAll(b, stream); });
    const std::size_t got = ReceiveAll(a);
    sender.join();
    ::close(a);
    ::close(b);
    return got == stream.size() ? MiBPerSecond(start, got) : 0;
}

struct CCounter {
    std::size_t total = 0;
    std::shared_ptr<CEvent> done = CEvent::Create(true);
    bool OnRead(DWORD error, CSocketHandle, CBuffer* buffer, bool endOfStream, bool& keep) {
        total += buffer ? buffer->length() : 0;
        keep = true;
        delete buffer;
        const bool again = !error && !endOfStream;
        if (!again)
            done->Set();
        return again;
    }
};

double Reader(const std::string& stream) {
    int a, b;
    if (!Connect(a, b))
        return 0;
    CSocketHandle handle;
    if (FAILED(handle.Attach(a)))
        return 0;
    CCounter counter;
    const auto start = Clock::now();
    std::thread sender([&] { SendAll(b, stream); });
    auto* reader = new CAsyncRead(handle);
    handle.release();
    if (FAILED(reader->read<&CCounter::OnRead>(&counter))) {
        delete reader;
        sender.join();
        return 0;
    }
    counter.done->Wait();
    const double rate = MiBPerSecond(start, counter.total);
    sender.join();
    CAsyncRead::Instances().WaitForNone(60000);
    ::close(b);
    return counter.total == stream.size() ? rate : 0;
}

double Writer(const std::string& stream) {
    int a, b;
    if (!Connect(a, b))
        return 0;
    CSocketHandle handle;
    if (FAILED(handle.Attach(a)))
        return 0;
    auto* buffer = new CBuffer;
    buffer->append(stream.data(), static_cast<long>(stream.size()));
    const auto start = Clock::now();
    auto* writer = new CAsyncWrite(handle, buffer);
    handle.release();
    if (FAILED(writer->write_and_forget(true, true))) {
        delete writer;
        delete buffer;
        return 0;
    }
    const std::size_t got = ReceiveAll(b);
    const double rate = MiBPerSecond(start, got);
    CAsyncWrite::Instances().WaitForNone(60000);
    ::close(b);
    return got == stream.size() ? rate : 0;
}

}  // namespace

int main() {
    const std::string stream(kBytes, 'x');
    const double bare = Bare(stream);
    const double reader = Reader(stream);
    const double writer = Writer(stream);
    std::printf("bare %.0f MiB/s, reader %.0f MiB/s, writer %.0f MiB/s\n", bare, reader, writer);
    if (bare > 0)
        std::printf("reader / bare %.2f, writer / bare %.2f (goal >= 0.5)\n", reader / bare,
                    writer / bare);
    ModuleTerminate();
    return 0;
}
