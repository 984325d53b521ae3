#include "DownloadUnit.h"

#include "CapturedOutput.h"
#include "FireWireBackend.h"
#include "SimulatedBus.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using kasim::Operation;
using katest::CapturedOutput;
using katest::ScopedSimulatedKa;

std::unique_ptr<DownloadUnit> MakeUnit() {
    const io_service_t service = katest::LookUpKaService();
    auto unit = std::make_unique<DownloadUnit>(service);
    IOObjectRelease(service);
    return unit;
}

// An opened unit on a simulated Ka, with the diagnostics kept out of the test's output.
class DownloadUnitTest : public testing::Test {
  protected:
    explicit DownloadUnitTest(kasim::SimulatedKaConfig config = {}) : ka_(config) {
        CapturedOutput quiet;
        unit_ = MakeUnit();
        unit_->Open();
        ka_->ClearTransactions();
    }
    ~DownloadUnitTest() override {
        CapturedOutput quiet;
        unit_->Close();
        unit_.reset();
    }

    ScopedSimulatedKa ka_;
    std::unique_ptr<DownloadUnit> unit_;
};

TEST(DownloadUnitLifeTest, AnnouncesConstructionAndDestruction) {
    ScopedSimulatedKa ka;
    CapturedOutput capture;
    auto unit = MakeUnit();
    EXPECT_EQ(unit->MaxDownloadBlockSize(), 128u);
    unit.reset();
    const auto output = capture.Take();
    EXPECT_EQ(output.out, "Ctor DownloadUnit\nDtor DownloadUnit\n");
    EXPECT_EQ(output.err, "");
    // Neither construction nor destruction touches the bus.
    EXPECT_TRUE(katest::Transfers(*ka).empty());
}

struct Expected {
    Operation operation;
    std::uint64_t address;
    std::uint32_t length;
    std::vector<std::uint8_t> bytes;  // as on the bus
    std::uint32_t generation;
    IOReturn status;
};

