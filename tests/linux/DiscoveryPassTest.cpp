// Discovery on the window's thread through the kernel backend: a pass of the controller, and
// every close it makes, stays short on the kernel's own clock whatever the unit or the bus
// does; what a pass leaves outstanding is collected by a later one without a wait.
#include "CapturedOutput.h"
#include "FakeKernel.h"
#include "LinuxFireWireBackend.h"
#include "SimulatedKa.h"
#include "WindowThread.h"
#include "virorividizezuzu.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>

#include <gtest/gtest.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

namespace katest {
namespace {

using namespace std::chrono_literals;
using Duration = FakeKernel::Duration;

// What the window's timer may spend on one pass, and any close, at most.
constexpr Duration kPassBound = 100ms;

// The identity reads of one pass: serial number, software version, product revision, serial.
constexpr std::size_t kIdentityReads = 4;

class DiscoveryPassTest : public testing::Test {
  protected:
    DiscoveryPassTest() {
        sysfs.AddKa(1);
        EXPECT_EQ(ka.Connect(ka.Config().unitName, registers), kIOReturnSuccess);
        EXPECT_EQ(registers->Open(), kIOReturnSuccess);
        kernel->AttachNode("/dev/fw1", *registers);
        kaplatform::SetFireWireBackend(backend);
    }
    ~DiscoveryPassTest() override {
        {
            const CapturedOutput quiet;
            controller.reset();
        }
        kaplatform::SetFireWireBackend(nullptr);
        registers->Close();
    }

    // One pass of the controller, timed on the kernel's clock.
    bool Pass() {
        const Duration start = kernel->Elapsed();
        bool found = false;
        {
            const CapturedOutput quiet;  // the controller's trace lines
            found = controller->IsFound();
        }
        const Duration took = kernel->Elapsed() - start;
        longestPass = std::max(longestPass, took);
        return found;
    }
    // The window's timer fires every 0.5 s: virtual time passes between passes.
    void UntilNextTick() { kernel->AdvanceTime(500ms); }

    Duration LongestClose() const {
        const auto& waits = kernel->CloseWaits();
        return waits.empty() ? Duration{0} : *std::max_element(waits.begin(), waits.end());
    }
    void ExpectTheWindowWasNeverHeld(const char* what) {
        EXPECT_LT(longestPass, kPassBound) << what;
        EXPECT_LT(LongestClose(), kPassBound) << what;
        RecordProperty("longest_pass_us", std::to_string(longestPass.count()));
        RecordProperty("longest_close_us", std::to_string(LongestClose().count()));
    }

