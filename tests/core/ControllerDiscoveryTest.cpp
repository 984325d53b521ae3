#include "virorividizezuzu.h"

#include "CapturedOutput.h"
#include "IOKitDiagnostics.h"
#include "SimulatedBus.h"

#include <IOKit/IOKitLib.h>
#include <IOKit/firewire/IOFireWireFamilyCommon.h>

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace {

using kasim::Operation;
using katest::CapturedOutput;
using katest::ScopedSimulatedKa;
using Orv::VEV::CViRorividiZezuzu;

const char* const kFoundPassOutput =
    "Open Ka\nCtor DownloadUnit\nFWDL::Open\nFWDL::Close\nClose Ka\nDtor DownloadUnit\n";

std::unique_ptr<CViRorividiZezuzu> MakeController() {
    CapturedOutput quiet;
    return std::make_unique<CViRorividiZezuzu>();
}

// One discovery pass with what it wrote.
struct Pass {
    bool found;
    katest::Output output;
};

Pass RunPass(CViRorividiZezuzu& controller) {
    CapturedOutput capture;
    const bool found = controller.IsFound();
    return {found, capture.Take()};
}

struct Identity {
    std::string current;
    std::string serial;
    bool downgrade;
};

Identity IdentityOf(CViRorividiZezuzu& controller) {
    Identity identity;
    controller.GetCurrentFirmwareVersionString(identity.current);
    controller.GetSerialNumberString(identity.serial);
    identity.downgrade = controller.IsDowngrade();
    return identity;
}

class ControllerDiscoveryTest : public testing::Test {
  protected:
    ScopedSimulatedKa ka_;
    std::unique_ptr<CViRorividiZezuzu> controller_ = MakeController();
};

TEST(ControllerLifeTest, AnnouncesConstructionAndDestruction) {
    CapturedOutput capture;
    { CViRorividiZezuzu controller; }
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "Ctor ViRorividiZezuzu\nDtor ViRorividiZezuzu\n");
    EXPECT_EQ(output.err, "Test CERR\n");
}

TEST(ControllerLifeTest, TheBuiltInVersionIsKnownBeforeAnyUnitIsFound) {
    auto controller = MakeController();
    std::string text = "x";
    controller->GetUpdateFirmwareVersionString(text);
    EXPECT_EQ(text, "3-5");
}

