// pthread_cond_timedwait_relative_np over pthread_cond_clockwait on the monotonic clock.
#include <mach/pthread_np.h>

#include <cerrno>
#include <limits>

namespace {

constexpr long kNanosecondsPerSecond = 1000000000L;

}  // namespace

int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                       const struct timespec* reltime) {
    if (reltime == nullptr || reltime->tv_sec < 0 || reltime->tv_nsec < 0 ||
        reltime->tv_nsec >= kNanosecondsPerSecond) {
        return EINVAL;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    constexpr time_t kLatestSecond = std::numeric_limits<time_t>::max() - 1;
    if (reltime->tv_sec > kLatestSecond - deadline.tv_sec) {
        deadline.tv_sec = kLatestSecond;
    } else {
        deadline.tv_sec += reltime->tv_sec;
        deadline.tv_nsec += reltime->tv_nsec;
        if (deadline.tv_nsec >= kNanosecondsPerSecond) {
            deadline.tv_nsec -= kNanosecondsPerSecond;
            deadline.tv_sec += 1;
        }
    }
    return pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, &deadline);
}
