// The update dialog's state machine, its menu commands, alerts and window closing, with a
// stand-in controller, timers fired by the test and a pretend process list.
#include "FakeController.h"
#include "FireWireBackend.h"
#include "GuiTestSupport.h"
#include "UpdaterMain.h"
#include "ViRorividiZezuzuDialog.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>

#include <memory>
#include <string>
#include <vector>

using namespace katest;

namespace {

constexpr IOReturn kUnitNotReady = static_cast<IOReturn>(0xFFFFFF40);

// A bus whose only news is whether a unit is there that this user may not open.
class AccessReportingBus final : public kaplatform::FireWireBackend {
  public:
    std::optional<std::string> FindUnit(std::uint32_t, std::uint32_t) override {
        return std::nullopt;
    }
    IOReturn CreateDevice(const std::string&,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override {
        device.reset();
        return kIOReturnNoDevice;
    }
    std::optional<std::uint64_t> UnitGuid(const std::string&) override { return std::nullopt; }
    IOReturn UnitAccessStatus() override { return accessStatus; }
    bool HasController() override { return controller; }

    IOReturn accessStatus = kIOReturnSuccess;
    bool controller = true;
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gFakeUnit = FakeUnit{};
        kaplatform::SetAlertResponder(&_alerts);
        kaplatform::SetProcessListSource(&_processes);
        kaplatform::SetEventLoopTimerDriver(&_timers);
        IBNibRef nib = nullptr;
        ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
        ASSERT_EQ(noErr, SetMenuBarFromNib(nib, CFSTR("MenuBar")));
        ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("MainWindow"), &_window));
        DisposeNibReference(nib);
    }

    void TearDown() override {
        _dialog.reset();
        DisposeWindow(_window);
        kaplatform::SetEventLoopTimerDriver(nullptr);
        kaplatform::SetProcessListSource(nullptr);
        kaplatform::SetAlertResponder(nullptr);
    }

    void MakeDialog() {
        _dialog = std::make_unique<CViRorividiZezuzuDialog>(_window);
        ShowWindow(_window);
    }

    void Tick() { _timers.FireAll(); }

    QWidget* Widget(SInt32 id) {
        ControlID controlID = {'kaUD', id};
        ControlRef control = nullptr;
        GetControlByID(_window, &controlID, &control);
        return WidgetOf(control);
    }
    QPushButton* UpdateButton() { return qobject_cast<QPushButton*>(Widget(101)); }
    QPushButton* CancelButton() { return qobject_cast<QPushButton*>(Widget(100)); }
    std::string Text(SInt32 id) { return qobject_cast<QLabel*>(Widget(id))->text().toStdString(); }
    bool WarningShown() { return !Widget(202)->isHidden(); }
    int Progress() { return qobject_cast<QProgressBar*>(Widget(300))->value(); }

    OSStatus SendCommand(UInt32 commandID) {
        EventRef event = nullptr;
        CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, 0, 0, &event);
        HICommand command{kHICommandFromMenuItem, commandID, {nullptr, 0}};
        SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
        OSStatus status = SendEventToEventTarget(event, GetWindowEventTarget(_window));
        ReleaseEvent(event);
        return status;
    }

    void ClickUpdate() { QTest::mouseClick(UpdateButton(), Qt::LeftButton); }

    // Found, accepted, started.
    void StartUpdate() {
        gFakeUnit.found = true;
        MakeDialog();
        Tick();
        ClickUpdate();
        Tick();
        ASSERT_EQ(1, gFakeUnit.doUpdateCalls);
    }

    ScriptedAlertResponder _alerts;
    kaplatform::PretendProcessList _processes{nullptr};
    ManualTimerDriver _timers;
    QuitObserver _quits;
    WindowRef _window = nullptr;
    std::unique_ptr<CViRorividiZezuzuDialog> _dialog;
};

}  // namespace

