#include "Orv_VEV_Synchronizable.h"

#include <CoreServices/CoreServices.h>
#include <mach/pthread_np.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace Orv::VEV {

Synchronizable::Synchronizable() {
    // Default attributes: an ordinary, non-recursive mutex and a condition on the
    // realtime clock; the timed waits name the monotonic clock themselves.
    pthread_mutex_init(&mMutex, nullptr);
    pthread_cond_init(&mCondVar, nullptr);
}

Synchronizable::~Synchronizable() {
    pthread_cond_destroy(&mCondVar);
    pthread_mutex_destroy(&mMutex);
}

void Synchronizable::Lock() {
    const pthread_t self = pthread_self();
    if (pthread_equal(mWhichThread.load(std::memory_order_relaxed), self)) {
        ++mRecursiveNesting;
        return;
    }
    pthread_mutex_lock(&mMutex);
    mRecursiveNesting = 0;
    mWhichThread.store(self, std::memory_order_relaxed);
}

void Synchronizable::Unlock() {
    if (mRecursiveNesting > 0) {
        --mRecursiveNesting;
        return;
    }
    mRecursiveNesting = 0;
    mWhichThread.store(pthread_t{}, std::memory_order_relaxed);
    pthread_mutex_unlock(&mMutex);
}

void Synchronizable::Notify() {
    pthread_cond_signal(&mCondVar);
}

void Synchronizable::NotifyAll() {
    pthread_cond_broadcast(&mCondVar);
}

void Synchronizable::Wait() {
    NestingReleaser releaser(this);
    pthread_cond_wait(&mCondVar, &mMutex);
}

bool Synchronizable::Wait(SInt64 nanos) {
    constexpr SInt64 NS_PER_SEC = 1000000000;
    if (nanos < 0) {
        return false;
    }
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(nanos / NS_PER_SEC);
    relative.tv_nsec = static_cast<long>(nanos % NS_PER_SEC);
    int result = 0;
    {
        NestingReleaser releaser(this);
        result = pthread_cond_timedwait_relative_np(&mCondVar, &mMutex, &relative);
    }
    return result != ETIMEDOUT;
}

bool Synchronizable::WaitUntil(UInt64 nanos) {
    const UInt64 now = UnsignedWideToUInt64(AbsoluteToNanoseconds(UpTime()));
    UInt64 remaining = nanos > now ? nanos - now : 0;
    // A deadline centuries away is a wait without end, not a negative (expired) time.
    constexpr UInt64 kLongest = static_cast<UInt64>(std::numeric_limits<SInt64>::max());
    if (remaining > kLongest) {
        remaining = kLongest;
    }
    return Wait(static_cast<SInt64>(remaining));
}

Synchronizable::NestingReleaser::NestingReleaser(Synchronizable* s)
    : mSync(s), mNesting(s->mRecursiveNesting) {
    mSync->mRecursiveNesting = 0;
    mSync->mWhichThread.store(pthread_t{}, std::memory_order_relaxed);
}

Synchronizable::NestingReleaser::~NestingReleaser() {
    mSync->mRecursiveNesting = mNesting;
    mSync->mWhichThread.store(pthread_self(), std::memory_order_relaxed);
}

}  // namespace Orv::VEV
