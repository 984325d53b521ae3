#include "DownloadPause.h"
#include "OneShotSignal.h"
#include "Orv_VEV_Thread.h"
#include "ScopedDownloadPauseClock.h"
#include "VirtualDownloadPauseClock.h"

#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>

#include <time.h>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr auto kGenerousDeadline = std::chrono::seconds(120);

double ThreadCpuSeconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
}

UInt64 UpTimeNanos() {
    return UnsignedWideToUInt64(AbsoluteToNanoseconds(UpTime()));
}

TEST(DownloadPauseTest, InstalledClockTakesEveryPauseUntilRemoved) {
    VirtualDownloadPauseClock clock;
    {
        ScopedDownloadPauseClock installed(clock);
        // A full erase time-out: sixty one-second pauses, over in no time.
        for (int poll = 0; poll < 60; ++poll) {
            DownloadPause(1000000);
        }
        DownloadPause(1000);
        DownloadPause(0);
    }
    EXPECT_EQ(clock.PauseCount(), 62u);
    EXPECT_EQ(clock.NowMicroseconds(), 60u * 1000000 + 1000);
    EXPECT_EQ(clock.Pauses().front(), 1000000u);
    EXPECT_EQ(clock.Pauses()[60], 1000u);

    // Removed again: pauses really sleep and the virtual clock sees nothing.
    const UInt64 before = UpTimeNanos();
    DownloadPause(2000);
    EXPECT_GE(UpTimeNanos() - before, 2000u * 1000);
    EXPECT_EQ(clock.PauseCount(), 62u);
}

TEST(DownloadPauseTest, ObserverRunsOnThePausingThreadAfterEachPause) {
    VirtualDownloadPauseClock clock;
    ScopedDownloadPauseClock installed(clock);
    std::vector<std::pair<UInt32, UInt64>> seen;
    std::thread::id observedOn;
    clock.SetPauseObserver([&](UInt32 microseconds) {
        observedOn = std::this_thread::get_id();
        seen.emplace_back(microseconds, clock.NowMicroseconds());
    });

    std::thread pausing([] {
        DownloadPause(1000);
        DownloadPause(1000000);
    });
    const std::thread::id pausingId = pausing.get_id();
    pausing.join();

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(UInt32{1000}, UInt64{1000}));
    EXPECT_EQ(seen[1], std::make_pair(UInt32{1000000}, UInt64{1001000}));
    EXPECT_EQ(observedOn, pausingId);
}

// One update's worth of 1-ms pauses, really slept on a worker made by the thread library
// as the update controller makes it. Reported, not judged: the machine may be loaded.
class RealPausesBody : public Orv::VEV::Runnable {
  public:
    explicit RealPausesBody(int pauses) : mPauses(pauses) {}

    void Run() override {
        const UInt64 start = UpTimeNanos();
        const double cpuStart = ThreadCpuSeconds();
        for (int index = 0; index < mPauses; ++index) {
            DownloadPause(1000);
        }
        mCpuSeconds = ThreadCpuSeconds() - cpuStart;
        mElapsedNanos.Set(UpTimeNanos() - start);
    }

    const int mPauses;
    double mCpuSeconds = 0;  // written before mElapsedNanos is set
    OneShotSignal<UInt64> mElapsedNanos;
};

TEST(DownloadPauseTest, RealPausesOnTheWorkerLastAtLeastTheirSum) {
    constexpr int kPauses = 3218;
    RealPausesBody body(kPauses);
    Orv::VEV::Thread worker(&body, 0, Orv::VEV::Thread::kThreadPolicyTimeslice);
    ASSERT_EQ(worker.Start(), 0);

    const std::optional<UInt64> elapsed = body.mElapsedNanos.WaitFor(kGenerousDeadline);
    ASSERT_TRUE(elapsed.has_value());
    const double demanded = kPauses * 1e6;
    std::printf(
        "%d real 1-ms pauses on the worker: %.3f s for %.3f s demanded, ratio %.4f, "
        "worker CPU %.3f s\n",
        kPauses, *elapsed / 1e9, demanded / 1e9, *elapsed / demanded, body.mCpuSeconds);
    EXPECT_GE(*elapsed, static_cast<UInt64>(kPauses) * 1000 * 1000);
}

}  // namespace