TEST_F(DialogTest, ConstructionPreparesTheWindowAndInstallsTheHalfSecondTimer) {
    MakeDialog();
    EXPECT_EQ(1, gFakeUnit.constructed);
    ASSERT_EQ(1u, _timers.timers.size());
    EXPECT_DOUBLE_EQ(0.0, _timers.timers[0].fireDelay);
    EXPECT_DOUBLE_EQ(0.5, _timers.timers[0].interval);
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_TRUE(CancelButton()->isEnabled()) << "as the interface description has it";
    EXPECT_FALSE(WarningShown());
    EXPECT_EQ(QColor(Qt::red), Widget(202)->palette().color(QPalette::WindowText));
    EXPECT_EQ(0, Progress());
    EXPECT_EQ(0, gFakeUnit.isFoundCalls) << "nothing is polled before the loop runs";
}

TEST_F(DialogTest, IdleTicksShowTheUnitOrItsAbsence) {
    MakeDialog();
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_EQ("Ka Not Found", Text(201));
    EXPECT_EQ("", Text(203));
    EXPECT_FALSE(UpdateButton()->isEnabled());

    gFakeUnit.found = true;
    Tick();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_EQ("KA000123", Text(201));
    EXPECT_EQ("Select Upgrade button to download firmware version 3-5 to Ka:", Text(203));
    EXPECT_EQ("Upgrade", UpdateButton()->text());
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_TRUE(CancelButton()->isEnabled());
    EXPECT_FALSE(WarningShown());

    gFakeUnit.downgrade = true;
    gFakeUnit.serialNumber = "KA\xE9";
    Tick();
    EXPECT_EQ("Select Downgrade button to download firmware version 3-5 to Ka:", Text(203));
    EXPECT_EQ("Downgrade", UpdateButton()->text());
    EXPECT_EQ("KA\xC3\xA9", Text(201));

    // The unit goes: texts say so, the title stays what it was.
    gFakeUnit.found = false;
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_EQ("", Text(203));
    EXPECT_EQ("Downgrade", UpdateButton()->text());
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_EQ(0, Progress());
}

TEST_F(DialogTest, AUnitThisUserMayNotOpenOrAnotherProgramHoldsIsExplainedInRedWhileNotFound) {
    auto bus = std::make_shared<AccessReportingBus>();
    kaplatform::SetFireWireBackend(bus);
    MakeDialog();
    EXPECT_TRUE(Widget(210)->isHidden());
    EXPECT_EQ(QColor(Qt::red), Widget(210)->palette().color(QPalette::WindowText));

    bus->accessStatus = kIOReturnNotPermitted;
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_FALSE(Widget(210)->isHidden());
    EXPECT_EQ(
        "A Ka is connected, but this user may not open it: install the updater's udev "
        "rule (see the README) and use the desktop session.",
        Text(210));
    EXPECT_FALSE(WarningShown());
    EXPECT_FALSE(UpdateButton()->isEnabled());

    bus->accessStatus = kIOReturnExclusiveAccess;
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_FALSE(Widget(210)->isHidden());
    EXPECT_EQ("The Ka is in use by another program; quit it to update the Ka.", Text(210));
    bus->accessStatus = kIOReturnNotPermitted;
    Tick();
    EXPECT_EQ(
        "A Ka is connected, but this user may not open it: install the updater's udev "
        "rule (see the README) and use the desktop session.",
        Text(210));

    bus->accessStatus = kIOReturnSuccess;
    Tick();
    EXPECT_TRUE(Widget(210)->isHidden());

    // No bus at all is a cause of its own, and one the user can act on.
    bus->controller = false;
    Tick();
    EXPECT_FALSE(Widget(210)->isHidden());
    EXPECT_EQ(
        "No FireWire controller was found on this computer: the Ka needs a FireWire port whose "
        "driver is loaded.",
        Text(210));
    bus->controller = true;
    Tick();
    EXPECT_TRUE(Widget(210)->isHidden());

    // A unit that is found needs no excuse, whatever else is on the bus.
    bus->accessStatus = kIOReturnNotPermitted;
    gFakeUnit.found = true;
    Tick();
    EXPECT_TRUE(Widget(210)->isHidden());
    kaplatform::SetFireWireBackend(nullptr);
}

