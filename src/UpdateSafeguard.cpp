#include "UpdateSafeguard.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string StatusText(IOReturn status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace

CUpdateSafeguard::~CUpdateSafeguard() {
    End();
}

void CUpdateSafeguard::Begin() {
    if (_assertion != kIOPMNullAssertionID) {
        return;
    }
    const IOReturn status = IOPMAssertionCreateWithDescription(
        kIOPMAssertionTypePreventSystemSleep, CFSTR("Ka Firmware Updater"), nullptr,
        CFSTR("Updating the Ka's firmware"), nullptr, 0, nullptr, &_assertion);
    if (status != kIOReturnSuccess) {
        _assertion = kIOPMNullAssertionID;
        std::cerr << "The machine was not kept awake for the update (error " << StatusText(status)
                  << "): do not let it sleep or shut down until the update is done.\n";
    }
}

void CUpdateSafeguard::End() {
    if (_assertion != kIOPMNullAssertionID) {
        IOPMAssertionRelease(_assertion);
        _assertion = kIOPMNullAssertionID;
    }
}

void CUpdateSafeguard::HoldTermination() {
    if (!_terminationHeld) {
        _terminationHeld = true;
        std::cerr << "The updater will quit when the update is done.\n";
    }
}

void CUpdateSafeguard::RecordOutcome(const Orv::VEV::UpdateOutcome& outcome) {
    _exitStatus = outcome.BothInstalled() ? 0 : 1;
}

void CUpdateSafeguard::ReportOutcome(const Orv::VEV::UpdateOutcome& outcome) {
    std::cerr << "The update is done. " << Orv::VEV::DescribeUpdateOutcome(outcome) << "\n";
    RecordOutcome(outcome);
}
