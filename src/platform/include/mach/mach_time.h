// The Mach absolute-time clock and the precise sleep until a deadline on it. Here its units
// are nanoseconds of the kernel's monotonic clock (the time base is 1/1), the clock UpTime
// reads; callers still convert through mach_timebase_info, as on the Mac.
#ifndef KA_PLATFORM_MACH_MACH_TIME_H
#define KA_PLATFORM_MACH_MACH_TIME_H

#include <mach/kern_return.h>

#include <cstdint>

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
using mach_timebase_info_t = mach_timebase_info*;
using mach_timebase_info_data_t = mach_timebase_info;

kern_return_t mach_timebase_info(mach_timebase_info_t info);
uint64_t mach_absolute_time();

// Returns at the deadline or just after it, never before, whatever signals arrive in
// between. Its precision is the platform's concern: it neither ends early nor, on a loaded
// or virtual machine, oversleeps by the kernel's wake-up lateness.
kern_return_t mach_wait_until(uint64_t deadline);

#endif
