#include "DownloadPause.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

#include <time.h>

namespace {

std::atomic<DownloadPauseClock*> gDownloadPauseClock{nullptr};

using Nanos = long long;

constexpr Nanos kNanosPerSecond = 1000000000LL;
// Never spin longer than this at the end of one pause, whatever the wake-ups cost.
constexpr Nanos kLongestSpin = 200000;

Nanos MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanos>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

void SleepUntil(Nanos deadline) {
    const timespec until{static_cast<time_t>(deadline / kNanosPerSecond),
                         static_cast<long>(deadline % kNanosPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

inline void RelaxWhileSpinning() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// How late the kernel wakes this thread from a timed sleep, as a running average. Under a
// virtual machine it is tens of microseconds: three thousand 1-ms pauses slept plainly would
// cost several percent more than they demand. So each pause sleeps to a little before its
// end, by this much, and spins the rest. A pause never ends early; a late wake-up only
// means no spin.
class WakeUpLateness {
  public:
    Nanos Margin() const { return std::min(2 * mAverage + 10000, kLongestSpin); }

    void Record(Nanos lateness) {
        const Nanos sample = std::clamp<Nanos>(lateness, 0, kLongestSpin);
        mAverage += (sample - mAverage) / 8;
    }

  private:
    Nanos mAverage = 50000;
};

// Absolute deadlines on the monotonic clock: a signal arriving during the sleep neither
// shortens it nor, by restarting it, stretches it, and setting the wall clock does nothing.
void SleepOnMonotonicClock(UInt32 microseconds) {
    if (microseconds == 0) {
        return;
    }
    thread_local WakeUpLateness lateness;
    const Nanos start = MonotonicNow();
    const Nanos deadline = start + static_cast<Nanos>(microseconds) * 1000;
    const Nanos wakeAt = deadline - lateness.Margin();
    if (wakeAt > start) {
        SleepUntil(wakeAt);
        lateness.Record(MonotonicNow() - wakeAt);
    }
    while (MonotonicNow() < deadline) {
        RelaxWhileSpinning();
    }
}

}  // namespace

void DownloadPause(UInt32 microseconds) {
    DownloadPauseClock* clock = gDownloadPauseClock.load(std::memory_order_acquire);
    if (clock != nullptr) {
        clock->Pause(microseconds);
    } else {
        SleepOnMonotonicClock(microseconds);
    }
}

DownloadPauseClock* SetDownloadPauseClock(DownloadPauseClock* clock) {
    return gDownloadPauseClock.exchange(clock, std::memory_order_acq_rel);
}
