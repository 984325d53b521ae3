// Finding the unit in sysfs: which entry wins, and that nothing in a damaged or changing
// tree is taken for a Ka.
#include "CapturedOutput.h"
#include "FakeKernel.h"
#include "LinuxFireWireBackend.h"
#include "ScopedStateFolder.h"

#include "record/UpdateRecord.h"
#include "record/UpdateRecorder.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/firewire/IOFireWireLib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <utility>

namespace katest {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSpecifierId = 0x000A27;
constexpr std::uint32_t kVersion = 0x000011;

class LookupTest : public testing::Test {
  protected:
    std::optional<std::string> Find() { return backend->FindUnit(kSpecifierId, kVersion); }

    SysfsTree sysfs;
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>(sysfs.Root());
    std::shared_ptr<kaplatform::FireWireBackend> backend =
        kaplatform::MakeLinuxFireWireBackend(kernel);
};

TEST_F(LookupTest, WithoutFireWireNothingIsFoundOrCreated) {
    EXPECT_EQ(Find(), std::nullopt);
    std::unique_ptr<kaplatform::FireWireDevice> device;
    EXPECT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnNoDevice);
    EXPECT_EQ(device, nullptr);
    EXPECT_TRUE(kernel->OpenedPaths().empty());
}

TEST_F(LookupTest, OneKaIsFoundAndItsNodeDeviceOpened) {
    sysfs.AddNode(0);  // the host controller: a node without units
    sysfs.AddKa(1);
    RegisterStore registers;
    kernel->AttachNode("/dev/fw1", registers);

    ASSERT_EQ(Find(), "fw1.0");
    std::unique_ptr<kaplatform::FireWireDevice> device;
    ASSERT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnSuccess);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(kernel->OpenedPaths().empty()) << "creating must not open";
    EXPECT_EQ(device->Open(), kIOReturnSuccess);
    EXPECT_EQ(kernel->OpenedPaths(), std::vector<std::string>{"/dev/fw1"});
}

TEST_F(LookupTest, AKernelDriverBoundToTheKasNodeIsNamedOnceAndInTheRecordsHeader) {
    ScopedStateFolder state;
    sysfs.AddKa(1);
    sysfs.AddUnit(1, 1, "0x00a02d\n", "0x010001\n");  // a second unit on the node
    sysfs.AddKa(2, 0, kKaGuid + 1);                   // another node's driver is not ours
    const fs::path drivers = sysfs.Root() / "bus" / "firewire" / "drivers";
    fs::create_directories(drivers / "snd-fw-unit");
    fs::create_directory_symlink(drivers / "snd-fw-unit", sysfs.UnitDirectory(1, 1) / "driver");
    fs::create_directory_symlink(drivers / "snd-fw-unit", sysfs.UnitDirectory(2, 0) / "driver");

    backend->SetBusObserver(&karecord::UpdateRecordObserver());
    CapturedOutput capture;
    ASSERT_EQ(Find(), "fw1.0");
    ASSERT_EQ(Find(), "fw1.0");
    EXPECT_EQ(capture.Take().err,
              "A kernel driver is bound to the Ka (fw1.1: snd-fw-unit); it may talk to the unit "
              "during an update.\n");

    const UpdateRecordFacts facts = {"1.3",      "3-5",      "built in", kKaGuid,
                                     "KA004711", 0x00020004, 0x00020000};
    ASSERT_EQ(UpdateRecordBegin(&facts), kIOReturnSuccess);
    UpdateRecordEnd(false, kIOReturnAborted, "");
    std::ifstream record(karecord::CurrentUpdateRecordFile());
    std::string header;
    std::getline(record, header);
    EXPECT_NE(header.find(R"("driver":"fw1.1: snd-fw-unit")"), std::string::npos) << header;

    // Unbound, the next look says nothing.
    fs::remove(sysfs.UnitDirectory(1, 1) / "driver");
    CapturedOutput unbound;
    ASSERT_EQ(Find(), "fw1.0");
    EXPECT_EQ(unbound.Take().err, "");
}

TEST_F(LookupTest, OtherDevicesAreNotTakenForAKa) {
    sysfs.AddUnit(1, 0, "0x00a02d\n", "0x010001\n");  // a camera
    sysfs.AddUnit(2, 0, "0x000a27\n", "0x000012\n");  // same maker, other unit
    sysfs.AddUnit(3, 0, "0x000a28\n", "0x000011\n");
    sysfs.AddUnit(4, 0, "0x000011\n", "0x000a27\n");  // values swapped
    EXPECT_EQ(Find(), std::nullopt);
}

