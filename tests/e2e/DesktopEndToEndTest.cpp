// The updater as the user meets it: the real window, dialog and controller against the
// simulated Ka, from the first poll to the end of an update.
#include "BuiltInImages.h"
#include "CapturedOutput.h"
#include "EndToEndSupport.h"

#include <Carbon/Carbon.h>
#include <IOKit/firewire/IOFireWireFamilyCommon.h>

#include <QTimer>

#include <algorithm>

using namespace katest;
using kasim::Component;
using State = kasim::FlashContents::State;

namespace {

bool BothInstalled(const kasim::SimulatedKa& ka) {
    return ka.Flash(Component::Xilinx).state == State::Installed &&
           ka.Flash(Component::Mcore).state == State::Installed;
}

}  // namespace

TEST_F(EndToEndTest, ShowsTheUnitItsAbsenceAndARunningEditor) {
    kasim::SimulatedKaConfig absent;
    absent.present = false;
    StartWith(absent);
    for (const SInt32 id : {100, 101, 200, 201, 202, 203, 300}) {
        EXPECT_NE(nullptr, Widget(id)) << "control " << id << " is bound in the window";
    }

    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_EQ("Ka Not Found", Text(201));
    EXPECT_EQ("", Text(203));
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(WarningShown());

    // Plugged in: the next tick shows what the unit holds and what would be installed.
    Ka().Plug();
    Tick();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_EQ("Not Available", Text(201)) << "a controller older than 3 has no serial number";
    EXPECT_EQ("Select Upgrade button to download firmware version 3-5 to Ka:", Text(203));
    EXPECT_EQ("Upgrade", UpdateButton()->text());
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_TRUE(CancelButton()->isEnabled());

    // The editor starts: no update offered, the red warning shows; the texts stay fresh.
    const ProcessSerialNumber editor = _processes.Add('KeyG', "Final Cut Pro");
    Ka().SetSoftwareVersion(0x00030004);
    Ka().SetSerialNumber(kasim::SerialNumberFromText("KA004712"));
    Tick();
    EXPECT_EQ("3-4", Text(200));
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_TRUE(WarningShown());
    EXPECT_EQ(QColor(Qt::red), Widget(202)->palette().color(QPalette::WindowText));
    EXPECT_EQ("KA004712", Text(201));
    ClickUpdate();
    Tick();
    EXPECT_EQ(0, WorkersStarted()) << "a disabled button starts nothing";

    _processes.Remove(editor);
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_FALSE(WarningShown());

    // Unplugged again: both texts say so, the button greys out, its title stays.
    Ka().Unplug();
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_EQ("Ka Not Found", Text(201));
    EXPECT_EQ("", Text(203));
    EXPECT_EQ("Upgrade", UpdateButton()->text());
    EXPECT_FALSE(UpdateButton()->isEnabled());
}

TEST_F(EndToEndTest, AUnitThisUserMayNotOpenIsNotFoundButExplained) {
    Ka().SetOpenPermitted(false);
    Tick();
    EXPECT_EQ("Ka Not Found", Text(200));
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(Widget(210)->isHidden());

    Ka().SetOpenPermitted(true);
    Tick();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_TRUE(Widget(210)->isHidden());
    EXPECT_TRUE(UpdateButton()->isEnabled());
}

TEST_F(EndToEndTest, NewerInstalledFirmwareIsADowngradeAndCancelQuitsWithoutTouchingTheUnit) {
    kasim::SimulatedKaConfig newer;
    newer.softwareVersion = 0x00040006;
    StartWith(newer);
    Tick();
    EXPECT_EQ("4-6", Text(200));
    EXPECT_EQ("Downgrade", UpdateButton()->text());
    EXPECT_EQ("Select Downgrade button to download firmware version 3-5 to Ka:", Text(203));

    Ka().ClearTransactions();
    _alerts.answers = {kAlertStdAlertCancelButton};
    ClickUpdate();
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("This is a Downgrade:", _alerts.requests[0].message);
    EXPECT_EQ("Press OK to Continue or Cancel to Quit", _alerts.requests[0].informative);
    EXPECT_EQ(1, _quits.count);
    Tick();
    EXPECT_EQ(0, WorkersStarted());
    for (const kasim::Transaction& transaction : Ka().Transactions()) {
        EXPECT_TRUE(transaction.onHomeThread) << "nothing but discovery touched the unit";
        EXPECT_NE(kasim::Operation::WriteBlock, transaction.operation);
    }
    EXPECT_EQ(State::Factory, Ka().Flash(Component::Xilinx).state);
}

