// The message loop runs what was posted before the quit, from any thread, then returns.
#include "service/MessageLoop.h"

#include <gtest/gtest.h>

#include <thread>

TEST(MessageLoop, RunsPostedMessagesThenQuits) {
    CMessageLoop loop;
    std::vector<int> seen;
    loop.Post([&] { seen.push_back(1); });
    std::thread poster([&] {
        loop.Post([&] { seen.push_back(2); });
        loop.PostQuit();
    });
    loop.Run();
    poster.join();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(MessageLoop, AThrowingMessageDoesNotEndTheLoop) {
    CMessageLoop loop;
    bool after = false;
    loop.Post([] { throw std::runtime_error("x"); });
    loop.Post([&] { after = true; });
    loop.PostQuit();
    loop.Run();
    EXPECT_TRUE(after);
}
