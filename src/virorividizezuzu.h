// The update controller: finds the Ka on the bus, keeps its identity, decides upgrade or
// downgrade, and runs the whole update on a worker thread.
#ifndef KA_VIRORIVIDIZEZUZU_H
#define KA_VIRORIVIDIZEZUZU_H

#include "Orv_VEV_Runnable.h"
#include "UpdateOutcome.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>

#include <atomic>
#include <string>

class DownloadUnit;
class Downloader;

namespace Orv::VEV {

class Thread;

struct KaInfo {
    UInt32 softwareVer = 0;
    UInt32 productVer = 0;
    std::string serialNum;
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
    bool valid = false;
};

class CViRorividiZezuzu : public Runnable {
  public:
    static constexpr UInt32 KaMCOREUpgradeVer = 3;
    static constexpr UInt32 KaXilinxUpgradeVer = 5;
    static constexpr UInt32 KaVersion = 2;

    CViRorividiZezuzu();
    ~CViRorividiZezuzu() override;

    CViRorividiZezuzu(const CViRorividiZezuzu&) = delete;
    CViRorividiZezuzu& operator=(const CViRorividiZezuzu&) = delete;

    bool OpenKa();
    void CloseKa();
    bool IsFound();

    void GetSerialNumberString(std::string& serialNumberString);
    void GetCurrentFirmwareVersionString(std::string& currentVersionString);
    void GetUpdateFirmwareVersionString(std::string& updateVersionString);
    bool IsDowngrade();

    bool DoUpdate();
    bool GetDoneStatus();
    void Run() override;

    // Outcome of the last finished update: 0 only when both images were installed,
    // otherwise the first failing status. Meaningful once GetDoneStatus is true.
    IOReturn GetUpdateStatus();
    // The same, image by image. Meaningful once GetDoneStatus is true.
    UpdateOutcome GetUpdateOutcome();

  private:
    DownloadUnit* _unit = nullptr;
    CFMutableDictionaryRef _matchingDictionary = nullptr;
    KaInfo _kaInfo;
    Downloader* _pDownloader = nullptr;
    std::atomic<bool> _done{false};
    Thread* _thread = nullptr;
    // Written by the worker before _done, read by the main thread after it.
    UpdateOutcome _updateOutcome;
};

}  // namespace Orv::VEV

#endif
