// Interface descriptions as Qt Designer files compiled in as resources, windows with their
// controls and event targets, the menu bar and menus.
#include "GuiInternals.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QUiLoader>

#include <algorithm>

static void InitialiseNibResources() {
    Q_INIT_RESOURCE(nibs);
}

struct OpaqueIBNibRef {
    QString directory;
};

namespace {

struct WindowState {
    std::vector<std::unique_ptr<OpaqueWindowPtr>> windows;
    std::map<QMenu*, std::unique_ptr<OpaqueMenuRef>> menus;
    // Installed by SetMenuBarFromNib, shown in the next window created from a description.
    QPointer<QMenuBar> installedMenuBar;
    QPointer<QWidget> menuBarWindow;
};

WindowState& State() {
    static WindowState* state = new WindowState;
    return *state;
}

OSType SignatureFromText(const QString& text) {
    QByteArray bytes = text.toLatin1();
    OSType signature = 0;
    for (int index = 0; index < 4; ++index) {
        unsigned char byte = index < bytes.size() ? static_cast<unsigned char>(bytes[index]) : ' ';
        signature = (signature << 8) | byte;
    }
    return signature;
}

QString CommandText(UInt32 command) {
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += QChar::fromLatin1(static_cast<char>((command >> shift) & 0xFF));
    }
    return text;
}

UInt32 CommandFromText(const QString& text) {
    return SignatureFromText(text);
}

OpaqueWindowPtr* WindowOf(QWidget* widget) {
    for (auto& window : State().windows) {
        if (window->widget == widget) {
            return window.get();
        }
    }
    return nullptr;
}

// The user's request to close a window becomes a close event for its target.
class CloseFilter : public QObject {
  public:
    explicit CloseFilter(OpaqueWindowPtr* window, QObject* parent)
        : QObject(parent), _window(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close || watched != _window->widget) {
            return false;
        }
        _window->closeAccepted = false;
        kaplatform::gui::SendNewEvent(kEventClassWindow, kEventWindowClose, &_window->target,
                                      [this](EventRef closeEvent) {
                                          WindowRef window = _window;
                                          SetEventParameter(closeEvent, kEventParamDirectObject,
                                                            typeWindowRef, sizeof window, &window);
                                      });
        if (!_window->closeAccepted) {
            event->ignore();
            return true;
        }
        return false;
    }

  private:
    OpaqueWindowPtr* _window;
};

void SendCommand(UInt32 commandID, QMenu* menu, QAction* action) {
    HICommand command{};
    command.attributes = kHICommandFromMenuItem;
    command.commandID = commandID;
    if (menu != nullptr) {
        command.menu.menuRef = kaplatform::gui::MenuRefFor(menu);
        command.menu.menuItemIndex =
            static_cast<MenuItemIndex>(menu->actions().indexOf(action) + 1);
    }
    // Commands go to the window showing the menu bar, then on to the application.
    EventTargetRef target = GetApplicationEventTarget();
    if (OpaqueWindowPtr* window = WindowOf(State().menuBarWindow)) {
        target = &window->target;
    }
    kaplatform::gui::SendNewEvent(kEventClassCommand, kEventCommandProcess, target,
                                  [&](EventRef event) {
                                      SetEventParameter(event, kEventParamDirectObject,
                                                        typeHICommand, sizeof command, &command);
                                  });
}

void ConnectMenuCommands(QMenuBar* menuBar) {
    for (QMenu* menu : menuBar->findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            QVariant command = action->property("commandID");
            if (!command.isValid()) {
                continue;
            }
            UInt32 commandID = CommandFromText(command.toString());
            QObject::connect(action, &QAction::triggered, action,
                             [commandID, menu, action] { SendCommand(commandID, menu, action); });
        }
    }
}

void SendControlHit(OpaqueControlRef* control) {
    if (control->action != nullptr) {
        control->action(control, kControlButtonPart);
    }
    kaplatform::gui::SendNewEvent(
        kEventClassControl, kEventControlHit, &control->target, [control](EventRef event) {
            ControlRef reference = control;
            SetEventParameter(event, kEventParamDirectObject, typeControlRef, sizeof reference,
                              &reference);
        });
}

void BindControls(OpaqueWindowPtr* window) {
    for (QWidget* widget : window->widget->findChildren<QWidget*>()) {
        QVariant signature = widget->property("controlSignature");
        QVariant id = widget->property("controlID");
        if (!signature.isValid() || !id.isValid()) {
            continue;
        }
        auto control = std::make_unique<OpaqueControlRef>();
        OpaqueControlRef* raw = control.get();
        raw->widget = widget;
        raw->id = {SignatureFromText(signature.toString()), id.toInt()};
        raw->window = window;
        raw->target.container = &window->target;
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            raw->connections.push_back(QObject::connect(button, &QAbstractButton::clicked, button,
                                                        [raw] { SendControlHit(raw); }));
        } else if (auto* popup = qobject_cast<QComboBox*>(widget)) {
            raw->popupMenu = std::make_unique<OpaqueMenuRef>();
            raw->popupMenu->popup = popup;
            raw->connections.push_back(QObject::connect(popup, &QComboBox::activated, popup,
                                                        [raw] { SendControlHit(raw); }));
        }
        window->controls.push_back(std::move(control));
    }
}