TEST_F(ControllerDiscoveryTest, APassReadsTheIdentityBetweenOneOpenAndOneClose) {
    const Pass pass = RunPass(*controller_);
    EXPECT_TRUE(pass.found);
    EXPECT_EQ(pass.output.out, kFoundPassOutput);
    EXPECT_EQ(pass.output.err, "");

    const std::vector<Operation> operations = katest::Operations(*ka_);
    EXPECT_EQ(operations, (std::vector<Operation>{
                              Operation::Find, Operation::CreateDevice, Operation::GetGeneration,
                              Operation::Open, Operation::ReadBlock, Operation::ReadQuadlet,
                              Operation::ReadQuadlet, Operation::ReadBlock, Operation::Close}));
    const auto transfers = katest::Transfers(*ka_);
    const std::vector<std::uint64_t> addresses = {0xFFFF'F0430220, 0xFFFF'F0430004, 0xFFFF'F0430008,
                                                  0xFFFF'F0430220};
    ASSERT_EQ(transfers.size(), addresses.size());
    for (std::size_t index = 0; index < transfers.size(); ++index) {
        EXPECT_EQ(transfers[index].address, addresses[index]);
        EXPECT_EQ(transfers[index].requestedGeneration, 0u);
        EXPECT_TRUE(transfers[index].relativeToDevice);
        EXPECT_EQ(transfers[index].status, kIOReturnSuccess);
    }
    EXPECT_EQ(transfers[0].length, 8u);
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(ControllerDiscoveryTest, IdentityDecidesTextsAndDirection) {
    struct Case {
        std::uint32_t softwareVersion;
        const char* serialBytes;
        Identity expected;
    };
    const std::vector<Case> cases = {
        {0x00020007, "KA004711", {"2-7", "Not Available", true}},
        {0x00030005, "KA004711", {"3-5", "KA004711", false}},
        {0x00040001, "KA0", {"4-1", "KA0", true}},
        {0x00030000, "12345678", {"3-0", "12345678", false}},
        {0x0002000A, "KA004711", {"2-10", "Not Available", true}},
        {0x00030006, "", {"3-6", "", true}},
        {0x00000000, "KA004711", {"0-0", "Not Available", false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.softwareVersion);
        ka_->SetSoftwareVersion(c.softwareVersion);
        ka_->SetSerialNumber(kasim::SerialNumberFromText(c.serialBytes));
        ASSERT_TRUE(RunPass(*controller_).found);
        const Identity identity = IdentityOf(*controller_);
        EXPECT_EQ(identity.current, c.expected.current);
        EXPECT_EQ(identity.serial, c.expected.serial);
        EXPECT_EQ(identity.downgrade, c.expected.downgrade);
    }
}

TEST_F(ControllerDiscoveryTest, OnlyRevisionClassesZeroAndTwoAreAccepted) {
    for (const std::uint32_t revision : {0x00000000u, 0x0000FFFFu, 0x00020000u, 0x00021234u}) {
        ka_->SetProductRevision(revision);
        EXPECT_TRUE(RunPass(*controller_).found) << std::hex << revision;
    }
    for (const std::uint32_t revision : {0x00010000u, 0x0001FFFFu, 0x00030002u, 0xFFFF0000u}) {
        ka_->SetProductRevision(revision);
        ka_->ClearTransactions();
        const Pass pass = RunPass(*controller_);
        EXPECT_FALSE(pass.found) << std::hex << revision;
        // Opened, read, closed and given back all the same.
        EXPECT_EQ(pass.output.out, kFoundPassOutput);
        EXPECT_EQ(katest::Transfers(*ka_).size(), 4u);
        EXPECT_EQ(ka_->LiveConnections(), 0u);
        // The unit was matched, so its identity may still be asked for.
        std::string text;
        controller_->GetCurrentFirmwareVersionString(text);
        EXPECT_EQ(text, "2-4");
    }
}

TEST_F(ControllerDiscoveryTest, AnAbsentUnitIsOnlyLookedFor) {
    ka_->Unplug();
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    for (int pass = 0; pass < 3; ++pass) {
        const Pass result = RunPass(*controller_);
        EXPECT_FALSE(result.found);
        EXPECT_EQ(result.output.out, "Open Ka\n");
        EXPECT_EQ(result.output.err, "");
    }
    EXPECT_EQ(katest::Operations(*ka_),
              (std::vector<Operation>{Operation::Find, Operation::Find, Operation::Find}));
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
}

TEST_F(ControllerDiscoveryTest, PlugAndUnplugShowOnTheNextPass) {
    EXPECT_TRUE(RunPass(*controller_).found);
    ka_->Unplug();
    EXPECT_FALSE(RunPass(*controller_).found);
    ka_->SetSoftwareVersion(0x00030005);
    ka_->Plug();
    EXPECT_TRUE(RunPass(*controller_).found);
    EXPECT_FALSE(controller_->IsDowngrade());
}

TEST_F(ControllerDiscoveryTest, PassesGiveBackEveryPlatformHandle) {
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    for (int pass = 0; pass < 5; ++pass) {
        RunPass(*controller_);
    }
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
}

TEST_F(ControllerDiscoveryTest, AUnitWhoseDeviceCannotBeCreatedIsNotFoundThisPass) {
    ka_->AddTransactionFault({Operation::CreateDevice, kIOReturnNoResources});
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    const Pass pass = RunPass(*controller_);
    EXPECT_FALSE(pass.found);
    EXPECT_EQ(pass.output.out, "Open Ka\n");
    EXPECT_EQ(pass.output.err, "Couldn't create plug in interface\n");
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_TRUE(RunPass(*controller_).found);
}

TEST_F(ControllerDiscoveryTest, ARefusedDeviceInterfaceIsNotFoundEither) {
    kaplatform::SetFireWireBackend(nullptr);
    kasim::SimulatedKaConfig config;
    config.offersBusGeneration = false;
    ScopedSimulatedKa ka(config);
    const Pass pass = RunPass(*controller_);
    EXPECT_FALSE(pass.found);
    EXPECT_EQ(pass.output.out, "Open Ka\n");
    EXPECT_EQ(pass.output.err,
              "FWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n");
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
}

TEST_F(ControllerDiscoveryTest, OpenKaLetsTheDeviceFailurePassToItsCaller) {
    ka_->AddTransactionFault({Operation::CreateDevice, kIOReturnNoResources});
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    CapturedOutput capture;
    EXPECT_THROW(controller_->OpenKa(), std::exception);
    controller_->CloseKa();
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "Open Ka\nClose Ka\n");
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
}

TEST_F(ControllerDiscoveryTest, AnUnreadableBusGenerationEndsThePassAsNotFound) {
    ka_->AddTransactionFault({Operation::GetGeneration, kIOReturnNotResponding});
    const Pass pass = RunPass(*controller_);
    EXPECT_FALSE(pass.found);
    EXPECT_EQ(pass.output.out, "Open Ka\nCtor DownloadUnit\nClose Ka\nDtor DownloadUnit\n");
    EXPECT_EQ(pass.output.err, "");
    EXPECT_EQ(ka_->LiveConnections(), 0u);
    EXPECT_TRUE(katest::Transfers(*ka_).empty());
    EXPECT_TRUE(RunPass(*controller_).found);
}

TEST_F(ControllerDiscoveryTest, AFailedOpenEndsThePassAndTheNextOneTriesAgain) {
    ka_->AddTransactionFault({Operation::Open, kIOReturnExclusiveAccess});
    const Pass pass = RunPass(*controller_);
    EXPECT_FALSE(pass.found);
    EXPECT_EQ(pass.output.out,
              "Open Ka\nCtor DownloadUnit\nFWDL::Open\nClose Ka\nDtor DownloadUnit\n");
    EXPECT_EQ(ka_->LiveConnections(), 0u);
    EXPECT_TRUE(RunPass(*controller_).found);
}

TEST_F(ControllerDiscoveryTest, AFailedSerialNumberReadShowsNoStaleNumber) {
    ka_->SetSoftwareVersion(0x00030005);
    ASSERT_TRUE(RunPass(*controller_).found);
    kasim::TransactionFault fault(Operation::ReadBlock, kIOReturnTimeout);
    fault.repeat = 0;
    ka_->AddTransactionFault(fault);
    ASSERT_TRUE(RunPass(*controller_).found);
    std::string serial = "x";
    controller_->GetSerialNumberString(serial);
    EXPECT_EQ(serial, "");
}

TEST_F(ControllerDiscoveryTest, OpenKaAndCloseKaHoldTheUnitInBetween) {
    CapturedOutput capture;
    EXPECT_TRUE(controller_->OpenKa());
    EXPECT_EQ(ka_->LiveConnections(), 1u);
    controller_->CloseKa();
    controller_->CloseKa();
    EXPECT_TRUE(controller_->OpenKa());
    controller_.reset();
    EXPECT_EQ(capture.Take().out,
              "Open Ka\nCtor DownloadUnit\nClose Ka\nDtor DownloadUnit\nClose Ka\n"
              "Open Ka\nCtor DownloadUnit\nDtor ViRorividiZezuzu\nDtor DownloadUnit\n");
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(ControllerDiscoveryTest, AnUnpairedOpenKaLosesNoUnit) {
    CapturedOutput capture;
    EXPECT_TRUE(controller_->OpenKa());
    EXPECT_TRUE(controller_->OpenKa());
    EXPECT_EQ(ka_->LiveConnections(), 1u);
    controller_->CloseKa();
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(ControllerDiscoveryTest, APassThatCannotReadTheVersionsFindsNoUnit) {
    for (const std::uint64_t address :
         {kasim::kSoftwareVersionRegister, kasim::kProductRevisionRegister}) {
        SCOPED_TRACE(address);
        ka_->ClearFaults();
        ka_->SetSoftwareVersion(0x00020004);
        ASSERT_TRUE(RunPass(*controller_).found);
        // The unit now holds newer firmware, but one of its versions cannot be read: what
        // the last pass read must not stand in for it (an upgrade offered to a newer unit).
        ka_->SetSoftwareVersion(0x00040001);
        kasim::TransactionFault fault(Operation::ReadQuadlet, kIOFireWireAddressError);
        fault.address = address;
        fault.repeat = 0;
        ka_->AddTransactionFault(fault);
        for (int pass = 0; pass < 3; ++pass) {
            const Pass result = RunPass(*controller_);
            EXPECT_FALSE(result.found);
            EXPECT_EQ(result.output.out, kFoundPassOutput) << "opened, read and closed";
            EXPECT_EQ(ka_->LiveConnections(), 0u);
        }
    }
    ka_->ClearFaults();
    ASSERT_TRUE(RunPass(*controller_).found);
    const Identity identity = IdentityOf(*controller_);
    EXPECT_EQ(identity.current, "4-1");
    EXPECT_TRUE(identity.downgrade);
}

// A unit whose node does not give its GUID cannot be told from another one later.
class NoGuidBackend final : public kaplatform::FireWireBackend {
  public:
    explicit NoGuidBackend(std::shared_ptr<kasim::SimulatedKa> ka) : inner_(std::move(ka)) {}
    std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                        std::uint32_t softwareVersion) override {
        return inner_.FindUnit(specifierId, softwareVersion);
    }
    std::optional<std::uint64_t> UnitGuid(const std::string&) override { return std::nullopt; }
    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override {
        return inner_.CreateDevice(unitName, device);
    }

  private:
    kasim::SimulatedBackend inner_;
};

TEST(ControllerGuidTest, AUnitWithoutAGuidIsNotFound) {
    auto ka = std::make_shared<kasim::SimulatedKa>();
    kaplatform::SetFireWireBackend(std::make_shared<NoGuidBackend>(ka));
    auto controller = MakeController();
    const Pass pass = RunPass(*controller);
    EXPECT_FALSE(pass.found);
    EXPECT_EQ(ka->LiveConnections(), 0u);
    controller.reset();
    kaplatform::SetFireWireBackend(nullptr);
}

TEST(ControllerGuidTest, TheServiceOffersTheSimulatedNodesGuid) {
    kasim::SimulatedKaConfig config;
    config.guid = 0x8000'0000'0000'0001;  // above the signed range: read back unchanged
    ScopedSimulatedKa ka(config);
    const io_service_t service = katest::LookUpKaService();
    ASSERT_NE(service, IO_OBJECT_NULL);
    CFTypeRef property = IORegistryEntryCreateCFProperty(service, CFSTR("GUID"), nullptr, 0);
    ASSERT_NE(property, nullptr);
    ASSERT_EQ(CFGetTypeID(property), CFNumberGetTypeID());
    SInt64 value = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt64Type, &value));
    EXPECT_EQ(static_cast<std::uint64_t>(value), 0x8000'0000'0000'0001u);
    CFRelease(property);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("Unit_Spec_ID"), nullptr, 0), nullptr);
    IOObjectRelease(service);
    EXPECT_TRUE(ka->Transactions().size() == 1u) << "the GUID is no bus transaction";
}

