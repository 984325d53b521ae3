// An accepted update protected from the desktop around it, in the whole program on the
// offscreen platform: requests to end the program wait for the end of the run, and a
// systemd-logind inhibitor lock (taken on a private system bus the test starts, with
// python-dbusmock as logind) keeps the machine up from the accepting click to the end.
#include "CapturedOutput.h"
#include "EndToEndSupport.h"

#include <Carbon/Carbon.h>
#include <kaplatform/ApplicationTermination.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>

using namespace katest;
using kasim::Component;
using State = kasim::FlashContents::State;

namespace {

const std::string kHeldLine = "The updater will quit when the update is done.\n";
const std::string kNotKeptAwake = "The machine was not kept awake for the update (error ";

bool BothInstalled(const kasim::SimulatedKa& ka) {
    return ka.Flash(Component::Xilinx).state == State::Installed &&
           ka.Flash(Component::Mcore).state == State::Installed;
}

OSStatus SendTerminationRequest() {
    EventRef event = nullptr;
    CreateEvent(nullptr, kEventClassApplication, kEventAppTerminationRequested, 0,
                kEventAttributeNone, &event);
    const OSStatus status = SendEventToEventTarget(event, GetApplicationEventTarget());
    ReleaseEvent(event);
    return status;
}

struct Inhibitor {
    QString what;
    QString who;
    QString why;
    QString mode;
};

// A D-Bus daemon of the test's own, named as the system bus in this process's environment
// while it lives, with logind played by python-dbusmock: its logind template, a logind that
// refuses every lock, or none at all.
class PrivateSystemBus {
  public:
    enum class Logind { Template, Refusing, Absent };

    explicit PrivateSystemBus(Logind logind) {
        if (!_directory.isValid()) {
            return;
        }
        StartEndingWithTheTest(_daemon, "dbus-daemon",
                               {"--session", "--nofork", "--print-address=1",
                                "--address=unix:path=" + _directory.filePath("system_bus_socket")});
        if (!_daemon.waitForStarted(kDeadlineMs) ||
            !QTest::qWaitFor([&] { return _daemon.canReadLine(); }, kDeadlineMs)) {
            return;
        }
        _address = QString::fromUtf8(_daemon.readLine()).trimmed();
        _previousAddress = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", _address.toUtf8());
        _bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(_address, QStringLiteral("ka-test-observer")));
        if (!_bus->isConnected()) {
            return;
        }
        if (logind == Logind::Absent) {
            _ready = true;
            return;
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", _address);
        _logind.setProcessEnvironment(environment);
        _logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The system's own interpreter: the one that has the dbusmock package.
        if (logind == Logind::Template) {
            StartEndingWithTheTest(_logind, "/usr/bin/python3",
                                   {"-m", "dbusmock", "--template", "logind"});
        } else {
            StartEndingWithTheTest(_logind, "/usr/bin/python3",
                                   {"-m", "dbusmock", "--system", kService, kPath, kManager});
        }
        if (!_logind.waitForStarted(kDeadlineMs) ||
            !QTest::qWaitFor(
                [&] { return _bus->interface()->isServiceRegistered(kService).value(); },
                kDeadlineMs)) {
            return;
        }
        if (logind == Logind::Refusing) {
            QDBusMessage addMethod = QDBusMessage::createMethodCall(
                kService, kPath, QStringLiteral("org.freedesktop.DBus.Mock"),
                QStringLiteral("AddMethod"));
            addMethod << QString(kManager) << QStringLiteral("Inhibit") << QStringLiteral("ssss")
                      << QStringLiteral("h")
                      << QStringLiteral(
                             "raise dbus.exceptions.DBusException('refused', "
                             "name='org.freedesktop.DBus.Error.AccessDenied')");
            if (_bus->call(addMethod).type() != QDBusMessage::ReplyMessage) {
                return;
            }
        }
        _ready = true;
    }

