// One idle tick of the update dialog (discovery, the walk of the running processes, the
// texts) on Qt's offscreen platform, the window built from the interface description as the
// program body builds it. The tick is fired by hand through the timer driver seam; what Qt
// does with the changed widgets afterwards (layout, painting) runs between ticks, untimed,
// as the event loop would run it. The walk reads the machine's real processes; between two
// ticks the machine gets a tenth of a second to start and end processes of its own, and the
// process list's clock moves by the real tick interval, so it checks what it knows as often
// as in the program (past its first minute).
#include "BenchSupport.h"
#include "SimulatedBus.h"

#include "ViRorividiZezuzuDialog.h"

#include <Carbon/Carbon.h>
#include <kaplatform/PlatformSeams.h>

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using kabench::Clock;
using kabench::MicrosecondsBetween;

// Keeps the timers installed while it is set; they fire only when the benchmark says.
class HandFiredTimers final : public kaplatform::EventLoopTimerDriver {
  public:
    void TimerInstalled(EventLoopTimerRef timer, EventTimerInterval, EventTimerInterval) override {
        timers.push_back(timer);
    }
    void TimerRemoved(EventLoopTimerRef timer) override { std::erase(timers, timer); }

    std::vector<EventLoopTimerRef> timers;
};

// The main window as RunUpdaterApplication makes it: menu bar and window from "main".
class MainWindow {
  public:
    MainWindow() {
        IBNibRef nib = nullptr;
        if (CreateNibReference(CFSTR("main"), &nib) != noErr) {
            return;
        }
        if (SetMenuBarFromNib(nib, CFSTR("MenuBar")) == noErr) {
            CreateWindowFromNib(nib, CFSTR("MainWindow"), &window_);
        }
        DisposeNibReference(nib);
    }
    ~MainWindow() {
        if (window_ != nullptr) {
            DisposeWindow(window_);
        }
    }
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    WindowRef Get() const { return window_; }

  private:
    WindowRef window_ = nullptr;
};

void LetTheEventLoopRun() {
    QCoreApplication::processEvents();
}

constexpr auto kTickInterval = std::chrono::milliseconds(500);
constexpr auto kTimeBetweenTicks = std::chrono::milliseconds(100);

void IdleDialogTick(benchmark::State& state, bool unitPresent) {
    kabench::QuietStandardStreams quiet;
    kasim::SimulatedKaConfig config;
    config.present = unitPresent;
    katest::ScopedSimulatedKa ka(config);
    // The processes as the simulator sees them: the system's, then its pretend ones.
    // The kernel's process table on a clock that moves by the timer's interval at every tick.
    auto now = Clock::now();
    kaplatform::KernelProcessTableOnClock table([&now] { return now; });
    kaplatform::KernelProcessList systemProcesses(table);
    kaplatform::PretendProcessList processes(&systemProcesses);
    kaplatform::SetProcessListSource(&processes);

    // Declared before the window and dialog: their timer reports its removal to it.
    HandFiredTimers driver;
    kaplatform::SetEventLoopTimerDriver(&driver);
    MainWindow window;
    if (window.Get() == nullptr) {
        kaplatform::SetEventLoopTimerDriver(nullptr);
        kaplatform::SetProcessListSource(nullptr);
        state.SkipWithError("the main window could not be made from its description");
        return;
    }
    auto dialog = std::make_unique<CViRorividiZezuzuDialog>(window.Get());
    kaplatform::SetEventLoopTimerDriver(nullptr);
    if (driver.timers.size() != 1) {
        kaplatform::SetProcessListSource(nullptr);
        state.SkipWithError("the dialog did not install its one timer");
        return;
    }
    const EventLoopTimerRef tick = driver.timers.front();
    ShowWindow(window.Get());
    LetTheEventLoopRun();
    // The first tick sets every text; the ones measured are the steady idle ones, once the
    // process list has known the machine's processes for its first minute (ticked through
    // untimed, on the list's clock).
    kaplatform::FireEventLoopTimer(tick);
    LetTheEventLoopRun();
    for (auto settled = Clock::duration::zero();
         settled <= kaplatform::KernelProcessList::kSettledAfter; settled += kTickInterval) {
        now += kTickInterval;
        kaplatform::FireEventLoopTimer(tick);
        LetTheEventLoopRun();
    }

    std::vector<double> tickMicroseconds;
    std::vector<double> eventLoopMicroseconds;
    tickMicroseconds.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(kTimeBetweenTicks);
        now += kTickInterval;
        state.ResumeTiming();
        const auto start = Clock::now();
        kaplatform::FireEventLoopTimer(tick);
        const auto end = Clock::now();
        LetTheEventLoopRun();
        const auto drained = Clock::now();
        tickMicroseconds.push_back(MicrosecondsBetween(start, end));
        eventLoopMicroseconds.push_back(MicrosecondsBetween(end, drained));
    }
    dialog.reset();
    LetTheEventLoopRun();
    kaplatform::SetProcessListSource(nullptr);

    state.counters["tick_us_p50"] = kabench::Percentile(tickMicroseconds, 0.50);
    state.counters["tick_us_p99"] = kabench::Percentile(tickMicroseconds, 0.99);
    state.counters["tick_us_max"] = kabench::Percentile(tickMicroseconds, 1.0);
    state.counters["loop_us_p50"] = kabench::Percentile(eventLoopMicroseconds, 0.50);
}

BENCHMARK_CAPTURE(IdleDialogTick, UnitPresent, true)
    ->Iterations(150)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(IdleDialogTick, UnitAbsent, false)
    ->Iterations(150)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
