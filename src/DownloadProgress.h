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

private:
    // The one field read across threads.
    std::atomic<UInt32> _progress{0};
    UInt32 _progressBase = 0;
    UInt32 _toAdvance = 0;
    DL_DEVICE_TYPE _devType = Xilinx;
};

extern DownloadProgress gDownloadProgress;

#endif
