// Transactions as they reach the bus, what each kernel response code becomes, and how
// time-outs, bus resets and an unplug end a transfer.
#include "KaOnBus.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <linux/firewire-constants.h>

#include <numeric>

namespace katest {
namespace {

class TransferTest : public KaOnBus {
  protected:
    void SetUp() override { ASSERT_EQ(device->Open(), kIOReturnSuccess); }

    const SentRequest& OnlyRequest() {
        EXPECT_EQ(kernel->Requests().size(), 1u);
        return kernel->Requests().back();
    }
};

TEST_F(TransferTest, QuadletWriteTravelsMostSignificantByteFirst) {
    ASSERT_EQ(device->WriteQuadlet(kStatus, 0x12345678u, false, 0), kIOReturnSuccess);
    const SentRequest& request = OnlyRequest();
    EXPECT_EQ(request.devicePath, "/dev/fw1");
    EXPECT_EQ(request.transactionCode, unsigned{TCODE_WRITE_QUADLET_REQUEST});
    EXPECT_EQ(request.length, 4u);
    EXPECT_EQ(request.offset, kStatusRegister);
    EXPECT_EQ(request.generation, kernel->Generation());
    EXPECT_EQ(request.payload, (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(registers.Peek(kStatusRegister, 4), (Bytes{0x12, 0x34, 0x56, 0x78}));
}

TEST_F(TransferTest, QuadletReadComesBackInHostOrder) {
    registers.Poke(kStatusRegister, {0xA1, 0xB2, 0xC3, 0xD4});
    std::uint32_t value = 0;
    ASSERT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 0xA1B2C3D4u);
    const SentRequest& request = OnlyRequest();
    EXPECT_EQ(request.transactionCode, unsigned{TCODE_READ_QUADLET_REQUEST});
    EXPECT_EQ(request.length, 4u);
    EXPECT_EQ(request.offset, kStatusRegister);
    EXPECT_TRUE(request.payload.empty());
}

TEST_F(TransferTest, BlockWriteSendsTheBufferInMemoryOrder) {
    Bytes block(128);
    std::iota(block.begin(), block.end(), std::uint8_t{0x80});
    std::uint32_t size = 128;
    ASSERT_EQ(device->Write(kData, block.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 128u);
    const SentRequest& request = OnlyRequest();
    EXPECT_EQ(request.transactionCode, unsigned{TCODE_WRITE_BLOCK_REQUEST});
    EXPECT_EQ(request.length, 128u);
    EXPECT_EQ(request.offset, kDataWindow);
    EXPECT_EQ(request.generation, kernel->Generation());
    EXPECT_EQ(request.payload, block);
    EXPECT_EQ(registers.Peek(kDataWindow, 128), block);
}

TEST_F(TransferTest, BlockReadFillsTheBufferInMemoryOrder) {
    registers.Poke(kDataWindow, {'K', 'A', '0', '0', '4', '2', 0, 0});
    Bytes buffer(8, 0xEE);
    std::uint32_t size = 8;
    ASSERT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buffer, (Bytes{'K', 'A', '0', '0', '4', '2', 0, 0}));
    const SentRequest& request = OnlyRequest();
    EXPECT_EQ(request.transactionCode, unsigned{TCODE_READ_BLOCK_REQUEST});
    EXPECT_EQ(request.length, 8u);
    EXPECT_EQ(request.offset, kDataWindow);
}

TEST_F(TransferTest, ShortBlockReadReportsWhatArrived) {
    registers.Poke(kDataWindow, {1, 2, 3, 4, 5, 6, 7, 8});
    registers.LimitBlockReads(5);
    Bytes buffer(8, 0xEE);
    std::uint32_t size = 8;
    ASSERT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE}));
}

