#include "app/FairLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace stemora {
namespace {

static_assert(!std::is_copy_constructible_v<FairLock> && !std::is_copy_assignable_v<FairLock>);
static_assert(!std::is_move_constructible_v<FairLock> && !std::is_move_assignable_v<FairLock>);

// Waits (yielding) until `done`; no time limit: a lost handover shows as a hung test, which
// ctest's timeout reports, rather than as a flaky timed failure on a loaded machine.
template <class Predicate>
void spinUntil(Predicate done) {
    while (!done()) {
        std::this_thread::yield();
    }
}

TEST(FairLock, ExcludesUnderContention) {
    FairLock lock;
    long counter = 0;  // plain: only the lock keeps the increments apart
    int inside = 0;
    bool overlapped = false;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard guard(lock);
                if (++inside != 1) {
                    overlapped = true;
                }
                counter = counter + 1;
                --inside;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

// The capture thread's pattern: hold for a pass, release, take again at once. A waiter must get
// the lock at the end of the pass during which it queued: the holder never completes a second
// pass ahead of it. Each holder pass lasts until a waiter is queued, so the rounds are real
// contest, decided by counts alone.
TEST(FairLock, HolderThatRetakesAtOnceNeverStarvesAWaiter) {
    FairLock lock;
    constexpr int kRounds = 500;
    // Guarded by the lock.
    int pass = 0;       // holder passes begun
    int passSeen = -1;  // the pass in which the holder saw a waiter queued
    int passesWithWaiter = 0;
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        while (!stop.load()) {
            std::lock_guard guard(lock);
            ++pass;
            spinUntil([&] { return lock.Waiters() > 0 || stop.load(); });
            if (lock.Waiters() > 0) {
                passSeen = pass;
                ++passesWithWaiter;
            }
        }
    });

    // Rounds that find the lock free (the holder not yet running, or preempted between its
    // release and retake) prove nothing and are not counted.
    int contested = 0;
    int lateRounds = 0;
    while (contested < kRounds) {
        std::lock_guard guard(lock);
        if (passSeen >= 0) {
            ++contested;
            if (pass != passSeen) {
                ++lateRounds;  // the holder ran another pass before handing over
            }
            passSeen = -1;
        }
    }
    stop.store(true);
    holder.join();
    EXPECT_EQ(lateRounds, 0);
    // One queued waiter is seen by one pass, never by several.
    EXPECT_EQ(passesWithWaiter, contested);
}

// Several threads queue one after another behind a held lock; they get it in that order.
TEST(FairLock, WaitersGetTheLockInArrivalOrder) {
    FairLock lock;
    constexpr int kWaiters = 5;
    std::vector<int> order;  // guarded by the lock
    std::vector<std::thread> waiters;
    lock.lock();
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&, w] {
            std::lock_guard guard(lock);
            order.push_back(w);
        });
        // Start the next only once this one is queued.
        spinUntil([&] { return lock.Waiters() == static_cast<std::uint32_t>(w + 1); });
    }
    lock.unlock();
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(lock.Waiters(), 0u);
}

TEST(FairLock, TryLockFailsWhileHeldOrAwaitedAndSucceedsWhenFree) {
    FairLock lock;
    ASSERT_TRUE(lock.try_lock());
    bool otherThreadGotIt = true;
    std::thread([&] { otherThreadGotIt = lock.try_lock(); }).join();
    EXPECT_FALSE(otherThreadGotIt);
    lock.unlock();

    std::thread([&] {
        otherThreadGotIt = lock.try_lock();
        if (otherThreadGotIt) {
            lock.unlock();
        }
    }).join();
    EXPECT_TRUE(otherThreadGotIt);

    // Held with a waiter queued, then held by that waiter: try_lock never jumps the queue.
    lock.lock();
    std::atomic<bool> waiterHasIt{false};
    std::atomic<bool> waiterMayGo{false};
    std::thread waiter([&] {
        std::unique_lock guard(lock);
        waiterHasIt.store(true);
        spinUntil([&] { return waiterMayGo.load(); });
    });
    spinUntil([&] { return lock.Waiters() == 1; });
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
    spinUntil([&] { return waiterHasIt.load(); });
    EXPECT_FALSE(lock.try_lock());
    waiterMayGo.store(true);
    waiter.join();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(FairLock, WorksWithTheStandardLockWrappers) {
    FairLock lock;
    {
        std::unique_lock guard(lock);
        EXPECT_TRUE(guard.owns_lock());
        guard.unlock();
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
        guard.lock();
        EXPECT_FALSE(lock.try_lock());
    }
    {
        std::unique_lock guard(lock, std::try_to_lock);
        EXPECT_TRUE(guard.owns_lock());
        std::thread([&] {
            std::unique_lock other(lock, std::try_to_lock);
            EXPECT_FALSE(other.owns_lock());
        }).join();
    }
    {
        std::lock_guard guard(lock);
        EXPECT_FALSE(lock.try_lock());
    }
    FairLock second;
    {
        // std::lock / scoped_lock over two locks use try_lock to avoid deadlock.
        std::scoped_lock both(lock, second);
        EXPECT_FALSE(lock.try_lock());
        EXPECT_FALSE(second.try_lock());
    }
    EXPECT_TRUE(lock.try_lock());
    EXPECT_TRUE(second.try_lock());
    lock.unlock();
    second.unlock();
}

}  // namespace
}  // namespace stemora
