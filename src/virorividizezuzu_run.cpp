// The update run: DoUpdate on the main thread starts one worker whose body is Run.
#include "virorividizezuzu.h"

#include "ConsistencyCheck.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "Downloader.h"
#include "KaFirmware.h"
#include "Orv_VEV_Thread.h"

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

}  // namespace

bool CViRorividiZezuzu::DoUpdate() {
    std::cout << "Start Download Thread\n";
    _done.store(false, std::memory_order_relaxed);
    _updateStatus = kIOReturnSuccess;

    _pDownloader = new (std::nothrow) Downloader;
    CheckConsistency(_pDownloader != nullptr, "virorividizezuzu", 297, "_pDownloader");

    _thread = new (std::nothrow) Thread(this, 0, Thread::kThreadPolicyTimeslice);
    const int started = _thread != nullptr ? _thread->Start() : -1;
    if (started != 0) {
        // No worker will ever run: finish the run here so the dialog sees it end, failed.
        delete _thread;
        _thread = nullptr;
        delete _pDownloader;
        _pDownloader = nullptr;
        _updateStatus = kIOReturnNoResources;
        _done.store(true, std::memory_order_release);
        return false;
    }
    return true;
}

bool CViRorividiZezuzu::GetDoneStatus() {
    return _done.load(std::memory_order_acquire);
}

IOReturn CViRorividiZezuzu::GetUpdateStatus() {
    return GetDoneStatus() ? _updateStatus : kIOReturnBusy;
}

void CViRorividiZezuzu::Run() {
    // Checked here, before anything reaches the bus, and not only by the dialog's button:
    // however a run is started, made-up images never go to a unit.
    if (!KaBuiltInImagesMayBeInstalled()) {
        std::cerr << "Update refused: this copy of the updater carries no Ka firmware\n";
        delete _pDownloader;
        _pDownloader = nullptr;
        delete _thread;
        _thread = nullptr;
        std::cout << "Delete Download Thread\n";
        _updateStatus = kIOReturnNotPermitted;
        _done.store(true, std::memory_order_release);
        return;
    }

    IOReturn outcome = kIOReturnSuccess;
    bool matched = false;
    try {
        matched = OpenKa();
    } catch (const std::exception&) {
        // The device interface could not be made; its constructor said why.
        matched = false;
    }

    gDownloadProgress.Reset();
    gDownloadProgress.SetDeviceType(Xilinx);
    if (matched && _unit != nullptr) {
        _pDownloader->DoDownload(_unit, fileXILINX);
        KeepFirstFailure(outcome, _pDownloader->Error());
        gDownloadProgress.SetDeviceType(MCORE);
        _pDownloader->DoDownload(_unit, fileMCORE);
        KeepFirstFailure(outcome, _pDownloader->Error());
    } else {
        // The unit left the bus between the click and the start of the worker.
        outcome = kIOReturnNoDevice;
    }

    CloseKa();
    delete _pDownloader;
    _pDownloader = nullptr;
    delete _thread;
    _thread = nullptr;
    std::cout << "Delete Download Thread\n";
    _updateStatus = outcome;
    _done.store(true, std::memory_order_release);
}

}  // namespace Orv::VEV
