// The two non-portable POSIX-thread calls of the Mac the thread library uses. On the Mac they
// come with <pthread.h>; here they are our own, over glibc.
#ifndef KA_PLATFORM_MACH_PTHREAD_NP_H
#define KA_PLATFORM_MACH_PTHREAD_NP_H

#include <mach/port.h>

#include <pthread.h>
#include <time.h>

// The kernel-thread port name of a live thread, for thread_policy. A name stays valid for
// the life of the process; a handle that glibc hands out again to a later thread yields the
// same name, which then names that later thread.
mach_port_t pthread_mach_thread_np(pthread_t thread);

// Waits on cond for at most reltime (tv_nsec below one second), measured on the monotonic
// clock from the moment of the call. The condition keeps default attributes: the deadline
// is formed here and handed to pthread_cond_clockwait, so changes of the wall clock do not
// shorten or stretch the wait. Returns 0 when woken, ETIMEDOUT when the time ran out, EINVAL
// for a malformed reltime.
int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                       const struct timespec* reltime);

#endif
