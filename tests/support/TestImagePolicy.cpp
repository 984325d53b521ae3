#include "TestImagePolicy.h"

#include <iostream>

namespace {

// Made before any test runs, as an executable makes its choice first thing; silently, so
// that a test process's own output is only what its tests make.
[[maybe_unused]] const bool gSimulatorChoiceMade = [] {
    static_cast<void>(KaChooseFirmware(KaFirmwareRule::WhateverItHolds, std::nullopt));
    return true;
}();

}  // namespace

namespace katest {

// Says its line on standard error, as the executables do.
ScopedFirmwareChoice::ScopedFirmwareChoice(KaFirmwareRule rule,
                                           const std::optional<KaFirmwareFolder>& folder) {
    std::cerr << KaChooseFirmware(rule, folder) << "\n";
}

ScopedFirmwareChoice::~ScopedFirmwareChoice() {
    static_cast<void>(KaChooseFirmware(KaFirmwareRule::WhateverItHolds, std::nullopt));
}

}  // namespace katest
