// The socket reader: streams of several megabytes in pieces, content handed over at
// creation, the handler's answers and buffer hand-over, peers that go away, and a reader
// and writers sharing one socket in both directions at once.
#include "async/AsyncRead.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "async/AsyncWrite.h"
#include "async/Event.h"
#include "async/SocketTestSupport.h"

namespace {

using namespace sockettest;

// An owner that records what its reader delivers. The reader calls it on pool threads,
// one call at a time; the test reads the record once `done` is set.
struct CCollector {
    bool takeBuffers = false;          // keep (and free) every buffer instead of reading on into it
    std::size_t stopAfter = SIZE_MAX;  // answer stop once this many bytes have arrived
    std::string received;              // every byte delivered, in order
    int deliveries = 0;
    int buffersNotCumulative = 0;  // deliveries whose buffer did not start with the earlier bytes
    DWORD lastError = 0;
    bool lastEnd = false;
    std::shared_ptr<CEvent> firstDelivery = CEvent::Create(true);
    std::shared_ptr<CEvent> done = CEvent::Create(true);

    bool OnRead(DWORD error, CSocketHandle, CBuffer* buffer, bool endOfStream, bool& keepBuffer) {
        ++deliveries;
        lastError = error;
        lastEnd = endOfStream;
        std::string content;
        if (buffer)
            content.assign(reinterpret_cast<char*>(buffer->data()), buffer->length());
        if (takeBuffers) {
            received += content;
            keepBuffer = true;
            delete buffer;
        } else {
            if (content.compare(0, received.size(), received) != 0)
                ++buffersNotCumulative;
            received = content;
        }
        const bool again = error == 0 && !endOfStream && received.size() < stopAfter;
        firstDelivery->Set();
        if (!again)
            done->Set();
        return again;
    }
};

// Starts a reader for `owner`; the test keeps no copy of the socket, so the peer sees the
// connection close when the reader has deleted itself.
template <auto Handler, class Owner>
void StartReader(CLoopbackPair& pair, Owner* owner, CBuffer* buffer = nullptr) {
    auto* reader = new CAsyncRead(pair.handle, buffer);
    pair.handle.release();
    const HRESULT hr = reader->read<Handler>(owner);
    if (FAILED(hr))
        delete reader;
    ASSERT_EQ(hr, S_OK);
}

struct StreamCase {
    const char* name;
    bool takeBuffers;
    std::size_t size;
};

class ReadStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReadStream, ArrivesWholeInPiecesAndEndsAtEndOfStream) {
    CLoopbackPair pair;
    CCollector owner;
    owner.takeBuffers = GetParam().takeBuffers;
    const std::string sent = Pattern(GetParam().size);
    std::thread peer([&] {
        EXPECT_TRUE(SendInPieces(pair.peer, sent));
        ::shutdown(pair.peer, SHUT_WR);
    });
    StartReader<&CCollector::OnRead>(pair, &owner);
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    peer.join();
    EXPECT_TRUE(owner.received == sent) << owner.received.size() << " of " << sent.size();
    EXPECT_GT(owner.deliveries, 2);
    EXPECT_EQ(owner.buffersNotCumulative, 0);
    EXPECT_EQ(owner.lastError, 0u);
    EXPECT_TRUE(owner.lastEnd);
    EXPECT_TRUE(PeerSeesClose(pair.peer));  // the reader has gone with its socket copy
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
}