TEST_F(TransferTest, AnswerLongerThanAskedForStaysInsideTheBuffer) {
    kernel->InjectFault({FakeKernel::Fault::Kind::OversizedResponse});
    Bytes buffer(8, 0xEE);
    std::uint32_t size = 4;
    ASSERT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer, (Bytes{0x5A, 0x5A, 0x5A, 0x5A, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(TransferTest, QuadletAnswerWithoutItsQuadletIsAnError) {
    kernel->InjectFault({FakeKernel::Fault::Kind::ShortResponse});
    std::uint32_t value = 0xCAFEF00D;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnIOError);
    EXPECT_EQ(value, 0xCAFEF00Du);
}

TEST_F(TransferTest, NodeIdIsIgnoredForDeviceRelativeTargets) {
    ASSERT_EQ(device->WriteQuadlet({true, 0xFFC2, kStatusRegister}, 1, false, 0), kIOReturnSuccess);
    ASSERT_EQ(device->WriteQuadlet({true, 0x0000, kStatusRegister}, 2, false, 0), kIOReturnSuccess);
    ASSERT_EQ(kernel->Requests().size(), 2u);
    EXPECT_EQ(kernel->Requests()[0].offset, kernel->Requests()[1].offset);
}

TEST_F(TransferTest, TransfersThatCannotBeExpressedNeverReachTheBus) {
    std::uint32_t value = 0;
    std::uint32_t size = 4;
    Bytes buffer(4);
    EXPECT_EQ(device->ReadQuadlet({false, 0xFFC1, kStatusRegister}, value, false, 0),
              kIOReturnUnsupported);
    EXPECT_EQ(device->Write({false, 0xFFC1, kDataWindow}, buffer.data(), size, false, 0),
              kIOReturnUnsupported);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(device->WriteQuadlet({true, 0, 0x1'0000'0000'0000ull}, 1, false, 0),
              kIOReturnBadArgument);
    size = 0;
    EXPECT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnBadArgument);
    EXPECT_TRUE(kernel->Requests().empty());
}

TEST_F(TransferTest, ClosedDeviceTransfersNothing) {
    device->Close();
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnNotOpen);
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, false, 0), kIOReturnNotOpen);
    EXPECT_TRUE(kernel->Requests().empty());
}

// ---- response codes

struct ResponseMapping {
    const char* name;
    std::uint32_t responseCode;
    IOReturn status;
};

void PrintTo(const ResponseMapping& mapping, std::ostream* out) {
    *out << mapping.name;
}

class ResponseCodeTest : public TransferTest,
                         public testing::WithParamInterface<ResponseMapping> {};

TEST_P(ResponseCodeTest, FailsEveryKindOfTransferAlike) {
    // failOnReset true so that GENERATION is reported rather than retried. (BUSY, retried
    // whatever failOnReset says, has tests of its own.)
    const std::uint32_t generation = kernel->Generation();
    const IOReturn expected = GetParam().status;
    for (int kind = 0; kind < 4; ++kind) {
        kernel->InjectResponseCode(GetParam().responseCode);
    }
    std::uint32_t value = 0xCAFEF00D;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, true, generation), expected);
    EXPECT_EQ(value, 0xCAFEF00Du) << "a failed read must not invent a value";
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, true, generation), expected);

    Bytes buffer(16, 0xEE);
    std::uint32_t size = 16;
    EXPECT_EQ(device->Read(kData, buffer.data(), size, true, generation), expected);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer, Bytes(16, 0xEE));
    size = 16;
    EXPECT_EQ(device->Write(kData, buffer.data(), size, true, generation), expected);
    EXPECT_EQ(size, 0u);

    EXPECT_EQ(kernel->Requests().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, ResponseCodeTest,
    testing::Values(ResponseMapping{"ConflictError", RCODE_CONFLICT_ERROR,
                                    kIOFireWireConflictError},
                    ResponseMapping{"TypeError", RCODE_TYPE_ERROR, kIOFireWireTypeError},
                    ResponseMapping{"AddressError", RCODE_ADDRESS_ERROR, kIOFireWireAddressError},
                    ResponseMapping{"Generation", RCODE_GENERATION, kIOFireWireBusReset},
                    ResponseMapping{"Reserved", 0x3, kIOReturnIOError},
                    ResponseMapping{"Unknown", 0x15, kIOReturnIOError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, AnswerFromOutsideTheRegistersIsAnAddressError) {
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet({true, 0, 0xFFFF'F000'0400ull}, value, false, 0),
              kIOFireWireAddressError);
}

// ---- time-outs

TEST_F(TransferTest, MissingResponseEndsInABoundedTimeOut) {
    kernel->InjectFault({FakeKernel::Fault::Kind::NoResponse});
    std::uint32_t read = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, read, false, 0), kIOReturnTimeout);
    ASSERT_FALSE(kernel->PollTimeouts().empty());
    const int waited = kernel->PollTimeouts().back();
    EXPECT_GT(waited, 0);
    EXPECT_LE(waited, kPolicy.answerDeadline.count());

    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess)
        << "the device stays usable";
}

