// Power assertions over the system's sleep blocker that the executable hands in
// (PlatformSeams.h): one block per assertion, given up with it. Without a blocker there is
// nobody to ask.
#include "GuiInternals.h"

#include <kaplatform/PlatformSeams.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace {

std::mutex gAssertionsMutex;
std::shared_ptr<kaplatform::SystemSleepBlocker> gSleepBlocker;
std::map<IOPMAssertionID, std::unique_ptr<kaplatform::SystemSleepBlocker::Block>> gAssertions;
IOPMAssertionID gNextAssertion = 1;

std::shared_ptr<kaplatform::SystemSleepBlocker> SleepBlocker() {
    const std::lock_guard<std::mutex> lock(gAssertionsMutex);
    return gSleepBlocker;
}

}  // namespace

namespace kaplatform {

void SetSystemSleepBlocker(std::shared_ptr<SystemSleepBlocker> blocker) {
    const std::lock_guard<std::mutex> lock(gAssertionsMutex);
    gSleepBlocker = std::move(blocker);
}

}  // namespace kaplatform

IOReturn IOPMAssertionCreateWithDescription(CFStringRef assertionType, CFStringRef name,
                                            CFStringRef, CFStringRef humanReadableReason,
                                            CFStringRef, CFTimeInterval, CFStringRef,
                                            IOPMAssertionID* assertionID) {
    if (assertionID == nullptr || name == nullptr ||
        !CFEqual(assertionType, kIOPMAssertionTypePreventSystemSleep)) {
        return kIOReturnBadArgument;
    }
    *assertionID = kIOPMNullAssertionID;
    const auto blocker = SleepBlocker();
    if (blocker == nullptr) {
        return kIOReturnNotResponding;
    }
    std::unique_ptr<kaplatform::SystemSleepBlocker::Block> block;
    const IOReturn status =
        blocker->BlockSleep(kaplatform::gui::Utf8FromCFString(name),
                            kaplatform::gui::Utf8FromCFString(humanReadableReason), block);
    if (status != kIOReturnSuccess) {
        return status;
    }
    if (block == nullptr) {
        return kIOReturnNoResources;
    }
    const std::lock_guard<std::mutex> lock(gAssertionsMutex);
    *assertionID = gNextAssertion++;
    gAssertions[*assertionID] = std::move(block);
    return kIOReturnSuccess;
}

IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID) {
    std::unique_ptr<kaplatform::SystemSleepBlocker::Block> block;
    {
        const std::lock_guard<std::mutex> lock(gAssertionsMutex);
        const auto found = gAssertions.find(assertionID);
        if (found == gAssertions.end()) {
            return kIOReturnBadArgument;
        }
        block = std::move(found->second);
        gAssertions.erase(found);
    }
    // The block ends here, outside the lock.
    return kIOReturnSuccess;
}
