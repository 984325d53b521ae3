// The pauses of the download sequence: 1 ms after each operation on the unit, 1 s after an
// erase poll that finds the erase still running. By default they really sleep; a clock
// installed at start-up (the simulator's, a test's) can take them instead.
#ifndef KA_DOWNLOADPAUSE_H
#define KA_DOWNLOADPAUSE_H

#include <MacTypes.h>

class DownloadPauseClock {
  public:
    virtual ~DownloadPauseClock() = default;
    virtual void Pause(UInt32 microseconds) = 0;
};

// Pauses the calling thread for the given time, on the installed clock.
void DownloadPause(UInt32 microseconds);

// Installs the clock every later DownloadPause uses; nullptr goes back to real sleeping.
// Install it before the worker that pauses is started, and keep it alive while it is
// installed. Returns the clock installed before (nullptr for real sleeping).
DownloadPauseClock* SetDownloadPauseClock(DownloadPauseClock* clock);

#endif
