// The update dialog: binds the window's controls and installs its handlers (buttons, menu
// commands, closing the window, requests to end the program). Its timer runs the three states:
// waiting for input (show the unit found, or why none is, and whether an update may start),
// starting the update, and following it to the outcome alert (the alerts are made in main.cpp).
#include "ViRorividiZezuzuDialog.h"

#include "DownloadProgress.h"
#include "KaFirmware.h"
#include "Process.h"
#include "RedLineColor.h"
#include "RedLines.h"
#include "WindowTexts.h"
#include "unitaccess/UnitAccessReport.h"
#include "virorividizezuzu.h"

#include "record/UpdateRecord.h"

#include <kaplatform/ApplicationTermination.h>

#include <iostream>
#include <memory>
#include <string>

using Orv::VEV::CViRorividiZezuzu;

namespace {

const ControlID KAUpdateButtonID = {'kaUD', 101};
const ControlID KACancelButtonID = {'kaUD', 100};
const ControlID KACurrentFirmwareVersionStrID = {'kaUD', 200};
const ControlID KACurrentSerialNumberStrID = {'kaUD', 201};
const ControlID KAFinalCutRunningStrID = {'kaUD', 202};
const ControlID KAUpdateFirmwareVersionStrID = {'kaUD', 203};
const ControlID KAProgressBarID = {'kaUD', 300};
const ControlID KANoFirmwareStrID = {'kaUD', 204};
const ControlID KAUnitAccessStrID = {'kaUD', 210};

const UInt32 kFinalCutSignature = 'KeyG';

OSStatus RequestApplicationQuit() {
    EventRef quitEvent = nullptr;
    CreateEvent(nullptr, kEventClassApplication, kEventAppQuit, 0.0, kEventAttributeNone,
                &quitEvent);
    OSStatus status = SendEventToEventTarget(quitEvent, GetApplicationEventTarget());
    ReleaseEvent(quitEvent);
    return status;
}

// A program holding no firmware it may install never offers the update. It says why, in red
// like the Final Cut warning, in the window; the choice at start said so on standard error.
void ShowNoFirmwareNotice(WindowRef window, const KaFirmware& firmware) {
    CControl notice;
    const bool bound = notice.Init(KANoFirmwareStrID, window) == noErr;
    if (!bound) {
        return;
    }
    if (firmware.mayBeInstalled) {
        notice.SetVisibility(0);
        return;
    }
    // Which file of the folder is wrong, and how, is what the user needs to mend it.
    const std::string text = firmware.problemDetail.empty()
                                 ? firmware.problem
                                 : RedLineWithDetail(firmware.problem, firmware.problemDetail);
    notice.SetText(text.c_str());
    notice.SetFontForeColor(kRedLineColor);
    notice.SetVisibility(1);
}

// A Ka this user may not open, or that another program holds, is not found either, nor is
// one on a computer without a FireWire controller; without a word on why, the window would
// say "Ka Not Found" for ever.
void ShowUnitAccessProblem(CControl& line, bool unitFound) {
    const IOReturn access = unitFound ? kIOReturnSuccess : kaunitaccess::UnitAccessStatus();
    const char* text = nullptr;
    if (access == kIOReturnNotPermitted) {
        text = kNoPermissionLine;
    } else if (access == kIOReturnExclusiveAccess) {
        text = kUnitInUseLine;
    } else if (!unitFound && !kaunitaccess::FireWireControllerPresent()) {
        text = kNoControllerLine;
    }
    if (text != nullptr) {
        line.SetText(text);
    }
    line.SetVisibility(text != nullptr ? 1 : 0);
}

}  // namespace

CViRorividiZezuzuDialog::CViRorividiZezuzuDialog(WindowRef window)
    : CViRorividiZezuzuDialog(window, KaChosenFirmware()) {}

