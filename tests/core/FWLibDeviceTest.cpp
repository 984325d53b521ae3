#include "FWLib_Device.h"

#include "CapturedOutput.h"
#include "IOKitDiagnostics.h"
#include "SimulatedBus.h"

#include <gtest/gtest.h>

#include <exception>
#include <memory>

namespace {

using katest::CapturedOutput;
using katest::LookUpKaService;
using katest::ScopedSimulatedKa;

constexpr UInt32 kSerialNumberLo = static_cast<UInt32>(kasim::kSerialNumberAddress);
constexpr UInt32 kSoftwareVersionLo = static_cast<UInt32>(kasim::kSoftwareVersionRegister);

// A device on the Ka's service; the service handle is given back at once, as the
// controller does.
std::unique_ptr<FWLib::Device> MakeDevice() {
    const io_service_t service = LookUpKaService();
    struct Release {
        io_service_t service;
        ~Release() { IOObjectRelease(service); }
    } release{service};
    return std::make_unique<FWLib::Device>(service);
}

TEST(FWLibDeviceTest, FailingToCreateThePlugInThrowsAfterItsMessage) {
    ScopedSimulatedKa ka;
    ka->AddTransactionFault({kasim::Operation::CreateDevice, kIOReturnNoResources});
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    CapturedOutput capture;
    EXPECT_THROW(MakeDevice(), std::exception);
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "Couldn't create plug in interface\n");
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
}

TEST(FWLibDeviceTest, ARefusedDeviceInterfaceThrowsAndGivesThePlugInBack) {
    kasim::SimulatedKaConfig config;
    config.offersBusGeneration = false;
    ScopedSimulatedKa ka(config);
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    CapturedOutput capture;
    EXPECT_THROW(MakeDevice(), std::exception);
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "FWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n");
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_EQ(ka->LiveConnections(), 0u);
}

TEST(FWLibDeviceTest, OpenAndCloseAnnounceThemselvesInOrder) {
    ScopedSimulatedKa ka;
    auto device = MakeDevice();
    CapturedOutput capture;
    EXPECT_EQ(device->Open(), kIOReturnSuccess);
    device->Close();
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "FWDL::Open\nFWDL::Close\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(katest::Operations(*ka).back(), kasim::Operation::Close);
}

TEST(FWLibDeviceTest, OpenPassesTheDevicesRefusalUp) {
    ScopedSimulatedKa ka;
    auto device = MakeDevice();
    auto other = MakeDevice();
    CapturedOutput capture;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    EXPECT_EQ(other->Open(), kIOReturnExclusiveAccess);
    device->Close();
}

TEST(FWLibDeviceTest, RelativeTransfersIgnoreTheNodeAndAbsoluteOnesUseIt) {
    ScopedSimulatedKa ka;
    auto device = MakeDevice();
    CapturedOutput capture;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);

    UInt32 first = 0;
    UInt32 second = 0;
    EXPECT_EQ(device->ReadQuadlet(FWAddress(0xFFFF, kSoftwareVersionLo, 0), first, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(
        device->ReadQuadlet(FWAddress(0xFFFF, kSoftwareVersionLo, 0x0123), second, false, false, 0),
        kIOReturnSuccess);
    EXPECT_EQ(first, 0x00020004u);
    EXPECT_EQ(second, first);
    UInt32 absolute = 0;
    EXPECT_EQ(device->ReadQuadlet(FWAddress(0xFFFF, kSoftwareVersionLo, 0x0123), absolute, true,
                                  false, 0),
              kIOReturnNotResponding);
    EXPECT_EQ(device->ReadQuadlet(FWAddress(0xFFFF, kSoftwareVersionLo, 0xFFC1), absolute, true,
                                  false, 0),
              kIOReturnSuccess);

    const auto transfers = katest::Transfers(*ka);
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_TRUE(transfers[0].relativeToDevice);
    EXPECT_TRUE(transfers[1].relativeToDevice);
    EXPECT_FALSE(transfers[2].relativeToDevice);
    EXPECT_EQ(transfers[3].nodeId, 0xFFC1);
    for (const auto& transfer : transfers) {
        EXPECT_EQ(transfer.address, 0xFFFF'F0430004u);
    }
    device->Close();
}

TEST(FWLibDeviceTest, BlockTransfersReportTheBytesMoved) {
    ScopedSimulatedKa ka;
    auto device = MakeDevice();
    CapturedOutput capture;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);

    char buffer[16] = {};
    UInt32 size = sizeof buffer;
    EXPECT_EQ(device->Read(FWAddress(0xFFFF, kSerialNumberLo), buffer, size, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::string(buffer, 8), "KA004711");

    ka->SetSerialBytesDelivered(5);
    size = 8;
    EXPECT_EQ(device->Read(FWAddress(0xFFFF, kSerialNumberLo), buffer, size, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(size, 5u);

    // Nothing is taken outside an update; the count says so.
    const UInt8 block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    size = sizeof block;
    EXPECT_EQ(device->Write(FWAddress(0xFFFF, 0xF0430020), block, size, false, false, 0),
              kIOFireWireConflictError);
    EXPECT_EQ(size, 0u);
    device->Close();
}

TEST(FWLibDeviceTest, FailOnResetAndGenerationReachTheBus) {
    ScopedSimulatedKa ka;
    auto device = MakeDevice();
    CapturedOutput capture;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    UInt32 generation = 0;
    ASSERT_EQ(device->GetBusGeneration(generation), kIOReturnSuccess);
    ka->BusReset();

    UInt32 value = 0;
    const FWAddress address(0xFFFF, kSoftwareVersionLo);
    EXPECT_EQ(device->ReadQuadlet(address, value, false, true, generation), kIOFireWireBusReset);
    EXPECT_EQ(device->ReadQuadlet(address, value, false, false, generation), kIOReturnSuccess);
    UInt32 current = 0;
    ASSERT_EQ(device->GetBusGeneration(current), kIOReturnSuccess);
    EXPECT_EQ(current, generation + 1);
    EXPECT_EQ(device->ReadQuadlet(address, value, false, true, current), kIOReturnSuccess);
    EXPECT_EQ(device->WriteQuadlet(FWAddress(0xFFFF, 0xF0430000), 2, false, true, generation),
              kIOFireWireBusReset);
    device->Close();
}

TEST(FWLibDeviceTest, DeletingTheDeviceDoesNotCloseItButGivesEverythingBack) {
    ScopedSimulatedKa ka;
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    {
        auto device = MakeDevice();
        CapturedOutput capture;
        ASSERT_EQ(device->Open(), kIOReturnSuccess);
        device.reset();
        EXPECT_EQ(capture.Take().out, "FWDL::Open\n");
    }
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_EQ(ka->LiveConnections(), 0u);
}

}  // namespace