TEST_F(LookupTest, OfTwoKasTheLowestNumbersWinInNumericOrder) {
    sysfs.AddKa(10, 0);
    sysfs.AddKa(2, 10);
    sysfs.AddKa(2, 9);
    sysfs.AddUnit(2, 1, "0x00a02d\n", "0x010001\n");
    EXPECT_EQ(Find(), "fw2.9");
    EXPECT_EQ(Find(), "fw2.9");
}

TEST_F(LookupTest, EveryCallLooksAtTheBusAfresh) {
    EXPECT_EQ(Find(), std::nullopt);
    sysfs.AddKa(3);
    EXPECT_EQ(Find(), "fw3.0");
    fs::remove(sysfs.BusDirectory() / "fw3.0");
    fs::remove_all(sysfs.UnitDirectory(3, 0));
    EXPECT_EQ(Find(), std::nullopt);
}

// Each case damages the first of two Kas; the second must still be found and the damaged
// one never.
struct DamagedAttribute {
    const char* name;
    std::optional<std::string> specifierId;
    std::optional<std::string> version;
};

void PrintTo(const DamagedAttribute& damaged, std::ostream* out) {
    *out << damaged.name;
}

class DamagedUnitTest : public LookupTest, public testing::WithParamInterface<DamagedAttribute> {};

TEST_P(DamagedUnitTest, IsSkipped) {
    sysfs.AddUnit(1, 0, GetParam().specifierId, GetParam().version);
    EXPECT_EQ(Find(), std::nullopt);
    sysfs.AddKa(2);
    EXPECT_EQ(Find(), "fw2.0");
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, DamagedUnitTest,
    testing::Values(DamagedAttribute{"NoSpecifier", std::nullopt, "0x000011\n"},
                    DamagedAttribute{"NoVersion", "0x000a27\n", std::nullopt},
                    DamagedAttribute{"NoAttributes", std::nullopt, std::nullopt},
                    DamagedAttribute{"Empty", "", "0x000011\n"},
                    DamagedAttribute{"NoPrefix", "000a27\n", "0x000011\n"},
                    DamagedAttribute{"OnlyPrefix", "0x\n", "0x000011\n"},
                    DamagedAttribute{"TrailingText", "0x000a27 \n", "0x000011\n"},
                    DamagedAttribute{"TwoLines", "0x000a27\n\n", "0x000011\n"},
                    DamagedAttribute{"NotHex", "0x000g27\n", "0x000011\n"},
                    DamagedAttribute{"Negative", "-0x000a27\n", "0x000011\n"},
                    DamagedAttribute{"MoreThan24Bits", "0x1000a27\n", "0x000011\n"},
                    DamagedAttribute{"Decimal", "2599\n", "17\n"},
                    DamagedAttribute{"Huge", std::string(200, '0'), "0x000011\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LookupTest, AttributesWithoutLineFeedOrInUpperCaseStillMatch) {
    sysfs.AddUnit(1, 0, "0x000A27", "0x11\n");
    EXPECT_EQ(Find(), "fw1.0");
}

TEST_F(LookupTest, UnreadableAttributeIsSkipped) {
    // Running as root defeats file modes, so make the attribute unreadable as a file.
    sysfs.AddUnit(1, 0, std::nullopt, "0x000011\n");
    fs::create_directory(sysfs.UnitDirectory(1, 0) / "specifier_id");
    EXPECT_EQ(Find(), std::nullopt);
}

TEST_F(LookupTest, UnitThatVanishedDuringTheScanIsSkipped) {
    sysfs.AddKa(1);
    sysfs.AddKa(2);
    // The bus link outlives the device directory for a moment when a unit goes.
    fs::remove_all(sysfs.UnitDirectory(1, 0));
    EXPECT_EQ(Find(), "fw2.0");

    std::unique_ptr<kaplatform::FireWireDevice> device;
    EXPECT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnNoDevice);
    EXPECT_EQ(device, nullptr);
}

TEST_F(LookupTest, EntriesThatAreNotUnitsAreIgnored) {
    sysfs.AddNode(1);
    for (const char* name : {"fw1", "fw01.0", "fw1.0.old", "fwx.0", "fw1.", "fw.0", "fw1.-1"}) {
        fs::create_directory(sysfs.BusDirectory() / name);
    }
    // A unit directory that is not inside its node's directory.
    fs::create_directory(sysfs.BusDirectory() / "fw1.0");
    std::ofstream(sysfs.BusDirectory() / "fw1.0" / "specifier_id") << "0x000a27\n";
    std::ofstream(sysfs.BusDirectory() / "fw1.0" / "version") << "0x000011\n";
    EXPECT_EQ(Find(), std::nullopt);
}

TEST_F(LookupTest, CreateDeviceTakesOnlyUnitNames) {
    sysfs.AddKa(1);
    std::unique_ptr<kaplatform::FireWireDevice> device;
    for (const char* name : {"", "fw1", "../fw1.0", "fw1.0/..", "/dev/fw1", "fw1.0 "}) {
        EXPECT_EQ(backend->CreateDevice(name, device), kIOReturnBadArgument) << name;
        EXPECT_EQ(device, nullptr);
    }
}

TEST_F(LookupTest, CreateDeviceNeedsTheNodeGuid) {
    sysfs.AddKa(1);
    fs::remove(sysfs.UnitDirectory(1, 0).parent_path() / "guid");
    std::unique_ptr<kaplatform::FireWireDevice> device;
    EXPECT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnNoDevice);
    EXPECT_EQ(device, nullptr);
}