CViRorividiZezuzuDialog::CViRorividiZezuzuDialog(WindowRef window, const KaFirmware& firmware)
    : _updateState(WAITFORINPUT),
      _pKa(nullptr),
      _window(window),
      _timer(nullptr),
      _commandHandler(nullptr),
      _closeHandler(nullptr),
      _terminationHandler(nullptr),
      _quitRequested(false),
      _outcomeAlertOpen(false),
      _firmwareMayBeInstalled(false) {
    _updateButton.Init(KAUpdateButtonID, _window);
    _cancelButton.Init(KACancelButtonID, _window);
    _currentFirmwareVersionStr.Init(KACurrentFirmwareVersionStrID, _window);
    _currentSerialNumberStr.Init(KACurrentSerialNumberStrID, _window);
    _finalCutRunningStr.Init(KAFinalCutRunningStrID, _window);
    _updateFirmwareVersionStr.Init(KAUpdateFirmwareVersionStrID, _window);
    _progressBar.Init(KAProgressBarID, _window);
    _unitAccessStr.Init(KAUnitAccessStrID, _window);

    _progressBar.SetValue(0);
    _updateButton.Disable();
    _finalCutRunningStr.SetText(kFinalCutRunningLine);
    _finalCutRunningStr.SetVisibility(0);
    _finalCutRunningStr.SetFontForeColor(kRedLineColor);
    _firmwareMayBeInstalled = firmware.mayBeInstalled;
    ShowNoFirmwareNotice(_window, firmware);
    _unitAccessStr.SetVisibility(0);
    _unitAccessStr.SetFontForeColor(kRedLineColor);

    _updateButton.SetupEventHandler(kEventControlHit, UpdateEventHandlerStatic, this);
    _cancelButton.SetupEventHandler(kEventControlHit, CancelEventHandlerStatic, this);

    EventTypeSpec commandEvent = {kEventClassCommand, kEventCommandProcess};
    InstallEventHandler(GetWindowEventTarget(_window),
                        NewEventHandlerUPP(ApplicationCommandHandlerStatic), 1, &commandEvent, this,
                        &_commandHandler);
    EventTypeSpec closeEvent = {kEventClassWindow, kEventWindowClose};
    InstallEventHandler(GetWindowEventTarget(_window), NewEventHandlerUPP(WindowCloseHandlerStatic),
                        1, &closeEvent, this, &_closeHandler);
    EventTypeSpec terminationEvent = {kEventClassApplication, kEventAppTerminationRequested};
    InstallEventHandler(GetApplicationEventTarget(),
                        NewEventHandlerUPP(TerminationRequestHandlerStatic), 1, &terminationEvent,
                        this, &_terminationHandler);

    // If the controller cannot be made, nothing of the dialog may stay installed.
    try {
        _pKa = new CViRorividiZezuzu(firmware, gDownloadProgress, TheUpdateRecord());
    } catch (...) {
        RemoveEventHandler(_terminationHandler);
        RemoveEventHandler(_closeHandler);
        RemoveEventHandler(_commandHandler);
        throw;
    }

    InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0.5 * kEventDurationSecond,
                          NewEventLoopTimerUPP(TimerEventHandlerStatic), this, &_timer);
}

CViRorividiZezuzuDialog::~CViRorividiZezuzuDialog() {
    if (_timer != nullptr) {
        RemoveEventLoopTimer(_timer);
    }
    if (_closeHandler != nullptr) {
        RemoveEventHandler(_closeHandler);
    }
    if (_terminationHandler != nullptr) {
        RemoveEventHandler(_terminationHandler);
    }
    if (_commandHandler != nullptr) {
        RemoveEventHandler(_commandHandler);
    }
    delete _pKa;
}

OSStatus CViRorividiZezuzuDialog::UpdateEventHandler(EventHandlerCallRef, EventRef) {
    // The unit the window shows at the click is the one the user accepts; the ticks that run
    // while the downgrade question is open must not change that.
    _pKa->AcceptUpdate();
    if (_pKa->IsDowngrade()) {
        // Only the OK button is consent: an alert that could not be shown is a Cancel.
        if (ShowDowngradeAlert() != kAlertStdAlertOKButton) {
            return RequestApplicationQuit();
        }
    }
    // The program was asked to end while the question was open.
    if (_quitRequested) {
        return noErr;
    }
    // The last tick's answer is up to half a second old, and the process list may lag an
    // exec by longer: the update starts only on a fresh look.
    RefreshProcessList();
    if (TProcess(kMyProcess).FindProcess(kFinalCutSignature)) {
        _updateButton.Disable();
        _finalCutRunningStr.SetVisibility(1);
        return noErr;
    }
    _updateButton.Disable();
    _cancelButton.Disable();
    _updateState = STARTUPDATE;
    _safeguard.Begin();
    _pKa->BeginUpdateRecord();
    return noErr;
}

OSStatus CViRorividiZezuzuDialog::CancelEventHandler(EventHandlerCallRef, EventRef) {
    return RequestApplicationQuit();
}

OSStatus CViRorividiZezuzuDialog::WindowCloseHandler(EventHandlerCallRef handlerRef,
                                                     EventRef event) {
    if (_updateState == WAITFORINPUT) {
        return CancelEventHandler(handlerRef, event);
    }
    return noErr;
}

OSStatus CViRorividiZezuzuDialog::TerminationRequestHandler(EventHandlerCallRef handlerRef,
                                                            EventRef event) {
    if (_outcomeAlertOpen) {
        // The platform closes the alert; the tick that opened it then writes the outcome.
        _quitRequested = true;
        return noErr;
    }
    if (_updateState == WAITFORINPUT) {
        _quitRequested = true;
        return CancelEventHandler(handlerRef, event);
    }
    _safeguard.HoldTermination();
    return noErr;
}

