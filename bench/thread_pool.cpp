// Thread pool figures against bare Asio on the same number of threads, in one run:
//  - queued calls per second: QueueCall of member calls vs asio::post of lambdas;
//  - signal-to-callback latency: Set on an event with a registered wait vs asio::post
//    of the callback from the signalling thread.
// Each figure is printed with its ratio to the baseline (throughput: ours / bare,
// goal ≥ 0.8; latency: bare / ours).
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "async/AsyncThreadPool.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kThreads = 4;
constexpr int kCalls = 400000;
constexpr int kSignals = 20000;

struct CSink {
    std::atomic<int> left{0};
    std::shared_ptr<CEvent> done = CEvent::Create();
    void Hit() {
        if (--left == 0) done->Set();
    }
};

double BareThroughput() {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kThreads; ++i) threads.emplace_back([&] { io.run(); });
    CSink sink;
    sink.left = kCalls;
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) asio::post(io, [&sink] { sink.Hit(); });
    sink.done->Wait();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    work.reset();
    for (auto& t : threads) t.join();
    return kCalls / seconds;
}

double PoolThroughput() {
    CAsyncThreadPool pool(kThreads);
    CSink sink;
    sink.left = kCalls;
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        auto call = CAsyncCall::CreateCall<&CSink::Hit>(&sink);
        pool.QueueCall(call, WT_EXECUTEDEFAULT);
    }
    sink.done->Wait();
    return kCalls / std::chrono::duration<double>(Clock::now() - start).count();
}

struct CStamp {
    Clock::time_point at;
    std::shared_ptr<CEvent> done = CEvent::Create();
    void OnWait(int, void*) {
        at = Clock::now();
        done->Set();
    }
};

double BareLatencyMicros() {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < kThreads; ++i) threads.emplace_back([&] { io.run(); });
    CStamp stamp;
    double total = 0;
    for (int i = 0; i < kSignals; ++i) {
        auto start = Clock::now();
        asio::post(io, [&stamp] { stamp.OnWait(0, nullptr); });
        stamp.done->Wait();
        total += std::chrono::duration<double, std::micro>(stamp.at - start).count();
    }
    work.reset();
    for (auto& t : threads) t.join();
    return total / kSignals;
}

double PoolLatencyMicros() {
    CAsyncThreadPool pool(kThreads);
    CStamp stamp;
    auto event = CEvent::Create();
    WAITHANDLE handle = 0;
    pool.QueueWait<&CStamp::OnWait>(&stamp, &handle, event, INFINITE, WT_EXECUTEDEFAULT, nullptr);
    double total = 0;
    for (int i = 0; i < kSignals; ++i) {
        auto start = Clock::now();
        event->Set();
        stamp.done->Wait();
        total += std::chrono::duration<double, std::micro>(stamp.at - start).count();
    }
    pool.CancelWait(handle);
    return total / kSignals;
}

}  // namespace

int main() {
    // Interleave the runs so that machine noise hits both sides alike; keep the best.
    double bare = 0, ours = 0, bareLatency = 1e9, ourLatency = 1e9;
    for (int round = 0; round < 3; ++round) {
        bare = std::max(bare, BareThroughput());
        ours = std::max(ours, PoolThroughput());
        bareLatency = std::min(bareLatency, BareLatencyMicros());
        ourLatency = std::min(ourLatency, PoolLatencyMicros());
    }
    std::printf("threads: %u\n", kThreads);
    std::printf("queued calls/s   bare asio::post %12.0f   QueueCall %12.0f   ratio %.2f (goal >= 0.80)\n",
                bare, ours, ours / bare);
    std::printf("signal latency   bare asio::post %9.2f us   QueueWait %9.2f us   ratio %.2f\n",
                bareLatency, ourLatency, bareLatency / ourLatency);
    return 0;
}
