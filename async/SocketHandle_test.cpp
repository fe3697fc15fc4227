// Shared socket handles: the socket lives while any copy does, copies may come and go on
// many threads, and socket failures come out as Winsock numbers.
#include "async/SocketHandle.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "async/AsyncRead.h"
#include "async/AsyncWrite.h"
#include "async/SocketTestSupport.h"
#include "com/Singleton.h"

namespace {

using sockettest::CLoopbackPair;
using sockettest::PeerSeesClose;

// Ends the thread pool after the last test, once every reader and writer has gone, so the
// sockets go before their io_context.
class CPoolEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(sockettest::kWaitMs));
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(sockettest::kWaitMs));
        ModuleTerminate();
    }
};
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CPoolEnvironment);

// True when a byte sent through `handle`'s socket reaches the peer: the socket is open.
bool StillOpen(const CSocketHandle& handle, int peer) {
    const char c = 'x';
    if (::send(handle.socket(), &c, 1, MSG_NOSIGNAL) != 1)
        return false;
    char got = 0;
    return ::recv(peer, &got, 1, 0) == 1 && got == c;
}

TEST(SocketHandle, SocketStaysOpenUntilTheLastCopyIsReleased) {
    CLoopbackPair pair;
    CSocketHandle copy(pair.handle);
    CSocketHandle assigned;
    assigned = copy;
    CSocketHandle& same = assigned;
    assigned = same;  // assigning to itself keeps the reference
    EXPECT_EQ(copy.socket(), pair.handle.socket());
    EXPECT_EQ(assigned.socket(), pair.handle.socket());

    pair.handle.release();
    EXPECT_TRUE(pair.handle.IsInvalid());
    copy = CSocketHandle();  // assigning an empty handle releases too
    EXPECT_TRUE(StillOpen(assigned, pair.peer));

    assigned.release();
    EXPECT_TRUE(PeerSeesClose(pair.peer));
}

TEST(SocketHandle, AttachReleasesThePreviousSocket) {
    CLoopbackPair first, second;
    CSocketHandle keeper(first.handle);
    first.handle.release();
    CSocketHandle handle(keeper);
    const int secondFd = ::dup(second.handle.socket());
    second.handle.release();
    ASSERT_EQ(handle.Attach(secondFd), S_OK);
    EXPECT_TRUE(StillOpen(keeper, first.peer));  // another copy still holds the first socket
    EXPECT_TRUE(StillOpen(handle, second.peer));
    keeper.release();
    EXPECT_TRUE(PeerSeesClose(first.peer));
    ASSERT_EQ(handle.Attach(INVALID_SOCKET), S_OK);
    EXPECT_TRUE(PeerSeesClose(second.peer));
}

TEST(SocketHandle, NoSocketIsInvalidAndRefusesOperations) {
    CSocketHandle none;
    EXPECT_TRUE(none.IsInvalid());
    EXPECT_EQ(none.socket(), INVALID_SOCKET);
    ASSERT_EQ(none.Attach(INVALID_SOCKET), S_OK);
    EXPECT_TRUE(none.IsInvalid());
    DWORD size = 1;
    EXPECT_EQ(none.ReceiveBufferSize(&size), HRESULT_FROM_WIN32(WSAENOTSOCK));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(none.Shutdown(asio::socket_base::shutdown_both), HRESULT_FROM_WIN32(WSAENOTSOCK));

    // A descriptor that is not a socket is refused, and closed: the handle owned it.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    EXPECT_TRUE(FAILED(none.Attach(pipeFds[0])));
    EXPECT_EQ(::fcntl(pipeFds[0], F_GETFD), -1);
    EXPECT_TRUE(none.IsInvalid());
    ::close(pipeFds[1]);
}

