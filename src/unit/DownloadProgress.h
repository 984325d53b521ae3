// Turns the state of an update into one number from 0 to 100 for the progress bar. The
// worker thread writes it; the interface thread reads it with Get at any time.
#ifndef KA_DOWNLOADPROGRESS_H
#define KA_DOWNLOADPROGRESS_H

#include <MacTypes.h>

#include <atomic>

enum DL_DEVICE_TYPE : UInt32 {
    Xilinx = 0,
    MCORE = 1,
};

// Where the image being installed is; the interface thread may read it at any time.
enum DownloadPhase : UInt32 {
    kDownloadPreparing = 0,
    kDownloadErasing = 1,
    kDownloadProgramming = 2,
};

class DownloadProgress {
  public:
    DownloadProgress();
    ~DownloadProgress();

    void Reset();
    UInt32 Get();
    void SetDeviceType(DL_DEVICE_TYPE type);
    void SetErase();
    void SetPgm();
    void Update(float fraction);
    // The image of the last SetDeviceType and its phase: preparing after Reset, erasing after
    // SetErase, programming after SetPgm.
    void GetPhase(DL_DEVICE_TYPE& type, DownloadPhase& phase) const;

  private:
    // Read across threads, as _phase is.
    std::atomic<UInt32> _progress{0};
    UInt32 _progressBase = 0;
    UInt32 _toAdvance = 0;
    DL_DEVICE_TYPE _devType = Xilinx;
    // The image in its high half and the phase in its low half, read across threads.
    std::atomic<UInt32> _phase{0};

    void SetPhase(DownloadPhase phase);
};

extern DownloadProgress gDownloadProgress;

#endif
