// A whole update (both images) on the simulated unit with the real pauses, through the
// controller as the dialog drives it: DoUpdate, then GetDoneStatus until the worker is done.
// Almost all of its time is pauses the unit demands; the figure is how much longer than
// their sum the update takes.
#include "BenchSupport.h"
#include "SimulatedBus.h"

#include "DownloadPause.h"
#include "VirtualDownloadPauseClock.h"
#include "virorividizezuzu.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using kabench::Clock;
using Orv::VEV::CViRorividiZezuzu;

kasim::SimulatedKaConfig UnitWithoutEraseWait() {
    kasim::SimulatedKaConfig config;
    config.erasePolls = 0;
    return config;
}

// What the dialog does before an update starts: a discovery pass, then the user's click.
void AcceptTheUnit(CViRorividiZezuzu& controller) {
    controller.IsFound();
    controller.AcceptUpdate();
}

// Runs one update to its end; its status.
IOReturn RunUpdateToTheEnd(CViRorividiZezuzu& controller) {
    if (!controller.DoUpdate()) {
        return controller.GetUpdateStatus();
    }
    // Looking every half millisecond adds at most that to the figure, and leaves the worker
    // its core on a small machine.
    while (!controller.GetDoneStatus()) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return controller.GetUpdateStatus();
}

// Records on counting, a clock that does not sleep, every pause one update makes. False
// (the benchmark skipped with the reason) when that update fails.
bool CountTheMandatedPauses(VirtualDownloadPauseClock& counting, benchmark::State& state) {
    kabench::QuietStandardStreams quiet;
    SetDownloadPauseClock(&counting);
    katest::ScopedSimulatedKa ka(UnitWithoutEraseWait());
    CViRorividiZezuzu controller;
    AcceptTheUnit(controller);
    const IOReturn status = RunUpdateToTheEnd(controller);
    SetDownloadPauseClock(nullptr);
    if (status != kIOReturnSuccess) {
        state.SkipWithError(("counting update failed: " + std::to_string(status)).c_str());
        return false;
    }
    return true;
}

void BM_WholeUpdateAgainstMandatedPauses(benchmark::State& state) {
    VirtualDownloadPauseClock counting;
    if (!CountTheMandatedPauses(counting, state)) {
        return;
    }
    const std::size_t pauseCount = counting.PauseCount();
    const double mandatedSeconds = static_cast<double>(counting.NowMicroseconds()) / 1e6;

    kabench::QuietStandardStreams quiet;

    double ratioSum = 0.0;
    for (auto _ : state) {
        katest::ScopedSimulatedKa ka(UnitWithoutEraseWait());
        CViRorividiZezuzu controller;
        AcceptTheUnit(controller);
        const auto start = Clock::now();
        const IOReturn status = RunUpdateToTheEnd(controller);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (status != kIOReturnSuccess) {
            state.SkipWithError(("update failed: " + std::to_string(status)).c_str());
            return;
        }
        state.SetIterationTime(seconds);
        ratioSum += seconds / mandatedSeconds;
    }
    state.counters["ratio"] = benchmark::Counter(ratioSum, benchmark::Counter::kAvgIterations);
    state.counters["mandated_s"] = mandatedSeconds;
    state.counters["pauses"] = static_cast<double>(pauseCount);
}

// The same pauses alone, slept on a thread of their own with nothing between them: how much
// of the update's excess is the sleeping itself (wake-up lateness, a loaded machine) rather
// than the work between the pauses.
void BM_PausesAloneAgainstTheirSum(benchmark::State& state) {
    VirtualDownloadPauseClock counting;
    if (!CountTheMandatedPauses(counting, state)) {
        return;
    }
    const std::vector<UInt32> pauses = counting.Pauses();
    const double mandatedSeconds = static_cast<double>(counting.NowMicroseconds()) / 1e6;

    double ratioSum = 0.0;
    for (auto _ : state) {
        double seconds = 0.0;
        std::thread sleeper([&] {
            const auto start = Clock::now();
            for (const UInt32 pause : pauses) {
                DownloadPause(pause);
            }
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        });
        sleeper.join();
        state.SetIterationTime(seconds);
        ratioSum += seconds / mandatedSeconds;
    }
    state.counters["ratio"] = benchmark::Counter(ratioSum, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_WholeUpdateAgainstMandatedPauses)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PausesAloneAgainstTheirSum)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