// Taking each buffer keeps memory flat for long streams; reading on into one buffer makes
// it hold everything received.
INSTANTIATE_TEST_SUITE_P(Reader, ReadStream,
                         ::testing::Values(StreamCase{"TakeEachBuffer", true, 8u << 20},
                                           StreamCase{"OneGrowingBuffer", false, 512u << 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, StopEndsTheReaderWithOrWithoutTheBuffer) {
    for (const bool take : {false, true}) {
        SCOPED_TRACE(take ? "handler keeps the buffer" : "reader frees the buffer");
        CLoopbackPair pair;
        CCollector owner;
        owner.takeBuffers = take;
        owner.stopAfter = 1;
        ASSERT_TRUE(SendInPieces(pair.peer, Pattern(70000)));
        StartReader<&CCollector::OnRead>(pair, &owner);
        ASSERT_TRUE(owner.done->Wait(kWaitMs));
        EXPECT_TRUE(PeerSeesClose(pair.peer));
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
        EXPECT_EQ(owner.deliveries, 1);
        EXPECT_EQ(owner.lastError, 0u);
        EXPECT_FALSE(owner.lastEnd);
    }
}

TEST(Reader, DeliversHandedOverContentFirstWithoutReceiving) {
    CLoopbackPair pair;
    CCollector owner;
    auto* buffer = new CBuffer(4);
    ASSERT_EQ(buffer->append("GET / HTTP/1.0\r\n"), 0);
    // The peer sends nothing until the handed-over bytes have been delivered.
    StartReader<&CCollector::OnRead>(pair, &owner, buffer);
    ASSERT_TRUE(owner.firstDelivery->Wait(kWaitMs));
    EXPECT_EQ(owner.received, "GET / HTTP/1.0\r\n");
    EXPECT_EQ(owner.lastError, 0u);
    EXPECT_FALSE(owner.lastEnd);  // handed-over content is data, not the end of the stream

    ASSERT_TRUE(SendInPieces(pair.peer, "Host: x\r\n\r\n"));
    ::shutdown(pair.peer, SHUT_WR);
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    EXPECT_EQ(owner.received, "GET / HTTP/1.0\r\nHost: x\r\n\r\n");
    EXPECT_EQ(owner.buffersNotCumulative, 0);
    EXPECT_TRUE(owner.lastEnd);
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
}

TEST(Reader, InlineCompletionRunsTheHandlerWhereTheBytesAre) {
    // Handed-over content is delivered inside `read` itself, on the caller's thread; a
    // later receive runs the handler on the pool thread where it completed, and the
    // stream still arrives whole and ends.
    CLoopbackPair pair;
    struct CInlineOwner : CCollector {
        std::thread::id firstThread;
        bool OnFirst(DWORD error, CSocketHandle s, CBuffer* buffer, bool end, bool& keep) {
            if (deliveries == 0)
                firstThread = std::this_thread::get_id();
            return OnRead(error, s, buffer, end, keep);
        }
    } owner;
    auto* buffer = new CBuffer(4);
    ASSERT_EQ(buffer->append("GET"), 0);
    auto* reader = new CAsyncRead(pair.handle, buffer);
    pair.handle.release();
    reader->SetInlineCompletion(true);
    ASSERT_EQ(reader->read<&CInlineOwner::OnFirst>(&owner), S_OK);
    EXPECT_TRUE(owner.firstDelivery->IsSignaled());
    EXPECT_EQ(owner.firstThread, std::this_thread::get_id());
    EXPECT_EQ(owner.received, "GET");

    const std::string rest = sockettest::Pattern(200000);
    ASSERT_TRUE(SendInPieces(pair.peer, rest));
    ::shutdown(pair.peer, SHUT_WR);
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    EXPECT_EQ(owner.received, "GET" + rest);
    EXPECT_TRUE(owner.lastEnd);
    EXPECT_EQ(owner.lastError, 0u);
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
}

TEST(Reader, PeerThatGoesMidStreamEndsTheReader) {
    struct Case {
        const char* name;
        bool reset;
        DWORD error;
    };
    const Case cases[] = {{"orderly close", false, 0}, {"reset", true, WSAECONNRESET}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLoopbackPair pair;
        CCollector owner;
        owner.takeBuffers = true;
        ASSERT_TRUE(SendInPieces(pair.peer, Pattern(1000)));
        StartReader<&CCollector::OnRead>(pair, &owner);
        ASSERT_TRUE(owner.firstDelivery->Wait(kWaitMs));
        if (c.reset)
            pair.ResetPeer();
        else
            pair.ClosePeer();
        ASSERT_TRUE(owner.done->Wait(kWaitMs));
        EXPECT_EQ(owner.lastError, c.error);
        EXPECT_TRUE(owner.lastEnd);
        if (!c.reset) {
            EXPECT_EQ(owner.received, Pattern(1000));
        }
        EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
    }
}

TEST(Reader, FailuresReachTheHandlerOrTheCaller) {
    CSocketHandle none;
    CCollector owner;
    auto* reader = new CAsyncRead(none);
    EXPECT_EQ(reader->read<&CCollector::OnRead>(static_cast<CCollector*>(nullptr)), E_POINTER);
    delete reader;  // a reader that did not start stays the caller's

    reader = new CAsyncRead(none);
    ASSERT_EQ(reader->read<&CCollector::OnRead>(&owner), S_OK);
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    EXPECT_EQ(owner.lastError, static_cast<DWORD>(WSAENOTSOCK));
    EXPECT_EQ(owner.deliveries, 1);
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
}

struct CThrowingOwner {
    std::shared_ptr<CEvent> called = CEvent::Create(true);
    bool OnRead(DWORD, CSocketHandle, CBuffer*, bool, bool&) {
        called->Set();
        throw std::runtime_error("handler failed");
    }
};

TEST(Reader, HandlerExceptionEndsTheReader) {
    CLoopbackPair pair;
    CThrowingOwner owner;
    ASSERT_TRUE(SendInPieces(pair.peer, "x"));
    StartReader<&CThrowingOwner::OnRead>(pair, &owner);
    ASSERT_TRUE(owner.called->Wait(kWaitMs));
    EXPECT_TRUE(PeerSeesClose(pair.peer));
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
}

// Echoes a stream back: every buffer the reader delivers is taken over and handed to a
// writer, one writer at a time so the bytes keep their order; at the end of the stream the
// sending direction is shut down.
class CEcho {
public:
    explicit CEcho(const CSocketHandle& socket) : m_socket(socket) {}
    std::shared_ptr<CEvent> done = CEvent::Create(true);
    DWORD firstError = 0;

    bool OnRead(DWORD error, CSocketHandle, CBuffer* buffer, bool endOfStream, bool& keepBuffer) {
        std::lock_guard guard(m_lock);
        if (error && !firstError)
            firstError = error;
        if (!error && buffer && buffer->length() > 0) {
            keepBuffer = true;
            m_queue.push_back(buffer);
            if (!m_writing)
                WriteNext();
        }
        const bool again = !error && !endOfStream;
        if (!again) {
            m_readDone = true;
            if (!m_writing)
                Finish();
        }
        return again;
    }

    bool OnWritten(DWORD error, CSocketHandle, CBuffer*) {
        std::lock_guard guard(m_lock);
        if (error && !firstError)
            firstError = error;
        m_writing = false;
        if (!m_queue.empty())
            WriteNext();
        else if (m_readDone)
            Finish();
        return false;  // the writer frees the buffer
    }

private:
    void WriteNext() {
        CBuffer* buffer = m_queue.front();
        m_queue.pop_front();
        auto* writer = new CAsyncWrite(m_socket, buffer);
        m_writing = true;
        if (FAILED(writer->write<&CEcho::OnWritten>(this))) {
            delete writer;
            delete buffer;
            m_writing = false;
            firstError = ERROR_GEN_FAILURE;
        }
    }
    void Finish() {
        m_socket.Shutdown(asio::socket_base::shutdown_send);
        m_socket.release();
        done->Set();
    }

    std::mutex m_lock;  // guards the queue and the flags; handlers of the reader and writers
    CSocketHandle m_socket;
    std::deque<CBuffer*> m_queue;
    bool m_writing = false;
    bool m_readDone = false;
};

TEST(Reader, ReaderAndWritersShareOneSocketBothWays) {
    CLoopbackPair pair;
    CEcho echo(pair.handle);
    const std::string sent = Pattern(4u << 20);
    std::thread peer([&] {
        EXPECT_TRUE(SendInPieces(pair.peer, sent));
        ::shutdown(pair.peer, SHUT_WR);
    });
    StartReader<&CEcho::OnRead>(pair, &echo);
    const std::string echoed = ReceiveAll(pair.peer);
    peer.join();
    ASSERT_TRUE(echo.done->Wait(kWaitMs));
    EXPECT_TRUE(echoed == sent) << echoed.size() << " of " << sent.size();
    EXPECT_EQ(echo.firstError, 0u);
    EXPECT_TRUE(CAsyncRead::Instances().WaitForNone(kWaitMs));
    EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
}

}  // namespace
