// The Mach calls the program uses: thread scheduling policy.
#ifndef KA_PLATFORM_MACH_MACH_H
#define KA_PLATFORM_MACH_MACH_H

#include <mach/kern_return.h>
#include <mach/policy.h>
#include <mach/port.h>
#include <mach/pthread_np.h>
#include <mach/thread_act.h>

#endif