    ~PrivateSystemBus() {
        _bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("ka-test-observer"));
        for (QProcess* process : {&_logind, &_daemon}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(10000)) {
                    process->kill();
                    process->waitForFinished(10000);
                }
            }
        }
        if (!_address.isEmpty()) {
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", _previousAddress);
        }
    }
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    bool Ready() const { return _ready; }

    // The locks logind holds now.
    std::vector<Inhibitor> Inhibitors() {
        std::vector<Inhibitor> inhibitors;
        const QDBusMessage reply =
            _bus->call(QDBusMessage::createMethodCall(kService, kPath, kManager, "ListInhibitors"));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            ADD_FAILURE() << "ListInhibitors did not answer";
            return inhibitors;
        }
        const auto list = reply.arguments().first().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            Inhibitor inhibitor;
            uint user = 0;
            uint process = 0;
            list.beginStructure();
            list >> inhibitor.what >> inhibitor.who >> inhibitor.why >> inhibitor.mode >> user >>
                process;
            list.endStructure();
            inhibitors.push_back(inhibitor);
        }
        list.endArray();
        return inhibitors;
    }

    // Whether logind has seen every lock go within the deadline.
    bool WaitUntilNoInhibitors() {
        return QTest::qWaitFor([&] { return Inhibitors().empty(); }, kDeadlineMs);
    }

  private:
    static constexpr const char* kService = "org.freedesktop.login1";
    static constexpr const char* kPath = "/org/freedesktop/login1";
    static constexpr const char* kManager = "org.freedesktop.login1.Manager";

    QTemporaryDir _directory;
    QProcess _daemon;
    QProcess _logind;
    QString _address;
    QByteArray _previousAddress;
    std::unique_ptr<QDBusConnection> _bus;
    bool _ready = false;
};

void ExpectTheUpdatersLock(const std::vector<Inhibitor>& inhibitors) {
    ASSERT_EQ(1u, inhibitors.size());
    EXPECT_EQ(
        "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
        "handle-lid-switch",
        inhibitors[0].what.toStdString());
    EXPECT_EQ("Ka Firmware Updater", inhibitors[0].who.toStdString());
    EXPECT_EQ("Updating the Ka's firmware", inhibitors[0].why.toStdString());
    EXPECT_EQ("block", inhibitors[0].mode.toStdString());
}

}  // namespace

// Termination requests ----------------------------------------------------------------------

TEST_F(EndToEndTest, TerminationRequestWhileIdleEndsTheProgramAsCancelDoes) {
    Tick();
    ASSERT_TRUE(UpdateButton()->isEnabled());
    EXPECT_EQ(noErr, SendTerminationRequest());
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(0, WorkersStarted());
    EXPECT_EQ(0, _dialog->GetExitStatus());
}

TEST_F(EndToEndTest, TerminationRequestWhileTheDowngradeQuestionIsOpenStartsNothing) {
    kasim::SimulatedKaConfig newer;
    newer.softwareVersion = 0x00040006;
    StartWith(newer);
    _alerts.whileOpen = [](const kaplatform::AlertRequest&) { SendTerminationRequest(); };
    _alerts.answers = {kAlertStdAlertOKButton};
    Tick();
    ClickUpdate();
    ASSERT_EQ(1u, _alerts.requests.size());
    EXPECT_EQ("This is a Downgrade:", _alerts.requests[0].message);
    Tick();
    Tick();
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(0, WorkersStarted()) << "an update accepted after the request would be cut short";
    EXPECT_EQ(State::Factory, Ka().Flash(Component::Xilinx).state);
}

TEST_F(EndToEndTest, TerminationRequestsDuringAnUpdateWaitForItsEndThenTheProgramQuits) {
    katest::CapturedOutput captured;
    Tick();
    ClickUpdate();
    SendTerminationRequest();  // accepted, not started yet
    EXPECT_EQ(0, _quits.count);
    Tick();
    ASSERT_EQ(1, WorkersStarted());
    SendTerminationRequest();
    EXPECT_EQ(0, _quits.count) << "held while the update runs";
    ASSERT_TRUE(WorkerWatch::Instance().WaitForAllFinished());
    Tick();
    const katest::Output output = captured.Take();
    EXPECT_EQ(1, _quits.count) << "the program quits once the run is done";
    EXPECT_TRUE(_alerts.requests.empty()) << "nobody is there to dismiss an alert";
    EXPECT_TRUE(BothInstalled(Ka()));
    EXPECT_EQ(0, _dialog->GetExitStatus());
    EXPECT_EQ(1u, Occurrences(output.err, kHeldLine)) << output.err;
    EXPECT_TRUE(output.err.ends_with(
        "The update is done. Both the Xilinx image and the MCORE image were installed.\n"))
        << output.err;
}

