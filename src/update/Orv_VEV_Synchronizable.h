// A re-entrant monitor: one mutex, one condition variable, an owner and a nesting count.
// The owner may lock again without blocking; the mutex goes at the Unlock that matches the
// first Lock. A wait releases the mutex and shows the monitor unowned until it returns, when
// the owner has its full nesting depth back.
#ifndef KA_ORV_VEV_SYNCHRONIZABLE_H
#define KA_ORV_VEV_SYNCHRONIZABLE_H

#include <MacTypes.h>

#include <pthread.h>

#include <atomic>

namespace Orv::VEV {

class Synchronizable {
  public:
    Synchronizable();
    // The monitor must be unowned and without waiters by now.
    virtual ~Synchronizable();

    Synchronizable(const Synchronizable&) = delete;
    Synchronizable& operator=(const Synchronizable&) = delete;

    void Notify();
    void NotifyAll();

  private:
    // Parks the owner and its nesting while the owner waits, and gives them back after.
    class NestingReleaser {
      public:
        explicit NestingReleaser(Synchronizable* s);
        ~NestingReleaser();

        NestingReleaser(const NestingReleaser&) = delete;
        NestingReleaser& operator=(const NestingReleaser&) = delete;

      private:
        Synchronizable* mSync;
        UInt32 mNesting;
    };

    void Lock();
    void Unlock();
    // Waits and timed waits: callers own the monitor. False only when the time ran out or
    // nanos is negative (then nothing waits); a wake-up may come without a Notify.
    void Wait();
    bool Wait(SInt64 nanos);
    // nanos: a deadline in nanoseconds of up-time (UpTime); one already past waits no time.
    bool WaitUntil(UInt64 nanos);

    friend class SynchronizableTestAccess;

    // Read without the mutex by Lock's owner test: a thread finds its own handle here only
    // while it owns the monitor, because only it writes it there and takes it away again.
    std::atomic<pthread_t> mWhichThread{};
    UInt32 mRecursiveNesting = 0;
    pthread_mutex_t mMutex;
    pthread_cond_t mCondVar;
};

}  // namespace Orv::VEV

#endif
