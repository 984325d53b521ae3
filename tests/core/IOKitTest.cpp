#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/firewire/IOFireWireLib.h>

#include "IOKitDiagnostics.h"
#include "SimulatedBus.h"

#include <gtest/gtest.h>

namespace {

using katest::LookUpKaService;
using katest::ScopedSimulatedKa;

CFMutableDictionaryRef Matching(const char* className, std::optional<SInt32> specifierId,
                                std::optional<SInt32> version) {
    CFMutableDictionaryRef matching = IOServiceMatching(className);
    for (const auto& [key, value] : {std::pair{CFSTR("Unit_Spec_ID"), specifierId},
                                     std::pair{CFSTR("Unit_SW_Version"), version}}) {
        if (value) {
            CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &*value);
            CFDictionaryAddValue(matching, key, number);
            CFRelease(number);
        }
    }
    return matching;
}

// The plug-in and device interface of the Ka's service, released at the end.
struct KaInterfaces {
    KaInterfaces() {
        service = LookUpKaService();
        SInt32 score = 0;
        status = IOCreatePlugInInterfaceForService(service, kIOFireWireLibTypeID,
                                                   kIOCFPlugInInterfaceID, &plugIn, &score);
        if (status == kIOReturnSuccess) {
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOFireWireDeviceInterfaceID_v4),
                                      reinterpret_cast<LPVOID*>(&device));
        }
    }
    ~KaInterfaces() {
        if (device != nullptr) {
            (*device)->Release(device);
        }
        if (plugIn != nullptr) {
            IODestroyPlugInInterface(plugIn);
        }
        IOObjectRelease(service);
    }
    io_service_t service = IO_OBJECT_NULL;
    IOReturn status = kIOReturnError;
    IOCFPlugInInterface** plugIn = nullptr;
    IOFireWireLibDeviceRef device = nullptr;
};

TEST(IOKitLookupTest, MatchesOnlyAFireWireUnitWithBothUnitDirectoryValues) {
    ScopedSimulatedKa ka;
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();

    io_service_t service =
        IOServiceGetMatchingService(MACH_PORT_NULL, Matching("IOFireWireUnit", 0x000A27, 0x000011));
    EXPECT_NE(service, IO_OBJECT_NULL);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore + 1);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_NE(IOObjectRelease(service), kIOReturnSuccess);

    for (auto* matching : {Matching("IOFireWireUnit", 0x000A27, 0x000012),
                           Matching("IOFireWireUnit", 0x000A28, 0x000011),
                           Matching("IOFireWireUnit", 0x000A27, std::nullopt),
                           Matching("IOFireWireDevice", 0x000A27, 0x000011)}) {
        EXPECT_EQ(IOServiceGetMatchingService(MACH_PORT_NULL, matching), IO_OBJECT_NULL);
    }
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);

    ka->Unplug();
    EXPECT_EQ(LookUpKaService(), IO_OBJECT_NULL);
    kaplatform::SetFireWireBackend(nullptr);
    ka->Plug();
    EXPECT_EQ(LookUpKaService(), IO_OBJECT_NULL);
}

TEST(IOKitLookupTest, TheLookupConsumesOneReferenceOfTheDictionary) {
    ScopedSimulatedKa ka;
    for (const bool present : {true, false}) {
        present ? ka->Plug() : ka->Unplug();
        CFMutableDictionaryRef matching = Matching("IOFireWireUnit", 0x000A27, 0x000011);
        CFRetain(matching);
        io_service_t service = IOServiceGetMatchingService(MACH_PORT_NULL, matching);
        EXPECT_EQ(CFGetRetainCount(matching), 1);
        CFRelease(matching);
        IOObjectRelease(service);
    }
}

