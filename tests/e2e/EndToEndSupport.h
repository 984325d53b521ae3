// The whole updater on Qt's offscreen platform: the real dialog and controller, the simulated
// Ka as the bus, the sequencer's pauses on a virtual clock, timers fired by the test, alerts
// answered by script, and a watch on the update worker so that every wait has an end.
#ifndef KA_TESTS_E2E_ENDTOENDSUPPORT_H
#define KA_TESTS_E2E_ENDTOENDSUPPORT_H

#include "DownloadProgress.h"
#include "GuiTestSupport.h"
#include "Orv_VEV_Thread.h"
#include "ProcessSupport.h"
#include "SimulatedBus.h"
#include "ThreadCreation.h"
#include "ViRorividiZezuzuDialog.h"
#include "VirtualDownloadPauseClock.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace katest {

using namespace std::chrono_literals;

// Counts update workers as they start and end, by standing between the thread library and
// pthread_create; can also refuse to make a worker at all.
class WorkerWatch {
  public:
    static WorkerWatch& Instance() {
        static WorkerWatch watch;
        return watch;
    }

    void Install() { _previous = SetThreadCreateFunction(&Create); }
    void Uninstall() { SetThreadCreateFunction(_previous); }

    void SetRefuseCreation(bool refuse) {
        std::lock_guard<std::mutex> lock(_mutex);
        _refuse = refuse;
    }
    int Started() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _started;
    }
    int Finished() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _finished;
    }
    int Refused() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _refusedCount;
    }
    // Whether every worker that started has returned from its body, within the deadline.
    bool WaitForAllFinished(
        std::chrono::milliseconds longest = std::chrono::milliseconds(kDeadlineMs)) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, longest, [this] { return _finished == _started; });
    }

    // Before the controller goes: deleting it under a running worker would only add a crash
    // to the failure, so a worker that never ends stops the test program.
    void WaitForAllFinishedOrStop() {
        if (!WaitForAllFinished()) {
            ADD_FAILURE() << "the update worker never finished";
            std::abort();
        }
    }

  private:
    struct Start {
        void* (*entry)(void*);
        void* argument;
    };

    static int Create(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
                      void* argument) {
        WorkerWatch& watch = Instance();
        {
            std::lock_guard<std::mutex> lock(watch._mutex);
            if (watch._refuse) {
                ++watch._refusedCount;
                return EAGAIN;
            }
            ++watch._started;
        }
        // The new thread owns the record; it crosses the C interface as a plain pointer.
        auto start = std::make_unique<Start>(Start{entry, argument});
        const int result = CreateSystemThread(thread, attributes, &Run, start.get());
        if (result == 0) {
            start.release();
        } else {
            std::lock_guard<std::mutex> lock(watch._mutex);
            --watch._started;
            watch._changed.notify_all();
        }
        return result;
    }

    static void* Run(void* record) {
        const std::unique_ptr<Start> start(static_cast<Start*>(record));
        void* result = start->entry(start->argument);
        WorkerWatch& watch = Instance();
        std::lock_guard<std::mutex> lock(watch._mutex);
        ++watch._finished;
        watch._changed.notify_all();
        return result;
    }

    std::mutex _mutex;
    std::condition_variable _changed;
    int _started = 0;
    int _finished = 0;
    int _refusedCount = 0;
    bool _refuse = false;
    ThreadCreateFunction _previous = nullptr;
};

// Sees the global progress at every pause of the sequencer (on the worker), keeps the
// distinct values in order, and, when holding is on, stops the worker at each new mark
// (0, 40, 60, 80, 100) until the test has looked at the dialog and lets it go on.
class ProgressGate {
  public:
    explicit ProgressGate(VirtualDownloadPauseClock& clock) : _clock(clock) {
        _clock.SetPauseObserver([this](UInt32) { AtPause(); });
    }
    ~ProgressGate() {
        _clock.SetPauseObserver(nullptr);
        Release();
    }
    ProgressGate(const ProgressGate&) = delete;
    ProgressGate& operator=(const ProgressGate&) = delete;

