// A unit on the bus whose device file this user may not open, or that another program holds:
// still "not found" to the program, but told to the user once when it starts (and a refusal
// once when it ends), and reported upward through the unit-access report.
#include "CapturedOutput.h"
#include "KaOnBus.h"
#include "unitaccess/UnitAccessReport.h"

#include <cerrno>
#include <chrono>
#include <filesystem>

namespace katest {
namespace {

constexpr const char* kRefusedLine =
    "FireWire: permission denied opening /dev/fw1, the Ka's device file: install the "
    "updater's udev rule (see the README) and use the desktop session\n";
constexpr const char* kEndedLine = "FireWire: /dev/fw1 is no longer refused\n";

using namespace std::chrono_literals;

class AccessTest : public KaOnBus {
  protected:
    // One discovery pass as the controller makes it, every 0.5 s.
    IOReturn DiscoveryPass() {
        kernel->AdvanceTime(500ms);
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

TEST_F(AccessTest, APermissionProblemIsToldOnceWhenItHasLastedAndOnceWhenItEnds) {
    ASSERT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    kernel->RefuseOpen("/dev/fw1", EACCES);
    CapturedOutput capture;
    // The first 2 s of refusals may be udev still setting the access list.
    for (int pass = 0; pass < 4; ++pass) {
        EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
        EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    }
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

TEST_F(AccessTest, AFreshlyPluggedUnitWhoseAccessListComesLateIsNeverAProblem) {
    // The kernel announces the node before its units; udev sets the access list after.
    kernel->RefuseOpen("/dev/fw1", EACCES);
    CapturedOutput capture;
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
        EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    }
    kernel->AllowOpen("/dev/fw1");
    EXPECT_EQ(DiscoveryPass(), kIOReturnSuccess);
    // A later refusal starts its own grace.
    kernel->RefuseOpen("/dev/fw1", EACCES);
    EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    EXPECT_EQ(capture.Take().err, "");
}

TEST_F(AccessTest, AUnitThatLeavesTakesTheProblemWithIt) {
    kernel->RefuseOpen("/dev/fw1", EPERM);
    CapturedOutput capture;
    for (int pass = 0; pass < 5; ++pass) {
        EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
    }
    std::filesystem::remove(sysfs.BusDirectory() / "fw1.0");
    EXPECT_EQ(DiscoveryPass(), kIOReturnNoDevice);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    EXPECT_EQ(capture.Take().err, std::string(kRefusedLine) + kEndedLine);
}

TEST_F(AccessTest, AUnitAnotherProgramHoldsIsToldWithTheProgram) {
    CapturedOutput capture;
    kernel->LockFromAnotherProgram("/dev/fw1", 4242, "dvcapture");
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(DiscoveryPass(), kIOReturnExclusiveAccess);
        EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnExclusiveAccess);
    }
    EXPECT_EQ(capture.Take().err,
              "FireWire: /dev/fw1, the Ka's device file, is in use by dvcapture (pid 4242): "
              "quit it to update the Ka\n");
    kernel->UnlockFromAnotherProgram("/dev/fw1");
    EXPECT_EQ(DiscoveryPass(), kIOReturnSuccess);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
}

TEST_F(AccessTest, OtherReasonsForNotOpeningAreNoAccessProblem) {
    CapturedOutput capture;
    kernel->LockFromAnotherProgram("/dev/fw1");  // /proc/locks does not say who
    EXPECT_EQ(DiscoveryPass(), kIOReturnExclusiveAccess);
    kernel->UnlockFromAnotherProgram("/dev/fw1");
    kernel->RefuseOpen("/dev/fw1", ENODEV);
    EXPECT_EQ(DiscoveryPass(), kIOReturnNoDevice);
    EXPECT_EQ(backend->UnitAccessStatus(), kIOReturnSuccess);
    EXPECT_EQ(capture.Take().err,
              "FireWire: /dev/fw1, the Ka's device file, is in use by another program: quit it "
              "to update the Ka\n");
}

TEST_F(AccessTest, TheDesktopAsksThroughTheUnitAccessReport) {
    kaplatform::SetFireWireBackend(backend);
    EXPECT_EQ(kaunitaccess::UnitAccessStatus(), kIOReturnSuccess);
    kernel->RefuseOpen("/dev/fw1", EACCES);
    {
        CapturedOutput capture;
        for (int pass = 0; pass < 5; ++pass) {
            EXPECT_EQ(DiscoveryPass(), kIOReturnNotPermitted);
        }
    }
    EXPECT_EQ(kaunitaccess::UnitAccessStatus(), kIOReturnNotPermitted);
    kaplatform::SetFireWireBackend(nullptr);
    EXPECT_EQ(kaunitaccess::UnitAccessStatus(), kIOReturnSuccess) << "no bus, no problem";
}

// Two copies of the updater that do not see each other's claim (one run with a session, one
// without) are still two programs: the device file's lock lets one of them at the unit.
TEST_F(AccessTest, TheDeviceFileLockKeepsASecondProgramOffTheUnit) {
    CapturedOutput capture;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    const auto other = kaplatform::MakeLinuxFireWireBackend(kernel, kPolicy);
    std::unique_ptr<kaplatform::FireWireDevice> second;
    ASSERT_EQ(other->CreateDevice("fw1.0", second), kIOReturnSuccess);
    EXPECT_EQ(second->Open(), kIOReturnExclusiveAccess);
    EXPECT_EQ(other->UnitAccessStatus(), kIOReturnExclusiveAccess);
    device->Close();
    device.reset();
    EXPECT_EQ(second->Open(), kIOReturnSuccess) << "the lock goes with the first program";
    second->Close();
}

TEST_F(AccessTest, NoControllerIsToldApartFromNoKa) {
    EXPECT_FALSE(backend->HasController()) << "nodes, but none of them the local one";
    sysfs.AddLocalNode(0, 0x0200'0000'0000'0001);
    EXPECT_TRUE(backend->HasController());
    kaplatform::SetFireWireBackend(backend);
    EXPECT_TRUE(kaunitaccess::FireWireControllerPresent());
    kaplatform::SetFireWireBackend(nullptr);

    SysfsTree empty;
    std::filesystem::remove_all(empty.BusDirectory().parent_path());
    const auto bare =
        kaplatform::MakeLinuxFireWireBackend(std::make_shared<FakeKernel>(empty.Root()), kPolicy);
    EXPECT_FALSE(bare->HasController()) << "no firewire bus in sysfs at all";
    EXPECT_FALSE(bare->FindUnit(0x000A27, 0x000011));
}

}  // namespace
}  // namespace katest