using ControllerDiscoveryDeathTest = ControllerDiscoveryTest;

TEST_F(ControllerDiscoveryDeathTest, IdentityGettersNeedAMatchedUnit) {
    std::string text;
    EXPECT_DEATH(controller_->GetSerialNumberString(text),
                 "virorividizezuzu:223: failed assertion `true == _kaInfo.valid'\n");
    EXPECT_DEATH(controller_->GetCurrentFirmwareVersionString(text),
                 "virorividizezuzu:237: failed assertion `true == _kaInfo.valid'\n");
    EXPECT_DEATH(controller_->IsDowngrade(),
                 "virorividizezuzu:262: failed assertion `true == _kaInfo.valid'\n");
    // A pass that finds nothing takes a match back.
    ASSERT_TRUE(RunPass(*controller_).found);
    ka_->Unplug();
    ASSERT_FALSE(RunPass(*controller_).found);
    EXPECT_DEATH(controller_->IsDowngrade(),
                 "virorividizezuzu:262: failed assertion `true == _kaInfo.valid'\n");
    // Nor is the identity of a pass that could not read it there to be asked for.
    ka_->Plug();
    ASSERT_TRUE(RunPass(*controller_).found);
    ka_->AddTransactionFault(
        {Operation::ReadQuadlet, kIOFireWireAddressError, 1, kasim::FaultScope::AllConnections});
    ASSERT_FALSE(RunPass(*controller_).found);
    EXPECT_DEATH(controller_->GetCurrentFirmwareVersionString(text),
                 "virorividizezuzu:237: failed assertion `true == _kaInfo.valid'\n");
}

}  // namespace