    void SetHolding(bool holding) {
        std::lock_guard<std::mutex> lock(_mutex);
        _holding = holding;
        _lastHeld.reset();
    }
    std::optional<UInt32> Held() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _held;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(_mutex);
        _held.reset();
        _changed.notify_all();
    }
    std::vector<UInt32> Samples() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _samples;
    }

  private:
    static bool IsMark(UInt32 value) {
        return value == 0 || value == 40 || value == 60 || value == 80 || value == 100;
    }

    void AtPause() {
        const UInt32 progress = gDownloadProgress.Get();
        std::unique_lock<std::mutex> lock(_mutex);
        if (_samples.empty() || _samples.back() != progress) {
            _samples.push_back(progress);
        }
        if (!_holding || !IsMark(progress) || _lastHeld == progress) {
            return;
        }
        _lastHeld = progress;
        _held = progress;
        // A test that never lets go must not leave the worker stuck for ever.
        _changed.wait_for(lock, std::chrono::milliseconds(kDeadlineMs),
                          [this] { return !_held.has_value(); });
        _held.reset();
    }

    VirtualDownloadPauseClock& _clock;
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _holding = false;
    std::optional<UInt32> _held;
    std::optional<UInt32> _lastHeld;
    std::vector<UInt32> _samples;
};

// What the unit's log says about the CRC handed over for each component: the status of the
// last CRC write made after that component's erase command, or nothing when none was made.
struct CrcWrites {
    std::optional<IOReturn> xilinx;
    std::optional<IOReturn> mcore;
};

inline CrcWrites CrcWritesOf(const kasim::SimulatedKa& ka) {
    CrcWrites writes;
    std::optional<std::uint32_t> command;
    for (const kasim::Transaction& transaction : ka.Transactions()) {
        if (transaction.operation != kasim::Operation::WriteQuadlet || transaction.onHomeThread) {
            continue;
        }
        if (transaction.address == kasim::kUpdateCommandRegister &&
            transaction.status == kIOReturnSuccess) {
            command = transaction.value;
        } else if (transaction.address == kasim::kCrcRegister && command) {
            (*command == 0 ? writes.xilinx : writes.mcore) = transaction.status;
        }
    }
    return writes;
}

