#include "OneShotSignal.h"
#include "Orv_VEV_Synchronizable.h"

#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace Orv::VEV {

// The monitor's locking and waiting are private; the tests reach them through here.
class SynchronizableTestAccess {
  public:
    static void Lock(Synchronizable& s) { s.Lock(); }
    static void Unlock(Synchronizable& s) { s.Unlock(); }
    static void Wait(Synchronizable& s) { s.Wait(); }
    static bool Wait(Synchronizable& s, SInt64 nanos) { return s.Wait(nanos); }
    static bool WaitUntil(Synchronizable& s, UInt64 nanos) { return s.WaitUntil(nanos); }

    static bool IsOwnedByCaller(Synchronizable& s) {
        return pthread_equal(s.mWhichThread.load(), pthread_self());
    }
    static bool IsUnowned(Synchronizable& s) { return s.mWhichThread.load() == pthread_t{}; }
    // Only the owner may look.
    static UInt32 Nesting(Synchronizable& s) { return s.mRecursiveNesting; }
    static pthread_mutex_t* Mutex(Synchronizable& s) { return &s.mMutex; }
};

}  // namespace Orv::VEV

namespace {

using Monitor = Orv::VEV::Synchronizable;
using Access = Orv::VEV::SynchronizableTestAccess;

constexpr auto kGenerousDeadline = std::chrono::seconds(30);
constexpr SInt64 kGenerousNanos = 30LL * 1000 * 1000 * 1000;

UInt64 UpTimeNanos() {
    return UnsignedWideToUInt64(AbsoluteToNanoseconds(UpTime()));
}

// Whether another thread could take the monitor's mutex right now (taking it back at once).
bool MutexFreeForAnotherThread(Monitor& monitor) {
    int result = -1;
    std::thread other([&] {
        result = pthread_mutex_trylock(Access::Mutex(monitor));
        if (result == 0) {
            pthread_mutex_unlock(Access::Mutex(monitor));
        }
    });
    other.join();
    return result == 0;
}

TEST(SynchronizableTest, NestedLocksHoldTheMutexOnceUntilTheMatchingUnlock) {
    Monitor monitor;
    EXPECT_TRUE(Access::IsUnowned(monitor));

    Access::Lock(monitor);
    Access::Lock(monitor);
    Access::Lock(monitor);
    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 2u);

    OneShotSignal<> contenderHasIt;
    std::thread contender([&] {
        Access::Lock(monitor);
        const bool owns = Access::IsOwnedByCaller(monitor) && Access::Nesting(monitor) == 0;
        Access::Unlock(monitor);
        contenderHasIt.Set(owns);
    });

    Access::Unlock(monitor);
    EXPECT_FALSE(MutexFreeForAnotherThread(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 1u);
    Access::Unlock(monitor);
    EXPECT_FALSE(MutexFreeForAnotherThread(monitor));
    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 0u);
    EXPECT_FALSE(contenderHasIt.IsSet());

    Access::Unlock(monitor);
    const std::optional<bool> contenderOwned = contenderHasIt.WaitFor(kGenerousDeadline);
    contender.join();
    ASSERT_TRUE(contenderOwned.has_value());
    EXPECT_TRUE(*contenderOwned);
    EXPECT_TRUE(Access::IsUnowned(monitor));
    EXPECT_TRUE(MutexFreeForAnotherThread(monitor));
}

// What a waiting owner found when its wait returned.
struct AfterWait {
    bool owner = false;
    UInt32 nesting = 0;
    bool result = false;
};

// Runs a thread that locks the monitor three times (nesting 2) and waits with waitOnce
// until released is set; the test locks, sets, notifies and unlocks in between.
class NestedWaiter {
  public:
    NestedWaiter(Monitor& monitor, std::function<bool()> waitOnce)
        : mMonitor(monitor), mWaitOnce(std::move(waitOnce)), mThread([this] { Body(); }) {}

    ~NestedWaiter() { mThread.join(); }

    void WaitUntilWaiting() { ASSERT_TRUE(mLocked.WaitFor(kGenerousDeadline).has_value()); }

    // Call while owning the monitor.
    void Release() { mReleased = true; }

    std::optional<AfterWait> Outcome() { return mOutcome.WaitFor(kGenerousDeadline); }

  private:
    void Body() {
        Access::Lock(mMonitor);
        Access::Lock(mMonitor);
        Access::Lock(mMonitor);
        mLocked.Set();
        AfterWait seen;
        while (!mReleased) {
            seen.result = mWaitOnce();
            if (!seen.result) {
                break;
            }
        }
        seen.owner = Access::IsOwnedByCaller(mMonitor);
        seen.nesting = Access::Nesting(mMonitor);
        Access::Unlock(mMonitor);
        Access::Unlock(mMonitor);
        Access::Unlock(mMonitor);
        mOutcome.Set(seen);
    }

    Monitor& mMonitor;
    std::function<bool()> mWaitOnce;
    bool mReleased = false;  // guarded by the monitor
    OneShotSignal<> mLocked;
    OneShotSignal<AfterWait> mOutcome;
    std::thread mThread;
};

// The test's side: take the monitor (possible only once the waiter's wait has released it),
// look at it, release the waiter, notify, unlock.
void LockNotifyUnlock(Monitor& monitor, NestedWaiter& waiter) {
    waiter.WaitUntilWaiting();
    Access::Lock(monitor);
    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 0u);
    Access::Lock(monitor);
    EXPECT_EQ(Access::Nesting(monitor), 1u);
    Access::Unlock(monitor);
    waiter.Release();
    monitor.Notify();
    Access::Unlock(monitor);
}

