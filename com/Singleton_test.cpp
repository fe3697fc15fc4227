// Singletons: one instance, created once under races, deleted in reverse order.
#include "com/Singleton.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<int>* g_order = nullptr;
std::atomic<int> g_created{0};

template <int N>
struct CNumbered {
    CNumbered() { ++g_created; }
    ~CNumbered() {
        if (g_order) g_order->push_back(N);
    }
};

TEST(Singleton, InstancesAreDeletedMostRecentlyCreatedFirst) {
    std::vector<int> order;
    g_order = &order;
    g_created = 0;
    CNumbered<1>* first = CSingleton<CNumbered<1>>::instance();
    EXPECT_EQ(CSingleton<CNumbered<1>>::instance(), first);
    CSingleton<CNumbered<2>>::instance();
    CSingleton<CNumbered<3>>::instance();
    EXPECT_EQ(g_created, 3);
    ModuleTerminate();
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
    EXPECT_FALSE(CSingleton<CNumbered<1>>::exists());
    g_order = nullptr;
}

TEST(Singleton, ConcurrentFirstUseCreatesOneInstance) {
    g_created = 0;
    std::vector<std::thread> threads;
    std::atomic<CNumbered<7>*> seen[8] = {};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = CSingleton<CNumbered<7>>::instance(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_created, 1);
    for (auto& s : seen) EXPECT_EQ(s.load(), seen[0].load());
    ModuleTerminate();
}

}  // namespace
