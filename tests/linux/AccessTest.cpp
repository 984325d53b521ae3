// A unit on the bus whose device file this user may not open: still "not found" to the
// program, but told to the user once when it starts and once when it ends, and reported
// upward through the platform's own query.
#include "CapturedOutput.h"
#include "KaOnBus.h"

#include <IOKit/firewire/IOFireWireUnitAccess.h>

#include <cerrno>
#include <filesystem>

namespace katest {
namespace {

constexpr const char* kRefusedLine =
    "FireWire: permission denied opening /dev/fw1, the Ka's device file: install the "
    "updater's udev rule (see the README) and use the desktop session\n";
constexpr const char* kEndedLine = "FireWire: /dev/fw1 is no longer refused\n";

class AccessTest : public KaOnBus {
  protected:
    // One discovery pass as the controller makes it, every 0.5 s.
    IOReturn DiscoveryPass() {
        const auto unit = backend->FindUnit(0x000A27, 0x000011);
        if (!unit) {
            return kIOReturnNoDevice;
        }
        std::unique_ptr<kaplatform::FireWireDevice> found;
        IOReturn status = backend->CreateDevice(*unit, found);
        if (status != kIOReturnSuccess) {
            return status;
        }
        std::uint32_t generation = 0;
        status = found->GetBusGeneration(generation);
        if (status != kIOReturnSuccess) {
            return status;
        }
        status = found->Open();
        found->Close();
        return status;
    }
};

TEST_F(AccessTest, APermissionProblemIsToldOnceWhenItStartsAndOnceWhenItEnds) {
    ASSERT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    kernel->RefuseOpen("/dev/fw1", EACCES);
    CapturedOutput capture;
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
        EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnNotPermitted);
    }
    Output output = capture.Take();
    EXPECT_EQ(output.err, kRefusedLine);
    EXPECT_EQ(output.out, "");

    CapturedOutput again;
    kernel->AllowOpen("/dev/fw1");
    EXPECT_EQ(DiscoveryPass(), kIOReturnSuccess);
    EXPECT_EQ(DiscoveryPass(), kIOReturnSuccess);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    output = again.Take();
    EXPECT_EQ(output.err, kEndedLine);
}

TEST_F(AccessTest, AUnitThatLeavesTakesTheProblemWithIt) {
    kernel->RefuseOpen("/dev/fw1", EPERM);
    CapturedOutput capture;
    EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
    std::filesystem::remove(sysfs.BusDirectory() / "fw1.0");
    EXPECT_EQ(DiscoveryPass(), kIOReturnNoDevice);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    EXPECT_EQ(capture.Take().err, std::string(kRefusedLine) + kEndedLine);
}

TEST_F(AccessTest, OtherReasonsForNotOpeningAreNoPermissionProblem) {
    CapturedOutput capture;
    kernel->LockFromAnotherProgram("/dev/fw1");
    EXPECT_EQ(DiscoveryPass(), kIOReturnExclusiveAccess);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    kernel->RefuseOpen("/dev/fw1", ENODEV);
    EXPECT_EQ(DiscoveryPass(), kIOReturnNoDevice);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    EXPECT_EQ(capture.Take().err, "");
}

TEST_F(AccessTest, TheDesktopAsksThroughTheIOKitStandIn) {
    kaplatform::SetFireWireBackend(backend);
    EXPECT_EQ(IOFireWireGetUnitAccessStatus(), kIOReturnSuccess);
    kernel->RefuseOpen("/dev/fw1", EACCES);
    {
        CapturedOutput capture;
        EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
    }
    EXPECT_EQ(IOFireWireGetUnitAccessStatus(), kIOReturnNotPermitted);
    kaplatform::SetFireWireBackend(nullptr);
    EXPECT_EQ(IOFireWireGetUnitAccessStatus(), kIOReturnSuccess) << "no bus, no problem";
}

}  // namespace
}  // namespace katest
