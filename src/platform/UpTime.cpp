// The up-time clock over CLOCK_MONOTONIC: like the Mac's, it counts from boot and does not
// run while the machine is suspended, and it is the clock the monitor's timed waits use.
#include <CoreServices/CoreServices.h>

#include <time.h>

AbsoluteTime UpTime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const UInt64 nanoseconds =
        static_cast<UInt64>(now.tv_sec) * 1000000000u + static_cast<UInt64>(now.tv_nsec);
    return UInt64ToUnsignedWide(nanoseconds);
}

Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime) {
    return absoluteTime;
}
