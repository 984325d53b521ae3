// The update controller, its discovery half (the run is in virorividizezuzu_run.cpp): each
// pass of the dialog's timer looks the Ka up by its unit directory, reads its GUID, serial
// number and firmware version, and keeps them as the identity the dialog shows and an accepted
// update must match. Also the version texts, the upgrade-or-downgrade decision and the start
// of the update record.
#include "virorividizezuzu.h"

#include "ConsistencyCheck.h"
#include "DiagnosticLines.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "WindowTexts.h"

#include "record/UpdateRecord.h"

#include <IOKit/IOKitLib.h>

#include <exception>
#include <iostream>
#include <optional>
#include <vector>

namespace Orv::VEV {

namespace {

// Adds key = value as a 32-bit signed number; the dictionary keeps its own reference.
void AddNumber(CFMutableDictionaryRef dictionary, CFStringRef key, SInt32 value) {
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    CFDictionaryAddValue(dictionary, key, number);
    CFRelease(number);
}

// A new matching dictionary for the Ka's firmware-update unit.
CFMutableDictionaryRef KaMatching() {
    CFMutableDictionaryRef matching = IOServiceMatching("IOFireWireUnit");
    if (matching != nullptr) {
        AddNumber(matching, CFSTR("Unit_Spec_ID"),
                  static_cast<SInt32>(DownloadUnit::kFirmwareUpdateUnitSpecID));
        AddNumber(matching, CFSTR("Unit_SW_Version"),
                  static_cast<SInt32>(DownloadUnit::kFirmwareUpdateUnitSWVersion));
    }
    return matching;
}

// The node's GUID as the registry offers it for the service: a 64-bit number.
std::optional<UInt64> ServiceGUID(io_service_t service) {
    CFTypeRef property =
        IORegistryEntryCreateCFProperty(service, CFSTR("GUID"), kCFAllocatorDefault, 0);
    if (property == nullptr) {
        return std::nullopt;
    }
    std::optional<UInt64> guid;
    SInt64 value = 0;
    if (CFGetTypeID(property) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt64Type, &value)) {
        guid = static_cast<UInt64>(value);
    }
    CFRelease(property);
    return guid;
}

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

}  // namespace

CViRorividiZezuzu::CViRorividiZezuzu()
    : CViRorividiZezuzu(KaChosenFirmware(), gDownloadProgress, TheUpdateRecord()) {}

CViRorividiZezuzu::CViRorividiZezuzu(const KaFirmware& firmware, DownloadProgress& progress,
                                     const UpdateRecordCalls& record)
    : KaMCOREUpgradeVer(firmware.MCOREver),
      KaXilinxUpgradeVer(firmware.XilinxVer),
      _firmware(firmware),
      _progress(&progress),
      _record(record) {
    std::cout << kControllerMadeLine;
    std::cerr << kTestCerrLine;
    _kaInfo.valid = false;
}

CViRorividiZezuzu::~CViRorividiZezuzu() {
    std::cout << kControllerGoneLine;
    delete _unit;
}

io_service_t CViRorividiZezuzu::MatchingService(mach_port_t masterPort) {
    _matchingDictionary = KaMatching();
    if (_matchingDictionary == nullptr) {
        return IO_OBJECT_NULL;
    }
    // The lookup consumes the dictionary; keeping the pointer would leave it dangling.
    CFMutableDictionaryRef matching = _matchingDictionary;
    _matchingDictionary = nullptr;
    if (!_chosenGUID) {
        return IOServiceGetMatchingService(masterPort, matching);
    }
    io_iterator_t iterator = IO_OBJECT_NULL;
    if (IOServiceGetMatchingServices(masterPort, matching, &iterator) != KERN_SUCCESS) {
        return IO_OBJECT_NULL;
    }
    io_service_t chosen = IO_OBJECT_NULL;
    while (const io_service_t service = IOIteratorNext(iterator)) {
        if (chosen == IO_OBJECT_NULL && ServiceGUID(service) == _chosenGUID) {
            chosen = service;
        } else {
            IOObjectRelease(service);
        }
    }
    IOObjectRelease(iterator);
    return chosen;
}

void CViRorividiZezuzu::ChooseUnit(std::optional<UInt64> guid) {
    _chosenGUID = guid;
}

std::vector<UInt64> CViRorividiZezuzu::FindUnitGUIDs() {
    std::vector<UInt64> guids;
    mach_port_t masterPort = MACH_PORT_NULL;
    if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS) {
        return guids;
    }
    io_iterator_t iterator = IO_OBJECT_NULL;
    if (CFMutableDictionaryRef matching = KaMatching();
        matching == nullptr ||
        IOServiceGetMatchingServices(masterPort, matching, &iterator) != KERN_SUCCESS) {
        iterator = IO_OBJECT_NULL;
    }
    while (const io_service_t service = IOIteratorNext(iterator)) {
        // A unit whose node does not say who it is cannot be chosen, nor updated.
        if (const std::optional<UInt64> guid = ServiceGUID(service)) {
            guids.push_back(*guid);
        }
        IOObjectRelease(service);
    }
    if (iterator != IO_OBJECT_NULL) {
        IOObjectRelease(iterator);
    }
    IOObjectRelease(masterPort);
    return guids;
}

