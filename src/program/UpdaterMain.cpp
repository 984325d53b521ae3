// The program body both executables call (UpdaterMain.h): loads the interface description,
// says which firmware it will install, shows the window and runs the event loop.
#include "UpdaterMain.h"
#include "ViRorividiZezuzuDialog.h"

#include <Carbon/Carbon.h>

#include <iostream>
#include <memory>

namespace {

// The window lives until the program body is done with it, however it leaves.
struct WindowOwner {
    WindowRef window = nullptr;
    ~WindowOwner() {
        if (window != nullptr) {
            DisposeWindow(window);
        }
    }
};

}  // namespace

int RunUpdaterApplication(int, char**, KaFirmwareRule firmwareRule,
                          const std::optional<KaFirmwareFolder>& firmwareFolder) {
    IBNibRef nibRef = nullptr;
    OSStatus err = CreateNibReference(CFSTR("main"), &nibRef);
    if (err != noErr) {
        return err;
    }
    // Once the desktop is known to be there, so that a start without one stays one line.
    KaFirmware firmware;
    std::cerr << KaChooseFirmware(firmwareRule, firmwareFolder, firmware) << "\n";
    err = SetMenuBarFromNib(nibRef, CFSTR("MenuBar"));
    if (err != noErr) {
        DisposeNibReference(nibRef);
        return err;
    }
    WindowOwner owner;
    err = CreateWindowFromNib(nibRef, CFSTR("MainWindow"), &owner.window);
    if (err != noErr) {
        DisposeNibReference(nibRef);
        return err;
    }
    DisposeNibReference(nibRef);

    auto dialog = std::make_unique<CViRorividiZezuzuDialog>(owner.window, firmware);
    ShowWindow(owner.window);
    RunApplicationEventLoop();
    const int status = dialog->GetExitStatus();
    dialog.reset();
    return status;
}