TEST_F(EndToEndTest, AHeldRequestAfterAFailedRunQuitsWithStatusOne) {
    Ka().AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Mcore));
    katest::CapturedOutput captured;
    Tick();
    ClickUpdate();
    Tick();
    SendTerminationRequest();
    ASSERT_TRUE(WorkerWatch::Instance().WaitForAllFinished());
    Tick();
    const katest::Output output = captured.Take();
    EXPECT_EQ(1, _quits.count);
    EXPECT_TRUE(_alerts.requests.empty());
    EXPECT_EQ(1, _dialog->GetExitStatus());
    EXPECT_TRUE(
        output.err.ends_with("The update is done. The Xilinx image was installed; the MCORE image "
                             "was not. Error 0xFFFFFF40.\n"))
        << output.err;
}

// The real box of the outcome alert, closed by a termination request once it is on screen;
// it belongs to the main window and carries the program's name as the menu shows it.
void CloseTheOutcomeAlertByATerminationRequest(katest::ScriptedAlertResponder& alerts,
                                               QWidget* window) {
    alerts.answers = {kaplatform::kShowRealAlert};
    alerts.whileOpen = [window](const kaplatform::AlertRequest&) {
        katest::Soon([window] {
            QWidget* box = nullptr;
            ASSERT_TRUE(katest::WaitUntil([&] {
                box = QApplication::activeModalWidget();
                return box != nullptr && box->isVisible();
            }));
            EXPECT_EQ(window, box->parentWidget());
            EXPECT_EQ("Ka Firmware Updater", box->windowTitle().toStdString());
            SendTerminationRequest();
        });
    };
}

TEST_F(EndToEndTest, ATerminationRequestClosesTheOutcomeAlertWritesTheOutcomeAndQuits) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failed run" : "good run");
        StartWith({});
        if (fails) {
            Ka().AddImageFault(
                kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Mcore));
        }
        CloseTheOutcomeAlertByATerminationRequest(_alerts, katest::WidgetOf(_window));
        const int quitsBefore = _quits.count;
        katest::CapturedOutput captured;
        const kaplatform::AlertRequest alert = RunOneUpdate();
        const katest::Output output = captured.Take();
        EXPECT_EQ(fails ? "Programming Failed" : "Programming Complete", alert.message);
        EXPECT_EQ(nullptr, QApplication::activeModalWidget()) << "the alert is closed";
        EXPECT_EQ(quitsBefore + 1, _quits.count) << "the program quits without a person";
        EXPECT_EQ(fails ? 1 : 0, _dialog->GetExitStatus());
        const std::string outcome =
            fails ? "The update is done. The Xilinx image was installed; the MCORE image was "
                    "not. Error 0xFFFFFF40.\n"
                  : "The update is done. Both the Xilinx image and the MCORE image were "
                    "installed.\n";
        EXPECT_TRUE(output.err.ends_with(outcome)) << output.err;
    }
}

TEST_F(EndToEndTest, AfterAFailedUpdateQuittingExitsWithStatusOneUntilAnUpdateSucceeds) {
    Ka().AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Mcore));
    EXPECT_EQ("Programming Failed", RunOneUpdate().message);
    EXPECT_EQ(0, _quits.count);
    QTest::mouseClick(CancelButton(), Qt::LeftButton);
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(1, _dialog->GetExitStatus()) << "the cancel button after a failed update";
    SendCommand(kHICommandQuit);
    EXPECT_EQ(2, _quits.count);
    EXPECT_EQ(1, _dialog->GetExitStatus()) << "the menu's Quit after a failed update";

    Ka().ClearFaults();
    EXPECT_EQ("Programming Complete", RunOneUpdate().message) << "the retry";
    EXPECT_EQ(0, _dialog->GetExitStatus());
}

// The inhibitor lock ------------------------------------------------------------------------

TEST_F(EndToEndTest, TheInhibitorLockLastsWhileTheFailureAlertIsOpen) {
    PrivateSystemBus bus(PrivateSystemBus::Logind::Template);
    ASSERT_TRUE(bus.Ready());
    Ka().AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Xilinx));
    std::size_t locksWhileOpen = 0;
    _alerts.whileOpen = [&](const kaplatform::AlertRequest&) {
        locksWhileOpen = bus.Inhibitors().size();
    };
    EXPECT_EQ("Programming Failed", RunOneUpdate().message);
    EXPECT_EQ(1u, locksWhileOpen) << "the machine may sleep before anyone has read the outcome";
    EXPECT_TRUE(bus.WaitUntilNoInhibitors());
}