TEST_F(TransferTest, LateResponseIsNotTakenForTheNextOne) {
    registers.Poke(kStatusRegister, {0, 0, 0, 1});
    registers.Poke(kDataWindow, {0, 0, 0, 2});
    kernel->InjectFault({FakeKernel::Fault::Kind::LateResponse});
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnTimeout);
    ASSERT_EQ(device->ReadQuadlet(kData, value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 2u);
}

// ---- generations and bus resets

TEST_F(TransferTest, WithoutFailOnResetTheNewestGenerationIsSent) {
    const std::uint32_t before = kernel->Generation();
    ASSERT_EQ(device->WriteQuadlet(kStatus, 1, false, 999), kIOReturnSuccess);
    kernel->BusReset();
    ASSERT_EQ(device->WriteQuadlet(kStatus, 2, false, before), kIOReturnSuccess);
    ASSERT_EQ(kernel->Requests().size(), 2u) << "the queued reset must be seen before sending";
    EXPECT_EQ(kernel->Requests()[0].generation, before);
    EXPECT_EQ(kernel->Requests()[1].generation, before + 1);
}

TEST_F(TransferTest, WithFailOnResetTheCallersGenerationIsSentAndAStaleOneFails) {
    const std::uint32_t before = kernel->Generation();
    kernel->BusReset();
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, true, before), kIOFireWireBusReset);
    ASSERT_EQ(kernel->Requests().size(), 1u);
    EXPECT_EQ(kernel->Requests()[0].generation, before);
    EXPECT_EQ(registers.WriteCount(), 0);
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, true, before + 1), kIOReturnSuccess);
}

TEST_F(TransferTest, BusResetDuringATransferIsRetriedOnceInTheNewGeneration) {
    const std::uint32_t before = kernel->Generation();
    kernel->InjectFault({FakeKernel::Fault::Kind::BusResetBeforeSend});
    ASSERT_EQ(device->WriteQuadlet(kStatus, 0xDEADBEEFu, false, before), kIOReturnSuccess);
    ASSERT_EQ(kernel->Requests().size(), 2u);
    EXPECT_EQ(kernel->Requests()[0].generation, before);
    EXPECT_EQ(kernel->Requests()[1].generation, before + 1);
    EXPECT_EQ(kernel->Requests()[1].payload, kernel->Requests()[0].payload);
    EXPECT_EQ(registers.WriteCount(), 1);
    EXPECT_EQ(registers.Peek(kStatusRegister, 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(TransferTest, BusResetDuringARetriedReadStillDeliversTheData) {
    registers.Poke(kDataWindow, {9, 8, 7, 6});
    kernel->InjectFault({FakeKernel::Fault::Kind::BusResetBeforeSend});
    Bytes buffer(4);
    std::uint32_t size = 4;
    ASSERT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer, (Bytes{9, 8, 7, 6}));
}

TEST_F(TransferTest, BusResetWithFailOnResetIsNotRetried) {
    kernel->InjectFault({FakeKernel::Fault::Kind::BusResetBeforeSend});
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, true, kernel->Generation()), kIOFireWireBusReset);
    EXPECT_EQ(kernel->Requests().size(), 1u);
    EXPECT_EQ(registers.WriteCount(), 0);
}

// ---- unplug

TEST_F(TransferTest, UnpluggedDeviceIsNoDevice) {
    kernel->Unplug("/dev/fw1");
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnNoDevice);
    std::uint32_t generation = 0;
    EXPECT_EQ(device->GetBusGeneration(generation), kIOReturnNoDevice);
}

TEST_F(TransferTest, UnplugWhileWaitingForTheResponseIsNoDeviceForARead) {
    // (A write the unit may have taken by then is another matter: RealBusTest.)
    kernel->InjectFault({FakeKernel::Fault::Kind::Unplug});
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnNoDevice);
    EXPECT_EQ(kernel->Requests().size(), 1u);
}

}  // namespace
}  // namespace katest
