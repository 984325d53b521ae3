#include "DownloadPause.h"

#include <mach/mach_time.h>

#include <atomic>

namespace {

std::atomic<DownloadPauseClock*> gDownloadPauseClock{nullptr};

// A deadline on the absolute-time clock rather than a relative sleep, so that the time spent
// getting here does not add to the pause.
void SleepOnAbsoluteTimeClock(UInt32 microseconds) {
    if (microseconds == 0) {
        return;
    }
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    const UInt64 nanoseconds = static_cast<UInt64>(microseconds) * 1000;
    mach_wait_until(mach_absolute_time() + nanoseconds * timebase.denom / timebase.numer);
}

}  // namespace

void DownloadPause(UInt32 microseconds) {
    DownloadPauseClock* clock = gDownloadPauseClock.load(std::memory_order_acquire);
    if (clock != nullptr) {
        clock->Pause(microseconds);
    } else {
        SleepOnAbsoluteTimeClock(microseconds);
    }
}

DownloadPauseClock* SetDownloadPauseClock(DownloadPauseClock* clock) {
    return gDownloadPauseClock.exchange(clock, std::memory_order_acq_rel);
}
