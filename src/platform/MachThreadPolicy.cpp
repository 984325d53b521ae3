// Mach thread ports and thread_policy over POSIX scheduling.
#include <mach/mach.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

namespace {

// Port names are 32 bits and a pthread_t is not, so names are handed out from a table of
// the handles seen so far. glibc reuses thread descriptors, which keeps the table small.
class ThreadPortNames {
  public:
    mach_port_t NameOf(pthread_t thread) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto found = std::find_if(mThreads.begin(), mThreads.end(), [thread](pthread_t known) {
            return pthread_equal(known, thread);
        });
        if (found == mThreads.end()) {
            found = mThreads.insert(mThreads.end(), thread);
        }
        return static_cast<mach_port_t>(found - mThreads.begin()) + 1;
    }

    std::optional<pthread_t> ThreadOf(mach_port_t name) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (name == 0 || name > mThreads.size()) {
            return std::nullopt;
        }
        return mThreads[name - 1];
    }

  private:
    std::mutex mMutex;
    std::vector<pthread_t> mThreads;
};

ThreadPortNames& PortNames() {
    static ThreadPortNames names;
    return names;
}

// The Linux priority for a Mac real-time base priority (the band starts at 80).
int RealTimePriority(int linuxPolicy, integer_t basePriority) {
    const int lowest = sched_get_priority_min(linuxPolicy);
    const int highest = sched_get_priority_max(linuxPolicy);
    const long offset = static_cast<long>(basePriority) - 80 + lowest;
    return static_cast<int>(std::clamp<long>(offset, lowest, highest));
}

}  // namespace

mach_port_t pthread_mach_thread_np(pthread_t thread) {
    return PortNames().NameOf(thread);
}

kern_return_t thread_policy(thread_act_t thread, policy_t policy, policy_base_t base,
                            mach_msg_type_number_t baseCount, boolean_t /*set_limit*/) {
    const std::optional<pthread_t> handle = PortNames().ThreadOf(thread);
    if (!handle || base == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    int linuxPolicy = SCHED_OTHER;
    sched_param parameters{};
    switch (policy) {
        case POLICY_TIMESHARE:
            if (baseCount < POLICY_TIMESHARE_BASE_COUNT) {
                return KERN_INVALID_ARGUMENT;
            }
            linuxPolicy = SCHED_OTHER;
            parameters.sched_priority = 0;
            break;
        case POLICY_RR:
            if (baseCount < POLICY_RR_BASE_COUNT) {
                return KERN_INVALID_ARGUMENT;
            }
            linuxPolicy = SCHED_RR;
            parameters.sched_priority = RealTimePriority(SCHED_RR, base[0]);
            break;
        case POLICY_FIFO:
            if (baseCount < POLICY_FIFO_BASE_COUNT) {
                return KERN_INVALID_ARGUMENT;
            }
            linuxPolicy = SCHED_FIFO;
            parameters.sched_priority = RealTimePriority(SCHED_FIFO, base[0]);
            break;
        default:
            return KERN_INVALID_ARGUMENT;
    }
    const int result = pthread_setschedparam(*handle, linuxPolicy, &parameters);
    if (result == 0) {
        return KERN_SUCCESS;
    }
    return result == EINVAL ? KERN_INVALID_ARGUMENT : KERN_FAILURE;
}
