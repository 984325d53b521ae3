// mach_absolute_time and mach_wait_until over the kernel's monotonic clock.
#include <mach/mach_time.h>

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {

using Nanos = long long;

constexpr Nanos kNanosPerSecond = 1000000000LL;
// Never spin longer than this at the end of one wait, whatever the wake-ups cost.
constexpr Nanos kLongestSpin = 200000;

Nanos MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanos>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

// Absolute deadlines: a signal arriving during the sleep neither shortens it nor, by
// restarting it, stretches it, and setting the wall clock does nothing.
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
// virtual machine it is tens of microseconds: three thousand 1-ms waits slept plainly would
// cost several percent more than they demand. So each wait sleeps to a little before its
// end, by this much, and spins the rest. A late wake-up only means no spin.
class WakeUpLateness {
  public:
    WakeUpLateness() {
        // The default slack of 50 us would add 5 % to every 1-ms wait of this thread.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }

    Nanos Margin() const { return std::min(2 * mAverage + 10000, kLongestSpin); }

    void Record(Nanos lateness) {
        const Nanos sample = std::clamp<Nanos>(lateness, 0, kLongestSpin);
        mAverage += (sample - mAverage) / 8;
    }

  private:
    Nanos mAverage = 50000;
};

}  // namespace

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (info == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

uint64_t mach_absolute_time() {
    return static_cast<uint64_t>(MonotonicNow());
}

kern_return_t mach_wait_until(uint64_t deadline) {
    const Nanos start = MonotonicNow();
    const Nanos end =
        static_cast<Nanos>(std::min<uint64_t>(deadline, std::numeric_limits<Nanos>::max()));
    if (end <= start) {
        return KERN_SUCCESS;
    }
    thread_local WakeUpLateness lateness;
    const Nanos wakeAt = end - lateness.Margin();
    if (wakeAt > start) {
        SleepUntil(wakeAt);
        lateness.Record(MonotonicNow() - wakeAt);
    }
    while (MonotonicNow() < end) {
        RelaxWhileSpinning();
    }
    return KERN_SUCCESS;
}