TEST_F(DialogTest, FinalCutRunningRefusesTheUpdateAndShowsTheWarning) {
    gFakeUnit.found = true;
    MakeDialog();
    _processes.Add('aaaa', "shell");
    ProcessSerialNumber editor = _processes.Add('KeyG', "Final Cut Pro");
    Tick();
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_TRUE(WarningShown());
    EXPECT_EQ("Please quit Final Cut Pro before updating the Ka firmware.", Text(202));
    EXPECT_EQ("KA000123", Text(201)) << "texts are refreshed all the same";
    EXPECT_EQ("Select Upgrade button to download firmware version 3-5 to Ka:", Text(203));

    gFakeUnit.serialNumber = "KA000124";
    Tick();
    EXPECT_EQ("KA000124", Text(201));

    _processes.Remove(editor);
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_FALSE(WarningShown());

    // The warning goes with the unit as well.
    _processes.Add('KeyG', "Final Cut Pro");
    Tick();
    EXPECT_TRUE(WarningShown());
    gFakeUnit.found = false;
    Tick();
    EXPECT_FALSE(WarningShown());
}

TEST_F(DialogTest, UpdateIsRefusedWhenFinalCutStartedSinceTheLastTick) {
    // The system's list as far as the click goes: nothing runs, and whether it was asked to
    // look afresh.
    struct SystemList final : kaplatform::ProcessListSource {
        std::vector<ProcessSerialNumber> RunningProcesses() override { return {}; }
        bool DescribeProcess(const ProcessSerialNumber&, kaplatform::RunningProcess&) override {
            return false;
        }
        OSErr RequestQuit(const ProcessSerialNumber&) override { return procNotFound; }
        void LookAfresh() override { ++freshLooks; }
        int freshLooks = 0;
    } system;
    kaplatform::PretendProcessList processes(&system);
    kaplatform::SetProcessListSource(&processes);
    gFakeUnit.found = true;
    MakeDialog();
    Tick();
    ASSERT_TRUE(UpdateButton()->isEnabled());

    const ProcessSerialNumber editor = processes.Add('KeyG', "Final Cut Pro");
    ClickUpdate();
    EXPECT_EQ(1, system.freshLooks);
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_TRUE(WarningShown());
    Tick();
    Tick();
    EXPECT_EQ(0, gFakeUnit.doUpdateCalls);
    EXPECT_TRUE(CancelButton()->isEnabled()) << "still waiting for the user";

    processes.Remove(editor);
    Tick();
    ClickUpdate();
    Tick();
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
    _dialog.reset();
    kaplatform::SetProcessListSource(&_processes);
}

TEST_F(DialogTest, AcceptedUpdateStartsOnTheNextTickAndFeedsTheProgressBar) {
    gFakeUnit.found = true;
    MakeDialog();
    Tick();
    ClickUpdate();
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(CancelButton()->isEnabled());
    EXPECT_EQ(0, gFakeUnit.doUpdateCalls) << "the click only accepts";
    EXPECT_TRUE(_alerts.requests.empty()) << "no confirmation for an upgrade";

    int polls = gFakeUnit.isFoundCalls;
    Tick();
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
    EXPECT_EQ(polls, gFakeUnit.isFoundCalls) << "the unit is not polled again first";

    gFakeUnit.progress = 40;
    gFakeUnit.found = false;  // the unit vanishing does not change the course
    Tick();
    EXPECT_EQ(40, Progress());
    gFakeUnit.progress = 57;
    Tick();
    EXPECT_EQ(57, Progress());
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(CancelButton()->isEnabled());
    EXPECT_EQ(0, _quits.count);
}

