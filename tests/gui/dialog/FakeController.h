// A stand-in for the update controller and the progress object: the dialog's tests set what
// the "unit" looks like and how the "update" goes.
#ifndef KA_TESTS_GUI_DIALOG_FAKECONTROLLER_H
#define KA_TESTS_GUI_DIALOG_FAKECONTROLLER_H

#include "UpdateOutcome.h"

#include <IOKit/IOReturn.h>
#include <MacTypes.h>

#include <string>

namespace katest {

struct FakeUnit {
    bool found = false;
    bool downgrade = false;
    std::string currentVersion = "2-4";
    std::string serialNumber = "KA000123";
    std::string updateVersion = "3-5";
    bool done = false;
    Orv::VEV::UpdateOutcome outcome{true, true, kIOReturnSuccess};
    int acceptCalls = 0;
    UInt32 progress = 0;
    int isFoundCalls = 0;
    int doUpdateCalls = 0;
    int constructed = 0;
    int destroyed = 0;
    bool throwOnConstruction = false;
};

// Reset by each test.
extern FakeUnit gFakeUnit;

}  // namespace katest

#endif