TEST_F(EndToEndTest, DowngradeConfirmedWithOkInstallsBothImages) {
    kasim::SimulatedKaConfig newer;
    newer.softwareVersion = 0x00040006;
    StartWith(newer);
    _alerts.answers = {kAlertStdAlertOKButton};
    const kaplatform::AlertRequest last = RunOneUpdate();
    ASSERT_EQ(2u, _alerts.requests.size());
    EXPECT_EQ("This is a Downgrade:", _alerts.requests[0].message);
    EXPECT_EQ("Programming Complete", last.message);
    EXPECT_TRUE(BothInstalled(Ka()));
    EXPECT_EQ(0x00030005u, Ka().SoftwareVersionRegister());
}

// The whole update inside the application's event loop: the bar at each mark of the run,
// the completion alert, and the loop ending on its own.
TEST_F(EndToEndTest, FullUpdateShowsItsProgressThenCompletesAndEndsTheEventLoop) {
    _gate.SetHolding(true);
    std::vector<int> barAtMarks;
    int barWhenAlertOpened = -1;
    bool updateButtonEnabledDuringRun = true;
    bool cancelButtonEnabledDuringRun = true;
    _alerts.whileOpen = [&](const kaplatform::AlertRequest& request) {
        if (request.message == "Programming Complete") {
            barWhenAlertOpened = Progress();
        }
    };
    bool loopEnded = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        ADD_FAILURE() << "the event loop did not end";
        QuitApplicationEventLoop();
    });
    watchdog.start(kDeadlineMs);

    katest::CapturedOutput captured;
    katest::Soon([&] {
        Tick();
        ASSERT_TRUE(UpdateButton()->isEnabled());
        // A click as the platform itself makes one.
        HIViewSimulateClick(Control(101), kControlButtonPart, 0, nullptr);
        updateButtonEnabledDuringRun = UpdateButton()->isEnabled();
        cancelButtonEnabledDuringRun = CancelButton()->isEnabled();
        Tick();
        EXPECT_TRUE(TickUntilUpdateEnds(&barAtMarks));
    });
    RunApplicationEventLoop();
    loopEnded = true;
    watchdog.stop();
    const katest::Output output = captured.Take();

    EXPECT_TRUE(loopEnded);
    EXPECT_FALSE(updateButtonEnabledDuringRun);
    EXPECT_FALSE(cancelButtonEnabledDuringRun);
    EXPECT_EQ((std::vector<int>{0, 40, 60, 0, 80, 100}), barAtMarks);
    const std::vector<UInt32> samples = _gate.Samples();
    ASSERT_FALSE(samples.empty());
    // The worker's view: 0, 40, rising to 60; 0, 80, rising to 100; never backwards within
    // an image.
    const auto restart = std::find(samples.begin() + 1, samples.end(), 0u);
    ASSERT_NE(samples.end(), restart);
    EXPECT_EQ(0u, samples.front());
    EXPECT_EQ(40u, samples[1]);
    EXPECT_EQ(60u, *(restart - 1));
    EXPECT_EQ(80u, *(restart + 1));
    EXPECT_EQ(100u, samples.back());
    EXPECT_TRUE(std::is_sorted(samples.begin(), restart));
    EXPECT_TRUE(std::is_sorted(restart, samples.end()));
    EXPECT_GT(restart - samples.begin(), 10) << "the Xilinx span moves in many steps";

    EXPECT_EQ(100, barWhenAlertOpened);
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("Programming Complete", _alerts.requests[0].message);
    EXPECT_EQ("You will need to cycle the Power on your Ka for changes to take affect",
              _alerts.requests[0].informative);
    EXPECT_EQ(1, _quits.count);
    EXPECT_TRUE(BothInstalled(Ka()));
    EXPECT_EQ(336680u, Ka().Flash(Component::Xilinx).bytes.size());
    EXPECT_EQ(74876u, Ka().Flash(Component::Mcore).bytes.size());

    // Both images reported as installed, in order, between the worker's first and last words.
    const std::string& out = output.out;
    const auto start = out.find("Start Download Thread\n");
    const auto xilinx = out.find("Opening Xilinx data file\n");
    const auto firstSuccess = out.find("Update successful.\n\r");
    const auto mcore = out.find("Opening MCORE 06 file\n");
    const auto secondSuccess = out.find("Update successful.\n\r", mcore);
    const auto end = out.find("Delete Download Thread\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_LT(start, xilinx);
    EXPECT_LT(xilinx, firstSuccess);
    EXPECT_LT(firstSuccess, mcore);
    EXPECT_LT(mcore, secondSuccess);
    EXPECT_LT(secondSuccess, end);
    EXPECT_EQ(std::string::npos, output.err.find("failed"));
}