TEST_F(DialogTest, SuccessfulUpdateShowsTheFinalProgressThenCompletionThenQuits) {
    StartUpdate();
    gFakeUnit.progress = 100;
    gFakeUnit.done = true;
    int progressWhileOpen = -1;
    int pollsWhileOpen = 0;
    _alerts.whileOpen = [&](const kaplatform::AlertRequest&) {
        progressWhileOpen = Progress();
        int before = gFakeUnit.isFoundCalls;
        Tick();  // ticks inside the alert are idle polls, never a second alert
        pollsWhileOpen = gFakeUnit.isFoundCalls - before;
    };
    Tick();
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ(kAlertNoteAlert, _alerts.requests[0].type);
    EXPECT_EQ("Programming Complete", _alerts.requests[0].message);
    EXPECT_EQ("You will need to cycle the Power on your Ka for changes to take affect",
              _alerts.requests[0].informative);
    EXPECT_EQ((std::vector<std::string>{"OK"}), _alerts.requests[0].buttons);
    EXPECT_EQ(100, progressWhileOpen);
    EXPECT_EQ(1, pollsWhileOpen);
    EXPECT_EQ(1, _quits.count);
}

TEST_F(DialogTest, FailedUpdateIsNeverReportedAsCompleteAndAllowsARetry) {
    StartUpdate();
    gFakeUnit.progress = 43;
    gFakeUnit.done = true;
    gFakeUnit.outcome = {false, false, kUnitNotReady};
    Tick();
    ASSERT_EQ(1u, _alerts.requests.size());
    const kaplatform::AlertRequest& alert = _alerts.requests[0];
    EXPECT_EQ(kAlertStopAlert, alert.type);
    EXPECT_EQ("Programming Failed", alert.message);
    EXPECT_EQ(
        "Neither the Xilinx image nor the MCORE image was installed. Error 0xFFFFFF40. "
        "Do not cycle the Power on your Ka. Check its FireWire connection, then try the "
        "update again.",
        alert.informative);
    EXPECT_EQ(0, _quits.count) << "the program stays open";
    EXPECT_EQ(0, Progress());
    EXPECT_TRUE(CancelButton()->isEnabled());

    // Back to idle: the next tick offers the update again, and it can run again.
    gFakeUnit.done = false;
    gFakeUnit.outcome = {true, true, kIOReturnSuccess};
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
    ClickUpdate();
    Tick();
    EXPECT_EQ(2, gFakeUnit.doUpdateCalls);
}

TEST_F(DialogTest, TheFailureAlertSaysWhichImageWasInstalledAndTheFirstFailure) {
    struct Case {
        Orv::VEV::UpdateOutcome outcome;
        const char* informative;
    };
    const char* const advice =
        " Do not cycle the Power on your Ka. Check its FireWire "
        "connection, then try the update again.";
    const std::vector<Case> cases = {
        // The run goes on to the MCORE image after a failed Xilinx image.
        {{false, true, kUnitNotReady},
         "The MCORE image was installed; the Xilinx image was not. Error 0xFFFFFF40."},
        {{true, false, static_cast<IOReturn>(0xE00002BC)},
         "The Xilinx image was installed; the MCORE image was not. Error 0xE00002BC."},
        {{false, false, kIOReturnNoDevice},
         "Neither the Xilinx image nor the MCORE image was installed. Error 0xE00002C0."},
    };
    StartUpdate();
    for (const Case& c : cases) {
        _alerts.requests.clear();
        gFakeUnit.done = true;
        gFakeUnit.outcome = c.outcome;
        Tick();
        ASSERT_EQ(1u, _alerts.requests.size());
        EXPECT_EQ("Programming Failed", _alerts.requests[0].message);
        EXPECT_EQ(std::string(c.informative) + advice, _alerts.requests[0].informative);
        EXPECT_EQ(0, _quits.count);
        // Run it again for the next case.
        gFakeUnit.done = false;
        Tick();
        ClickUpdate();
        Tick();
    }
}