// The desktop's seams as the end-to-end fixtures install them, removed again in reverse: Qt's
// own notices silenced (the offscreen platform's, printed while events are processed, would
// land between the program's diagnostic lines, which are checked byte for byte), the pauses
// on the fixture's virtual clock, the fixture's alerts, processes and timers, and the update
// workers watched.
class DesktopSeamsInstalled {
  public:
    DesktopSeamsInstalled(DownloadPauseClock& clock, kaplatform::AlertResponder& alerts,
                          kaplatform::ProcessListSource& processes,
                          kaplatform::EventLoopTimerDriver& timers)
        : _previousMessageHandler(
              qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {})),
          _previousClock(SetDownloadPauseClock(&clock)) {
        kaplatform::SetAlertResponder(&alerts);
        kaplatform::SetProcessListSource(&processes);
        kaplatform::SetEventLoopTimerDriver(&timers);
        WorkerWatch::Instance().Install();
        WorkerWatch::Instance().SetRefuseCreation(false);
        _workersBefore = WorkerWatch::Instance().Started();
    }

    ~DesktopSeamsInstalled() {
        WorkerWatch::Instance().SetRefuseCreation(false);
        WorkerWatch::Instance().Uninstall();
        kaplatform::SetEventLoopTimerDriver(nullptr);
        kaplatform::SetProcessListSource(nullptr);
        kaplatform::SetAlertResponder(nullptr);
        SetDownloadPauseClock(_previousClock);
        qInstallMessageHandler(_previousMessageHandler);
    }

    DesktopSeamsInstalled(const DesktopSeamsInstalled&) = delete;
    DesktopSeamsInstalled& operator=(const DesktopSeamsInstalled&) = delete;

    // Update workers started since the seams were installed.
    int WorkersStarted() const { return WorkerWatch::Instance().Started() - _workersBefore; }

  private:
    QtMessageHandler _previousMessageHandler;
    DownloadPauseClock* _previousClock;
    int _workersBefore = 0;
};

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override { StartWith({}); }

    // Replaces the unit the test starts with; call first thing in a test body.
    void StartWith(kasim::SimulatedKaConfig config) {
        if (_window != nullptr) {
            Stop();
        }
        config.erasePolls = 1;
        _ka.emplace(config);
        _seams.emplace(_clock, _alerts, _processes, _timers);
        IBNibRef nib = nullptr;
        ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
        ASSERT_EQ(noErr, SetMenuBarFromNib(nib, CFSTR("MenuBar")));
        ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("MainWindow"), &_window));
        DisposeNibReference(nib);
        _dialog = std::make_unique<CViRorividiZezuzuDialog>(_window);
        ShowWindow(_window);
    }

    void TearDown() override { Stop(); }

    void Stop() {
        _gate.Release();
        _gate.SetHolding(false);
        WorkerWatch::Instance().WaitForAllFinishedOrStop();
        _dialog.reset();
        if (_window != nullptr) {
            DisposeWindow(_window);
            _window = nullptr;
        }
        _seams.reset();
        _ka.reset();
    }

    kasim::SimulatedKa& Ka() { return **_ka; }
    // Update workers started since the test began.
    int WorkersStarted() { return _seams->WorkersStarted(); }

    void Tick() { _timers.FireAll(); }

    ControlRef Control(SInt32 id) {
        const ControlID controlID = {'kaUD', id};
        ControlRef control = nullptr;
        EXPECT_EQ(noErr, GetControlByID(_window, &controlID, &control)) << "control " << id;
        return control;
    }
    QWidget* Widget(SInt32 id) { return katest::WidgetOf(Control(id)); }
    QPushButton* UpdateButton() { return qobject_cast<QPushButton*>(Widget(101)); }
    QPushButton* CancelButton() { return qobject_cast<QPushButton*>(Widget(100)); }
    std::string Text(SInt32 id) { return qobject_cast<QLabel*>(Widget(id))->text().toStdString(); }
    bool WarningShown() { return !Widget(202)->isHidden(); }
    int Progress() { return qobject_cast<QProgressBar*>(Widget(300))->value(); }

    void ClickUpdate() { QTest::mouseClick(UpdateButton(), Qt::LeftButton); }

    OSStatus SendCommand(UInt32 commandID) {
        EventRef event = nullptr;
        CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, 0, 0, &event);
        HICommand command{kHICommandFromMenuItem, commandID, {nullptr, 0}};
        SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
        const OSStatus status = SendEventToEventTarget(event, GetWindowEventTarget(_window));
        ReleaseEvent(event);
        return status;
    }

    // Ticks the running update until the dialog has shown the alert that ends it; false when
    // that does not happen within the deadline. With holding on, every mark the worker stops
    // at is ticked once and its bar value kept in barAtMarks.
    bool TickUntilUpdateEnds(std::vector<int>* barAtMarks = nullptr) {
        const std::size_t alertsBefore = _alerts.requests.size();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (_alerts.requests.size() == alertsBefore) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            const int finishedBefore = WorkerWatch::Instance().Finished();
            const bool moved = katest::WaitUntil(
                [&] {
                    return _gate.Held().has_value() ||
                           WorkerWatch::Instance().Finished() != finishedBefore ||
                           WorkerWatch::Instance().Finished() == WorkerWatch::Instance().Started();
                },
                kDeadlineMs);
            if (!moved) {
                return false;
            }
            const bool held = _gate.Held().has_value();
            Tick();
            if (held) {
                if (barAtMarks != nullptr) {
                    barAtMarks->push_back(Progress());
                }
                _gate.Release();
            }
        }
        return true;
    }

    // Found, clicked, started, and run to its end; the alert it ended with.
    kaplatform::AlertRequest RunOneUpdate() {
        Tick();
        EXPECT_TRUE(UpdateButton()->isEnabled()) << "the unit should be offered for update";
        ClickUpdate();
        Tick();
        EXPECT_TRUE(TickUntilUpdateEnds()) << "the update did not end in time";
        EXPECT_TRUE(WorkerWatch::Instance().WaitForAllFinished());
        if (_alerts.requests.empty()) {
            return {};
        }
        return _alerts.requests.back();
    }

    std::optional<katest::ScopedSimulatedKa> _ka;
    VirtualDownloadPauseClock _clock;
    ProgressGate _gate{_clock};
    katest::ScriptedAlertResponder _alerts;
    kaplatform::PretendProcessList _processes{nullptr};
    katest::ManualTimerDriver _timers;
    std::optional<DesktopSeamsInstalled> _seams;
    katest::QuitObserver _quits;
    WindowRef _window = nullptr;
    std::unique_ptr<CViRorividiZezuzuDialog> _dialog;
};

}  // namespace katest

#endif
