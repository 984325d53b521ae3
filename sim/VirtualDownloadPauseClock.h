// A pause clock that does not sleep: each pause advances a virtual time and is recorded, and
// an observer may run at each pause (on the pausing thread, after the pause is counted). The
// simulator uses it to run an update without waiting, its simulated unit reading the virtual
// time; tests use it to see the pauses the sequencer makes.
#ifndef KA_VIRTUALDOWNLOADPAUSECLOCK_H
#define KA_VIRTUALDOWNLOADPAUSECLOCK_H

#include "DownloadPause.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class VirtualDownloadPauseClock final : public DownloadPauseClock {
  public:
    // Told the length of the pause just taken.
    using PauseObserver = std::function<void(UInt32 microseconds)>;

    void Pause(UInt32 microseconds) override {
        PauseObserver observer;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mNowMicroseconds += microseconds;
            mPauses.push_back(microseconds);
            observer = mObserver;
        }
        if (observer) {
            observer(microseconds);
        }
    }

    void SetPauseObserver(PauseObserver observer) {
        std::lock_guard<std::mutex> lock(mMutex);
        mObserver = std::move(observer);
    }

    // The sum of all pauses taken so far.
    UInt64 NowMicroseconds() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mNowMicroseconds;
    }

    std::size_t PauseCount() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPauses.size();
    }

    // Every pause taken, in order.
    std::vector<UInt32> Pauses() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPauses;
    }

  private:
    mutable std::mutex mMutex;
    UInt64 mNowMicroseconds = 0;
    std::vector<UInt32> mPauses;
    PauseObserver mObserver;
};

#endif
