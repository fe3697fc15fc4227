// Queued calls, registered waits and their cancellation, including the races between a
// firing wait and CancelWait.
#include "async/AsyncThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct CCounter {
    std::atomic<int> calls{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> sum{0};
    std::shared_ptr<CEvent> done = CEvent::Create();
    int doneAfter = 1;

    void Add(int a, int b) {
        sum += a + b;
        if (++calls == doneAfter) done->Set();
    }
    void OnWait(int timedOut, void* parameter) {
        EXPECT_EQ(parameter, this);
        if (timedOut) ++timeouts;
        if (++calls == doneAfter) done->Set();
    }
};

struct CTracked final : CAsyncCall {
    static inline std::atomic<int> invoked{0}, destroyed{0};
    void Invoke() override { ++invoked; }
    ~CTracked() override { ++destroyed; }
};

TEST(AsyncThreadPool, QueuedCallRunsOnceAndIsDeleted) {
    CTracked::invoked = CTracked::destroyed = 0;
    {
        CAsyncThreadPool pool(2);
        auto finished = CEvent::Create();
        std::unique_ptr<CAsyncCall> call = std::make_unique<CTracked>();
        ASSERT_EQ(pool.QueueCall(call, WT_EXECUTEDEFAULT), S_OK);
        EXPECT_FALSE(call);  // the pool owns it now
        auto marker = CAsyncCall::CreateFunctionCall([&] { finished->Set(); });
        ASSERT_EQ(pool.QueueCall(marker, WT_EXECUTEDEFAULT), S_OK);
        ASSERT_TRUE(finished->Wait(10000));
    }
    EXPECT_EQ(CTracked::invoked, 1);
    EXPECT_EQ(CTracked::destroyed, 1);
}

TEST(AsyncThreadPool, MemberCallsCarryTheirArguments) {
    CAsyncThreadPool pool(2);
    CCounter counter;
    counter.doneAfter = 2;
    auto first = CAsyncCall::CreateCall<&CCounter::Add>(&counter, 2, 3);
    auto second = CAsyncCall::CreateCall<&CCounter::Add>(&counter, 10, 20);
    ASSERT_EQ(pool.QueueCall(first, WT_EXECUTEDEFAULT), S_OK);
    ASSERT_EQ(pool.QueueCall(second, WT_EXECUTELONGFUNCTION), S_OK);
    ASSERT_TRUE(counter.done->Wait(10000));
    EXPECT_EQ(counter.sum, 35);
}