QString NibObjectPath(IBNibRef nibRef, CFStringRef name) {
    return nibRef->directory + "/" + kaplatform::gui::QStringFromCFString(name) + ".ui";
}

QWidget* LoadNibObject(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    QUiLoader loader;
    return loader.load(&file, nullptr);
}

}  // namespace

namespace kaplatform::gui {

MenuRef MenuRefFor(QMenu* menu) {
    auto& entry = State().menus[menu];
    if (!entry) {
        entry = std::make_unique<OpaqueMenuRef>();
        entry->menu = menu;
    }
    return entry.get();
}

OSStatus StandardWindowHandler(OpaqueWindowPtr* window, EventRef event) {
    if (event->eventClass == kEventClassWindow && event->kind == kEventWindowClose) {
        // The program has one window: closing it ends the application, and the window stays
        // in existence (hidden) until the program disposes of it.
        window->closeAccepted = true;
        QuitApplicationEventLoop();
        return noErr;
    }
    return eventNotHandledErr;
}

}  // namespace kaplatform::gui

// Interface descriptions -------------------------------------------------------------------------

OSStatus CreateNibReference(CFStringRef nibName, IBNibRef* outNibRef) {
    if (nibName == nullptr || outNibRef == nullptr) {
        return paramErr;
    }
    if (kaplatform::gui::RunsWithoutWindows()) {
        return kIBCarbonRuntimeCantFindNibFile;
    }
    kaplatform::gui::EnsureApplication();
    InitialiseNibResources();
    QString directory = ":/ka/nib/" + kaplatform::gui::QStringFromCFString(nibName) + ".nib";
    if (!QFileInfo(directory).isDir()) {
        return kIBCarbonRuntimeCantFindNibFile;
    }
    *outNibRef = new OpaqueIBNibRef{directory};
    return noErr;
}

void DisposeNibReference(IBNibRef nibRef) {
    delete nibRef;
}

OSStatus SetMenuBarFromNib(IBNibRef nibRef, CFStringRef name) {
    if (nibRef == nullptr || name == nullptr) {
        return paramErr;
    }
    QString path = NibObjectPath(nibRef, name);
    if (!QFileInfo::exists(path)) {
        return kIBCarbonRuntimeCantFindObject;
    }
    QWidget* loaded = LoadNibObject(path);
    auto* menuBar = qobject_cast<QMenuBar*>(loaded);
    if (menuBar == nullptr) {
        delete loaded;
        return kIBCarbonRuntimeObjectNotOfRequestedType;
    }
    ConnectMenuCommands(menuBar);
    WindowState& state = State();
    if (state.installedMenuBar != nullptr && state.menuBarWindow == nullptr) {
        delete state.installedMenuBar;
    }
    state.installedMenuBar = menuBar;
    state.menuBarWindow = nullptr;
    return noErr;
}

OSStatus CreateWindowFromNib(IBNibRef nibRef, CFStringRef name, WindowRef* outWindow) {
    if (nibRef == nullptr || name == nullptr || outWindow == nullptr) {
        return paramErr;
    }
    QString path = NibObjectPath(nibRef, name);
    if (!QFileInfo::exists(path)) {
        return kIBCarbonRuntimeCantFindObject;
    }
    QWidget* loaded = LoadNibObject(path);
    if (loaded == nullptr || qobject_cast<QMenuBar*>(loaded) != nullptr) {
        delete loaded;
        return kIBCarbonRuntimeObjectNotOfRequestedType;
    }
    auto window = std::make_unique<OpaqueWindowPtr>();
    OpaqueWindowPtr* raw = window.get();
    raw->widget = loaded;
    raw->target.container = GetApplicationEventTarget();
    raw->target.standardHandler = [raw](EventRef event) {
        return kaplatform::gui::StandardWindowHandler(raw, event);
    };
    raw->closeFilter = new CloseFilter(raw, loaded);
    loaded->installEventFilter(raw->closeFilter);
    BindControls(raw);
    kaplatform::gui::InstallWindowKeys(loaded);

    WindowState& state = State();
    auto* mainWindow = qobject_cast<QMainWindow*>(loaded);
    if (mainWindow != nullptr && state.installedMenuBar != nullptr &&
        state.menuBarWindow == nullptr) {
        mainWindow->setMenuBar(state.installedMenuBar);
        state.menuBarWindow = loaded;
    }
    state.windows.push_back(std::move(window));
    *outWindow = raw;
    return noErr;
}

