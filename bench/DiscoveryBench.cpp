// One discovery pass (IsFound) on the simulated unit, against the bus operations it cannot do
// without: the same backend calls made straight through the backend interface. What is left
// is the updater's own work per pass (matching dictionary, registry, device interface,
// identity, texts on standard output).
#include "BenchSupport.h"
#include "SimulatedBus.h"

#include "FireWireBackend.h"
#include "virorividizezuzu.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using kabench::Clock;
using kabench::MicrosecondsBetween;
using Orv::VEV::CViRorividiZezuzu;

using kawire::kUnitSoftwareVersion;
using kawire::kUnitSpecifierId;

// The calls a found pass makes, in its order: find, device, generation, open, serial number,
// software version, product revision, serial number again, close.
bool BusOperationsOfOnePass(kaplatform::FireWireBackend& backend) {
    const auto unit = backend.FindUnit(kUnitSpecifierId, kUnitSoftwareVersion);
    if (!unit) {
        return false;
    }
    std::unique_ptr<kaplatform::FireWireDevice> device;
    if (backend.CreateDevice(*unit, device) != kIOReturnSuccess) {
        return false;
    }
    std::uint32_t generation = 0;
    bool good = device->GetBusGeneration(generation) == kIOReturnSuccess;
    good = good && device->Open() == kIOReturnSuccess;
    if (!good) {
        return false;
    }
    const auto at = [](std::uint64_t offset) {
        return kaplatform::FireWireTarget{true, 0, offset};
    };
    std::uint8_t serial[kasim::kSerialNumberBytes] = {};
    std::uint32_t size = sizeof serial;
    std::uint32_t value = 0;
    good =
        device->Read(at(kasim::kSerialNumberAddress), serial, size, false, 0) == kIOReturnSuccess;
    good = good && device->ReadQuadlet(at(kasim::kSoftwareVersionRegister), value, false, 0) ==
                       kIOReturnSuccess;
    good = good && device->ReadQuadlet(at(kasim::kProductRevisionRegister), value, false, 0) ==
                       kIOReturnSuccess;
    size = sizeof serial;
    good = good && device->Read(at(kasim::kSerialNumberAddress), serial, size, false, 0) ==
                       kIOReturnSuccess;
    benchmark::DoNotOptimize(serial);
    device->Close();
    return good;
}

void BM_DiscoveryPass(benchmark::State& state) {
    kabench::QuietStandardStreams quiet;
    katest::ScopedSimulatedKa ka;
    const auto backend = kaplatform::GetFireWireBackend();
    CViRorividiZezuzu controller;

    // The stand-in sequence is only a fair measure if it makes the very calls a pass makes.
    if (!controller.IsFound()) {
        state.SkipWithError("the simulated unit was not found");
        return;
    }
    const auto passOperations = katest::Operations(*ka);
    ka->ClearTransactions();
    if (!BusOperationsOfOnePass(*backend) || katest::Operations(*ka) != passOperations) {
        state.SkipWithError("the bus sequence differs from a discovery pass");
        return;
    }
    ka->ClearTransactions();

    std::vector<double> passMicroseconds;
    std::vector<double> busMicroseconds;
    passMicroseconds.reserve(static_cast<std::size_t>(state.max_iterations));
    busMicroseconds.reserve(static_cast<std::size_t>(state.max_iterations));
    bool allFound = true;
    for (auto _ : state) {
        // Alternating the two keeps them under the same conditions (caches, machine load).
        const auto passStart = Clock::now();
        const bool found = controller.IsFound();
        const auto passEnd = Clock::now();
        const bool busDone = BusOperationsOfOnePass(*backend);
        const auto busEnd = Clock::now();
        allFound = allFound && found && busDone;
        passMicroseconds.push_back(MicrosecondsBetween(passStart, passEnd));
        busMicroseconds.push_back(MicrosecondsBetween(passEnd, busEnd));
        // The unit's transaction log would otherwise grow through the whole run.
        if (passMicroseconds.size() % 128 == 0) {
            state.PauseTiming();
            ka->ClearTransactions();
            state.ResumeTiming();
        }
    }
    if (!allFound) {
        state.SkipWithError("a pass did not find the unit");
        return;
    }
    const double pass = kabench::Median(passMicroseconds);
    const double bus = kabench::Median(busMicroseconds);
    state.counters["pass_us_p50"] = pass;
    state.counters["bus_us_p50"] = bus;
    state.counters["own_us_p50"] = pass - bus;
    state.counters["pass_us_p99"] = kabench::Percentile(passMicroseconds, 0.99);
}

BENCHMARK(BM_DiscoveryPass)->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