TEST_F(EndToEndTest, InhibitorLockIsHeldFromTheAcceptingClickUntilTheRunEnds) {
    PrivateSystemBus bus(PrivateSystemBus::Logind::Template);
    ASSERT_TRUE(bus.Ready()) << "dbus-daemon and python3-dbusmock come from scripts/bootstrap";
    Tick();
    EXPECT_TRUE(bus.Inhibitors().empty()) << "nothing held while idle";
    _gate.SetHolding(true);
    katest::CapturedOutput captured;
    ClickUpdate();
    ExpectTheUpdatersLock(bus.Inhibitors());
    Tick();
    ASSERT_TRUE(katest::WaitUntil([&] { return _gate.Held().has_value(); }, kDeadlineMs));
    ExpectTheUpdatersLock(bus.Inhibitors());
    ASSERT_TRUE(TickUntilUpdateEnds());
    const katest::Output output = captured.Take();
    EXPECT_EQ("Programming Complete", _alerts.requests.back().message);
    EXPECT_TRUE(bus.WaitUntilNoInhibitors()) << "the lock goes with the end of the run";
    EXPECT_EQ(std::string::npos, output.err.find(kNotKeptAwake)) << output.err;
}

TEST_F(EndToEndTest, InhibitorLockIsReleasedWhenTheRunFails) {
    PrivateSystemBus bus(PrivateSystemBus::Logind::Template);
    ASSERT_TRUE(bus.Ready());
    Ka().AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::NotReady, kasim::ImageSelection::Xilinx));
    Tick();
    ClickUpdate();
    ExpectTheUpdatersLock(bus.Inhibitors());
    Tick();
    ASSERT_TRUE(TickUntilUpdateEnds());
    EXPECT_EQ("Programming Failed", _alerts.requests.back().message);
    EXPECT_TRUE(bus.WaitUntilNoInhibitors());
}

TEST_F(EndToEndTest, UpdateGoesOnWhenNoLogindAnswersOrItRefuses) {
    for (const auto logind :
         {PrivateSystemBus::Logind::Absent, PrivateSystemBus::Logind::Refusing}) {
        SCOPED_TRACE(logind == PrivateSystemBus::Logind::Absent ? "absent" : "refusing");
        StartWith({});
        PrivateSystemBus bus(logind);
        ASSERT_TRUE(bus.Ready());
        katest::CapturedOutput captured;
        const kaplatform::AlertRequest alert = RunOneUpdate();
        const katest::Output output = captured.Take();
        EXPECT_EQ("Programming Complete", alert.message);
        EXPECT_TRUE(BothInstalled(Ka()));
        EXPECT_EQ(1u, Occurrences(output.err, kNotKeptAwake)) << output.err;
        const std::string status =
            logind == PrivateSystemBus::Logind::Absent ? "0xE00002ED" : "0xE00002E2";
        EXPECT_NE(std::string::npos,
                  output.err.find(kNotKeptAwake + status +
                                  "): do not let it sleep or shut down until the update is "
                                  "done.\n"))
            << output.err;
    }
}

TEST_F(EndToEndTest, ABusThatNeverAnswersHoldsTheClickForSecondsOnlyAndTheUpdateGoesOn) {
    katest::SilentSystemBus bus;
    ASSERT_TRUE(bus.Ready());
    katest::CapturedOutput captured;
    Tick();
    const auto clicked = std::chrono::steady_clock::now();
    ClickUpdate();
    const auto held = std::chrono::steady_clock::now() - clicked;
    EXPECT_LT(held, std::chrono::seconds(10)) << "the window stood still waiting for the bus";
    Tick();
    ASSERT_TRUE(TickUntilUpdateEnds());
    const katest::Output output = captured.Take();
    EXPECT_EQ("Programming Complete", _alerts.requests.back().message);
    EXPECT_TRUE(BothInstalled(Ka()));
    EXPECT_NE(std::string::npos, output.err.find(kNotKeptAwake + "0xE00002ED)")) << output.err;
}
