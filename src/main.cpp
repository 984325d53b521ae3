// The program body both executables call (UpdaterMain.h): loads the interface description,
// says which firmware it will install, shows the window and runs the event loop. Beside it,
// the dialog's alerts: update done, update failed, downgrade, About.
#include "UpdaterMain.h"
#include "ViRorividiZezuzuDialog.h"
#include "texts/AlertTexts.h"

#include "record/UpdateRecord.h"

#include <Carbon/Carbon.h>

#include <iostream>
#include <memory>
#include <string>

namespace {

DialogItemIndex ShowAlert(AlertType alertType, const char* messageText, const char* informativeText,
                          bool withCancelButton) {
    AlertStdCFStringAlertParamRec param;
    GetStandardAlertDefaultParams(&param, kStdCFStringAlertVersionOne);
    param.movable = true;
    param.helpButton = false;
    param.cancelButton = kAlertStdAlertCancelButton;
    param.position = kWindowCenterParentWindowScreen;

    CFStringEncoding encoding = CFStringGetSystemEncoding();
    CFStringRef message = CFStringCreateWithCString(nullptr, messageText, encoding);
    CFStringRef informative = CFStringCreateWithCString(nullptr, informativeText, encoding);
    CFStringRef cancelText =
        withCancelButton ? CFStringCreateWithCString(nullptr, kAlertCancelButtonTitle, encoding)
                         : nullptr;
    if (cancelText != nullptr) {
        param.cancelText = cancelText;
    }

    DialogItemIndex itemHit = 0;
    DialogRef alert = nullptr;
    if (CreateStandardAlert(alertType, message, informative, &param, &alert) == noErr) {
        RunStandardAlert(alert, nullptr, &itemHit);
    }

    if (message != nullptr) {
        CFRelease(message);
    }
    if (informative != nullptr) {
        CFRelease(informative);
    }
    if (cancelText != nullptr) {
        CFRelease(cancelText);
    }
    return itemHit;
}

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

DialogItemIndex ShowDownloadDoneAlert() {
    return ShowAlert(kAlertNoteAlert, kDownloadDoneMessage, kDownloadDoneInformative, false);
}

DialogItemIndex ShowDowngradeAlert() {
    return ShowAlert(kAlertCautionAlert, kDowngradeMessage, kDowngradeInformative, true);
}

// Where the records of past updates are, for a report of a failed one.
std::string UpdateRecordFolderText() {
    CFStringRef folder = UpdateRecordCopyFolderPath();
    if (folder == nullptr) {
        return {};
    }
    std::string text(static_cast<std::size_t>(CFStringGetMaximumSizeForEncoding(
                         CFStringGetLength(folder), kCFStringEncodingUTF8)) +
                         1,
                     '\0');
    if (CFStringGetCString(folder, text.data(), static_cast<CFIndex>(text.size()),
                           kCFStringEncodingUTF8)) {
        text.resize(std::char_traits<char>::length(text.c_str()));
    } else {
        text.clear();
    }
    CFRelease(folder);
    return text;
}

DialogItemIndex ShowAboutDialog() {
    std::string informative = kAboutInformative;
    const std::string records = UpdateRecordFolderText();
    if (!records.empty()) {
        informative += kAboutRecordsBefore + records + kAboutRecordsAfter;
    }
    return ShowAlert(kAlertNoteAlert, kAboutMessage, informative.c_str(), false);
}

DialogItemIndex ShowDownloadFailedAlert(const Orv::VEV::UpdateOutcome& outcome) {
    const std::string informative = Orv::VEV::DescribeUpdateFailure(outcome);
    return ShowAlert(kAlertStopAlert, kDownloadFailedMessage, informative.c_str(), false);
}

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
