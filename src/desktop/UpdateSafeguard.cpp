#include "UpdateSafeguard.h"

#include "StandardErrorTexts.h"
#include "WindowTexts.h"

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <kaplatform/ApplicationTermination.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::string StatusText(IOReturn status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::atomic<int> gRunningUpdates{0};

}  // namespace

bool CUpdateSafeguard::AnyUpdateRunning() {
    return gRunningUpdates.load() > 0;
}

CUpdateSafeguard::~CUpdateSafeguard() {
    End();
}

void CUpdateSafeguard::Begin() {
    if (!_running) {
        _running = true;
        ++gRunningUpdates;
    }
    if (!_uninterruptible) {
        _uninterruptible = true;
        BeginUninterruptibleWork();
    }
    if (_assertion != kIOPMNullAssertionID) {
        return;
    }
    CFStringRef name = CFStringCreateWithCString(nullptr, kKeepAwakeName, kCFStringEncodingUTF8);
    CFStringRef reason =
        CFStringCreateWithCString(nullptr, kKeepAwakeReason, kCFStringEncodingUTF8);
    const IOReturn status =
        IOPMAssertionCreateWithDescription(kIOPMAssertionTypePreventSystemSleep, name, nullptr,
                                           reason, nullptr, 0, nullptr, &_assertion);
    if (reason != nullptr) {
        CFRelease(reason);
    }
    if (name != nullptr) {
        CFRelease(name);
    }
    if (status != kIOReturnSuccess) {
        _assertion = kIOPMNullAssertionID;
        std::clog << NotKeptAwakeLine(StatusText(status));
    }
}

void CUpdateSafeguard::End() {
    if (_running) {
        _running = false;
        --gRunningUpdates;
    }
    if (_assertion != kIOPMNullAssertionID) {
        IOPMAssertionRelease(_assertion);
        _assertion = kIOPMNullAssertionID;
    }
    if (_uninterruptible) {
        _uninterruptible = false;
        EndUninterruptibleWork();
    }
}

void CUpdateSafeguard::HoldTermination() {
    if (!_terminationHeld) {
        _terminationHeld = true;
        std::clog << kQuitWhenDoneLine;
    }
}

void CUpdateSafeguard::RecordOutcome(const Orv::VEV::UpdateOutcome& outcome) {
    _exitStatus = outcome.BothInstalled() ? 0 : 1;
}

void CUpdateSafeguard::ReportOutcome(const Orv::VEV::UpdateOutcome& outcome) {
    std::clog << kUpdateDonePrefix << Orv::VEV::DescribeUpdateOutcome(outcome) << "\n";
    RecordOutcome(outcome);
}
