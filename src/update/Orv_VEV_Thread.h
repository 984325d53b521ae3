// Runs one Runnable on a new, detached POSIX thread with a scheduling policy and priority.
// The Thread object is made on the heap by its user and deleted by its user; deleting it
// leaves the running thread alone. It may be deleted as soon as Start has returned, also by
// the body itself.
#ifndef KA_ORV_VEV_THREAD_H
#define KA_ORV_VEV_THREAD_H

#include "Orv_VEV_Runnable.h"

#include <MacTypes.h>

#include <pthread.h>

namespace Orv::VEV {

class Thread {
  public:
    enum eThreadPolicy : SInt32 {
        kThreadPolicyTimeslice = 0,
        kThreadPolicyRoundRobin = 1,
        kThreadPolicyFifo = 2
    };

    Thread(Runnable* r, SInt32 priority, eThreadPolicy policy);
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates the thread and applies the policy. Returns 0 when the thread runs, otherwise
    // the error of the thread creation (the body then never runs). A policy the process may
    // not take (FIFO without the privilege) leaves the thread at its inherited scheduling.
    // The body does not begin before Start is done with this object.
    int Start();

    // The handle of the started thread; meaningful once Start has returned 0.
    pthread_t GetPThread();

  private:
    class StartGate;

    static void* RunHelper(void* param);
    void ApplyPolicy();

    Runnable* mRunnable;
    SInt32 mPriority;
    eThreadPolicy mPolicy;
    pthread_t mPThread{};
    // Lives on Start's stack while the new thread waits to begin; null otherwise.
    StartGate* mStartGate = nullptr;
};

}  // namespace Orv::VEV

#endif