TEST_F(LookupTest, TheUnitsGuidIsItsNodes) {
    sysfs.AddNode(0, 0x0000000000000001ull);
    sysfs.AddKa(1, 0, 0xFEDCBA9876543210ull);
    EXPECT_EQ(backend->UnitGuid("fw1.0"), 0xFEDCBA9876543210ull);
    EXPECT_EQ(backend->UnitGuid("fw2.0"), std::nullopt) << "no such unit";
    EXPECT_EQ(backend->UnitGuid("../fw1.0"), std::nullopt);
    fs::remove(sysfs.UnitDirectory(1, 0).parent_path() / "guid");
    EXPECT_EQ(backend->UnitGuid("fw1.0"), std::nullopt);
}

// What the controller sees: the GUID property of the service the lookup found, a 64-bit
// number, as the kernel had it when the unit was found.
TEST_F(LookupTest, TheServiceOffersTheGuidAsItWasWhenFound) {
    sysfs.AddKa(1, 0, 0xFEDCBA9876543210ull);
    kaplatform::SetFireWireBackend(backend);
    CFMutableDictionaryRef matching = IOServiceMatching("IOFireWireUnit");
    for (const auto& [key, value] : {std::pair{CFSTR("Unit_Spec_ID"), SInt32{0x000A27}},
                                     std::pair{CFSTR("Unit_SW_Version"), SInt32{0x000011}}}) {
        CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
        CFDictionaryAddValue(matching, key, number);
        CFRelease(number);
    }
    const io_service_t service = IOServiceGetMatchingService(MACH_PORT_NULL, matching);
    ASSERT_NE(service, IO_OBJECT_NULL);
    // Another node under the same unit name later does not change what was found.
    fs::remove(sysfs.UnitDirectory(1, 0).parent_path() / "guid");

    CFTypeRef property = IORegistryEntryCreateCFProperty(service, CFSTR("GUID"), nullptr, 0);
    ASSERT_NE(property, nullptr);
    EXPECT_EQ(CFGetTypeID(property), CFNumberGetTypeID());
    SInt64 value = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt64Type, &value));
    EXPECT_EQ(static_cast<std::uint64_t>(value), 0xFEDCBA9876543210ull);
    CFRelease(property);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("Vendor_ID"), nullptr, 0), nullptr);

    // The device interface answers for that node only: another one that took the name
    // since, whatever sysfs says of it now, is not opened.
    RegisterStore otherUnit;
    kernel->AttachNode("/dev/fw1", otherUnit, 0x0123456789ABCDEFull);
    std::ofstream(sysfs.UnitDirectory(1, 0).parent_path() / "guid") << "0x0123456789abcdef\n";
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    ASSERT_EQ(IOCreatePlugInInterfaceForService(service, kIOFireWireLibTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score),
              kIOReturnSuccess);
    IOFireWireLibDeviceRef device = nullptr;
    ASSERT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOFireWireDeviceInterfaceID_v4),
                                        reinterpret_cast<LPVOID*>(&device)),
              S_OK);
    EXPECT_EQ((*device)->Open(device), kIOReturnNoDevice);
    (*device)->Release(device);
    IODestroyPlugInInterface(plugIn);
    IOObjectRelease(service);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("GUID"), nullptr, 0), nullptr)
        << "a released handle has no properties";
    kaplatform::SetFireWireBackend(nullptr);
}

}  // namespace
}  // namespace katest
