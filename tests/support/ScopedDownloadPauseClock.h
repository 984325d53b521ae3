// Installs a pause clock for the life of a test and puts the previous one back.
#ifndef KA_TESTS_SCOPEDDOWNLOADPAUSECLOCK_H
#define KA_TESTS_SCOPEDDOWNLOADPAUSECLOCK_H

#include "DownloadPause.h"

class ScopedDownloadPauseClock {
  public:
    explicit ScopedDownloadPauseClock(DownloadPauseClock& clock)
        : mPrevious(SetDownloadPauseClock(&clock)) {}
    ~ScopedDownloadPauseClock() { SetDownloadPauseClock(mPrevious); }

    ScopedDownloadPauseClock(const ScopedDownloadPauseClock&) = delete;
    ScopedDownloadPauseClock& operator=(const ScopedDownloadPauseClock&) = delete;

  private:
    DownloadPauseClock* mPrevious;
};

#endif
