#include "Orv_VEV_Thread.h"

#include <mach/mach.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Orv::VEV {

namespace {

// priority + offset, without overflow for priorities nobody would give.
integer_t BasePriority(SInt32 priority, SInt32 offset) {
    const SInt64 sum = static_cast<SInt64>(priority) + offset;
    return static_cast<integer_t>(std::clamp<SInt64>(sum, INT32_MIN, INT32_MAX));
}

}  // namespace

// Holds the new thread back until Start has finished with the Thread object (the handle
// written by the creation, the policy fields read), and holds Start until the new thread
// has taken what it needs from the object. After that either side may delete the object.
// The gate lives on Start's stack; the new thread's last touch of it is inside Pass, which
// Start waits for before its frame goes.
class Thread::StartGate {
  public:
    void Open() {
        std::unique_lock<std::mutex> lock(mMutex);
        mOpen = true;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return mPassed; });
    }

    void WaitUntilOpen() {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [this] { return mOpen; });
    }

    void Pass() {
        std::lock_guard<std::mutex> lock(mMutex);
        mPassed = true;
        mChanged.notify_all();
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mOpen = false;
    bool mPassed = false;
};

Thread::Thread(Runnable* r, SInt32 priority, eThreadPolicy policy)
    : mRunnable(r), mPriority(priority), mPolicy(policy) {}

Thread::~Thread() = default;

int Thread::Start() {
    StartGate gate;
    mStartGate = &gate;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const int created = pthread_create(&mPThread, &attributes, &RunHelper, this);
    if (created != 0) {
        pthread_attr_destroy(&attributes);
        mPThread = pthread_t{};
        mStartGate = nullptr;
        return created;
    }
    ApplyPolicy();
    pthread_attr_destroy(&attributes);

    // From here on this object belongs to the new thread, which may delete it.
    gate.Open();
    return 0;
}

void Thread::ApplyPolicy() {
    switch (mPolicy) {
        case kThreadPolicyFifo: {
            policy_fifo_base_data_t base{BasePriority(mPriority, 80)};
            thread_policy(pthread_mach_thread_np(mPThread), POLICY_FIFO,
                          reinterpret_cast<policy_base_t>(&base), 1, true);
            break;
        }
        case kThreadPolicyTimeslice: {
            policy_timeshare_base_data_t base{BasePriority(mPriority, 39)};
            thread_policy(pthread_mach_thread_np(mPThread), POLICY_TIMESHARE,
                          reinterpret_cast<policy_base_t>(&base), 1, true);
            break;
        }
        case kThreadPolicyRoundRobin:
            // Keeps the scheduling the thread was created with.
            break;
    }
}

pthread_t Thread::GetPThread() {
    return mPThread;
}

void* Thread::RunHelper(void* param) {
    auto* self = static_cast<Thread*>(param);
    StartGate* gate = self->mStartGate;
    gate->WaitUntilOpen();
    self->mStartGate = nullptr;
    Runnable* runnable = self->mRunnable;
    gate->Pass();

    runnable->Run();
    return nullptr;
}

}  // namespace Orv::VEV
