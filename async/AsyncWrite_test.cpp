// The socket writer: megabytes sent in parts with one handler call at the end, writes to
// a peer that has gone, write-and-forget with and without shut-down, and empty writes.
#include "async/AsyncWrite.h"

#include <gtest/gtest.h>

#include <thread>

#include "async/Event.h"
#include "async/SocketTestSupport.h"

namespace {

using namespace sockettest;

// An owner that records the writer's single handler call.
struct CWriteOwner {
    bool keepBuffer = false;
    int calls = 0;
    DWORD error = 0;
    std::uint32_t unsent = 0;  // bytes left in the buffer when the handler ran
    CBuffer* kept = nullptr;
    std::shared_ptr<CEvent> done = CEvent::Create(true);

    bool OnWritten(DWORD e, CSocketHandle, CBuffer* buffer) {
        ++calls;
        error = e;
        unsent = buffer ? buffer->length() : 0;
        if (keepBuffer)
            kept = buffer;
        done->Set();
        return keepBuffer;
    }
};

CBuffer* BufferWith(const std::string& bytes) {
    auto* buffer = new CBuffer;
    EXPECT_EQ(buffer->append(bytes.data(), static_cast<long>(bytes.size())), 0);
    return buffer;
}

TEST(Writer, LargeWriteGoesOutInPartsAndCompletesOnce) {
    CLoopbackPair pair;
    // A small send buffer makes each send take only part of the bytes.
    ASSERT_EQ(pair.handle.SetSendBufferSize(65536), S_OK);
    const std::string sent = Pattern(8u << 20);
    CWriteOwner owner;
    auto* writer = new CAsyncWrite(pair.handle, BufferWith(sent));
    pair.handle.release();
    ASSERT_EQ(writer->write<&CWriteOwner::OnWritten>(&owner), S_OK);
    const std::string received = ReceiveAll(pair.peer);  // ends when the writer has gone
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size();
    EXPECT_EQ(owner.calls, 1);
    EXPECT_EQ(owner.error, 0u);
    EXPECT_EQ(owner.unsent, 0u);
    EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
}

TEST(Writer, WriteToAPeerThatHasGoneFailsWithAReset) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "peer reset" : "peer closed");
        CLoopbackPair pair;
        if (reset)
            pair.ResetPeer();
        else
            pair.ClosePeer();
        CWriteOwner owner;
        owner.keepBuffer = true;
        auto* writer = new CAsyncWrite(pair.handle, BufferWith(Pattern(8u << 20)));
        ASSERT_EQ(writer->write<&CWriteOwner::OnWritten>(&owner), S_OK);
        ASSERT_TRUE(owner.done->Wait(kWaitMs));
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
        EXPECT_EQ(owner.calls, 1);
        EXPECT_EQ(owner.error, static_cast<DWORD>(WSAECONNRESET));
        ASSERT_NE(owner.kept, nullptr);  // the handler kept what was not sent
        EXPECT_GT(owner.unsent, 0u);
        EXPECT_EQ(owner.kept->length(), owner.unsent);
        delete owner.kept;
    }
}

TEST(Writer, WriteAndForgetShutsDownAndFreesAsAsked) {
    struct Case {
        bool forget;
        bool shutdown;
    };
    for (const Case c : {Case{true, true}, Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(::testing::Message() << "forget " << c.forget << " shutdown " << c.shutdown);
        CLoopbackPair pair;
        CBuffer* buffer = BufferWith("bye");
        auto* writer = new CAsyncWrite(pair.handle, buffer);
        ASSERT_EQ(writer->write_and_forget(c.forget, c.shutdown), S_OK);
        // The test keeps its socket copy: an end of stream can only come from the shut-down.
        EXPECT_EQ(ReceiveAll(pair.peer, c.shutdown ? SIZE_MAX : 3), "bye");
        ASSERT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
        if (!c.forget) {
            EXPECT_EQ(buffer->length(), 0u);  // still the caller's, and all of it sent
            delete buffer;
        }
        EXPECT_FALSE(pair.handle.IsInvalid());
    }
}

TEST(Writer, NothingToSendCompletesAtOnce) {
    CLoopbackPair pair;
    for (CBuffer* buffer : {static_cast<CBuffer*>(nullptr), new CBuffer(16)}) {
        CWriteOwner owner;
        auto* writer = new CAsyncWrite(pair.handle, buffer);
        ASSERT_EQ(writer->write<&CWriteOwner::OnWritten>(&owner), S_OK);
        ASSERT_TRUE(owner.done->Wait(kWaitMs));
        EXPECT_EQ(owner.error, 0u);
        EXPECT_EQ(owner.unsent, 0u);
        EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
    }
}

TEST(Writer, FailuresReachTheHandlerOrTheCaller) {
    CSocketHandle none;
    CBuffer* buffer = BufferWith("data");
    auto* writer = new CAsyncWrite(none, buffer);
    EXPECT_EQ(writer->write<&CWriteOwner::OnWritten>(static_cast<CWriteOwner*>(nullptr)),
              E_POINTER);
    delete writer;  // a writer that did not start is the caller's, and so is its buffer
    EXPECT_EQ(buffer->length(), 4u);

    CWriteOwner owner;
    writer = new CAsyncWrite(none, buffer);
    ASSERT_EQ(writer->write<&CWriteOwner::OnWritten>(&owner), S_OK);
    ASSERT_TRUE(owner.done->Wait(kWaitMs));
    EXPECT_EQ(owner.error, static_cast<DWORD>(WSAENOTSOCK));
    EXPECT_EQ(owner.unsent, 4u);
    EXPECT_TRUE(CAsyncWrite::Instances().WaitForNone(kWaitMs));
}

}  // namespace
