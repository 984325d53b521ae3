// The desktop's side of one running copy per session: the register the executable handed in
// keeps the claim; here a later start brings the front window forward, and a start that finds
// another copy asks it forward or says that the application is already running.
#include "GuiInternals.h"

#include <kaplatform/PlatformSeams.h>

#include <QWidget>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace {

std::mutex gRegisterMutex;
std::shared_ptr<kaplatform::SingleInstanceRegister> gRegister;
bool gClaimed = false;

void BringFrontWindowForward() {
    WindowRef window = FrontNonFloatingWindow();
    if (window == nullptr || window->widget == nullptr) {
        return;
    }
    QWidget* widget = window->widget;
    if (widget->isMinimized()) {
        widget->showNormal();
    }
    widget->raise();
    widget->activateWindow();
}

void ShowAlreadyRunningAlert() {
    DialogRef alert = nullptr;
    if (CreateStandardAlert(kAlertNoteAlert, CFSTR("The updater is already running."),
                            CFSTR("Switch to its window to go on, or, when it runs in a terminal, "
                                  "wait until it is done there."),
                            nullptr, &alert) == noErr) {
        DialogItemIndex itemHit = 0;
        RunStandardAlert(alert, nullptr, &itemHit);
    }
}

}  // namespace

namespace kaplatform {

void SetSingleInstanceRegister(std::shared_ptr<SingleInstanceRegister> instanceRegister) {
    const std::lock_guard<std::mutex> lock(gRegisterMutex);
    gRegister = std::move(instanceRegister);
}

Boolean ClaimSingleApplicationInstance(const char* applicationIdentifier) {
    gui::EnsureApplication();
    std::shared_ptr<SingleInstanceRegister> instanceRegister;
    {
        const std::lock_guard<std::mutex> lock(gRegisterMutex);
        if (gClaimed) {
            return true;
        }
        instanceRegister = gRegister;
    }
    if (instanceRegister == nullptr || applicationIdentifier == nullptr) {
        return true;
    }
    const std::string name = applicationIdentifier;
    // A copy without windows has nothing to bring forward: a later start finds nobody
    // listening and says the updater is already running.
    const bool withoutWindows = gui::RunsWithoutWindows();
    switch (instanceRegister->ClaimName(
        name, withoutWindows ? std::function<void()>() : BringFrontWindowForward)) {
        case SingleInstanceRegister::Claim::Ours: {
            const std::lock_guard<std::mutex> lock(gRegisterMutex);
            gClaimed = true;
            return true;
        }
        case SingleInstanceRegister::Claim::NoPlace:
            return true;
        case SingleInstanceRegister::Claim::HeldByAnotherCopy:
            break;
    }
    // A program without windows says so itself; the running copy's window stays where it is
    // (its user may be at another seat).
    if (withoutWindows) {
        return false;
    }
    if (!instanceRegister->AskHolderToComeForward(name)) {
        ShowAlreadyRunningAlert();
    }
    return false;
}

}  // namespace kaplatform