TEST_F(DialogTest, AChangedUnitIsReportedAsNothingWrittenAndTheDialogGoesBackToIdle) {
    StartUpdate();
    gFakeUnit.done = true;
    gFakeUnit.outcome = {false, false, Orv::VEV::kKaChangedErr};
    Tick();
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ(kAlertStopAlert, _alerts.requests[0].type);
    EXPECT_EQ("Programming Failed", _alerts.requests[0].message);
    EXPECT_EQ(
        "The Ka changed before the update began; nothing was written. Error 0xFFFFFF3F. "
        "Check which unit is connected, then try the update again.",
        _alerts.requests[0].informative);
    EXPECT_EQ(0, _quits.count);
    EXPECT_TRUE(CancelButton()->isEnabled());
    gFakeUnit.done = false;
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
}

TEST_F(DialogTest, TheIdentityIsAcceptedAtTheClickBeforeTheDowngradeQuestion) {
    gFakeUnit.found = true;
    gFakeUnit.downgrade = true;
    MakeDialog();
    Tick();
    EXPECT_EQ(0, gFakeUnit.acceptCalls) << "polling accepts nothing";
    int acceptedWhileAsking = -1;
    _alerts.whileOpen = [&](const kaplatform::AlertRequest&) {
        acceptedWhileAsking = gFakeUnit.acceptCalls;
        Tick();  // the window goes on polling under the question
    };
    _alerts.answers = {kAlertStdAlertOKButton};
    ClickUpdate();
    EXPECT_EQ(1, acceptedWhileAsking);
    EXPECT_EQ(1, gFakeUnit.acceptCalls) << "the ticks under the question accept nothing";
    Tick();
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
}

TEST_F(DialogTest, OnlyTheOkButtonOfTheDowngradeQuestionIsConsent) {
    gFakeUnit.found = true;
    gFakeUnit.downgrade = true;
    MakeDialog();
    Tick();
    // An alert that could not be shown yields no button of its own (0 from the alert
    // function); a box closed some other way, a button it does not have.
    int quits = 0;
    for (const DialogItemIndex answer : {DialogItemIndex(-1), DialogItemIndex(3)}) {
        SCOPED_TRACE(answer);
        _alerts.answers = {answer};
        ClickUpdate();
        EXPECT_EQ(++quits, _quits.count) << "that is Cancel, which quits";
        EXPECT_TRUE(UpdateButton()->isEnabled());
        Tick();
        EXPECT_EQ(0, gFakeUnit.doUpdateCalls);
    }
}

TEST_F(DialogTest, DowngradeNeedsConfirmationAndCancelQuits) {
    gFakeUnit.found = true;
    gFakeUnit.downgrade = true;
    MakeDialog();
    Tick();
    _alerts.answers = {kAlertStdAlertCancelButton};
    ClickUpdate();
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ(kAlertCautionAlert, _alerts.requests[0].type);
    EXPECT_EQ("This is a Downgrade:", _alerts.requests[0].message);
    EXPECT_EQ("Press OK to Continue or Cancel to Quit", _alerts.requests[0].informative);
    EXPECT_EQ((std::vector<std::string>{"OK", "Cancel"}), _alerts.requests[0].buttons);
    EXPECT_EQ(kAlertStdAlertCancelButton, _alerts.requests[0].cancelButton);
    EXPECT_EQ(1, _quits.count);
    EXPECT_TRUE(UpdateButton()->isEnabled()) << "nothing else changes";
    Tick();
    EXPECT_EQ(0, gFakeUnit.doUpdateCalls);

    _alerts.answers = {kAlertStdAlertOKButton};
    ClickUpdate();
    EXPECT_EQ(1, _quits.count);
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(CancelButton()->isEnabled());
    Tick();
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
}

