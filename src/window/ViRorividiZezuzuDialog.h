// The program's one window: binds its seven controls, owns the update controller, and runs
// everything from a repeating timer whose tick is a three-state machine.
#ifndef KA_VIRORIVIDIZEZUZUDIALOG_H
#define KA_VIRORIVIDIZEZUZUDIALOG_H

#include "UpdateOutcome.h"
#include "UpdateSafeguard.h"
#include "carboncontrols.h"

#include <Carbon/Carbon.h>

struct KaFirmware;

namespace Orv::VEV {
class CViRorividiZezuzu;
}

enum ViRorividiZezuzuType : UInt32 {
    WAITFORINPUT = 0,
    STARTUPDATE = 1,
    UPDATING = 2,
};

class CViRorividiZezuzuDialog {
  public:
    // Offers the release chosen at start (KaFirmware.h).
    explicit CViRorividiZezuzuDialog(WindowRef window);
    // Offers firmware: its update controller installs that release.
    CViRorividiZezuzuDialog(WindowRef window, const KaFirmware& firmware);
    ~CViRorividiZezuzuDialog();

    CViRorividiZezuzuDialog(const CViRorividiZezuzuDialog&) = delete;
    CViRorividiZezuzuDialog& operator=(const CViRorividiZezuzuDialog&) = delete;

    OSStatus UpdateEventHandler(EventHandlerCallRef inHandlerRef, EventRef inEvent);
    OSStatus CancelEventHandler(EventHandlerCallRef inHandlerRef, EventRef inEvent);
    OSStatus TimerEventHandler(EventLoopTimerRef timerRef);
    OSStatus ApplicationCommandHandler(EventHandlerCallRef handlerRef, EventRef event);
    // The user asked to close the main window: while idle that is the cancel button; once
    // an update has been accepted the window stays open.
    OSStatus WindowCloseHandler(EventHandlerCallRef handlerRef, EventRef event);
    // Something outside asked the program to end: while idle that is the cancel button; once
    // an update has been accepted the program quits when the run is done, and with the alert
    // on its outcome open, once the outcome is written.
    OSStatus TerminationRequestHandler(EventHandlerCallRef handlerRef, EventRef event);
    // What the process exits with once the event loop has returned: 1 when the last update
    // of the run failed, else 0.
    int GetExitStatus() const { return _safeguard.ExitStatus(); }

    static OSStatus UpdateEventHandlerStatic(EventHandlerCallRef inHandlerRef, EventRef inEvent,
                                             void* inUserData);
    static OSStatus CancelEventHandlerStatic(EventHandlerCallRef inHandlerRef, EventRef inEvent,
                                             void* inUserData);
    static void TimerEventHandlerStatic(EventLoopTimerRef timerRef, void* inUserData);
    static OSStatus ApplicationCommandHandlerStatic(EventHandlerCallRef handlerRef, EventRef event,
                                                    void* userData);
    static OSStatus WindowCloseHandlerStatic(EventHandlerCallRef handlerRef, EventRef event,
                                             void* userData);
    static OSStatus TerminationRequestHandlerStatic(EventHandlerCallRef handlerRef, EventRef event,
                                                    void* userData);

  private:
    CControl _updateButton;
    CControl _cancelButton;
    CControl _currentFirmwareVersionStr;
    CControl _currentSerialNumberStr;
    CControl _finalCutRunningStr;
    CControl _updateFirmwareVersionStr;
    CControl _progressBar;
    // Shares the Final Cut warning's place: it shows only while no unit is found.
    CControl _unitAccessStr;
    ViRorividiZezuzuType _updateState;
    Orv::VEV::CViRorividiZezuzu* _pKa;
    WindowRef _window;
    // Kept so that nothing of the platform calls into the dialog once it is gone.
    EventLoopTimerRef _timer;
    EventHandlerRef _commandHandler;
    EventHandlerRef _closeHandler;
    EventHandlerRef _terminationHandler;
    CUpdateSafeguard _safeguard;
    // The program is ending: nothing may be accepted any more.
    bool _quitRequested;
    // The alert telling how the run ended is open.
    bool _outcomeAlertOpen;
    // The release chosen at start may go to a unit; without one the update is never offered.
    bool _firmwareMayBeInstalled;
};

// The modal alerts; each returns the index of the button the user chose.
DialogItemIndex ShowDownloadDoneAlert();
DialogItemIndex ShowDowngradeAlert();
DialogItemIndex ShowAboutDialog();
// The update did not install both images: what became of each, the first failure's status,
// and what to do.
DialogItemIndex ShowDownloadFailedAlert(const Orv::VEV::UpdateOutcome& outcome);

#endif