bool CViRorividiZezuzu::OpenKa() {
    std::cout << kOpenKaLine;
    mach_port_t masterPort = MACH_PORT_NULL;
    if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS) {
        std::cerr << kMasterPortProblemLine;
        return false;
    }
    const io_service_t service = MatchingService(masterPort);
    IOObjectRelease(masterPort);
    if (service == IO_OBJECT_NULL) {
        _kaInfo.valid = false;
        return false;
    }
    const std::optional<UInt64> guid = ServiceGUID(service);
    DownloadUnit* unit = nullptr;
    try {
        unit = new DownloadUnit(service);
    } catch (...) {
        IOObjectRelease(service);
        throw;
    }
    // The device interface holds the unit for as long as it lives.
    IOObjectRelease(service);
    // A unit still held from an unpaired OpenKa would otherwise be lost.
    delete _unit;
    _unit = unit;
    _unitGUID = guid;
    _kaInfo.valid = true;
    return true;
}

void CViRorividiZezuzu::CloseKa() {
    std::cout << kCloseKaLine;
    delete _unit;
    _unit = nullptr;
}

bool CViRorividiZezuzu::IsFound() {
    bool result = false;
    try {
        if (!OpenKa()) {
            return false;
        }
    } catch (const std::exception&) {
        // The unit answered the lookup but its device interface could not be had (its
        // message is out already): not found this time, the next pass tries again.
        return false;
    }
    UInt32 generation = 0;
    if (_unit->GetBusGeneration(generation) != kIOReturnSuccess) {
        // A unit whose bus cannot be read is as good as gone.
        CloseKa();
        return false;
    }
    if (_unit->Open() != kIOReturnSuccess) {
        CloseKa();
        return false;
    }
    std::string serialNum;
    UInt32 softwareVer = 0;
    UInt32 productVer = 0;
    _unit->GetProductSerNum(serialNum);
    const IOReturn softwareStatus = _unit->GetSoftwareVersion(softwareVer);
    const IOReturn productStatus = _unit->GetProductRevision(productVer);
    _unit->GetProductSerNum(serialNum);

    if (softwareStatus != kIOReturnSuccess || productStatus != kIOReturnSuccess || !_unitGUID) {
        // Whatever the failed read left behind is no identity: no offer, no version text and
        // no downgrade decision may rest on it. The next pass tries again.
        _kaInfo.valid = false;
    } else {
        _kaInfo.serialNum = serialNum;
        _kaInfo.softwareVer = softwareVer;
        _kaInfo.XilinxVer = softwareVer & 0xFFFF;
        _kaInfo.MCOREver = softwareVer >> 16;
        _kaInfo.productVer = productVer;
        _kaInfo.GUID = *_unitGUID;
        const UInt32 revision = productVer >> 16;
        if (revision == KaVersion || revision == 0) {
            _kaInfo.valid = true;
            result = true;
        }
    }
    _unit->Close();
    CloseKa();
    return result;
}

void CViRorividiZezuzu::AcceptUpdate() {
    _acceptedKaInfo = _kaInfo;
}

void CViRorividiZezuzu::BeginUpdateRecord() {
    std::string firmwareVersion;
    GetUpdateFirmwareVersionString(firmwareVersion);
    const KaInfo& accepted = _acceptedKaInfo;
    const UpdateRecordFacts facts = {
        "1.3",
        firmwareVersion.c_str(),
        _firmware.source.c_str(),
        accepted.GUID,
        accepted.serialNum.c_str(),
        accepted.softwareVer,
        accepted.productVer,
    };
    // The record is never needed for the update: it goes on when none can be kept.
    if (_record.begin != nullptr) {
        static_cast<void>(_record.begin(&facts));
    }
}

void CViRorividiZezuzu::GetSerialNumberString(std::string& serialNumberString) {
    CheckConsistency(_kaInfo.valid, "virorividizezuzu", 223, "true == _kaInfo.valid");
    if (_kaInfo.MCOREver < 3) {
        serialNumberString = kSerialNumberNotAvailableText;
    } else {
        serialNumberString = _kaInfo.serialNum;
    }
}

void CViRorividiZezuzu::GetCurrentFirmwareVersionString(std::string& currentVersionString) {
    CheckConsistency(_kaInfo.valid, "virorividizezuzu", 237, "true == _kaInfo.valid");
    currentVersionString = VersionText(_kaInfo.MCOREver, _kaInfo.XilinxVer);
}

void CViRorividiZezuzu::GetUpdateFirmwareVersionString(std::string& updateVersionString) {
    updateVersionString = VersionText(KaMCOREUpgradeVer, KaXilinxUpgradeVer);
}

bool CViRorividiZezuzu::IsDowngrade() {
    CheckConsistency(_kaInfo.valid, "virorividizezuzu", 262, "true == _kaInfo.valid");
    if (_kaInfo.XilinxVer > KaXilinxUpgradeVer) {
        return true;
    }
    return _kaInfo.MCOREver > KaMCOREUpgradeVer;
}

KaInfo CViRorividiZezuzu::GetKaInfo() {
    return _kaInfo;
}

UInt64 CViRorividiZezuzu::GetGUID() {
    return _kaInfo.valid ? _kaInfo.GUID : 0;
}

}  // namespace Orv::VEV