TEST_F(DialogTest, CancelButtonQuits) {
    MakeDialog();
    Tick();
    QTest::mouseClick(CancelButton(), Qt::LeftButton);
    EXPECT_EQ(1, _quits.count);
}

TEST_F(DialogTest, AboutWorksInEveryStateAndQuitOnlyWhileIdle) {
    MakeDialog();
    EXPECT_EQ(noErr, SendCommand(kHICommandAbout));
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("VIRorividiZezuzu  ", _alerts.requests[0].message);
    EXPECT_EQ(0u, _alerts.requests[0].informative.rfind("Version 1.3, ", 0));
    // Where a report of a failed update finds its record.
    EXPECT_NE(std::string::npos,
              _alerts.requests[0].informative.find(
                  " Every update leaves a record in " KA_TEST_STATE_DIR "/ka-firmware-updater;"));
    EXPECT_EQ((std::vector<std::string>{"OK"}), _alerts.requests[0].buttons);

    EXPECT_EQ(eventNotHandledErr, SendCommand('abcd')) << "other commands pass through";
    EXPECT_EQ(noErr, SendCommand(kHICommandQuit)) << "the platform's standard handling quits";
    EXPECT_EQ(1, _quits.count);

    // Accepted (STARTUPDATE), then running (UPDATING): Quit is consumed.
    gFakeUnit.found = true;
    Tick();
    ClickUpdate();
    EXPECT_EQ(noErr, SendCommand(kHICommandQuit));
    EXPECT_EQ(1, _quits.count);
    Tick();
    EXPECT_EQ(noErr, SendCommand(kHICommandQuit));
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(noErr, SendCommand(kHICommandAbout));
    EXPECT_EQ(2u, _alerts.requests.size());
}

TEST_F(DialogTest, CommandWithoutItsRecordPassesThrough) {
    MakeDialog();
    EventRef event = nullptr;
    CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, 0, 0, &event);
    EXPECT_EQ(eventNotHandledErr, SendEventToEventTarget(event, GetWindowEventTarget(_window)));
    ReleaseEvent(event);
    EXPECT_EQ(0, _quits.count);
}

TEST_F(DialogTest, MenuQuitWhileIdleEndsTheEventLoop) {
    MakeDialog();
    QAction* quit = nullptr;
    for (QAction* action : WidgetOf(_window)->findChildren<QAction*>()) {
        if (action->property("commandID").toString() == "quit") {
            quit = action;
        }
    }
    ASSERT_NE(nullptr, quit);
    Soon([quit] { quit->trigger(); });
    RunApplicationEventLoop();
    EXPECT_EQ(1, _quits.count);
}

TEST_F(DialogTest, ClosingTheWindowActsAsCancelWhileIdleAndIsRefusedDuringAnUpdate) {
    StartUpdate();
    EXPECT_FALSE(WidgetOf(_window)->close());
    EXPECT_TRUE(IsWindowVisible(_window));
    EXPECT_EQ(0, _quits.count);

    gFakeUnit.done = true;
    gFakeUnit.outcome = {false, false, kUnitNotReady};
    Tick();  // failed: idle again
    WidgetOf(_window)->close();
    EXPECT_EQ(1, _quits.count);
}

TEST_F(DialogTest, DestroyingTheDialogStopsItsTimerAndDeletesTheController) {
    MakeDialog();
    _dialog.reset();
    EXPECT_EQ(1, _timers.removed);
    EXPECT_TRUE(_timers.timers.empty());
    EXPECT_EQ(1, gFakeUnit.destroyed);
    // The window can still be closed: nothing of the dialog is called.
    EXPECT_EQ(eventNotHandledErr, SendCommand(kHICommandAbout));
}