    const kaplatform::WindowThreadScope windowThread;
    SysfsTree sysfs;
    kasim::SimulatedKa ka;
    std::unique_ptr<kaplatform::FireWireDevice> registers;
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>(sysfs.Root());
    std::shared_ptr<kaplatform::FireWireBackend> backend =
        kaplatform::MakeLinuxFireWireBackend(kernel);
    std::unique_ptr<Orv::VEV::CViRorividiZezuzu> controller = [] {
        const CapturedOutput quiet;
        return std::make_unique<Orv::VEV::CViRorividiZezuzu>();
    }();
    Duration longestPass{0};
};

TEST_F(DiscoveryPassTest, AUnitGoneButStillListedIsNotFoundWithoutAWait) {
    ASSERT_TRUE(Pass());
    // Unplugged: the kernel keeps the device, and sysfs its directory, for its shutdown delay;
    // every request carries a generation the bus has left.
    kernel->LeaveBus("/dev/fw1");
    UntilNextTick();
    const std::size_t sentBefore = kernel->Requests().size();
    EXPECT_FALSE(Pass());
    EXPECT_LE(kernel->Requests().size() - sentBefore, kIdentityReads)
        << "a refused request is not chased into a generation that never comes";
    // Through the shutdown: the device file goes, then sysfs forgets the node.
    for (int tick = 0; tick < 6; ++tick) {
        UntilNextTick();
        EXPECT_FALSE(Pass());
    }
    sysfs.RemoveNode(1);
    UntilNextTick();
    EXPECT_FALSE(Pass());
    ExpectTheWindowWasNeverHeld("unit gone but listed");
    EXPECT_EQ(kernel->OpenDescriptorCount(), 0u);
}

TEST_F(DiscoveryPassTest, AUnitThatAcksPendingAndNeverAnswersIsLeftToTheKernel) {
    ASSERT_TRUE(Pass());
    // Every request from now on is acked pending and never answered: the kernel's split
    // time-out ends each one two seconds after its ack.
    kernel->PickFaults([](const SentRequest&, std::size_t) {
        return FakeKernel::Fault{FakeKernel::Fault::Kind::SlowResponse, 0, 10s};
    });
    UntilNextTick();
    const std::size_t sentBefore = kernel->Requests().size();
    EXPECT_FALSE(Pass());
    EXPECT_EQ(kernel->Requests().size() - sentBefore, 1u)
        << "a unit that left one request unanswered is asked nothing more in that pass";
    EXPECT_EQ(kernel->OutstandingTransactions(), 1u);
    EXPECT_FALSE(kernel->IsLocked("/dev/fw1")) << "the kept descriptor does not hold the unit";

    // The next passes meet the same silence and leave their requests to the kernel too.
    for (int tick = 0; tick < 8; ++tick) {
        UntilNextTick();
        EXPECT_FALSE(Pass());
    }
    // The unit speaks again: the first pass after finds it, and the descriptors whose
    // requests the kernel has ended by then are closed, none with a wait.
    kernel->PickFaults({});
    kernel->AdvanceTime(FakeKernel::kLargestSplitTimeout);
    EXPECT_TRUE(Pass());
    EXPECT_EQ(kernel->OutstandingTransactions(), 0u);
    EXPECT_EQ(kernel->OpenDescriptorCount(), 0u);
    ExpectTheWindowWasNeverHeld("unit acks pending, never answers");
}

TEST_F(DiscoveryPassTest, ANodeMadeAnewIsNotSearchedForAndIsFoundByALaterPass) {
    ASSERT_TRUE(Pass());
    // Two quick resets drop the node during a pass; the kernel reads the ROM of the new node
    // once more after a failed read, too late to revive the old device: it comes as a new
    // device, under the old device's number.
    kernel->PlanNodeRecreation(
        {1, [this] { sysfs.RemoveNode(1); }, [this](int node) { sysfs.AddKa(node); }});
    kernel->InjectFault({FakeKernel::Fault::Kind::NodeRecreated});
    UntilNextTick();
    EXPECT_FALSE(Pass());
    EXPECT_EQ(kernel->OpenedPaths().back(), "/dev/fw1") << "no search for the node in the pass";
    bool foundAgain = false;
    for (int tick = 0; tick < 10 && !foundAgain; ++tick) {
        UntilNextTick();
        foundAgain = Pass();
    }
    EXPECT_TRUE(foundAgain);
    EXPECT_EQ(kernel->OpenedPaths().back(), "/dev/fw1");
    EXPECT_EQ(kernel->OpenDescriptorCount(), 0u);
    ExpectTheWindowWasNeverHeld("node made anew");
}

// The device interface that fails fast, one transfer at a time: each goes once, and
// nothing waits for the bus.
TEST_F(DiscoveryPassTest, AFailingFastTransferGoesOnceAndWaitsForNothing) {
    std::unique_ptr<kaplatform::FireWireDevice> device;
    ASSERT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnSuccess);
    device->FailFast();
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    const kaplatform::FireWireTarget status{true, 0, 0xFFFF'F043'0004ull};
    std::uint32_t value = 0;
    const auto sendsOf = [&](IOReturn expected) {
        const std::size_t before = kernel->Requests().size();
        const Duration start = kernel->Elapsed();
        EXPECT_EQ(device->ReadQuadlet(status, value, false, 0), expected);
        EXPECT_EQ(kernel->Elapsed() - start, Duration{0});
        return kernel->Requests().size() - before;
    };
    kernel->InjectBusy(1);
    EXPECT_EQ(sendsOf(kIOReturnBusy), 1u);
    kernel->InjectResponseCode(RCODE_DATA_ERROR);
    EXPECT_EQ(sendsOf(kIOFireWireResponseBase + RCODE_DATA_ERROR), 1u);
    // Flushed while the core does not know the new generation yet: no wait for it.
    kernel->InjectFault({FakeKernel::Fault::Kind::BusResetBeforeSend});
    EXPECT_EQ(sendsOf(kIOFireWireBusReset), 1u);
    // Refused for a generation the kernel already reports newer: once more, in that one.
    kernel->AdvanceTime(FakeKernel::kDefaultResetWindow);
    EXPECT_EQ(sendsOf(kIOReturnSuccess), 2u);
}

}  // namespace
}  // namespace katest