TEST_F(EndToEndTest, FailedUpdateIsReportedAndARetryOnTheHealedUnitSucceeds) {
    Ka().AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Xilinx));
    kaplatform::AlertRequest alert;
    {
        katest::CapturedOutput captured;
        alert = RunOneUpdate();
        const katest::Output output = captured.Take();
        EXPECT_NE(std::string::npos,
                  output.err.find("Device not ready - Could not prepare device for update.\n\r"));
    }
    EXPECT_EQ(kAlertStopAlert, alert.type);
    EXPECT_EQ("Programming Failed", alert.message);
    EXPECT_NE(std::string::npos, alert.informative.find("0xFFFFFF40")) << alert.informative;
    EXPECT_EQ(0, _quits.count);
    EXPECT_EQ(0, Progress()) << "the bar starts over";
    EXPECT_TRUE(CancelButton()->isEnabled());
    EXPECT_NE(State::Installed, Ka().Flash(Component::Xilinx).state);
    EXPECT_EQ(State::Installed, Ka().Flash(Component::Mcore).state);

    // Idle again: the unit is polled and offered, and the retry installs both.
    Ka().ClearFaults();
    const kaplatform::AlertRequest retry = RunOneUpdate();
    EXPECT_EQ("Programming Complete", retry.message);
    EXPECT_EQ(1, _quits.count);
    EXPECT_TRUE(BothInstalled(Ka()));
}

TEST_F(EndToEndTest, AUnitWhoseVersionsCannotBeReadIsNeverOffered) {
    // What the simulator's identity-read-fail does: both reads answered with an address error.
    for (const std::uint64_t address :
         {kasim::kSoftwareVersionRegister, kasim::kProductRevisionRegister}) {
        kasim::TransactionFault fault(kasim::Operation::ReadQuadlet, kIOFireWireAddressError);
        fault.address = address;
        fault.repeat = 0;
        Ka().AddTransactionFault(fault);
    }
    for (int tick = 0; tick < 3; ++tick) {
        Tick();
        EXPECT_EQ("Ka Not Found", Text(200));
        EXPECT_EQ("", Text(203));
        EXPECT_FALSE(UpdateButton()->isEnabled());
    }
    ClickUpdate();
    Tick();
    Tick();
    EXPECT_EQ(0, WorkersStarted());
    for (const kasim::Transaction& transaction : Ka().Transactions()) {
        EXPECT_TRUE(transaction.onHomeThread) << "nothing but discovery touched the unit";
        EXPECT_NE(kasim::Operation::WriteQuadlet, transaction.operation);
        EXPECT_NE(kasim::Operation::WriteBlock, transaction.operation);
    }

    // Once the unit answers, it is offered.
    Ka().ClearFaults();
    Tick();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_TRUE(UpdateButton()->isEnabled());
}