TEST_F(DialogTest, ControllerThatCannotBeMadeLeavesNothingInstalled) {
    gFakeUnit.throwOnConstruction = true;
    EXPECT_THROW(CViRorividiZezuzuDialog dialog(_window), std::runtime_error);
    EXPECT_TRUE(_timers.timers.empty());
    EXPECT_EQ(eventNotHandledErr, SendCommand(kHICommandAbout));
}

TEST_F(DialogTest, MissingControlStopsAtItsFirstCheckedOperation) {
    IBNibRef nib = nullptr;
    ASSERT_EQ(noErr, CreateNibReference(CFSTR("test"), &nib));
    WindowRef other = nullptr;
    ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("Controls"), &other));
    DisposeNibReference(nib);
    EXPECT_DEATH(CViRorividiZezuzuDialog dialog(other),
                 "(^|\n)macclasses/carboncontrols:73: failed assertion `_controlRef != NULL'\n$");
    DisposeWindow(other);
}

// The program body, end to end, with real timers.
class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gFakeUnit = FakeUnit{};
        kaplatform::SetAlertResponder(&_alerts);
        kaplatform::SetProcessListSource(&_processes);
    }
    void TearDown() override {
        kaplatform::SetProcessListSource(nullptr);
        kaplatform::SetAlertResponder(nullptr);
    }

    static QMainWindow* MainWindow() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == "MainWindow" && widget->isVisible()) {
                return qobject_cast<QMainWindow*>(widget);
            }
        }
        return nullptr;
    }

    template <typename Widget>
    static Widget* Find(QMainWindow* window, int id) {
        for (Widget* widget : window->findChildren<Widget*>()) {
            if (widget->property("controlID").toInt() == id) {
                return widget;
            }
        }
        return nullptr;
    }

    ScriptedAlertResponder _alerts;
    kaplatform::PretendProcessList _processes{nullptr};
};

TEST_F(ProgramTest, RunsUntilCancelThenCleansUp) {
    gFakeUnit.found = true;
    bool sawUnit = false;
    Soon([&] {
        QMainWindow* window = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (window = MainWindow()) != nullptr; }));
        ASSERT_NE(nullptr, window->menuBar());
        // The first tick comes at once, then every half second.
        ASSERT_TRUE(WaitUntil([&] { return Find<QLabel>(window, 201)->text() == "KA000123"; }));
        gFakeUnit.serialNumber = "KA000999";
        ASSERT_TRUE(WaitUntil([&] { return Find<QLabel>(window, 201)->text() == "KA000999"; }));
        sawUnit = Find<QPushButton>(window, 101)->isEnabled();
        QTest::mouseClick(Find<QPushButton>(window, 100), Qt::LeftButton);
    });
    EXPECT_EQ(0, RunUpdaterApplication(0, nullptr, KaFirmwareRule::WhateverItHolds, std::nullopt));
    EXPECT_TRUE(sawUnit);
    EXPECT_EQ(1, gFakeUnit.constructed);
    EXPECT_EQ(1, gFakeUnit.destroyed);
    EXPECT_EQ(nullptr, MainWindow()) << "the window is gone";
    int polls = gFakeUnit.isFoundCalls;
    QTest::qWait(600);
    EXPECT_EQ(polls, gFakeUnit.isFoundCalls) << "no tick after the end";
}

TEST_F(ProgramTest, WholeUpdateEndsWithTheCompletionAlert) {
    gFakeUnit.found = true;
    Soon([&] {
        QMainWindow* window = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (window = MainWindow()) != nullptr; }));
        auto* update = Find<QPushButton>(window, 101);
        ASSERT_TRUE(WaitUntil([&] { return update->isEnabled(); }));
        QTest::mouseClick(update, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return gFakeUnit.doUpdateCalls == 1; }));
        gFakeUnit.progress = 100;
        gFakeUnit.done = true;
    });
    EXPECT_EQ(0, RunUpdaterApplication(0, nullptr, KaFirmwareRule::WhateverItHolds, std::nullopt));
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("Programming Complete", _alerts.requests[0].message);
}

