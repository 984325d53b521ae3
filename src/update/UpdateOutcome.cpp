#include "UpdateOutcome.h"

#include "AlertTexts.h"

#include <cstdio>

namespace Orv::VEV {

std::string DescribeUpdateOutcome(const UpdateOutcome& outcome) {
    std::string text;
    if (outcome.UnitChanged()) {
        text = kOutcomeUnitChanged;
    } else if (outcome.xilinxInstalled && outcome.mcoreInstalled) {
        text = kOutcomeBothInstalled;
    } else if (outcome.xilinxInstalled) {
        text = kOutcomeOnlyXilinxInstalled;
    } else if (outcome.mcoreInstalled) {
        text = kOutcomeOnlyMcoreInstalled;
    } else {
        text = kOutcomeNeitherInstalled;
    }
    if (outcome.firstFailure != kIOReturnSuccess) {
        char status[32];
        std::snprintf(status, sizeof status, kOutcomeErrorFormat,
                      static_cast<unsigned>(outcome.firstFailure));
        text += status;
    }
    return text;
}

std::string DescribeUpdateFailure(const UpdateOutcome& outcome) {
    std::string text = DescribeUpdateOutcome(outcome);
    if (outcome.UnitChanged()) {
        text += kFailureAdviceUnitChanged;
    } else {
        text += kFailureAdvice;
    }
    return text;
}

}  // namespace Orv::VEV