TEST_F(DownloadUnitTest, EveryOperationIsOneTransactionAtItsRegister) {
    UInt32 generation = 7;
    UInt32 value = 0xDEADBEEF;
    UInt32 xilinx = 0;
    UInt32 mcore = 1;
    std::string serial;
    const UInt8 header[20] = {0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const UInt8 data[4] = {0x31, 0x32, 0x33, 0x34};
    ka_->SetErasePolls(0);

    EXPECT_EQ(unit_->BeginUpdate(generation), kIOReturnSuccess);
    EXPECT_EQ(unit_->ReadStatusRegister(value, generation), kIOReturnSuccess);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(unit_->SetUpdateCommand(generation, mcore), kIOReturnSuccess);
    EXPECT_EQ(unit_->SetUpdateCommand(generation, xilinx), kIOReturnSuccess);
    EXPECT_EQ(unit_->SendBlock(header, 20, 0, generation), kIOReturnSuccess);
    EXPECT_EQ(unit_->SendBlock(data, 4, 336714, generation), kIOReturnSuccess);
    EXPECT_EQ(unit_->RestoreNormalOperation(generation), kIOReturnSuccess);
    EXPECT_EQ(unit_->SendCRCAndVerify(0x1234, generation), kIOFireWireDataError);
    EXPECT_EQ(unit_->ReadUpdateControl(value, generation), kIOReturnSuccess);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(unit_->GetSoftwareVersion(value), kIOReturnSuccess);
    EXPECT_EQ(value, 0u);  // both flashes were erased
    EXPECT_EQ(unit_->GetProductRevision(value), kIOReturnSuccess);
    EXPECT_EQ(value, 0x00020000u);
    EXPECT_EQ(unit_->GetProductSerNum(serial), kIOReturnSuccess);
    EXPECT_EQ(generation, 7u);  // passed on, never updated

    const std::vector<Expected> expected = {
        {Operation::WriteQuadlet, 0xFFFF'F0430000, 4, {0, 0, 0, 1}, 7, kIOReturnSuccess},
        {Operation::ReadQuadlet, 0xFFFF'F0430014, 4, {0, 0, 0, 1}, 7, kIOReturnSuccess},
        {Operation::WriteQuadlet, 0xFFFF'F043000C, 4, {0, 0, 0, 1}, 7, kIOReturnSuccess},
        {Operation::WriteQuadlet, 0xFFFF'F043000C, 4, {0, 0, 0, 0}, 7, kIOReturnSuccess},
        {Operation::WriteBlock,
         0xFFFF'F0430020,
         20,
         {std::begin(header), std::end(header)},
         7,
         kIOReturnSuccess},
        {Operation::WriteBlock, 0xFFFF'F0430020, 4, {0x31, 0x32, 0x33, 0x34}, 7, kIOReturnSuccess},
        {Operation::WriteQuadlet, 0xFFFF'F0430010, 4, {0, 0, 0x12, 0x34}, 7, kIOFireWireDataError},
        {Operation::ReadQuadlet, 0xFFFF'F0430000, 4, {0, 0, 0, 0}, 7, kIOReturnSuccess},
        {Operation::ReadQuadlet, 0xFFFF'F0430004, 4, {0, 0, 0, 0}, 0, kIOReturnSuccess},
        {Operation::ReadQuadlet, 0xFFFF'F0430008, 4, {0, 2, 0, 0}, 0, kIOReturnSuccess},
        {Operation::ReadBlock,
         0xFFFF'F0430220,
         8,
         {'K', 'A', '0', '0', '4', '7', '1', '1'},
         0,
         kIOReturnSuccess},
    };
    const auto transfers = katest::Transfers(*ka_);
    ASSERT_EQ(transfers.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(transfers[index].operation, expected[index].operation);
        EXPECT_EQ(transfers[index].address, expected[index].address);
        EXPECT_EQ(transfers[index].length, expected[index].length);
        EXPECT_EQ(transfers[index].bytes, expected[index].bytes);
        EXPECT_EQ(transfers[index].requestedGeneration, expected[index].generation);
        EXPECT_EQ(transfers[index].status, expected[index].status);
        EXPECT_TRUE(transfers[index].relativeToDevice);
        EXPECT_FALSE(transfers[index].failOnReset);
    }
    // Quadlet values are host-order numbers to the caller.
    EXPECT_EQ(transfers[6].value, 0x1234u);
}

TEST_F(DownloadUnitTest, SerialNumberTextEndsAtTheFirstZeroOrTheEighthByte) {
    struct Case {
        const char* unitBytes;
        std::uint32_t delivered;
        const char* text;
    };
    for (const Case& c : {Case{"KA004711", 8, "KA004711"}, Case{"KA0", 8, "KA0"},
                          Case{"KA004711", 5, "KA004"}, Case{"", 8, ""}}) {
        ka_->SetSerialNumber(kasim::SerialNumberFromText(c.unitBytes));
        ka_->SetSerialBytesDelivered(c.delivered);
        std::string serial = "stale";
        EXPECT_EQ(unit_->GetProductSerNum(serial), kIOReturnSuccess);
        EXPECT_EQ(serial, c.text);
    }
}

TEST_F(DownloadUnitTest, AFailedSerialNumberReadLeavesAnEmptyText) {
    kasim::TransactionFault fault(Operation::ReadBlock, kIOReturnTimeout);
    fault.address = 0xFFFF'F0430220;
    ka_->AddTransactionFault(fault);
    std::string serial = "KA004711";
    EXPECT_EQ(unit_->GetProductSerNum(serial), kIOReturnTimeout);
    EXPECT_EQ(serial, "");
}

TEST_F(DownloadUnitTest, RestoreNormalOperationStaysOffTheBus) {
    UInt32 generation = 3;
    EXPECT_EQ(unit_->RestoreNormalOperation(generation), kIOReturnSuccess);
    EXPECT_EQ(ka_->TransactionCount(), 0u);
}

TEST_F(DownloadUnitTest, CancelTransferEndsTheUpdateAndReportsHowItWent) {
    UInt32 generation = 1;
    ASSERT_EQ(unit_->BeginUpdate(generation), kIOReturnSuccess);
    ASSERT_TRUE(ka_->UpdateActive());
    ka_->ClearTransactions();
    EXPECT_EQ(unit_->CancelTransfer(generation), kIOReturnSuccess);
    EXPECT_FALSE(ka_->UpdateActive());
    const auto transfers = katest::Transfers(*ka_);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].bytes, (std::vector<std::uint8_t>{0, 0, 0, 2}));
    EXPECT_EQ(transfers[1].operation, Operation::ReadQuadlet);

    // A cancel that never reached the unit is not reported as done.
    ka_->AddTransactionFault({Operation::WriteQuadlet, kIOReturnNotResponding});
    ka_->ClearTransactions();
    EXPECT_EQ(unit_->CancelTransfer(generation), kIOReturnNotResponding);
    EXPECT_EQ(katest::Transfers(*ka_).size(), 1u);

    ka_->AddTransactionFault({Operation::ReadQuadlet, kIOReturnIOError});
    EXPECT_EQ(unit_->CancelTransfer(generation), kIOReturnIOError);
}

// A unit whose update control register always reads 1.
class StuckDevice : public kaplatform::FireWireDevice {
  public:
    explicit StuckDevice(unsigned& reads) : reads_(reads) {}
    IOReturn Open() override { return kIOReturnSuccess; }
    void Close() override {}
    IOReturn GetBusGeneration(std::uint32_t& generation) override {
        generation = 1;
        return kIOReturnSuccess;
    }
    IOReturn Read(const kaplatform::FireWireTarget&, void*, std::uint32_t&, bool,
                  std::uint32_t) override {
        return kIOReturnSuccess;
    }
    IOReturn ReadQuadlet(const kaplatform::FireWireTarget&, std::uint32_t& value, bool,
                         std::uint32_t) override {
        ++reads_;
        value = 1;
        return kIOReturnSuccess;
    }
    IOReturn Write(const kaplatform::FireWireTarget&, const void*, std::uint32_t&, bool,
                   std::uint32_t) override {
        return kIOReturnSuccess;
    }
    IOReturn WriteQuadlet(const kaplatform::FireWireTarget&, std::uint32_t, bool,
                          std::uint32_t) override {
        return kIOReturnSuccess;
    }
    std::uint32_t GenerationSentIn() const override { return 1; }

  private:
    unsigned& reads_;
};

class StuckBackend : public kaplatform::FireWireBackend {
  public:
    std::optional<std::string> FindUnit(std::uint32_t, std::uint32_t) override { return "stuck"; }
    std::optional<std::uint64_t> UnitGuid(const std::string&) override { return 1; }
    IOReturn CreateDevice(const std::string&,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override {
        device = std::make_unique<StuckDevice>(reads);
        return kIOReturnSuccess;
    }
    unsigned reads = 0;
};

TEST(DownloadUnitCancelTest, GivesUpWhenTheTransferNeverEnds) {
    auto backend = std::make_shared<StuckBackend>();
    kaplatform::SetFireWireBackend(backend);
    {
        CapturedOutput quiet;
        auto unit = MakeUnit();
        UInt32 generation = 1;
        EXPECT_EQ(unit->CancelTransfer(generation), kIOReturnTimeout);
    }
    kaplatform::SetFireWireBackend(nullptr);
    EXPECT_EQ(backend->reads, 1000u);
}

}  // namespace
