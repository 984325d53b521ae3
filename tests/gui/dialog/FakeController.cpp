#include "FakeController.h"

#include "DownloadProgress.h"
#include "virorividizezuzu.h"

#include <stdexcept>

namespace katest {
FakeUnit gFakeUnit;
}

using katest::gFakeUnit;

DownloadProgress gDownloadProgress;

DownloadProgress::DownloadProgress() = default;
DownloadProgress::~DownloadProgress() = default;
UInt32 DownloadProgress::Get() {
    return gFakeUnit.progress;
}

namespace Orv::VEV {

CViRorividiZezuzu::CViRorividiZezuzu() : KaMCOREUpgradeVer(3), KaXilinxUpgradeVer(5) {
    if (gFakeUnit.throwOnConstruction) {
        throw std::runtime_error("no FireWire");
    }
    ++gFakeUnit.constructed;
}

CViRorividiZezuzu::CViRorividiZezuzu(const KaFirmware&, DownloadProgress&, const UpdateRecordCalls&)
    : CViRorividiZezuzu() {}

CViRorividiZezuzu::~CViRorividiZezuzu() {
    ++gFakeUnit.destroyed;
}

bool CViRorividiZezuzu::IsFound() {
    ++gFakeUnit.isFoundCalls;
    return gFakeUnit.found;
}

void CViRorividiZezuzu::GetSerialNumberString(std::string& serialNumberString) {
    serialNumberString = gFakeUnit.serialNumber;
}

void CViRorividiZezuzu::GetCurrentFirmwareVersionString(std::string& currentVersionString) {
    currentVersionString = gFakeUnit.currentVersion;
}

void CViRorividiZezuzu::GetUpdateFirmwareVersionString(std::string& updateVersionString) {
    updateVersionString = gFakeUnit.updateVersion;
}

bool CViRorividiZezuzu::IsDowngrade() {
    return gFakeUnit.downgrade;
}

bool CViRorividiZezuzu::DoUpdate() {
    ++gFakeUnit.doUpdateCalls;
    return true;
}

bool CViRorividiZezuzu::GetDoneStatus() {
    return gFakeUnit.done;
}

IOReturn CViRorividiZezuzu::GetUpdateStatus() {
    return gFakeUnit.outcome.firstFailure;
}

UpdateOutcome CViRorividiZezuzu::GetUpdateOutcome() {
    return gFakeUnit.outcome;
}

void CViRorividiZezuzu::AcceptUpdate() {
    ++gFakeUnit.acceptCalls;
}

// The fake unit's updates leave no record: the record is the controller's and the platform's.
void CViRorividiZezuzu::BeginUpdateRecord() {}

void CViRorividiZezuzu::Run() {}

}  // namespace Orv::VEV
