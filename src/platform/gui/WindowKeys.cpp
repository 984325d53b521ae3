// The keys of a window with a default button, as on the Mac: Return and Enter press the
// default button, Escape the cancel button. Keyboard focus starts on the default button and
// never falls to the cancel button because the default one was turned off under it (the
// accepting click would otherwise leave Space one key away from Cancel).
#include "GuiInternals.h"

#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>

namespace {

class WindowKeys final : public QObject {
  public:
    WindowKeys(QWidget* window, QPushButton* defaultButton, QPushButton* cancelButton)
        : QObject(window), _window(window), _default(defaultButton), _cancel(cancelButton) {
        for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
            AddShortcut(key, _default);
        }
        if (_cancel != nullptr) {
            AddShortcut(Qt::Key_Escape, _cancel);
        }
        _window->installEventFilter(this);
        _default->installEventFilter(this);
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget* from, QWidget* to) {
            if (from == _default && !_default->isEnabled() && to != nullptr && to == _cancel) {
                _window->setFocus(Qt::OtherFocusReason);
            }
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == _window && event->type() == QEvent::Show &&
            _window->focusWidget() == nullptr) {
            // Whatever Qt would pick first (the cancel button, while the default one is off)
            // is not where the keyboard starts.
            FocusDefaultOrWindow();
        } else if (watched == _default && event->type() == QEvent::EnabledChange &&
                   _default->isEnabled()) {
            QWidget* focus = _window->focusWidget();
            if (focus == nullptr || focus == _window || focus == _cancel) {
                _default->setFocus(Qt::OtherFocusReason);
            }
        }
        return false;
    }

  private:
    void AddShortcut(Qt::Key key, QPushButton* button) {
        auto* shortcut = new QShortcut(QKeySequence(key), _window);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled() && button->isVisible()) {
                button->click();
            }
        });
    }

    void FocusDefaultOrWindow() {
        if (_default->isEnabled()) {
            _default->setFocus(Qt::OtherFocusReason);
        } else {
            _window->setFocus(Qt::OtherFocusReason);
        }
    }

    QWidget* _window;
    QPushButton* _default;
    QPushButton* _cancel;
};

}  // namespace

namespace kaplatform::gui {

void InstallWindowKeys(QWidget* window) {
    QPushButton* defaultButton = nullptr;
    QPushButton* cancelButton = nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->isDefault() && defaultButton == nullptr) {
            defaultButton = button;
        }
        if (button->property("windowCancelButton").toBool() && cancelButton == nullptr) {
            cancelButton = button;
        }
    }
    if (defaultButton != nullptr) {
        new WindowKeys(window, defaultButton, cancelButton);
    }
}

}  // namespace kaplatform::gui
