// Setting a thread's scheduling policy, over Linux scheduling classes:
//   POLICY_TIMESHARE -> SCHED_OTHER (the ordinary time-shared class; the base priority
//                       does not change the thread's nice value)
//   POLICY_FIFO      -> SCHED_FIFO, POLICY_RR -> SCHED_RR. The Mac's real-time band starts
//                       at base priority 80; the offset into it plus 1 is the Linux
//                       priority, held within the range Linux allows.
// set_limit has no Linux counterpart and is ignored. A policy the caller may not take
// (no CAP_SYS_NICE, no RLIMIT_RTPRIO) gives KERN_FAILURE and leaves the thread as it was.
#ifndef KA_PLATFORM_MACH_THREAD_ACT_H
#define KA_PLATFORM_MACH_THREAD_ACT_H

#include <mach/kern_return.h>
#include <mach/policy.h>
#include <mach/port.h>

kern_return_t thread_policy(thread_act_t thread, policy_t policy, policy_base_t base,
                            mach_msg_type_number_t baseCount, boolean_t set_limit);

#endif
