// The up-time clock over the Mach absolute-time clock (CLOCK_MONOTONIC): like the Mac's, it
// counts from boot and does not run while the machine is suspended, and it is the clock the
// monitor's timed waits use.
#include <CoreServices/CoreServices.h>
#include <mach/mach_time.h>

AbsoluteTime UpTime() {
    return UInt64ToUnsignedWide(mach_absolute_time());
}

Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime) {
    return absoluteTime;
}
