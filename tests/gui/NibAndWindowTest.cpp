// The interface description "main" and the test one: loading, missing names, the window's
// controls, the menu bar's commands, and closing the window.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>

using namespace katest;

namespace {

class MainNibTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &_nib)); }
    void TearDown() override {
        if (_window != nullptr) {
            DisposeWindow(_window);
        }
        DisposeNibReference(_nib);
    }

    void CreateMainWindow() {
        ASSERT_EQ(noErr, SetMenuBarFromNib(_nib, CFSTR("MenuBar")));
        ASSERT_EQ(noErr, CreateWindowFromNib(_nib, CFSTR("MainWindow"), &_window));
    }

    ControlRef Control(SInt32 id) {
        ControlID controlID = {'kaUD', id};
        ControlRef control = nullptr;
        EXPECT_EQ(noErr, GetControlByID(_window, &controlID, &control)) << "id " << id;
        return control;
    }

    IBNibRef _nib = nullptr;
    WindowRef _window = nullptr;
};

OSStatus RecordCommand(EventHandlerCallRef, EventRef event, void* userData) {
    HICommand command{};
    GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command,
                      nullptr, &command);
    static_cast<std::vector<HICommand>*>(userData)->push_back(command);
    return noErr;
}

QAction* MenuAction(QWidget* window, const char* commandID) {
    for (QAction* action : window->findChildren<QAction*>()) {
        if (action->property("commandID").toString() == commandID) {
            return action;
        }
    }
    return nullptr;
}

}  // namespace

TEST(NibTest, MissingDescriptionsAndObjectsGiveTheirStatus) {
    IBNibRef nib = nullptr;
    EXPECT_EQ(kIBCarbonRuntimeCantFindNibFile, CreateNibReference(CFSTR("nosuch"), &nib));
    EXPECT_EQ(nullptr, nib);

    ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
    WindowRef window = nullptr;
    EXPECT_EQ(kIBCarbonRuntimeCantFindObject, CreateWindowFromNib(nib, CFSTR("NoWindow"), &window));
    EXPECT_EQ(nullptr, window);
    EXPECT_EQ(kIBCarbonRuntimeCantFindObject, SetMenuBarFromNib(nib, CFSTR("NoMenuBar")));
    // Each name is one kind of object.
    EXPECT_EQ(kIBCarbonRuntimeObjectNotOfRequestedType,
              CreateWindowFromNib(nib, CFSTR("MenuBar"), &window));
    EXPECT_EQ(kIBCarbonRuntimeObjectNotOfRequestedType,
              SetMenuBarFromNib(nib, CFSTR("MainWindow")));
    EXPECT_EQ(nullptr, window);
    DisposeNibReference(nib);
}

TEST_F(MainNibTest, MainWindowIsCreatedInvisibleWithItsSevenControls) {
    CreateMainWindow();
    EXPECT_FALSE(IsWindowVisible(_window));

    auto* update = qobject_cast<QPushButton*>(WidgetOf(Control(101)));
    auto* cancel = qobject_cast<QPushButton*>(WidgetOf(Control(100)));
    ASSERT_NE(nullptr, update);
    ASSERT_NE(nullptr, cancel);
    EXPECT_EQ("Upgrade", update->text());
    EXPECT_EQ("Cancel", cancel->text());
    for (SInt32 id : {200, 201, 202, 203}) {
        EXPECT_NE(nullptr, qobject_cast<QLabel*>(WidgetOf(Control(id)))) << "id " << id;
    }
    // The red lines' words are the program's: the window's description holds none of them.
    for (SInt32 id : {202, 210}) {
        auto* warning = qobject_cast<QLabel*>(WidgetOf(Control(id)));
        ASSERT_NE(nullptr, warning) << "id " << id;
        EXPECT_TRUE(warning->text().isEmpty()) << warning->text().toStdString();
    }
    auto* bar = qobject_cast<QProgressBar*>(WidgetOf(Control(300)));
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(0, GetControlMinimum(Control(300)));
    EXPECT_EQ(100, GetControlMaximum(Control(300)));

    ShowWindow(_window);
    EXPECT_TRUE(IsWindowVisible(_window));
}

TEST_F(MainNibTest, UnknownIdentifiersFindNothingAndLeaveTheHandleAlone) {
    CreateMainWindow();
    ControlRef control = nullptr;
    ControlID wrongId = {'kaUD', 102};
    ControlID wrongSignature = {'kaUd', 101};
    EXPECT_EQ(errUnknownControl, GetControlByID(_window, &wrongId, &control));
    EXPECT_EQ(errUnknownControl, GetControlByID(_window, &wrongSignature, &control));
    EXPECT_EQ(nullptr, control);
}

