#include "DownloadPause.h"
#include "ScopedDownloadPauseClock.h"
#include "VirtualDownloadPauseClock.h"

#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

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

// The real pause: never shorter than asked, whatever interrupts it, and on a thread whose
// timers are made precise, since a 1-ms pause with the default 50-us slack would cost 5 %.
TEST(DownloadPauseTest, RealPausesAreNeverCutShortBySignals) {
    struct sigaction ignoring {};
    ignoring.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &ignoring, &previous), 0);

    std::atomic<bool> pausing{true};
    std::atomic<unsigned long> slack{0};
    UInt64 elapsed = 0;
    std::thread sleeper([&] {
        const UInt64 start = UpTimeNanos();
        for (int pause = 0; pause < 20; ++pause) {
            DownloadPause(1000);
        }
        DownloadPause(30000);
        elapsed = UpTimeNanos() - start;
        slack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
        pausing = false;
    });
    // Interrupt the sleeps again and again until they are over.
    int signals = 0;
    while (pausing) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        ++signals;
        std::this_thread::yield();
    }
    sleeper.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(signals, 0);
    EXPECT_GE(elapsed, UInt64{50} * 1000 * 1000);
    EXPECT_EQ(slack, 1u);
}

}  // namespace