TEST(AsyncThreadPool, NullCallsAreRefusedOrIgnored) {
    CAsyncThreadPool pool(1);
    std::unique_ptr<CAsyncCall> none;
    EXPECT_EQ(pool.QueueCall(none, 0), E_POINTER);
    EXPECT_EQ(CAsyncThreadPool::WorkItemFn(nullptr), 0u);
    WAITHANDLE handle = 99;
    EXPECT_EQ(pool.QueueWait<&CCounter::OnWait>(static_cast<CCounter*>(nullptr), &handle, nullptr,
                                                INFINITE, 0, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(pool.CancelWait(12345), S_OK);  // unknown handles are not an error
}

TEST(AsyncThreadPool, ExceptionInACallIsContained) {
    CAsyncThreadPool pool(1);
    auto thrower = CAsyncCall::CreateFunctionCall([] { throw std::runtime_error("boom"); });
    ASSERT_EQ(pool.QueueCall(thrower, 0), S_OK);
    auto after = CEvent::Create();
    auto marker = CAsyncCall::CreateFunctionCall([&] { after->Set(); });
    ASSERT_EQ(pool.QueueCall(marker, 0), S_OK);
    EXPECT_TRUE(after->Wait(10000));
}

TEST(AsyncThreadPool, LongCallsGetAThreadOfTheirOwn) {
    // One base thread, blocked by a long call until a second long call runs: only an
    // added thread can run the second.
    CAsyncThreadPool pool(1);
    auto release = CEvent::Create(true);
    auto finished = CEvent::Create();
    auto blocker = CAsyncCall::CreateFunctionCall([&] {
        release->Wait();
        finished->Set();
    });
    auto releaser = CAsyncCall::CreateFunctionCall([&] { release->Set(); });
    ASSERT_EQ(pool.QueueCall(blocker, WT_EXECUTELONGFUNCTION), S_OK);
    // Make sure the blocker occupies the base thread before the second call is queued.
    while (pool.ThreadCount() < 2) {
        auto probe = CAsyncCall::CreateFunctionCall([] {});
        ASSERT_EQ(pool.QueueCall(probe, WT_EXECUTELONGFUNCTION), S_OK);
        std::this_thread::yield();
    }
    ASSERT_EQ(pool.QueueCall(releaser, WT_EXECUTELONGFUNCTION), S_OK);
    EXPECT_TRUE(finished->Wait(10000));
}

TEST(AsyncThreadPool, ALongCallRunHereCountsLikeAQueuedOne) {
    // An ordinary call on the only thread runs a long call in place that waits for a call
    // it queued itself: only a thread added for the long call can run that one.
    CAsyncThreadPool pool(1);
    auto release = CEvent::Create(true);
    auto finished = CEvent::Create();
    auto caller = CAsyncCall::CreateFunctionCall([&] {
        pool.RunLongCallHere([&] {
            auto releaser = CAsyncCall::CreateFunctionCall([&] { release->Set(); });
            EXPECT_EQ(pool.QueueCall(releaser, WT_EXECUTEDEFAULT), S_OK);
            EXPECT_TRUE(release->Wait(10000));
        });
        finished->Set();
    });
    ASSERT_EQ(pool.QueueCall(caller, WT_EXECUTEDEFAULT), S_OK);
    EXPECT_TRUE(finished->Wait(10000));
    EXPECT_GE(pool.ThreadCount(), 2u);
}

TEST(AsyncThreadPool, ABurstOfQuickLongCallsDoesNotGrowThePool) {
    // Write completions are long calls that end at once; thousands queued under load must
    // not each add a thread (the pool would grow to its limit and spend its time waking
    // threads). A thread is added only while every thread is stuck in one.
    CAsyncThreadPool pool(2);
    constexpr int kCalls = 20000;
    std::atomic<int> ran{0};
    auto finished = CEvent::Create();
    for (int i = 0; i < kCalls; ++i) {
        auto call = CAsyncCall::CreateFunctionCall([&] {
            if (++ran == kCalls)
                finished->Set();
        });
        ASSERT_EQ(pool.QueueCall(call, WT_EXECUTELONGFUNCTION), S_OK);
    }
    ASSERT_TRUE(finished->Wait(60000));
    // A preempted thread may earn one now and then on a busy machine; not one per call.
    EXPECT_LT(pool.ThreadCount(), 32u);
}

TEST(AsyncThreadPool, RepeatingWaitFiresForEverySignal) {
    CAsyncThreadPool pool(2);
    CCounter counter;
    auto event = CEvent::Create();
    WAITHANDLE handle = 0;
    ASSERT_EQ(pool.QueueWait<&CCounter::OnWait>(&counter, &handle, event, INFINITE,
                                                WT_EXECUTEDEFAULT, &counter),
              S_OK);
    EXPECT_NE(handle, 0u);
    for (int i = 1; i <= 5; ++i) {
        counter.doneAfter = i;
        event->Set();
        ASSERT_TRUE(counter.done->Wait(10000)) << i;
    }
    EXPECT_EQ(pool.CancelWait(handle), S_OK);
    EXPECT_EQ(counter.calls, 5);
    EXPECT_EQ(counter.timeouts, 0);
}

TEST(AsyncThreadPool, FiniteTimeoutFiresRepeatedlyWhileUnsignalled) {
    CAsyncThreadPool pool(2);
    CCounter counter;
    counter.doneAfter = 3;
    auto event = CEvent::Create();
    WAITHANDLE handle = 0;
    ASSERT_EQ(pool.QueueWait<&CCounter::OnWait>(&counter, &handle, event, 5, 0, &counter), S_OK);
    ASSERT_TRUE(counter.done->Wait(10000));
    EXPECT_EQ(pool.CancelWait(handle), S_OK);
    EXPECT_GE(counter.timeouts, 3);
}

TEST(AsyncThreadPool, OnceWaitFiresOnce) {
    CAsyncThreadPool pool(2);
    CCounter counter;
    auto event = CEvent::Create(false, true);  // already signalled
    WAITHANDLE handle = 0;
    ASSERT_EQ(pool.QueueWait<&CCounter::OnWait>(&counter, &handle, event, INFINITE,
                                                WT_EXECUTEONLYONCE, &counter),
              S_OK);
    ASSERT_TRUE(counter.done->Wait(10000));
    event->Set();
    // The second signal stays with the event: nobody is armed to take it.
    EXPECT_TRUE(event->Wait(10000));
    EXPECT_EQ(pool.CancelWait(handle), S_OK);
    EXPECT_EQ(counter.calls, 1);
}

// A handler that records whether it ever starts after its wait was cancelled.
struct CRaceTarget {
    std::atomic<bool> cancelled{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    void OnWait(int, void*) {
        if (cancelled) ++lateCalls;
        ++calls;
        std::this_thread::yield();
        if (cancelled) ++lateCalls;  // still running after CancelWait returned
    }
};

TEST(AsyncThreadPool, CancelWaitRacingAFiringWaitLeavesNoLateCallback) {
    CAsyncThreadPool pool(4);
    int totalCalls = 0;
    for (int round = 0; round < 300; ++round) {
        CRaceTarget target;
        auto event = CEvent::Create();
        WAITHANDLE handle = 0;
        ASSERT_EQ(pool.QueueWait<&CRaceTarget::OnWait>(&target, &handle, event,
                                                       round % 3 == 0 ? 0u : INFINITE, 0, nullptr),
                  S_OK);
        std::thread signaller([&] {
            for (int i = 0; i < 20; ++i) event->Set();
        });
        if (round % 2) std::this_thread::yield();
        ASSERT_EQ(pool.CancelWait(handle), S_OK);
        target.cancelled = true;
        signaller.join();
        event->Set();
        EXPECT_EQ(target.lateCalls, 0) << "round " << round;
        totalCalls += target.calls;
    }
    EXPECT_GT(totalCalls, 0);
}

struct CSelfCanceller {
    CAsyncThreadPool* pool = nullptr;
    WAITHANDLE handle = 0;
    std::atomic<int> calls{0};
    std::shared_ptr<CEvent> done = CEvent::Create();
    void OnWait(int, void*) {
        ++calls;
        EXPECT_EQ(pool->CancelWait(handle), S_OK);  // must not wait for itself
        done->Set();
    }
};

TEST(AsyncThreadPool, CancelWaitFromInsideItsOwnCallback) {
    CAsyncThreadPool pool(2);
    CSelfCanceller target;
    target.pool = &pool;
    auto event = CEvent::Create(true, false);  // manual: stays signalled
    ASSERT_EQ(pool.QueueWait<&CSelfCanceller::OnWait>(&target, &target.handle, event, INFINITE, 0,
                                                      nullptr),
              S_OK);
    event->Set();
    ASSERT_TRUE(target.done->Wait(10000));
    // A manual-reset event stays signalled; a live wait would fire again and again.
    auto marker = CEvent::Create();
    auto call = CAsyncCall::CreateFunctionCall([&] { marker->Set(); });
    ASSERT_EQ(pool.QueueCall(call, 0), S_OK);
    ASSERT_TRUE(marker->Wait(10000));
    EXPECT_EQ(target.calls, 1);
}

TEST(AsyncThreadPool, DestroyingThePoolWithLiveWaitsIsClean) {
    CCounter counter;
    auto event = CEvent::Create();
    {
        CAsyncThreadPool pool(2);
        WAITHANDLE a = 0, b = 0;
        ASSERT_EQ(pool.QueueWait<&CCounter::OnWait>(&counter, &a, event, INFINITE, 0, &counter),
                  S_OK);
        ASSERT_EQ(pool.QueueWait<&CCounter::OnWait>(&counter, &b, event, 1, 0, &counter), S_OK);
    }
    event->Set();
    EXPECT_TRUE(event->IsSignaled());  // nobody took the signal
}

TEST(Event, AutoResetWakesOneManualWakesAll) {
    auto autoEvent = CEvent::Create();
    autoEvent->Set();
    EXPECT_TRUE(autoEvent->Wait(0));
    EXPECT_FALSE(autoEvent->Wait(0));
    auto manual = CEvent::Create(true);
    manual->Set();
    EXPECT_TRUE(manual->Wait(0));
    EXPECT_TRUE(manual->Wait(0));
    manual->Reset();
    EXPECT_FALSE(manual->Wait(0));
}

}  // namespace