TEST_F(MainNibTest, MenuCommandsReachTheWindowAndQuitEndsTheLoopWhenNobodyTakesIt) {
    CreateMainWindow();
    ShowWindow(_window);
    QWidget* window = WidgetOf(_window);
    auto* mainWindow = qobject_cast<QMainWindow*>(window);
    ASSERT_NE(nullptr, mainWindow);
    ASSERT_NE(nullptr, mainWindow->menuBar());
    QAction* about = MenuAction(window, "abou");
    QAction* quit = MenuAction(window, "quit");
    ASSERT_NE(nullptr, about);
    ASSERT_NE(nullptr, quit);

    std::vector<HICommand> commands;
    EventTypeSpec commandEvent = {kEventClassCommand, kEventCommandProcess};
    EventHandlerRef handler = nullptr;
    InstallEventHandler(GetWindowEventTarget(_window), RecordCommand, 1, &commandEvent, &commands,
                        &handler);
    about->trigger();
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ('abou', commands[0].commandID);
    EXPECT_EQ(UInt32(kHICommandFromMenuItem), commands[0].attributes);
    EXPECT_NE(nullptr, commands[0].menu.menuRef);
    EXPECT_EQ(1, commands[0].menu.menuItemIndex);
    RemoveEventHandler(handler);

    // Nobody handles Quit now: the platform's standard handling ends the loop.
    QuitObserver observer;
    Soon([quit] { quit->trigger(); });
    RunApplicationEventLoop();
    EXPECT_EQ(1, observer.count);
}

TEST_F(MainNibTest, ClosingTheWindowEndsTheLoopUnlessAHandlerKeepsItOpen) {
    CreateMainWindow();
    ShowWindow(_window);
    QWidget* window = WidgetOf(_window);

    int closeRequests = 0;
    EventTypeSpec closeEvent = {kEventClassWindow, kEventWindowClose};
    EventHandlerRef keepOpen = nullptr;
    InstallEventHandler(
        GetWindowEventTarget(_window),
        [](EventHandlerCallRef, EventRef, void* count) -> OSStatus {
            ++*static_cast<int*>(count);
            return noErr;
        },
        1, &closeEvent, &closeRequests, &keepOpen);
    EXPECT_FALSE(window->close());
    EXPECT_EQ(1, closeRequests);
    EXPECT_TRUE(IsWindowVisible(_window));
    RemoveEventHandler(keepOpen);

    QuitObserver observer;
    bool closed = false;
    Soon([&] { closed = window->close(); });
    RunApplicationEventLoop();
    EXPECT_TRUE(closed);
    EXPECT_EQ(1, observer.count);
    EXPECT_FALSE(IsWindowVisible(_window));
}

TEST(WindowTest, DisposingAWindowFromItsOwnHandlerIsSafe) {
    IBNibRef nib = nullptr;
    ASSERT_EQ(noErr, CreateNibReference(CFSTR("test"), &nib));
    WindowRef window = nullptr;
    ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("Controls"), &window));
    DisposeNibReference(nib);
    ControlID buttonID = {'test', 5};
    ControlRef button = nullptr;
    ASSERT_EQ(noErr, GetControlByID(window, &buttonID, &button));
    QPointer<QWidget> widget = WidgetOf(window);

    EventTypeSpec hit = {kEventClassControl, kEventControlHit};
    InstallEventHandler(
        GetControlEventTarget(button),
        [](EventHandlerCallRef, EventRef, void* disposed) -> OSStatus {
            DisposeWindow(static_cast<WindowRef>(disposed));
            return noErr;
        },
        1, &hit, window, nullptr);
    QTest::mouseClick(WidgetOf(button), Qt::LeftButton);
    EXPECT_TRUE(WaitUntil([&] { return widget.isNull(); }));
}

// Docks and task switchers find a window's menu entry, name and icon by the ID the window
// carries: the desktop entry, its StartupWMClass and Icon, and the metainfo must agree with it.
TEST_F(MainNibTest, TheWindowsCarryTheApplicationIdThatNamesTheMenuEntryIconAndMetainfo) {
    CreateMainWindow();
    const QString id = QGuiApplication::desktopFileName();
    ASSERT_TRUE(id.startsWith("io.github.")) << id.toStdString();
    EXPECT_EQ(id, QGuiApplication::applicationName()) << "the X11 class";
    EXPECT_EQ("Ka Firmware Updater", QGuiApplication::applicationDisplayName().toStdString());
    const QString packaging = QStringLiteral(KA_SOURCE_DIR "/packaging/");
    auto read = [](const QString& path) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        return QString::fromUtf8(file.readAll());
    };
    const QString entry = read(packaging + id + ".desktop");
    EXPECT_TRUE(entry.contains("\nName=Ka Firmware Updater\n")) << entry.toStdString();
    EXPECT_TRUE(entry.contains("\nStartupWMClass=" + id + "\n")) << entry.toStdString();
    EXPECT_TRUE(entry.contains("\nIcon=" + id + "\n")) << entry.toStdString();
    EXPECT_TRUE(QFile::exists(packaging + id + ".svg"));
    const QString metainfo = read(packaging + id + ".metainfo.xml");
    EXPECT_TRUE(metainfo.contains("<id>" + id + "</id>"));
    EXPECT_TRUE(
        metainfo.contains("<launchable type=\"desktop-id\">" + id + ".desktop</launchable>"));
}
