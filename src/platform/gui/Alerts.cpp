// The standard alert as a modal QMessageBox, and the responder tests answer alerts with.
#include "GuiInternals.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <cstring>

struct OpaqueDialogPtr {
    kaplatform::AlertRequest request;
    DialogItemIndex defaultButton = kAlertStdAlertOKButton;
};

namespace {

kaplatform::AlertResponder* gAlertResponder = nullptr;

bool IsDefaultTitle(CFStringRef text) {
    return text == kAlertDefaultOKText || text == kAlertDefaultCancelText;
}

std::string ButtonTitle(CFStringRef text, const char* standardTitle) {
    return IsDefaultTitle(text) ? standardTitle : kaplatform::gui::Utf8FromCFString(text);
}

QMessageBox::Icon IconFor(AlertType type) {
    switch (type) {
        case kAlertStopAlert:
            return QMessageBox::Critical;
        case kAlertNoteAlert:
            return QMessageBox::Information;
        case kAlertCautionAlert:
            return QMessageBox::Warning;
        default:
            return QMessageBox::NoIcon;
    }
}

// While it lives, a request to end the program closes the box as its default button would;
// the request then goes on to the program's own handlers.
class TerminationClosesBox {
  public:
    explicit TerminationClosesBox(QMessageBox& box) : _box(box) {
        const EventTypeSpec request = {kEventClassApplication, kEventAppTerminationRequested};
        InstallEventHandler(GetApplicationEventTarget(), &Close, 1, &request, this, &_handler);
    }
    ~TerminationClosesBox() { RemoveEventHandler(_handler); }
    TerminationClosesBox(const TerminationClosesBox&) = delete;
    TerminationClosesBox& operator=(const TerminationClosesBox&) = delete;

  private:
    static OSStatus Close(EventHandlerCallRef, EventRef, void* userData) {
        QMessageBox& box = static_cast<TerminationClosesBox*>(userData)->_box;
        if (QPushButton* button = box.defaultButton(); button != nullptr) {
            button->click();
        } else {
            box.close();
        }
        return eventNotHandledErr;
    }

    QMessageBox& _box;
    EventHandlerRef _handler = nullptr;
};

// The program's window the alert belongs to: it is centred on it and stays in front of it.
QWidget* AlertParent() {
    if (WindowRef front = FrontNonFloatingWindow(); front != nullptr) {
        return front->widget;
    }
    return QApplication::activeWindow();
}

DialogItemIndex RunMessageBox(const OpaqueDialogPtr& alert) {
    const kaplatform::AlertRequest& request = alert.request;
    QMessageBox box(AlertParent());
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QGuiApplication::applicationDisplayName());
    box.setIcon(IconFor(request.type));
    box.setText(QString::fromStdString(request.message));
    box.setInformativeText(QString::fromStdString(request.informative));
    std::vector<QPushButton*> buttons;
    for (std::size_t index = 0; index < request.buttons.size(); ++index) {
        QMessageBox::ButtonRole role = index == 0   ? QMessageBox::AcceptRole
                                       : index == 1 ? QMessageBox::RejectRole
                                                    : QMessageBox::DestructiveRole;
        buttons.push_back(box.addButton(QString::fromStdString(request.buttons[index]), role));
    }
    if (alert.defaultButton >= 1 && alert.defaultButton <= DialogItemIndex(buttons.size())) {
        box.setDefaultButton(buttons[alert.defaultButton - 1]);
    }
    if (request.cancelButton >= 1 && request.cancelButton <= DialogItemIndex(buttons.size())) {
        box.setEscapeButton(buttons[request.cancelButton - 1]);
    }
    {
        const TerminationClosesBox closing(box);
        box.exec();
    }
    auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    if (chosen != buttons.end()) {
        return static_cast<DialogItemIndex>(chosen - buttons.begin() + 1);
    }
    // Closed some other way: that is the cancel button's choice, or the only answer there is.
    return request.cancelButton != 0 ? request.cancelButton
                                     : DialogItemIndex(kAlertStdAlertOKButton);
}

}  // namespace

void CopyCStringToPascal(const char* source, Str255 destination) {
    if (destination == nullptr) {
        return;
    }
    std::size_t length = source != nullptr ? std::min<std::size_t>(std::strlen(source), 255) : 0;
    if (length > 0) {
        std::memmove(destination + 1, source, length);
    }
    destination[0] = static_cast<unsigned char>(length);
}

OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* param, UInt32 version) {
    if (param == nullptr || version != kStdCFStringAlertVersionOne) {
        return paramErr;
    }
    *param = {};
    param->version = version;
    param->movable = false;
    param->helpButton = false;
    param->defaultText = kAlertDefaultOKText;
    param->cancelText = nullptr;
    param->otherText = nullptr;
    param->defaultButton = kAlertStdAlertOKButton;
    param->cancelButton = 0;
    param->position = kWindowDefaultPosition;
    param->flags = 0;
    return noErr;
}

OSStatus CreateStandardAlert(AlertType alertType, CFStringRef error, CFStringRef explanation,
                             const AlertStdCFStringAlertParamRec* param, DialogRef* outAlert) {
    if (error == nullptr || outAlert == nullptr) {
        return paramErr;
    }
    // Nobody would see it, and a program without windows may have no display to show it on.
    if (kaplatform::gui::RunsWithoutWindows()) {
        return paramErr;
    }
    AlertStdCFStringAlertParamRec defaults;
    GetStandardAlertDefaultParams(&defaults, kStdCFStringAlertVersionOne);
    const AlertStdCFStringAlertParamRec& used = param != nullptr ? *param : defaults;

    auto alert = std::make_unique<OpaqueDialogPtr>();
    kaplatform::AlertRequest& request = alert->request;
    request.type = alertType;
    request.message = kaplatform::gui::Utf8FromCFString(error);
    request.informative = kaplatform::gui::Utf8FromCFString(explanation);
    request.buttons.push_back(used.defaultText != nullptr ? ButtonTitle(used.defaultText, "OK")
                                                          : "OK");
    if (used.cancelText != nullptr) {
        request.buttons.push_back(ButtonTitle(used.cancelText, "Cancel"));
        if (used.otherText != nullptr) {
            request.buttons.push_back(kaplatform::gui::Utf8FromCFString(used.otherText));
        }
    }
    if (used.cancelButton >= 1 && used.cancelButton <= DialogItemIndex(request.buttons.size())) {
        request.cancelButton = used.cancelButton;
    }
    if (used.defaultButton >= 1 && used.defaultButton <= DialogItemIndex(request.buttons.size())) {
        alert->defaultButton = used.defaultButton;
    }
    kaplatform::gui::EnsureApplication();
    *outAlert = alert.release();
    return noErr;
}

OSStatus RunStandardAlert(DialogRef alert, ModalFilterUPP, DialogItemIndex* outItemHit) {
    if (alert == nullptr) {
        return paramErr;
    }
    std::unique_ptr<OpaqueDialogPtr> owned(alert);
    DialogItemIndex chosen = kaplatform::kShowRealAlert;
    if (gAlertResponder != nullptr) {
        chosen = gAlertResponder->Respond(owned->request);
    }
    if (chosen == kaplatform::kShowRealAlert) {
        chosen = RunMessageBox(*owned);
    }
    if (outItemHit != nullptr) {
        *outItemHit = chosen;
    }
    return noErr;
}

namespace kaplatform {

void SetAlertResponder(AlertResponder* responder) {
    gAlertResponder = responder;
}

}  // namespace kaplatform