// The keyboard --------------------------------------------------------------------------------

TEST_F(DialogTest, ReturnPressesTheDefaultButtonEscapeCancelAndFocusNeverRestsOnCancel) {
    MakeDialog();
    QWidget* window = WidgetOf(_window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    Tick();
    EXPECT_NE(CancelButton(), window->focusWidget()) << "Space there would quit";

    gFakeUnit.found = true;
    Tick();
    EXPECT_EQ(UpdateButton(), window->focusWidget()) << "focus starts on the default button";
    QTest::keyClick(window->focusWidget(), Qt::Key_Return);
    EXPECT_EQ(1, gFakeUnit.acceptCalls) << "Return presses the default button";
    EXPECT_FALSE(CancelButton()->isEnabled());

    // Accepted: no key may end the program, wherever focus went.
    for (const auto key : {Qt::Key_Space, Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QWidget* focus = window->focusWidget();
        EXPECT_NE(CancelButton(), focus);
        QTest::keyClick(focus != nullptr ? focus : window, key);
        Tick();
    }
    EXPECT_EQ(0, _quits.count);
    EXPECT_EQ(1, gFakeUnit.doUpdateCalls);
}

TEST_F(DialogTest, EnterPressesTheDefaultButtonAndEscapeTheCancelButton) {
    gFakeUnit.found = true;
    MakeDialog();
    QWidget* window = WidgetOf(_window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    Tick();
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(1, _quits.count) << "Escape is the cancel button";
    QTest::keyClick(window, Qt::Key_Enter);
    EXPECT_EQ(1, gFakeUnit.acceptCalls) << "Enter is the default button";
}

// Screen readers ------------------------------------------------------------------------------

namespace {

std::string AccessibleText(QWidget* widget, QAccessible::Text text) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible != nullptr ? accessible->text(text).toStdString() : std::string();
}

std::vector<std::string> LabelledBy(QWidget* widget) {
    std::vector<std::string> captions;
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    for (const auto& [caption, relation] : accessible->relations(QAccessible::Label)) {
        captions.push_back(caption->text(QAccessible::Name).toStdString());
    }
    return captions;
}

}  // namespace

TEST_F(DialogTest, EveryControlIsNamedEveryValueHasItsCaptionAndRedLinesAreHeard) {
    gFakeUnit.found = true;
    MakeDialog();
    Tick();
    for (const SInt32 id : {100, 101, 200, 201, 203, 300}) {
        EXPECT_FALSE(AccessibleText(Widget(id), QAccessible::Name).empty()) << "control " << id;
    }
    EXPECT_EQ("Update progress", AccessibleText(Widget(300), QAccessible::Name));
    EXPECT_EQ(std::vector<std::string>{"Firmware installed in the Ka:"}, LabelledBy(Widget(200)));
    EXPECT_EQ(std::vector<std::string>{"Serial number:"}, LabelledBy(Widget(201)));
    EXPECT_EQ(
        std::vector<std::string>{"Select Upgrade button to download firmware version 3-5 to Ka:"},
        LabelledBy(UpdateButton()));

    // A red line is in the window's description while it is shown, and only then.
    QWidget* window = WidgetOf(_window);
    const std::string finalCut = qobject_cast<QLabel*>(Widget(202))->text().toStdString();
    EXPECT_EQ(std::string::npos, AccessibleText(window, QAccessible::Description).find(finalCut));
    const ProcessSerialNumber editor = _processes.Add('KeyG', "Final Cut Pro");
    Tick();
    EXPECT_NE(std::string::npos, AccessibleText(window, QAccessible::Description).find(finalCut));
    _processes.Remove(editor);
    Tick();
    EXPECT_EQ(std::string::npos, AccessibleText(window, QAccessible::Description).find(finalCut));
}
