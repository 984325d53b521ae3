// ka_bench: the benchmark library's own command line (--benchmark_filter,
// --benchmark_format=json, ...). The desktop benchmarks run on Qt's offscreen platform
// whatever the environment says, so a run never needs or touches a display.
#include "KaFirmware.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    // --help is the library's own; it has no --version.
    for (int index = 1; index < argc; ++index) {
        if (std::string_view(argv[index]) == "--version") {
            std::cout << "ka_bench (ka-firmware-updater) " << KA_PROGRAM_VERSION << "\n";
            return 0;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The benchmarks update the simulated unit, as the simulator does, whatever images the
    // build carries.
    static_cast<void>(KaChooseFirmware(KaFirmwareRule::WhateverItHolds, std::nullopt));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
