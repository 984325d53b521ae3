// How an update run ended, image by image, and the words for it.
#ifndef KA_UPDATEOUTCOME_H
#define KA_UPDATEOUTCOME_H

#include <IOKit/IOReturn.h>

#include <string>

namespace Orv::VEV {

// The run's own status when the unit found at the start of the run is not the one the user
// accepted: another node, a revision class that is not accepted, or other installed
// firmware. Nothing was written.
inline constexpr IOReturn kKaChangedErr = -193;

struct UpdateOutcome {
    bool xilinxInstalled = false;
    bool mcoreInstalled = false;
    // The first failure of the run; kIOReturnSuccess when there was none.
    IOReturn firstFailure = kIOReturnSuccess;

    bool BothInstalled() const {
        return xilinxInstalled && mcoreInstalled && firstFailure == kIOReturnSuccess;
    }
    bool UnitChanged() const { return firstFailure == kKaChangedErr; }
};

// One sentence on what was installed, then the first failure's status when there was one:
// "The Xilinx image was installed; the MCORE image was not. Error 0xE00002BC."
std::string DescribeUpdateOutcome(const UpdateOutcome& outcome);

// What a failed update tells the user: the outcome, then what to do (check the connection
// and try again without a power cycle, or check which unit is connected).
std::string DescribeUpdateFailure(const UpdateOutcome& outcome);

}  // namespace Orv::VEV

#endif
