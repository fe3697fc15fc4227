// The re-entrant lock: re-entry by its owner, exclusion of others, and a stray unlock.
#include "com/CriticalSection.h"

#include <gtest/gtest.h>

#include <thread>

TEST(CriticalSection, OwnerReentersOthersWaitStrayUnlockDoesNothing) {
    CComAutoCriticalSection lock;
    lock.Lock();
    lock.Lock();  // the owner takes it again
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    bool otherGot = true, strayUnlock = true;
    std::thread other([&] {
        otherGot = lock.TryLock();
        strayUnlock = lock.Unlock();  // not the owner: refused, nothing changes
    });
    other.join();
    EXPECT_FALSE(otherGot);
    EXPECT_FALSE(strayUnlock);
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.IsHeldByCurrentThread());  // one level still held
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    EXPECT_FALSE(lock.Unlock());
    std::thread taker([&] {
        otherGot = lock.TryLock();
        lock.Unlock();
    });
    taker.join();
    EXPECT_TRUE(otherGot);
}
