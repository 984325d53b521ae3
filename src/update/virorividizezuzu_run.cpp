// The update controller, its run half (discovery is in virorividizezuzu.cpp): DoUpdate on
// the main thread starts one worker whose body is Run. Run refuses firmware that may not be
// installed, checks that the unit on the bus is still the one the user accepted, installs the
// Xilinx image and then the MCORE image, and leaves the outcome with the done flag for the
// dialog's timer to collect.
#include "virorividizezuzu.h"

#include "AlertTexts.h"
#include "ConsistencyCheck.h"
#include "DiagnosticLines.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "Downloader.h"
#include "KaFirmware.h"
#include "Orv_VEV_Thread.h"
#include "StandardErrorTexts.h"

#include <IOKit/IOReturn.h>

#include <exception>
#include <iostream>
#include <new>

namespace Orv::VEV {

namespace {

// The first failure of the run decides its outcome; a later success must not hide it.
void KeepFirstFailure(IOReturn& outcome, IOReturn status) {
    if (outcome == kIOReturnSuccess) {
        outcome = status;
    }
}

void TellImageOutcome(const UpdateRecordCalls& record, const char* image, IOReturn status) {
    if (record.imageOutcome != nullptr) {
        record.imageOutcome(image, status);
    }
}

}  // namespace

bool CViRorividiZezuzu::DoUpdate() {
    std::cout << kStartDownloadThreadLine;
    _done.store(false, std::memory_order_relaxed);
    _updateOutcome = UpdateOutcome{};

    _pDownloader = new (std::nothrow) Downloader(_firmware, *_progress, _record);
    CheckConsistency(_pDownloader != nullptr, "virorividizezuzu", 297, "_pDownloader");

    _thread = new (std::nothrow) Thread(this, 0, Thread::kThreadPolicyTimeslice);
    const int started = _thread != nullptr ? _thread->Start() : -1;
    if (started != 0) {
        // No worker will ever run: finish the run here so the dialog sees it end, failed.
        delete _thread;
        _thread = nullptr;
        delete _pDownloader;
        _pDownloader = nullptr;
        _updateOutcome.firstFailure = kIOReturnNoResources;
        _acceptedKaInfo.valid = false;
        _done.store(true, std::memory_order_release);
        return false;
    }
    return true;
}

bool CViRorividiZezuzu::GetDoneStatus() {
    return _done.load(std::memory_order_acquire);
}

IOReturn CViRorividiZezuzu::GetUpdateStatus() {
    return GetDoneStatus() ? _updateOutcome.firstFailure : kIOReturnBusy;
}

UpdateOutcome CViRorividiZezuzu::GetUpdateOutcome() {
    if (!GetDoneStatus()) {
        UpdateOutcome running;
        running.firstFailure = kIOReturnBusy;
        return running;
    }
    return _updateOutcome;
}

IOReturn CViRorividiZezuzu::CheckAcceptedUnit() {
    const KaInfo& accepted = _acceptedKaInfo;
    if (!accepted.valid || !_unitGUID || *_unitGUID != accepted.GUID) {
        return kKaChangedErr;
    }
    if (const IOReturn opened = _unit->Open(); opened != kIOReturnSuccess) {
        // Whether it is the same unit cannot be told, and the download's own open would fail
        // the same way: the open's reason (another program holding the unit, say) is the
        // run's, not a change of unit.
        return opened;
    }
    UInt32 softwareVer = 0;
    UInt32 productVer = 0;
    const IOReturn softwareStatus = _unit->GetSoftwareVersion(softwareVer);
    const IOReturn productStatus = _unit->GetProductRevision(productVer);
    _unit->Close();
    // Other installed firmware would make the upgrade-or-downgrade answer the user gave
    // about the wrong unit; another product revision is another unit than the one the user
    // saw, even within a class discovery accepts.
    const bool same = softwareStatus == kIOReturnSuccess && productStatus == kIOReturnSuccess &&
                      productVer == accepted.productVer && softwareVer == accepted.softwareVer;
    return same ? kIOReturnSuccess : kKaChangedErr;
}

void CViRorividiZezuzu::Run() {
    // Checked here, before anything reaches the bus, and not only by the dialog's button:
    // however a run is started, made-up images never go to a unit.
    if (!_firmware.mayBeInstalled) {
        std::cerr << kUpdateRefusedLine;
        delete _pDownloader;
        _pDownloader = nullptr;
        delete _thread;
        _thread = nullptr;
        std::cout << kDeleteDownloadThreadLine;
        _acceptedKaInfo.valid = false;
        _updateOutcome = UpdateOutcome{};
        _updateOutcome.firstFailure = kIOReturnNotPermitted;
        _done.store(true, std::memory_order_release);
        return;
    }

    UpdateOutcome outcome;
    bool matched = false;
    try {
        matched = OpenKa();
    } catch (const std::exception&) {
        // The device interface could not be made; its constructor said why.
        matched = false;
    }

    _progress->Reset();
    _progress->SetDeviceType(Xilinx);
    if (!matched || _unit == nullptr) {
        // The unit left the bus between the click and the start of the worker.
        outcome.firstFailure = kIOReturnNoDevice;
    } else if (const IOReturn identity = CheckAcceptedUnit(); identity != kIOReturnSuccess) {
        outcome.firstFailure = identity;
        if (identity == kKaChangedErr) {
            std::cerr << kOutcomeUnitChanged << "\n";
        }
    } else {
        _pDownloader->DoDownload(_unit, fileXILINX);
        outcome.xilinxInstalled = _pDownloader->Error() == kIOReturnSuccess;
        TellImageOutcome(_record, "xilinx", _pDownloader->Error());
        KeepFirstFailure(outcome.firstFailure, _pDownloader->Error());
        _progress->SetDeviceType(MCORE);
        _pDownloader->DoDownload(_unit, fileMCORE);
        outcome.mcoreInstalled = _pDownloader->Error() == kIOReturnSuccess;
        TellImageOutcome(_record, "mcore", _pDownloader->Error());
        KeepFirstFailure(outcome.firstFailure, _pDownloader->Error());
    }
    // An acceptance holds for one run.
    _acceptedKaInfo.valid = false;

    CloseKa();
    delete _pDownloader;
    _pDownloader = nullptr;
    delete _thread;
    _thread = nullptr;
    std::cout << kDeleteDownloadThreadLine;
    _updateOutcome = outcome;
    _done.store(true, std::memory_order_release);
}

}  // namespace Orv::VEV