TEST_F(EndToEndTest, AUnitSwappedWhileTheDowngradeQuestionIsOpenIsNotWritten) {
    kasim::SimulatedKaConfig newer;
    newer.softwareVersion = 0x00040001;
    StartWith(newer);
    Tick();
    ASSERT_EQ("Downgrade", UpdateButton()->text());
    // The question stays open while the window polls on; meanwhile another unit is plugged
    // in where the Ka was, ready to be found by the update.
    _alerts.whileOpen = [this](const kaplatform::AlertRequest& request) {
        if (request.message == "This is a Downgrade:") {
            Tick();
            Ka().ArmUnitSwap();
        }
    };
    _alerts.answers = {kAlertStdAlertOKButton};
    Ka().ClearTransactions();
    kaplatform::AlertRequest alert;
    {
        katest::CapturedOutput captured;
        ClickUpdate();
        Tick();
        EXPECT_TRUE(TickUntilUpdateEnds());
        EXPECT_TRUE(WorkerWatch::Instance().WaitForAllFinished());
        EXPECT_NE(std::string::npos,
                  captured.Take().err.find(
                      "The Ka changed before the update began; nothing was written.\n"));
        alert = _alerts.requests.back();
    }
    EXPECT_EQ(kasim::kSwappedInGuid, Ka().Guid());
    EXPECT_EQ("Programming Failed", alert.message);
    EXPECT_EQ(
        0u, alert.informative.find("The Ka changed before the update began; nothing was written."))
        << alert.informative;
    for (const kasim::Transaction& transaction : Ka().Transactions()) {
        EXPECT_NE(kasim::Operation::WriteQuadlet, transaction.operation) << "no erase command";
        EXPECT_NE(kasim::Operation::WriteBlock, transaction.operation) << "no block";
    }
    EXPECT_EQ(State::Factory, Ka().Flash(Component::Xilinx).state);
    EXPECT_EQ(State::Factory, Ka().Flash(Component::Mcore).state);

    // Back to idle, showing the unit that is there now.
    EXPECT_EQ(0, _quits.count);
    _alerts.whileOpen = nullptr;
    Tick();
    EXPECT_EQ("4-6", Text(200));
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_TRUE(CancelButton()->isEnabled());
}

TEST_F(EndToEndTest, DuringAnUpdateQuitIsRefusedAboutIsShownAndClosingIsRefused) {
    _gate.SetHolding(true);
    Tick();
    ClickUpdate();
    EXPECT_EQ(noErr, SendCommand(kHICommandQuit)) << "accepted, not yet started";
    EXPECT_EQ(0, _quits.count);
    Tick();
    ASSERT_TRUE(katest::WaitUntil([&] { return _gate.Held().has_value(); }, kDeadlineMs));

    EXPECT_EQ(noErr, SendCommand(kHICommandQuit));
    EXPECT_EQ(0, _quits.count);
    EXPECT_EQ(noErr, SendCommand(kHICommandAbout));
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("VIRorividiZezuzu  ", _alerts.requests[0].message);
    EXPECT_EQ(0u, _alerts.requests[0].informative.rfind("Version 1.3, ", 0));
    EXPECT_FALSE(katest::WidgetOf(_window)->close());
    EXPECT_TRUE(IsWindowVisible(_window));
    EXPECT_EQ(0, _quits.count);

    // The update went on regardless and ends as usual.
    _gate.Release();
    EXPECT_TRUE(TickUntilUpdateEnds());
    EXPECT_EQ("Programming Complete", _alerts.requests.back().message);
    EXPECT_EQ(1, _quits.count);
    EXPECT_TRUE(BothInstalled(Ka()));
}

TEST_F(EndToEndTest, ClosingTheWindowWhileIdleQuits) {
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
    katest::WidgetOf(_window)->close();
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(0, WorkersStarted());
}

TEST_F(EndToEndTest, QuitFromTheMenuWhileIdleAndTheCancelButtonBothEndTheLoop) {
    Tick();
    EXPECT_EQ(noErr, SendCommand(kHICommandQuit));
    EXPECT_EQ(1, _quits.count);
    QTest::mouseClick(CancelButton(), Qt::LeftButton);
    EXPECT_EQ(2, _quits.count);
}
