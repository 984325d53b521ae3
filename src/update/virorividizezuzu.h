// The update controller: finds the Ka on the bus, keeps its identity, decides upgrade or
// downgrade, and runs the whole update on a worker thread.
#ifndef KA_VIRORIVIDIZEZUZU_H
#define KA_VIRORIVIDIZEZUZU_H

#include "KaFirmware.h"
#include "Orv_VEV_Runnable.h"
#include "UpdateOutcome.h"
#include "UpdateRecordCalls.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOReturn.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

class DownloadProgress;
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
    // The unique ID of the unit's node, from the registry entry the lookup found.
    UInt64 GUID = 0;
};

class CViRorividiZezuzu : public Runnable {
  public:
    // The release this program offers and installs, as chosen at start (KaFirmware.h).
    const UInt32 KaMCOREUpgradeVer;
    const UInt32 KaXilinxUpgradeVer;
    static constexpr UInt32 KaVersion = 2;

    // The release chosen at start (KaFirmware.h), gDownloadProgress and the update record.
    CViRorividiZezuzu();
    // Offers and installs firmware, shows the run's progress on progress and tells its course
    // to record; progress outlives the controller.
    CViRorividiZezuzu(const KaFirmware& firmware, DownloadProgress& progress,
                      const UpdateRecordCalls& record);
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
    // The node's unique ID of the unit the latest discovery pass found.
    UInt64 GetGUID();
    // The identity the latest discovery pass that found a unit read.
    KaInfo GetKaInfo();

    // From now on discovery and the update reach only the unit whose node has this GUID;
    // without one, the first unit the lookup finds (the window's way).
    void ChooseUnit(std::optional<UInt64> guid);
    // The GUIDs of every Ka unit on the bus, the one a pass without a choice takes first
    // first. Sends nothing to any unit.
    std::vector<UInt64> FindUnitGUIDs();

    // The user has accepted the update for the unit of the latest discovery pass: keep its
    // identity. The run writes only to that unit.
    void AcceptUpdate();
    // The accepted update starts: its record opens with the unit the user accepted.
    void BeginUpdateRecord();

    // The run writes nothing unless the unit it finds is the one AcceptUpdate kept (same
    // GUID, the same product revision, the same installed firmware); it then ends with
    // kKaChangedErr, or with the open's status when the unit cannot be opened to tell. An
    // acceptance holds for one run.
    bool DoUpdate();
    bool GetDoneStatus();
    void Run() override;

    // Outcome of the last finished update: 0 only when both images were installed,
    // otherwise the first failing status. Meaningful once GetDoneStatus is true.
    IOReturn GetUpdateStatus();
    // The same, image by image. Meaningful once GetDoneStatus is true.
    UpdateOutcome GetUpdateOutcome();

  private:
    // The lookup's service for the chosen unit (the first one without a choice), or none.
    io_service_t MatchingService(mach_port_t masterPort);

    // On the worker, with _unit held: kIOReturnSuccess while it is still the unit the user
    // accepted, kKaChangedErr when it is not, or why it could not be opened to tell.
    IOReturn CheckAcceptedUnit();

    // The release the run installs, if it may go to a unit at all; its source names it in
    // the update record.
    const KaFirmware _firmware;
    DownloadProgress* _progress = nullptr;
    const UpdateRecordCalls _record;

    DownloadUnit* _unit = nullptr;
    CFMutableDictionaryRef _matchingDictionary = nullptr;
    KaInfo _kaInfo;
    Downloader* _pDownloader = nullptr;
    std::atomic<bool> _done{false};
    Thread* _thread = nullptr;
    // The GUID of the unit the latest OpenKa matched, when its registry entry gave one.
    std::optional<UInt64> _unitGUID;
    std::optional<UInt64> _chosenGUID;
    // Written by AcceptUpdate on the main thread before the worker starts; read by it.
    KaInfo _acceptedKaInfo;
    // Written by the worker before _done, read by the main thread after it.
    UpdateOutcome _updateOutcome;
};

}  // namespace Orv::VEV

#endif