// Windows ----------------------------------------------------------------------------------------

void ShowWindow(WindowRef window) {
    if (window != nullptr && window->widget != nullptr) {
        window->widget->show();
        window->widget->raise();
        window->widget->activateWindow();
    }
}

WindowRef FrontNonFloatingWindow() {
    const WindowState& state = State();
    for (auto window = state.windows.rbegin(); window != state.windows.rend(); ++window) {
        if ((*window)->widget != nullptr && (*window)->widget->isVisible()) {
            return window->get();
        }
    }
    return nullptr;
}

void HideWindow(WindowRef window) {
    if (window != nullptr && window->widget != nullptr) {
        window->widget->hide();
    }
}

Boolean IsWindowVisible(WindowRef window) {
    return window != nullptr && window->widget != nullptr && window->widget->isVisible();
}

void DisposeWindow(WindowRef window) {
    WindowState& state = State();
    auto found = std::find_if(state.windows.begin(), state.windows.end(),
                              [&](const auto& entry) { return entry.get() == window; });
    if (found == state.windows.end()) {
        return;
    }
    std::shared_ptr<OpaqueWindowPtr> disposed(std::move(*found));
    state.windows.erase(found);
    if (disposed->widget != nullptr) {
        disposed->widget->hide();
    }
    // The window's targets, or its close filter, may be the ones dispatching right now.
    kaplatform::gui::DeferWhileDispatching([disposed] {
        WindowState& current = State();
        for (auto& control : disposed->controls) {
            for (auto& connection : control->connections) {
                QObject::disconnect(connection);
            }
        }
        delete disposed->closeFilter.data();
        if (disposed->widget != nullptr) {
            for (QMenu* menu : disposed->widget->findChildren<QMenu*>()) {
                current.menus.erase(menu);
            }
            if (current.menuBarWindow == disposed->widget) {
                current.installedMenuBar = nullptr;
                current.menuBarWindow = nullptr;
            }
            delete disposed->widget.data();
        }
    });
}

EventTargetRef GetWindowEventTarget(WindowRef window) {
    return window != nullptr ? &window->target : nullptr;
}

// Menus ------------------------------------------------------------------------------------------

UInt16 CountMenuItems(MenuRef menu) {
    if (menu == nullptr) {
        return 0;
    }
    if (menu->menu != nullptr) {
        return static_cast<UInt16>(menu->menu->actions().size());
    }
    if (menu->popup != nullptr) {
        return static_cast<UInt16>(menu->popup->count());
    }
    return 0;
}

void DeleteMenuItem(MenuRef menu, MenuItemIndex item) {
    if (menu == nullptr || item == 0) {
        return;
    }
    int index = item - 1;
    if (menu->menu != nullptr) {
        QList<QAction*> actions = menu->menu->actions();
        if (index < actions.size()) {
            QAction* action = actions[index];
            menu->menu->removeAction(action);
            if (action->parent() == menu->menu) {
                delete action;
            }
        }
    } else if (menu->popup != nullptr && index < menu->popup->count()) {
        menu->popup->removeItem(index);
    }
}

static void AppendItem(MenuRef menu, const QString& text, MenuCommand commandID) {
    if (menu == nullptr) {
        return;
    }
    if (menu->menu != nullptr) {
        if (text == "-") {
            menu->menu->addSeparator();
            return;
        }
        QAction* action = menu->menu->addAction(text);
        if (commandID != 0) {
            action->setProperty("commandID", CommandText(commandID));
            QMenu* owner = menu->menu;
            QObject::connect(action, &QAction::triggered, action,
                             [commandID, owner, action] { SendCommand(commandID, owner, action); });
        }
    } else if (menu->popup != nullptr) {
        menu->popup->addItem(text);
    }
}

void AppendMenu(MenuRef menu, ConstStr255Param data) {
    if (data == nullptr) {
        return;
    }
    QString text = QString::fromLatin1(reinterpret_cast<const char*>(data + 1), data[0]);
    AppendItem(menu, text, 0);
}

OSStatus AppendMenuItemTextWithCFString(MenuRef menu, CFStringRef text, MenuItemAttributes,
                                        MenuCommand commandID, MenuItemIndex* outNewItem) {
    if (menu == nullptr || text == nullptr) {
        return paramErr;
    }
    AppendItem(menu, kaplatform::gui::QStringFromCFString(text), commandID);
    if (outNewItem != nullptr) {
        *outNewItem = CountMenuItems(menu);
    }
    return noErr;
}