TEST(IOKitPlugInTest, AskedForTheWrongTypesOrAStaleServiceItFails) {
    ScopedSimulatedKa ka;
    io_service_t service = LookUpKaService();
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    EXPECT_EQ(IOCreatePlugInInterfaceForService(service, kIOCFPlugInInterfaceID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              kIOReturnUnsupported);
    EXPECT_EQ(IOCreatePlugInInterfaceForService(service, kIOFireWireLibTypeID, kIOFireWireLibTypeID,
                                                &plugIn, &score),
              kIOReturnUnsupported);
    IOObjectRelease(service);
    EXPECT_EQ(IOCreatePlugInInterfaceForService(service, kIOFireWireLibTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              kIOReturnBadArgument);
    EXPECT_EQ(plugIn, nullptr);
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
}

TEST(IOKitPlugInTest, TheBackendsDeviceCreationFailureComesBack) {
    ScopedSimulatedKa ka;
    ka->AddTransactionFault({kasim::Operation::CreateDevice, kIOReturnNotPermitted});
    KaInterfaces interfaces;
    EXPECT_EQ(interfaces.status, kIOReturnNotPermitted);
    EXPECT_EQ(interfaces.plugIn, nullptr);

    ka->Unplug();
    KaInterfaces gone;
    EXPECT_EQ(gone.service, IO_OBJECT_NULL);
    EXPECT_NE(gone.status, kIOReturnSuccess);
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
}

TEST(IOKitPlugInTest, QueryInterfaceCountsReferencesAndRefusesUnknownInterfaces) {
    ScopedSimulatedKa ka;
    const std::size_t handlesBefore = kaplatform::LiveIOObjectCount();
    {
        KaInterfaces interfaces;
        ASSERT_EQ(interfaces.status, kIOReturnSuccess);
        ASSERT_NE(interfaces.device, nullptr);
        EXPECT_EQ(kaplatform::LivePlugInCount(), 1u);
        // Plug-in and device interface are one object: one reference each so far.
        EXPECT_EQ((*interfaces.device)->AddRef(interfaces.device), 3u);
        EXPECT_EQ((*interfaces.plugIn)->Release(interfaces.plugIn), 2u);

        LPVOID unknown = &interfaces;
        EXPECT_EQ((*interfaces.plugIn)
                      ->QueryInterface(interfaces.plugIn, CFUUIDGetUUIDBytes(kIOFireWireLibTypeID),
                                       &unknown),
                  E_NOINTERFACE);
        EXPECT_EQ(unknown, nullptr);

        // The plug-in keeps its service after the caller has released it.
        IOObjectRelease(interfaces.service);
        interfaces.service = IO_OBJECT_NULL;
        EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore + 1);
        EXPECT_EQ(ka->LiveConnections(), 1u);
    }
    EXPECT_EQ(kaplatform::LivePlugInCount(), 0u);
    EXPECT_EQ(kaplatform::LiveIOObjectCount(), handlesBefore);
    EXPECT_EQ(ka->LiveConnections(), 0u);
}

TEST(IOKitPlugInTest, ADeviceWithoutBusGenerationDoesNotOfferTheDeviceInterface) {
    kasim::SimulatedKaConfig config;
    config.offersBusGeneration = false;
    ScopedSimulatedKa ka(config);
    KaInterfaces interfaces;
    ASSERT_EQ(interfaces.status, kIOReturnSuccess);
    EXPECT_EQ(interfaces.device, nullptr);
}

TEST(IOKitDeviceInterfaceTest, TransfersGoRelativeToTheDeviceOrToTheNamedNode) {
    ScopedSimulatedKa ka;
    KaInterfaces interfaces;
    ASSERT_NE(interfaces.device, nullptr);
    IOFireWireLibDeviceRef device = interfaces.device;
    ASSERT_EQ((*device)->Open(device), kIOReturnSuccess);

    const io_object_t unit = (*device)->GetDevice(device);
    EXPECT_EQ(unit, interfaces.service);
    const FWAddress strayNode(0xFFFF, 0xF0430004, 0x1234);
    UInt32 value = 0;
    EXPECT_EQ((*device)->ReadQuadlet(device, unit, &strayNode, &value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 0x00020004u);
    // Absolute: the node in the address is the one asked, and there is no unit at 0x1234.
    EXPECT_EQ((*device)->ReadQuadlet(device, 0, &strayNode, &value, false, 0),
              kIOReturnNotResponding);
    const FWAddress kaNode(0xFFFF, 0xF0430004, 0xFFC1);
    EXPECT_EQ((*device)->ReadQuadlet(device, 0, &kaNode, &value, true, ka->BusGeneration()),
              kIOReturnSuccess);
    // A handle that is not this unit's is refused.
    EXPECT_EQ((*device)->ReadQuadlet(device, unit + 1, &kaNode, &value, false, 0),
              kIOReturnBadArgument);

    const auto transfers = katest::Transfers(*ka);
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_TRUE(transfers[0].relativeToDevice);
    EXPECT_EQ(transfers[0].address, 0xFFFF'F0430004u);
    EXPECT_FALSE(transfers[1].relativeToDevice);
    EXPECT_EQ(transfers[1].nodeId, 0x1234);
    EXPECT_TRUE(transfers[2].failOnReset);
    EXPECT_EQ(transfers[2].requestedGeneration, ka->BusGeneration());

    UInt32 generation = 0;
    EXPECT_EQ((*device)->GetBusGeneration(device, &generation), kIOReturnSuccess);
    EXPECT_EQ(generation, 1u);
}

TEST(IOKitDeviceInterfaceTest, GivingUpAnOpenDeviceClosesIt) {
    ScopedSimulatedKa ka;
    {
        KaInterfaces interfaces;
        ASSERT_EQ((*interfaces.device)->Open(interfaces.device), kIOReturnSuccess);
    }
    const auto operations = katest::Operations(*ka);
    ASSERT_FALSE(operations.empty());
    EXPECT_EQ(operations.back(), kasim::Operation::Close);
    KaInterfaces again;
    EXPECT_EQ((*again.device)->Open(again.device), kIOReturnSuccess);
}

}  // namespace
