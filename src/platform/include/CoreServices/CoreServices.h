// The up-time clock: time since the system started, never set back, stopped while the
// machine sleeps. Here absolute-time units are nanoseconds of the kernel's monotonic clock,
// so AbsoluteToNanoseconds only changes the type; callers still convert, as on the Mac.
#ifndef KA_PLATFORM_CORESERVICES_H
#define KA_PLATFORM_CORESERVICES_H

#include <MacTypes.h>

AbsoluteTime UpTime();
Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime);

inline UInt64 UnsignedWideToUInt64(UnsignedWide value) {
    return (static_cast<UInt64>(value.hi) << 32) | value.lo;
}

inline UnsignedWide UInt64ToUnsignedWide(UInt64 value) {
    return UnsignedWide{static_cast<UInt32>(value >> 32), static_cast<UInt32>(value)};
}

#endif
