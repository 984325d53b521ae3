#include "TestImagePolicy.h"

#include "KaFirmware.h"

#include <atomic>

namespace {

// Read by the update worker as well as the test's thread.
std::atomic<bool> gAsHardwareUpdater{false};

}  // namespace

bool KaBuiltInImagesMayBeInstalled() {
    if (gAsHardwareUpdater.load()) {
        return KaBuiltInImagesAreFirmware != 0;
    }
    return true;
}

namespace katest {

ScopedHardwareImagePolicy::ScopedHardwareImagePolicy() {
    gAsHardwareUpdater.store(true);
}

ScopedHardwareImagePolicy::~ScopedHardwareImagePolicy() {
    gAsHardwareUpdater.store(false);
}

}  // namespace katest
