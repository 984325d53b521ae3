#include "UpdateOutcome.h"

#include <cstdio>

namespace Orv::VEV {

std::string DescribeUpdateOutcome(const UpdateOutcome& outcome) {
    std::string text;
    if (outcome.UnitChanged()) {
        text = "The Ka changed before the update began; nothing was written.";
    } else if (outcome.xilinxInstalled && outcome.mcoreInstalled) {
        text = "Both the Xilinx image and the MCORE image were installed.";
    } else if (outcome.xilinxInstalled) {
        text = "The Xilinx image was installed; the MCORE image was not.";
    } else if (outcome.mcoreInstalled) {
        text = "The MCORE image was installed; the Xilinx image was not.";
    } else {
        text = "Neither the Xilinx image nor the MCORE image was installed.";
    }
    if (outcome.firstFailure != kIOReturnSuccess) {
        char status[32];
        std::snprintf(status, sizeof status, " Error 0x%08X.",
                      static_cast<unsigned>(outcome.firstFailure));
        text += status;
    }
    return text;
}

std::string DescribeUpdateFailure(const UpdateOutcome& outcome) {
    std::string text = DescribeUpdateOutcome(outcome);
    if (outcome.UnitChanged()) {
        text += " Check which unit is connected, then try the update again.";
    } else {
        text +=
            " Do not cycle the Power on your Ka. Check its FireWire connection, then "
            "try the update again.";
    }
    return text;
}

}  // namespace Orv::VEV