TEST(SocketHandle, CopiesOnManyThreadsShareOneCount) {
    CLoopbackPair pair;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            CSocketHandle mine;
            for (int i = 0; i < 5000; ++i) {
                CSocketHandle copy(pair.handle);
                mine = copy;
                mine.release();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(StillOpen(pair.handle, pair.peer));
    pair.handle.release();
    EXPECT_TRUE(PeerSeesClose(pair.peer));
}

// Waits for one completion of an asynchronous operation on the pool.
struct CCompletion {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    std::error_code ec;
    std::size_t bytes = 0;
    auto Handler() {
        return [this](const std::error_code& e, std::size_t n = 0) {
            std::lock_guard guard(lock);
            ec = e;
            bytes = n;
            done = true;
            cv.notify_all();
        };
    }
    bool Wait() {
        std::unique_lock guard(lock);
        return cv.wait_for(guard, std::chrono::seconds(60), [this] { return done; });
    }
};

TEST(SocketHandle, PeekSeesDataAndTheEndWithoutTakingBytes) {
    CLoopbackPair pair;
    unsigned char peek = 0;
    // Data that arrived before the peek was started is seen at once.
    ASSERT_EQ(::send(pair.peer, "xy", 2, 0), 2);
    CCompletion data;
    ASSERT_EQ(pair.handle.AsyncPeek(&peek, 1, data.Handler()), S_OK);
    ASSERT_TRUE(data.Wait());
    EXPECT_FALSE(data.ec);
    EXPECT_EQ(data.bytes, 1u);
    EXPECT_EQ(peek, 'x');

    // The bytes are still there for a receive; after it, the peer's end is seen.
    char got[8] = {};
    CCompletion read;
    ASSERT_EQ(pair.handle.AsyncReceive(got, sizeof got, read.Handler()), S_OK);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(std::string(got, read.bytes), "xy");
    ::shutdown(pair.peer, SHUT_WR);
    CCompletion end;
    ASSERT_EQ(pair.handle.AsyncPeek(&peek, 1, end.Handler()), S_OK);
    ASSERT_TRUE(end.Wait());
    EXPECT_EQ(end.ec, asio::error::eof);
}

TEST(SocketHandle, CancelEndsPendingWaitsAndCancelWaitOnlyItsOwn) {
    CLoopbackPair pair;
    unsigned char peek = 0;
    CCompletion readable, writable;
    asio::cancellation_signal signal;
    // Nothing to read: the peek stays pending. A full send buffer keeps the write wait
    // pending too.
    ASSERT_EQ(pair.handle.AsyncPeek(&peek, 1, readable.Handler()), S_OK);
    ASSERT_EQ(pair.handle.SetNonBlocking(), S_OK);
    const std::string block(65536, 'z');
    while (::send(pair.handle.socket(), block.data(), block.size(), MSG_DONTWAIT) > 0) {
    }
    ASSERT_EQ(pair.handle.AsyncWait(
                  asio::socket_base::wait_write,
                  asio::bind_cancellation_slot(
                      signal.slot(), [&](const std::error_code& e) { writable.Handler()(e); })),
              S_OK);
    ASSERT_EQ(pair.handle.CancelWait(signal), S_OK);
    ASSERT_TRUE(writable.Wait());
    EXPECT_EQ(writable.ec, asio::error::operation_aborted);
    {
        std::lock_guard guard(readable.lock);
        EXPECT_FALSE(readable.done);  // the peek was not taken back
    }
    ASSERT_EQ(pair.handle.Cancel(), S_OK);
    ASSERT_TRUE(readable.Wait());
    EXPECT_EQ(readable.ec, asio::error::operation_aborted);
}

TEST(SocketHandle, FailuresAreWinsockNumbers) {
    struct Case {
        std::error_code ec;
        DWORD expected;
    };
    const Case cases[] = {
        {{}, 0},
        {asio::error::eof, 0},  // the end of the stream is no failure
        {std::error_code(ECONNRESET, std::system_category()), WSAECONNRESET},
        {asio::error::connection_reset, WSAECONNRESET},
        {asio::error::broken_pipe, WSAECONNRESET},
        {std::error_code(EPIPE, std::system_category()), WSAECONNRESET},
        {std::error_code(ECONNREFUSED, std::system_category()), WSAECONNREFUSED},
        {std::error_code(ETIMEDOUT, std::system_category()), WSAETIMEDOUT},
        {std::error_code(ENOTCONN, std::system_category()), WSAENOTCONN},
        {std::error_code(EBADF, std::system_category()), WSAECONNREFUSED},
        {asio::error::operation_aborted, static_cast<DWORD>(ERROR_OPERATION_ABORTED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ec.message());
        EXPECT_EQ(SocketError(c.ec), c.expected);
        EXPECT_EQ(SocketStatus(c.ec), HRESULT_FROM_WIN32(static_cast<long>(c.expected)));
    }
    EXPECT_EQ(ErrorFromStatus(HRESULT_FROM_WIN32(WSAENOTSOCK)), static_cast<DWORD>(WSAENOTSOCK));
    EXPECT_EQ(ErrorFromStatus(E_UNEXPECTED), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
