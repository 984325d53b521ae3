#include "TestImagePolicy.h"

// The choice below says what it chose on standard error before main: the streams must be
// set up first, which including this here guarantees.
#include <iostream>

namespace {

// Made before any test runs, as an executable makes its choice first thing.
[[maybe_unused]] const bool gSimulatorChoiceMade = [] {
    KaChooseFirmware(KaFirmwareRule::WhateverItHolds, std::nullopt);
    return true;
}();

}  // namespace

namespace katest {

ScopedFirmwareChoice::ScopedFirmwareChoice(KaFirmwareRule rule,
                                           const std::optional<KaFirmwareFolder>& folder) {
    KaChooseFirmware(rule, folder);
}

ScopedFirmwareChoice::~ScopedFirmwareChoice() {
    KaChooseFirmware(KaFirmwareRule::WhateverItHolds, std::nullopt);
}

}  // namespace katest