OSStatus CViRorividiZezuzuDialog::TimerEventHandler(EventLoopTimerRef) {
    TProcess process(kMyProcess);

    switch (_updateState) {
        case WAITFORINPUT:
            if (_pKa->IsFound()) {
                _cancelButton.Enable(true);
                std::string text;
                _pKa->GetCurrentFirmwareVersionString(text);
                _currentFirmwareVersionStr.SetText(text.c_str());
                _pKa->GetSerialNumberString(text);
                _currentSerialNumberStr.SetText(text.c_str());
                _pKa->GetUpdateFirmwareVersionString(text);
                const char* const title =
                    _pKa->IsDowngrade() ? kDowngradeButtonTitle : kUpgradeButtonTitle;
                _updateFirmwareVersionStr.SetText(SelectUpdateButtonText(title, text).c_str());
                _updateButton.SetTitle(title);
                if (process.FindProcess(kFinalCutSignature)) {
                    _updateButton.Disable();
                    _finalCutRunningStr.SetVisibility(1);
                } else {
                    _updateButton.Enable(_firmwareMayBeInstalled);
                    _finalCutRunningStr.SetVisibility(0);
                }
                ShowUnitAccessProblem(_unitAccessStr, true);
            } else {
                _updateFirmwareVersionStr.SetText("");
                _currentFirmwareVersionStr.SetText(kKaNotFoundText);
                _currentSerialNumberStr.SetText(kKaNotFoundText);
                _updateButton.Disable();
                _finalCutRunningStr.SetVisibility(0);
                ShowUnitAccessProblem(_unitAccessStr, false);
            }
            break;

        case STARTUPDATE:
            _updateState = UPDATING;
            _pKa->DoUpdate();
            break;

        case UPDATING: {
            bool done = _pKa->GetDoneStatus();
            _progressBar.SetValue(gDownloadProgress.Get());
            if (done) {
                _updateState = WAITFORINPUT;
                const Orv::VEV::UpdateOutcome outcome = _pKa->GetUpdateOutcome();
                UpdateRecordEnd(outcome.BothInstalled(), outcome.firstFailure,
                                Orv::VEV::DescribeUpdateOutcome(outcome).c_str());
                _safeguard.RecordOutcome(outcome);
                // The alert that tells the outcome still belongs to the run: the machine stays
                // awake, and a request to end the program closes it and is answered once the
                // outcome is written.
                _outcomeAlertOpen = true;
                if (!_safeguard.IsTerminationHeld()) {
                    if (outcome.BothInstalled()) {
                        ShowDownloadDoneAlert();
                    } else {
                        ShowDownloadFailedAlert(outcome);
                    }
                }
                _outcomeAlertOpen = false;
                if (_safeguard.IsTerminationHeld() || _quitRequested) {
                    _safeguard.ReportOutcome(outcome);
                    _safeguard.End();
                    return RequestApplicationQuit();
                }
                _safeguard.End();
                if (outcome.BothInstalled()) {
                    return RequestApplicationQuit();
                }
                // The firmware is not complete: let the user try again.
                _progressBar.SetValue(0);
                _cancelButton.Enable(true);
            }
            break;
        }
    }
    return noErr;
}

OSStatus CViRorividiZezuzuDialog::UpdateEventHandlerStatic(EventHandlerCallRef inHandlerRef,
                                                           EventRef inEvent, void* inUserData) {
    return static_cast<CViRorividiZezuzuDialog*>(inUserData)
        ->UpdateEventHandler(inHandlerRef, inEvent);
}

OSStatus CViRorividiZezuzuDialog::CancelEventHandlerStatic(EventHandlerCallRef inHandlerRef,
                                                           EventRef inEvent, void* inUserData) {
    return static_cast<CViRorividiZezuzuDialog*>(inUserData)
        ->CancelEventHandler(inHandlerRef, inEvent);
}

void CViRorividiZezuzuDialog::TimerEventHandlerStatic(EventLoopTimerRef timerRef,
                                                      void* inUserData) {
    static_cast<CViRorividiZezuzuDialog*>(inUserData)->TimerEventHandler(timerRef);
}

OSStatus CViRorividiZezuzuDialog::ApplicationCommandHandlerStatic(EventHandlerCallRef handlerRef,
                                                                  EventRef event, void* userData) {
    return static_cast<CViRorividiZezuzuDialog*>(userData)->ApplicationCommandHandler(handlerRef,
                                                                                      event);
}

OSStatus CViRorividiZezuzuDialog::WindowCloseHandlerStatic(EventHandlerCallRef handlerRef,
                                                           EventRef event, void* userData) {
    return static_cast<CViRorividiZezuzuDialog*>(userData)->WindowCloseHandler(handlerRef, event);
}

OSStatus CViRorividiZezuzuDialog::TerminationRequestHandlerStatic(EventHandlerCallRef handlerRef,
                                                                  EventRef event, void* userData) {
    return static_cast<CViRorividiZezuzuDialog*>(userData)->TerminationRequestHandler(handlerRef,
                                                                                      event);
}

OSStatus CViRorividiZezuzuDialog::ApplicationCommandHandler(EventHandlerCallRef, EventRef event) {
    OSStatus result = eventNotHandledErr;
    HICommand command;
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof(HICommand),
                          nullptr, &command) != noErr) {
        return result;
    }
    if (command.commandID == kHICommandAbout) {
        ShowAboutDialog();
        result = noErr;
    } else if (command.commandID == kHICommandQuit) {
        // Once an update has been accepted the application may not quit.
        if (_updateState == WAITFORINPUT) {
            result = eventNotHandledErr;
        } else {
            result = noErr;
        }
    }
    return result;
}
