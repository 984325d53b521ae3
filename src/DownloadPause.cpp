#include "DownloadPause.h"

#include <atomic>
#include <cerrno>

#include <time.h>

namespace {

std::atomic<DownloadPauseClock*> gDownloadPauseClock{nullptr};

// Sleeps to an absolute deadline on the monotonic clock, so that a signal arriving during
// the sleep neither shortens it nor, by restarting it, stretches it.
void SleepOnMonotonicClock(UInt32 microseconds) {
    if (microseconds == 0) {
        return;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(microseconds / 1000000u);
    deadline.tv_nsec += static_cast<long>(microseconds % 1000000u) * 1000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
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
