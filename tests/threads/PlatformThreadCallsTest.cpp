// The up-time clock, the Mach policy call and the relative condition wait of the platform
// layer, as the thread library relies on them.
#include "OneShotSignal.h"

#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>
#include <mach/mach.h>

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>
#include <thread>

namespace {

constexpr auto kGenerousDeadline = std::chrono::seconds(30);

UInt64 MonotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<UInt64>(now.tv_sec) * 1000000000u + static_cast<UInt64>(now.tv_nsec);
}

TEST(UpTimeTest, CountsNanosecondsOfTheMonotonicClock) {
    const UInt64 before = MonotonicNanos();
    const AbsoluteTime upTime = UpTime();
    const UInt64 after = MonotonicNanos();

    const UInt64 nanos = UnsignedWideToUInt64(AbsoluteToNanoseconds(upTime));
    EXPECT_GE(nanos, before);
    EXPECT_LE(nanos, after);

    const UnsignedWide split = UInt64ToUnsignedWide(0x0123456789ABCDEFull);
    EXPECT_EQ(split.hi, 0x01234567u);
    EXPECT_EQ(split.lo, 0x89ABCDEFu);
    EXPECT_EQ(UnsignedWideToUInt64(split), 0x0123456789ABCDEFull);
}

TEST(ThreadPolicyTest, TimeshareMovesAThreadBackToTheOrdinaryClass) {
    OneShotSignal<bool> inBatch;
    OneShotSignal<> policyApplied;
    OneShotSignal<int> seenPolicy;
    std::thread target([&] {
        sched_param parameters{};
        inBatch.Set(pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters) == 0);
        policyApplied.WaitFor(kGenerousDeadline);
        int policy = -1;
        pthread_getschedparam(pthread_self(), &policy, &parameters);
        seenPolicy.Set(policy);
    });
    const std::optional<bool> switched = inBatch.WaitFor(kGenerousDeadline);

    policy_timeshare_base_data_t base{39};
    const mach_port_t port = pthread_mach_thread_np(target.native_handle());
    EXPECT_NE(port, 0u);
    EXPECT_EQ(pthread_mach_thread_np(target.native_handle()), port);
    EXPECT_EQ(thread_policy(port, POLICY_TIMESHARE, reinterpret_cast<policy_base_t>(&base),
                            POLICY_TIMESHARE_BASE_COUNT, true),
              KERN_SUCCESS);
    policyApplied.Set();
    const std::optional<int> policy = seenPolicy.WaitFor(kGenerousDeadline);
    target.join();
    ASSERT_TRUE(switched.value_or(false));
    ASSERT_TRUE(policy.has_value());
    EXPECT_EQ(*policy, SCHED_OTHER);
}

TEST(ThreadPolicyTest, RejectsWhatItCannotApply) {
    policy_timeshare_base_data_t base{39};
    const mach_port_t self = pthread_mach_thread_np(pthread_self());
    const auto record = reinterpret_cast<policy_base_t>(&base);

    EXPECT_EQ(thread_policy(0, POLICY_TIMESHARE, record, 1, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(0xFFFFFFF0u, POLICY_TIMESHARE, record, 1, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(self, 3, record, 1, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(self, POLICY_TIMESHARE, nullptr, 1, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(self, POLICY_TIMESHARE, record, 0, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(self, POLICY_RR, record, 1, true), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_policy(self, POLICY_TIMESHARE, record, 1, true), KERN_SUCCESS);
}

TEST(ThreadPolicyTest, DistinctThreadsHaveDistinctPorts) {
    mach_port_t other = 0;
    std::thread probe([&] { other = pthread_mach_thread_np(pthread_self()); });
    probe.join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, pthread_mach_thread_np(pthread_self()));
}

class RelativeWaitTest : public testing::Test {
  protected:
    ~RelativeWaitTest() override {
        pthread_cond_destroy(&mCondition);
        pthread_mutex_destroy(&mMutex);
    }

    int WaitFor(time_t seconds, long nanoseconds) {
        const timespec relative{seconds, nanoseconds};
        pthread_mutex_lock(&mMutex);
        const int result = pthread_cond_timedwait_relative_np(&mCondition, &mMutex, &relative);
        pthread_mutex_unlock(&mMutex);
        return result;
    }

    pthread_mutex_t mMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t mCondition = PTHREAD_COND_INITIALIZER;
};

TEST_F(RelativeWaitTest, RunsOutAfterItsTimeAndRefusesMalformedTimes) {
    EXPECT_EQ(WaitFor(0, 0), ETIMEDOUT);
    const UInt64 before = MonotonicNanos();
    EXPECT_EQ(WaitFor(0, 5 * 1000 * 1000), ETIMEDOUT);
    EXPECT_GE(MonotonicNanos() - before, 5u * 1000 * 1000);

    EXPECT_EQ(WaitFor(0, 1000000000L), EINVAL);
    EXPECT_EQ(WaitFor(0, -1), EINVAL);
    EXPECT_EQ(WaitFor(-1, 0), EINVAL);
}

TEST_F(RelativeWaitTest, EvenTheLongestTimeIsWokenBySignal) {
    bool signalled = false;  // guarded by mMutex
    OneShotSignal<> aboutToWait;
    OneShotSignal<int> result;
    std::thread waiter([&] {
        const timespec forever{std::numeric_limits<time_t>::max(), 999999999L};
        pthread_mutex_lock(&mMutex);
        aboutToWait.Set();
        int last = 0;
        while (!signalled && last == 0) {
            last = pthread_cond_timedwait_relative_np(&mCondition, &mMutex, &forever);
        }
        pthread_mutex_unlock(&mMutex);
        result.Set(last);
    });
    // The mutex is free again only once the waiter is inside its wait.
    ASSERT_TRUE(aboutToWait.WaitFor(kGenerousDeadline).has_value());
    pthread_mutex_lock(&mMutex);
    signalled = true;
    pthread_cond_signal(&mCondition);
    pthread_mutex_unlock(&mMutex);

    const std::optional<int> outcome = result.WaitFor(kGenerousDeadline);
    waiter.join();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, 0);
}

}  // namespace