void ExpectNotifiedWithNestingBack(NestedWaiter& waiter) {
    const std::optional<AfterWait> outcome = waiter.Outcome();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->result);
    EXPECT_TRUE(outcome->owner);
    EXPECT_EQ(outcome->nesting, 2u);
}

TEST(SynchronizableTest, OwnerWaitingAtNestingTwoLetsAnotherThreadInAndGetsItsDepthBack) {
    Monitor monitor;
    {
        NestedWaiter untimed(monitor, [&] {
            Access::Wait(monitor);
            return true;
        });
        LockNotifyUnlock(monitor, untimed);
        ExpectNotifiedWithNestingBack(untimed);
    }
    {
        NestedWaiter timed(monitor, [&] { return Access::Wait(monitor, kGenerousNanos); });
        LockNotifyUnlock(monitor, timed);
        ExpectNotifiedWithNestingBack(timed);
    }
    {
        NestedWaiter deadline(
            monitor, [&] { return Access::WaitUntil(monitor, UpTimeNanos() + kGenerousNanos); });
        LockNotifyUnlock(monitor, deadline);
        ExpectNotifiedWithNestingBack(deadline);
    }
    {
        // A deadline beyond the signed range is a wait without end, not an expired one.
        NestedWaiter farAway(monitor, [&] { return Access::WaitUntil(monitor, UINT64_MAX); });
        LockNotifyUnlock(monitor, farAway);
        ExpectNotifiedWithNestingBack(farAway);
    }
    EXPECT_TRUE(Access::IsUnowned(monitor));
}

TEST(SynchronizableTest, NegativeTimeReturnsFalseWithoutReleasingTheMonitor) {
    Monitor monitor;
    Access::Lock(monitor);
    Access::Lock(monitor);

    EXPECT_FALSE(Access::Wait(monitor, -1));
    EXPECT_FALSE(Access::Wait(monitor, INT64_MIN));
    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 1u);
    EXPECT_FALSE(MutexFreeForAnotherThread(monitor));

    Access::Unlock(monitor);
    Access::Unlock(monitor);
}

TEST(SynchronizableTest, TimedWaitsRunOutAfterTheirTimeAndGiveTheNestingBack) {
    Monitor monitor;
    Access::Lock(monitor);
    Access::Lock(monitor);
    Access::Lock(monitor);

    EXPECT_FALSE(Access::Wait(monitor, 0));

    const UInt64 before = UpTimeNanos();
    EXPECT_FALSE(Access::Wait(monitor, 20 * 1000 * 1000));
    EXPECT_GE(UpTimeNanos() - before, 20u * 1000 * 1000);

    // More than a second: whole seconds and the rest travel separately.
    const UInt64 beforeLong = UpTimeNanos();
    EXPECT_FALSE(Access::Wait(monitor, 1050 * 1000 * 1000));
    EXPECT_GE(UpTimeNanos() - beforeLong, 1050u * 1000 * 1000);

    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 2u);
    Access::Unlock(monitor);
    Access::Unlock(monitor);
    Access::Unlock(monitor);
    EXPECT_TRUE(Access::IsUnowned(monitor));
}

TEST(SynchronizableTest, DeadlinesAtOrBeforeNowRunOutAndLaterOnesAreKept) {
    Monitor monitor;
    Access::Lock(monitor);
    Access::Lock(monitor);

    EXPECT_FALSE(Access::WaitUntil(monitor, 0));
    EXPECT_FALSE(Access::WaitUntil(monitor, UpTimeNanos() - 1));
    EXPECT_FALSE(Access::WaitUntil(monitor, UpTimeNanos()));

    const UInt64 deadline = UpTimeNanos() + 20 * 1000 * 1000;
    EXPECT_FALSE(Access::WaitUntil(monitor, deadline));
    EXPECT_GE(UpTimeNanos(), deadline);

    EXPECT_TRUE(Access::IsOwnedByCaller(monitor));
    EXPECT_EQ(Access::Nesting(monitor), 1u);
    Access::Unlock(monitor);
    Access::Unlock(monitor);
}

TEST(SynchronizableTest, NotifyAllWakesEveryWaiter) {
    constexpr int kWaiters = 4;
    Monitor monitor;
    int waiting = 0;        // guarded by the monitor
    bool released = false;  // guarded by the monitor
    std::vector<std::unique_ptr<OneShotSignal<bool>>> woken;
    std::vector<std::thread> waiters;
    for (int index = 0; index < kWaiters; ++index) {
        woken.push_back(std::make_unique<OneShotSignal<bool>>());
        waiters.emplace_back([&, signal = woken.back().get()] {
            Access::Lock(monitor);
            ++waiting;
            bool notified = true;
            while (!released && notified) {
                notified = Access::Wait(monitor, kGenerousNanos);
            }
            Access::Unlock(monitor);
            signal->Set(notified);
        });
    }

    // Once the test holds the monitor with every waiter counted, all of them are inside
    // their wait, the only place a counted waiter lets go of the monitor.
    const auto giveUp = std::chrono::steady_clock::now() + kGenerousDeadline;
    bool allWaiting = false;
    while (!allWaiting && std::chrono::steady_clock::now() < giveUp) {
        Access::Lock(monitor);
        allWaiting = waiting == kWaiters;
        if (allWaiting) {
            released = true;
            monitor.NotifyAll();
        }
        Access::Unlock(monitor);
        std::this_thread::yield();
    }
    ASSERT_TRUE(allWaiting);

    for (int index = 0; index < kWaiters; ++index) {
        const std::optional<bool> notified = woken[index]->WaitFor(kGenerousDeadline);
        ASSERT_TRUE(notified.has_value());
        EXPECT_TRUE(*notified) << "waiter " << index << " ran out of time instead";
    }
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
}

}  // namespace
