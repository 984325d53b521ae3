// The download sequencer against the simulated unit, with the pauses on a virtual clock: what
// the unit receives for each image, what is written, the pauses and progress marks, and how
// every failing step ends the image.
#include "Downloader.h"

#include "BuiltInImages.h"
#include "CapturedOutput.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "DownloaderTestAccess.h"
#include "FireWireStatus.h"
#include "ReferenceCrc16.h"
#include "ScopedDownloadPauseClock.h"
#include "SimulatedBus.h"
#include "VirtualDownloadPauseClock.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using kasim::Component;
using kasim::FlashContents;
using kasim::ImageFault;
using kasim::ImageFaultKind;
using kasim::ImageSelection;
using kasim::Operation;
using kasim::Transaction;
using kasim::TransactionFault;
using katest::CapturedOutput;
using katest::ScopedSimulatedKa;
using Bytes = std::vector<UInt8>;

constexpr std::uint64_t kControl = 0xFFFF'F0430000;
constexpr std::uint64_t kCommand = 0xFFFF'F043000C;
constexpr std::uint64_t kCrc = 0xFFFF'F0430010;
constexpr std::uint64_t kStatus = 0xFFFF'F0430014;
constexpr std::uint64_t kData = 0xFFFF'F0430020;

constexpr UInt32 kOperationPause = 1000;
constexpr UInt32 kErasePollPause = 1000000;
constexpr SInt32 kDeviceFailed = -192;

// Where the configuration data starts in the built-in bitstream: its sync word.
constexpr UInt32 kXilinxStart = 74;
constexpr unsigned kXilinxBlocks = 2631;
constexpr unsigned kMcoreBlocks = 585;

// What the unit is sent for one image, from its bytes and its start offset.
struct ImagePlan {
    DOWNLOADTYPE type;
    std::span<const UInt8> file;
    UInt32 start;
    UInt32 command;
    Component component;
    UInt32 eraseMark;

    std::span<const UInt8> Data() const { return file.subspan(start); }
    unsigned Blocks() const { return static_cast<unsigned>((Data().size() + 127) / 128); }
};

ImagePlan XilinxPlan() {
    return {fileXILINX, katest::XilinxFile(), kXilinxStart, 0, Component::Xilinx, 40};
}
ImagePlan McorePlan() {
    return {fileMCORE, katest::McoreFile(), 0, 1, Component::Mcore, 80};
}

Bytes HeaderFor(UInt32 sizeB) {
    return {0xFF,
            0xFF,
            0x00,
            0x01,
            static_cast<UInt8>(sizeB >> 24),
            static_cast<UInt8>(sizeB >> 16),
            static_cast<UInt8>(sizeB >> 8),
            static_cast<UInt8>(sizeB),
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF};
}

Bytes QuadletBytes(UInt32 value) {
    return {static_cast<UInt8>(value >> 24), static_cast<UInt8>(value >> 16),
            static_cast<UInt8>(value >> 8), static_cast<UInt8>(value)};
}

std::string XilinxPrologue() {
    return "Opening Xilinx data file\nBusGen 1\nFWDL::Open\n";
}
std::string McorePrologue() {
    return "Opening MCORE 06 file\nBusGen 1\nFWDL::Open\n";
}
std::string Repeated(const std::string& text, unsigned times) {
    std::string all;
    for (unsigned index = 0; index < times; ++index) {
        all += text;
    }
    return all;
}
std::string IOReturnText(IOReturn status) {
    return std::to_string(static_cast<SInt32>(status));
}

// What the download's transfers amount to.
struct SentSummary {
    unsigned commandWrites = 0;
    unsigned blockWrites = 0;  // the header included
    unsigned crcWrites = 0;
    Bytes dataTaken;  // data block bytes the unit took, the header excluded
};

SentSummary Summarise(const std::vector<Transaction>& transfers) {
    SentSummary summary;
    bool headerSeen = false;
    for (const auto& transfer : transfers) {
        if (transfer.operation == Operation::WriteQuadlet && transfer.address == kCommand) {
            ++summary.commandWrites;
        } else if (transfer.operation == Operation::WriteQuadlet && transfer.address == kCrc) {
            ++summary.crcWrites;
        } else if (transfer.operation == Operation::WriteBlock && transfer.address == kData) {
            ++summary.blockWrites;
            if (headerSeen && transfer.status == kIOReturnSuccess) {
                summary.dataTaken.insert(summary.dataTaken.end(), transfer.bytes.begin(),
                                         transfer.bytes.end());
            }
            headerSeen = true;
        }
    }
    return summary;
}

struct Download {
    katest::Output output;
    SInt32 status = 0;
    std::vector<UInt32> pauses;
    // The progress value at each pause (in step with pauses), then after the download.
    std::vector<UInt32> progressAtPauses;
    UInt32 finalProgress = 0;
    std::vector<Transaction> transfers;
    std::vector<Operation> operations;
};

// A fresh unit object on a simulated Ka (two erase polls of 0 before the erase is done) and a
// sequencer, the pauses on a virtual clock that samples the progress at each one.
class DownloaderTest : public testing::Test {
  protected:
    explicit DownloaderTest(kasim::SimulatedKaConfig config = {}) : ka_(std::move(config)) {
        CapturedOutput quiet;
        unit_ = NewUnit();
        downloader_ = std::make_unique<Downloader>();
        gDownloadProgress.Reset();
        gDownloadProgress.SetDeviceType(Xilinx);
        clock_.SetPauseObserver([this](UInt32 microseconds) {
            pauses_.push_back(microseconds);
            progress_.push_back(gDownloadProgress.Get());
            if (onPause_) {
                onPause_(pauses_.size());
            }
        });
    }
    ~DownloaderTest() override {
        CapturedOutput quiet;
        downloader_.reset();
        unit_.reset();
        gDownloadProgress.Reset();
        gDownloadProgress.SetDeviceType(Xilinx);
    }

    static std::unique_ptr<DownloadUnit> NewUnit() {
        const io_service_t service = katest::LookUpKaService();
        auto unit = std::make_unique<DownloadUnit>(service);
        IOObjectRelease(service);
        return unit;
    }

    Download Run(DOWNLOADTYPE type, DownloadUnit* unit) {
        gDownloadProgress.SetDeviceType(type == fileMCORE ? MCORE : Xilinx);
        ka_->ClearTransactions();
        pauses_.clear();
        progress_.clear();
        Download download;
        {
            CapturedOutput capture;
            downloader_->DoDownload(unit, type);
            download.output = capture.Take();
        }
        download.status = downloader_->Error();
        download.pauses = pauses_;
        download.progressAtPauses = progress_;
        download.finalProgress = gDownloadProgress.Get();
        download.transfers = katest::Transfers(*ka_);
        download.operations = katest::Operations(*ka_);
        return download;
    }
    Download Run(DOWNLOADTYPE type) { return Run(type, unit_.get()); }

    // The interface was closed: another unit object can open the unit.
    void ExpectClosedAgain() {
        CapturedOutput quiet;
        auto other = NewUnit();
        EXPECT_EQ(other->Open(), kIOReturnSuccess);
        other->Close();
    }

    ScopedSimulatedKa ka_;
    VirtualDownloadPauseClock clock_;
    ScopedDownloadPauseClock clockInstalled_{clock_};
    std::unique_ptr<DownloadUnit> unit_;
    std::unique_ptr<Downloader> downloader_;
    std::vector<UInt32> pauses_;
    std::vector<UInt32> progress_;
    std::function<void(std::size_t pauseNumber)> onPause_;
};

constexpr unsigned kErasePolls = 2;  // the simulated unit's default

// The transfers of one whole image, in order, as the unit must see them; erasePolls status
// reads of 0 before the erase is done.
struct ExpectedTransfer {
    Operation operation;
    std::uint64_t address;
    Bytes bytes;
};

std::vector<ExpectedTransfer> ExpectedTransfers(const ImagePlan& plan, unsigned erasePolls,
                                                UInt16 crc) {
    std::vector<ExpectedTransfer> expected = {
        {Operation::WriteQuadlet, kControl, QuadletBytes(1)},
        {Operation::ReadQuadlet, kStatus, QuadletBytes(1)},
        {Operation::WriteQuadlet, kCommand, QuadletBytes(plan.command)},
    };
    for (unsigned poll = 0; poll < erasePolls; ++poll) {
        expected.push_back({Operation::ReadQuadlet, kStatus, QuadletBytes(0)});
    }
    expected.push_back({Operation::ReadQuadlet, kStatus, QuadletBytes(1)});
    expected.push_back(
        {Operation::WriteBlock, kData, HeaderFor(static_cast<UInt32>(plan.Data().size()))});
    const auto data = plan.Data();
    for (std::size_t at = 0; at < data.size(); at += 128) {
        const auto block = data.subspan(at, std::min<std::size_t>(128, data.size() - at));
        expected.push_back({Operation::WriteBlock, kData, Bytes(block.begin(), block.end())});
    }
    expected.push_back({Operation::WriteQuadlet, kCrc, QuadletBytes(crc)});
    return expected;
}

void ExpectTransfers(const std::vector<Transaction>& actual,
                     const std::vector<ExpectedTransfer>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index) {
        const Transaction& transfer = actual[index];
        const bool same = transfer.operation == expected[index].operation &&
                          transfer.address == expected[index].address &&
                          transfer.bytes == expected[index].bytes &&
                          transfer.status == kIOReturnSuccess && transfer.requestedGeneration == 1;
        if (!same) {
            ADD_FAILURE() << "transfer " << index
                          << " differs: " << kaplatform::BusOperationName(transfer.operation)
                          << " at 0x" << std::hex << transfer.address << std::dec << ", "
                          << transfer.bytes.size() << " bytes, status " << transfer.status;
            return;
        }
    }
}

std::vector<UInt32> ExpectedPauses(unsigned erasePolls, unsigned blocks) {
    std::vector<UInt32> pauses(3, kOperationPause);
    pauses.insert(pauses.end(), erasePolls, kErasePollPause);
    pauses.insert(pauses.end(), 1 + blocks + 1, kOperationPause);
    return pauses;
}

// Progress at the pauses: 0 until the readiness check, then the erase mark; from the header
// on, the value after each block rises through every whole number to the mark + 20.
void ExpectProgress(const Download& download, const ImagePlan& plan, unsigned erasePolls) {
    const auto& samples = download.progressAtPauses;
    ASSERT_EQ(samples.size(), 3 + erasePolls + 1 + plan.Blocks() + 1);
    EXPECT_EQ(samples[0], 0u);
    EXPECT_EQ(samples[1], 0u);
    for (std::size_t index = 2; index < 3 + erasePolls + 1; ++index) {
        EXPECT_EQ(samples[index], plan.eraseMark) << "pause " << index;
    }
    std::vector<UInt32> afterBlocks(samples.begin() + 3 + erasePolls + 1, samples.end());
    EXPECT_EQ(afterBlocks.front(), plan.eraseMark);
    EXPECT_TRUE(std::is_sorted(afterBlocks.begin(), afterBlocks.end()));
    EXPECT_EQ(download.finalProgress, plan.eraseMark + 20);
    EXPECT_EQ(afterBlocks.back(), download.finalProgress);  // the CRC's pause
    const std::set<UInt32> seen(afterBlocks.begin(), afterBlocks.end());
    EXPECT_EQ(seen.size(), 21u);
    EXPECT_EQ(*seen.begin(), plan.eraseMark);
    EXPECT_EQ(*seen.rbegin(), plan.eraseMark + 20);
}

TEST_F(DownloaderTest, BothImagesReachTheUnitExactlyAndAreInstalled) {
    struct Case {
        ImagePlan plan;
        std::string out;
        unsigned blocks;
        UInt32 lastBlockBytes;
    };
    const Case cases[] = {
        {XilinxPlan(),
         XilinxPrologue() +
             "Erasing Xilinx Image\nSending Data...\nUpdate successful.\n\rFWDL::Close\n",
         kXilinxBlocks, 40},
        {McorePlan(),
         McorePrologue() +
             "Erasing MCORE image\nSending Data...\nUpdate successful.\n\rFWDL::Close\n",
         kMcoreBlocks, 124},
    };
    // The bitstream's configuration data starts at its sync word.
    const auto& sync = kawire::kSyncPattern;
    ASSERT_EQ(std::memcmp(katest::XilinxFile().data() + kXilinxStart, sync.data(), sync.size()), 0);

    std::size_t operationPauses = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plan.type == fileXILINX ? "Xilinx" : "MCORE");
        ASSERT_EQ(c.plan.Blocks(), c.blocks);
        ASSERT_EQ(c.plan.Data().size() % 128, c.lastBlockBytes);
        const Download download = Run(c.plan.type);

        EXPECT_EQ(download.status, 0);
        EXPECT_EQ(download.output.out, c.out);
        EXPECT_EQ(download.output.err, Repeated("Erasing Flash\n", kErasePolls));

        const SentSummary sent = Summarise(download.transfers);
        const UInt16 crc = katest::ReferenceCrc16(sent.dataTaken);
        EXPECT_EQ(sent.dataTaken, Bytes(c.plan.Data().begin(), c.plan.Data().end()));
        ExpectTransfers(download.transfers, ExpectedTransfers(c.plan, kErasePolls, crc));
        ASSERT_GE(download.operations.size(), 2u);
        EXPECT_EQ(download.operations.front(), Operation::GetGeneration);
        EXPECT_EQ(download.operations[1], Operation::Open);
        EXPECT_EQ(download.operations.back(), Operation::Close);

        const FlashContents flash = ka_->Flash(c.plan.component);
        EXPECT_EQ(flash.state, FlashContents::State::Installed);
        EXPECT_EQ(flash.lastOutcome, kasim::VerifyOutcome::Installed);
        EXPECT_EQ(flash.bytes, Bytes(c.plan.Data().begin(), c.plan.Data().end()));
        EXPECT_EQ(flash.crc, crc);

        EXPECT_EQ(download.pauses, ExpectedPauses(kErasePolls, c.blocks));
        ExpectProgress(download, c.plan, kErasePolls);
        operationPauses += static_cast<std::size_t>(
            std::count(download.pauses.begin(), download.pauses.end(), kOperationPause));
    }
    // The pauses the protocol demands for a whole update.
    EXPECT_EQ(operationPauses, 3226u);
    ExpectClosedAgain();
}

TEST_F(DownloaderTest, XilinxProgressReaches41OnlyAfterBlock131) {
    const Download download = Run(fileXILINX);
    ASSERT_EQ(download.status, 0);
    // The sample at the pause of block k + 1 is the value after k blocks.
    const auto firstBlockPause = download.progressAtPauses.begin() + 3 + kErasePolls + 1;
    const auto first41 = std::find(firstBlockPause, download.progressAtPauses.end(), 41u);
    EXPECT_EQ(first41 - firstBlockPause, 131);
}

TEST_F(DownloaderTest, TheSixtiethErasePollMayStillSayDone) {
    ka_->SetErasePolls(59);
    const Download download = Run(fileMCORE);
    EXPECT_EQ(download.status, 0);
    EXPECT_EQ(download.output.err, Repeated("Erasing Flash\n", 59));
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, FlashContents::State::Installed);
    EXPECT_EQ(download.pauses, ExpectedPauses(59, kMcoreBlocks));
}

TEST_F(DownloaderTest, AFailedOpenOfAUsableUnitIsReportedAndTheImageGoesOn) {
    // Opened already by this very interface: the second Open is refused, the unit still
    // answers.
    {
        CapturedOutput quiet;
        ASSERT_EQ(unit_->Open(), kIOReturnSuccess);
    }
    const Download download = Run(fileXILINX);
    EXPECT_EQ(download.status, 0);
    EXPECT_EQ(download.output.out,
              XilinxPrologue() +
                  "Erasing Xilinx Image\nSending Data...\nUpdate successful.\n\rFWDL::Close\n");
    EXPECT_EQ(download.output.err,
              "Could not open device\n\r" + Repeated("Erasing Flash\n", kErasePolls));
    EXPECT_EQ(ka_->Flash(Component::Xilinx).state, FlashContents::State::Installed);
    ExpectClosedAgain();
}

// One failing step: what it writes, the status it leaves, how far the unit got.
struct FailureCase {
    const char* name;
    DOWNLOADTYPE type;
    std::function<void(kasim::SimulatedKa&)> arrange;
    std::string out;
    std::string err;
    IOReturn status;
    unsigned commandWrites;
    unsigned blockWrites;  // the header included
    std::size_t dataBytesTaken;
    UInt32 progress;
    // Pauses after which the download is asked to stop; 0 for none.
    std::size_t cancelAfterPauses = 0;
};

const std::string kNotReady = "Device not ready - Could not prepare device for update.\n\r";
const std::string kXilinxErase = "Erasing Xilinx Image\n";
const std::string kSending = "Sending Data...\n";
const std::string kClose = "FWDL::Close\n";

std::string TriedToSend(UInt32 bytes, SInt32 at, IOReturn status) {
    return "Download has failed\n\rTried to send" + std::to_string(bytes) + "bytes at" +
           std::to_string(at) + ", got error" + IOReturnText(status) + "\n\r";
}

// Progress after a failed block at offset: the value of that unchanged position.
UInt32 ProgressAt(UInt32 base, SInt32 offset, SInt32 size) {
    return static_cast<UInt32>(static_cast<float>(base) +
                               20.0f * (static_cast<float>(offset) / static_cast<float>(size)));
}

std::vector<FailureCase> FailureCases() {
    const SInt32 xilinxSize = static_cast<SInt32>(katest::XilinxFile().size());
    const SInt32 mcoreSize = static_cast<SInt32>(katest::McoreFile().size());
    const std::string erasing = Repeated("Erasing Flash\n", kErasePolls);
    const auto transactionFault = [](Operation operation, IOReturn status, unsigned at,
                                     std::optional<std::uint64_t> address) {
        return [=](kasim::SimulatedKa& ka) {
            TransactionFault fault(operation, status, at);
            fault.address = address;
            ka.AddTransactionFault(fault);
        };
    };
    const auto imageFault = [](ImageFault fault) {
        return [=](kasim::SimulatedKa& ka) { ka.AddImageFault(fault); };
    };
    ImageFault notReady(ImageFaultKind::NotReady);
    notReady.statusValue = 0;
    ImageFault readyTwo(ImageFaultKind::NotReady);
    readyTwo.statusValue = 2;

    return {
        // The unit refuses every transfer of an interface that is not open.
        {"OpenFails", fileXILINX, transactionFault(Operation::Open, kIOReturnIOError, 1, {}),
         XilinxPrologue() + kClose, "Could not open device\n\r" + kNotReady + kNotReady,
         kIOReturnNotOpen, 0, 0, 0, 40},
        // The readiness read still says 1; the unit then refuses the erase command.
        {"BeginUpdateFails", fileXILINX,
         transactionFault(Operation::WriteQuadlet, kIOReturnIOError, 1, kControl),
         XilinxPrologue() + kXilinxErase + kClose,
         kNotReady + "Device not ready. Could not prepare device for update.\n\r",
         kIOFireWireConflictError, 1, 0, 0, 40},
        {"ReadinessReadsZero", fileXILINX, imageFault(notReady), XilinxPrologue() + kClose,
         kNotReady, kDeviceFailed, 0, 0, 0, 40},
        {"ReadinessReadsTwo", fileMCORE, imageFault(readyTwo), McorePrologue() + kClose, kNotReady,
         kDeviceFailed, 0, 0, 0, 80},
        {"ReadinessReadFails", fileXILINX,
         transactionFault(Operation::ReadQuadlet, kIOReturnTimeout, 1, kStatus),
         XilinxPrologue() + kClose, kNotReady, kIOReturnTimeout, 0, 0, 0, 40},
        {"EraseCommandFails", fileXILINX,
         transactionFault(Operation::WriteQuadlet, kIOReturnNotResponding, 1, kCommand),
         XilinxPrologue() + kXilinxErase + kClose,
         "Device not ready. Could not prepare device for update.\n\r", kIOReturnNotResponding, 1, 0,
         0, 40},
        {"ErasePollReadFails", fileXILINX,
         transactionFault(Operation::ReadQuadlet, kIOReturnIOError, 3, kStatus),
         XilinxPrologue() + kXilinxErase + kClose, "Erasing Flash\n", kIOReturnIOError, 1, 0, 0,
         40},
        {"EraseReadsTwo", fileXILINX, imageFault(ImageFault(ImageFaultKind::EraseFailure)),
         XilinxPrologue() + kXilinxErase + kClose, "Device failed - Could not erase flash.\n\r",
         kDeviceFailed, 1, 0, 0, 40},
        {"EraseNeverEnds", fileMCORE, imageFault(ImageFault(ImageFaultKind::EraseTimeout)),
         McorePrologue() + "Erasing MCORE image\n" + kClose,
         Repeated("Erasing Flash\n", 60) + "Device timed out. -Could not erase flash.\n\r",
         kDeviceFailed, 1, 0, 0, 80},
        {"SixtyZeroPolls", fileXILINX, [](kasim::SimulatedKa& ka) { ka.SetErasePolls(60); },
         XilinxPrologue() + kXilinxErase + kClose,
         Repeated("Erasing Flash\n", 60) + "Device timed out. -Could not erase flash.\n\r",
         kDeviceFailed, 1, 0, 0, 40},
        {"HeaderNotSent", fileXILINX,
         transactionFault(Operation::WriteBlock, kIOReturnIOError, 1, kData),
         XilinxPrologue() + kXilinxErase + kSending + kClose,
         erasing + "Download has failed.Tried to send FirmwareHeader, got error\n\r" +
             IOReturnText(kIOReturnIOError),
         kIOReturnIOError, 1, 1, 0, 40},
        {"FirstBlockFails", fileXILINX,
         imageFault(ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Both, 0)),
         XilinxPrologue() + kXilinxErase + kSending + kClose,
         erasing + TriedToSend(128, 74, kIOReturnIOError), kIOReturnIOError, 1, 2, 0, 40},
        {"MiddleBlockFails", fileXILINX,
         imageFault(ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Both, 1000 * 128)),
         XilinxPrologue() + kXilinxErase + kSending + kClose,
         erasing + TriedToSend(128, 128074, kIOReturnIOError), kIOReturnIOError, 1, 1002, 128000,
         ProgressAt(40, 128074, xilinxSize)},
        {"LastBlockFails", fileXILINX,
         imageFault(ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Both, 2630 * 128)),
         XilinxPrologue() + kXilinxErase + kSending + kClose,
         erasing + TriedToSend(40, 336714, kIOReturnIOError), kIOReturnIOError, 1, 2632, 336640,
         ProgressAt(40, 336714, xilinxSize)},
        {"LastMcoreBlockFails", fileMCORE,
         imageFault(ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Both, 584 * 128)),
         McorePrologue() + "Erasing MCORE image\n" + kSending + kClose,
         erasing + TriedToSend(124, 74752, kIOReturnIOError), kIOReturnIOError, 1, 586, 74752,
         ProgressAt(80, 74752, mcoreSize)},
        {"CrcRejected", fileMCORE, imageFault(ImageFault(ImageFaultKind::CrcRejected)),
         McorePrologue() + "Erasing MCORE image\n" + kSending + kClose,
         erasing + "Firmware validation failed- CRC was invalid.\n\r", kIOFireWireDataError, 1, 586,
         74876, 100},
        // Without a generation nothing is addressed; the interface was never opened.
        {"BusGenerationUnreadable", fileXILINX,
         transactionFault(Operation::GetGeneration, kIOReturnNoDevice, 1, {}),
         "Opening Xilinx data file\n" + kClose, "", kIOReturnNoDevice, 0, 0, 0, 40},
        // Stopped after the tenth data block's pause: the image is not validated.
        {"CancelledBetweenBlocks", fileXILINX, nullptr,
         XilinxPrologue() + kXilinxErase + kSending + kClose, erasing, kIOReturnAborted, 1, 11,
         1280, ProgressAt(40, 74 + 10 * 128, xilinxSize), 3 + kErasePolls + 1 + 10},
    };
}

void PrintTo(const FailureCase& failure, std::ostream* out) {
    *out << failure.name;
}

class DownloaderFailureTest : public DownloaderTest,
                              public testing::WithParamInterface<FailureCase> {};

TEST_P(DownloaderFailureTest, EndsTheImageAtTheFailingStepAndClosesTheInterface) {
    const FailureCase& c = GetParam();
    if (c.arrange) {
        c.arrange(*ka_);
    }
    if (c.cancelAfterPauses != 0) {
        onPause_ = [this, &c](std::size_t pauseNumber) {
            if (pauseNumber == c.cancelAfterPauses) {
                DownloaderTestAccess::RequestCancel(*downloader_);
            }
        };
    }
    const auto started = std::chrono::steady_clock::now();
    const Download download = Run(c.type);
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(download.output.out, c.out);
    EXPECT_EQ(download.output.err, c.err);
    EXPECT_EQ(download.status, static_cast<SInt32>(c.status));
    const SentSummary sent = Summarise(download.transfers);
    EXPECT_EQ(sent.commandWrites, c.commandWrites);
    EXPECT_EQ(sent.blockWrites, c.blockWrites);
    EXPECT_EQ(sent.dataTaken.size(), c.dataBytesTaken);
    EXPECT_EQ(sent.crcWrites, std::string(c.name) == "CrcRejected" ? 1u : 0u);
    EXPECT_EQ(download.finalProgress, c.progress);
    const ImagePlan plan = c.type == fileXILINX ? XilinxPlan() : McorePlan();
    EXPECT_NE(ka_->Flash(plan.component).state, FlashContents::State::Installed);
    // The waits are the virtual clock's: a minute of erase polling costs no real minute.
    EXPECT_LT(took, std::chrono::seconds(30));
    ExpectClosedAgain();
}

INSTANTIATE_TEST_SUITE_P(EveryFailingStep, DownloaderFailureTest, testing::ValuesIn(FailureCases()),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DownloaderTest, ACancelledDownloadLeavesNoCancelBehindForTheNextOne) {
    onPause_ = [this](std::size_t pauseNumber) {
        if (pauseNumber == 3 + kErasePolls + 1 + 5) {
            DownloaderTestAccess::RequestCancel(*downloader_);
        }
    };
    EXPECT_EQ(Run(fileMCORE).status, static_cast<SInt32>(kIOReturnAborted));
    onPause_ = nullptr;
    const Download again = Run(fileMCORE);
    EXPECT_EQ(again.status, 0);
    EXPECT_FALSE(DownloaderTestAccess::CancelRequested(*downloader_));
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, FlashContents::State::Installed);
}

TEST_F(DownloaderTest, WithoutAUnitOrWithAnUnknownImageNothingIsTouched) {
    const Download noUnit = Run(fileXILINX, nullptr);
    EXPECT_EQ(noUnit.status, static_cast<SInt32>(kIOReturnNoDevice));
    EXPECT_EQ(noUnit.output.out, "");
    EXPECT_EQ(noUnit.output.err, "");
    EXPECT_TRUE(noUnit.operations.empty());
    EXPECT_EQ(noUnit.finalProgress, 0u);

    const Download unknown = Run(static_cast<DOWNLOADTYPE>(7));
    EXPECT_EQ(unknown.status, static_cast<SInt32>(kIOReturnBadArgument));
    EXPECT_EQ(unknown.output.out, "");
    EXPECT_EQ(unknown.output.err, "Read Image : Invalid file type\n\r");
    EXPECT_TRUE(unknown.operations.empty());
    EXPECT_TRUE(unknown.pauses.empty());
}

// After a failed image the same sequencer and unit object install the next one.
TEST_F(DownloaderTest, AFailedImageDoesNotSpoilTheNextDownload) {
    ka_->AddImageFault(ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Xilinx, 512));
    EXPECT_EQ(Run(fileXILINX).status, static_cast<SInt32>(kIOReturnIOError));
    const Download mcore = Run(fileMCORE);
    EXPECT_EQ(mcore.status, 0);
    EXPECT_EQ(mcore.output.err, Repeated("Erasing Flash\n", kErasePolls));
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, FlashContents::State::Installed);
    EXPECT_EQ(ka_->Flash(Component::Xilinx).state, FlashContents::State::Erased);
}

}  // namespace

// ---- a write the unit may have taken

std::string RestartLine(const char* image, int start) {
    return std::string("The unit may have taken a write twice: starting the ") + image +
           " image again (" + std::to_string(start) + " of 3)\n";
}

TEST_F(DownloaderTest, AWriteTheUnitMayHaveTakenStartsTheImageAgainFromItsBeginning) {
    // The unit takes the Xilinx block at 64000 and its answer is lost; the MCORE block at
    // 40960 arrives damaged and is not taken. Either way the sequencer cannot tell whether
    // the unit holds it, and runs the image again: erased, everything sent once more.
    struct Case {
        ImageFaultKind kind;
        ImagePlan plan;
        DOWNLOADTYPE type;
        const char* image;
        std::string prologue;
        std::string erasing;
        SInt32 offset;
    };
    const Case cases[] = {
        {ImageFaultKind::AnswerLost, XilinxPlan(), fileXILINX, "Xilinx", XilinxPrologue(),
         "Erasing Xilinx Image\n", 64000},
        {ImageFaultKind::Damaged, McorePlan(), fileMCORE, "MCORE", McorePrologue(),
         "Erasing MCORE image\n", 40960},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.image);
        const ImageSelection image =
            each.type == fileXILINX ? ImageSelection::Xilinx : ImageSelection::Mcore;
        ka_->AddImageFault(ImageFault(each.kind, image, static_cast<std::uint32_t>(each.offset)));
        const Download download = Run(each.type);
        ka_->ClearFaults();

        EXPECT_EQ(download.status, 0);
        const auto component = each.type == fileXILINX ? Component::Xilinx : Component::Mcore;
        EXPECT_EQ(ka_->Flash(component).state, FlashContents::State::Installed);
        EXPECT_EQ(ka_->Flash(component).installCount, 1u);
        const SInt32 fileOffset =
            each.offset + static_cast<SInt32>(each.type == fileXILINX ? kXilinxStart : 0);
        EXPECT_EQ(download.output.out,
                  each.prologue + each.erasing + kSending + kClose + RestartLine(each.image, 2) +
                      each.prologue + each.erasing + kSending + "Update successful.\n\r" + kClose);
        EXPECT_EQ(download.output.err,
                  Repeated("Erasing Flash\n", kErasePolls) +
                      TriedToSend(128, fileOffset, kIOFireWireWriteMayHaveBeenTaken) +
                      Repeated("Erasing Flash\n", kErasePolls));
        // Two erase commands; the first start's blocks up to the one in doubt, then every
        // block of the second start once.
        const SentSummary sent = Summarise(download.transfers);
        EXPECT_EQ(sent.commandWrites, 2u);
        EXPECT_EQ(sent.blockWrites,
                  1 + static_cast<unsigned>(each.offset / 128 + 1) + 1 + each.plan.Blocks());

        // The bar goes back to the erase mark once, and never below it.
        const auto& samples = download.progressAtPauses;
        const auto firstErase =
            std::find(samples.begin(), samples.end(), each.plan.eraseMark) - samples.begin();
        std::size_t fallsBack = 0;
        for (std::size_t index = static_cast<std::size_t>(firstErase) + 1; index < samples.size();
             ++index) {
            EXPECT_GE(samples[index], each.plan.eraseMark) << "pause " << index;
            if (samples[index] < samples[index - 1]) {
                ++fallsBack;
                EXPECT_EQ(samples[index], each.plan.eraseMark);
            }
        }
        EXPECT_EQ(fallsBack, 1u);
        EXPECT_EQ(download.finalProgress, each.plan.eraseMark + 20);
    }
}

TEST_F(DownloaderTest, AnImageWhoseWritesKeepComingBackAsPerhapsTakenFailsAfterThreeStarts) {
    // From the 100th block write on, every write of a block comes back so: the first start
    // fails among the blocks, the next two at their headers.
    TransactionFault perhapsTaken(Operation::WriteBlock, kIOFireWireWriteMayHaveBeenTaken, 100);
    perhapsTaken.repeat = 0;
    ka_->AddTransactionFault(perhapsTaken);
    const Download download = Run(fileMCORE);
    EXPECT_EQ(download.status, static_cast<SInt32>(kIOFireWireWriteMayHaveBeenTaken));
    EXPECT_NE(ka_->Flash(Component::Mcore).state, FlashContents::State::Installed);
    const std::string failedStart = McorePrologue() + "Erasing MCORE image\n" + kSending + kClose;
    EXPECT_EQ(download.output.out, failedStart + RestartLine("MCORE", 2) + failedStart +
                                       RestartLine("MCORE", 3) + failedStart);
    const std::string headerFailed =
        "Download has failed.Tried to send FirmwareHeader, got error\n\r" +
        IOReturnText(kIOFireWireWriteMayHaveBeenTaken);
    const std::string polls = Repeated("Erasing Flash\n", kErasePolls);
    EXPECT_EQ(download.output.err,
              polls + TriedToSend(128, 98 * 128, kIOFireWireWriteMayHaveBeenTaken) + polls +
                  headerFailed + polls + headerFailed);
    EXPECT_EQ(Summarise(download.transfers).commandWrites, 3u);
}

// A unit still putting a broken-off start away when its image starts again: its status
// reads busy three times after the begin-update.
class RestartingUnitTest : public DownloaderTest {
  protected:
    RestartingUnitTest() : DownloaderTest(StillBusyAfterARestart()) {}

    static kasim::SimulatedKaConfig StillBusyAfterARestart() {
        kasim::SimulatedKaConfig config;
        config.restartBusyPolls = 3;
        return config;
    }
};

TEST_F(RestartingUnitTest, ARestartWaitsForTheUnitToBeReadyAndLeavesTheMcoreFaultOnMcore) {
    ka_->AddImageFault(ImageFault(ImageFaultKind::AnswerLost, ImageSelection::Xilinx, 64000));
    ImageFault mcoreNotReady(ImageFaultKind::NotReady, ImageSelection::Mcore);
    mcoreNotReady.statusValue = 2;
    ka_->AddImageFault(mcoreNotReady);

    const Download xilinx = Run(fileXILINX);
    EXPECT_EQ(xilinx.status, 0);
    EXPECT_EQ(ka_->Flash(Component::Xilinx).state, FlashContents::State::Installed);
    EXPECT_EQ(xilinx.output.out, XilinxPrologue() + "Erasing Xilinx Image\n" + kSending + kClose +
                                     RestartLine("Xilinx", 2) + XilinxPrologue() +
                                     "Waiting for the unit to be ready again\n" +
                                     "Erasing Xilinx Image\n" + kSending +
                                     "Update successful.\n\r" + kClose);
    // A second between the readiness reads, as between erase polls: three busy reads.
    EXPECT_EQ(std::count(xilinx.pauses.begin(), xilinx.pauses.end(), 1'000'000u),
              2 * kErasePolls + 3);

    // The restart was the Xilinx image's: the MCORE image meets its own fault.
    const Download mcore = Run(fileMCORE);
    EXPECT_EQ(mcore.status, static_cast<SInt32>(0xFFFFFF40));
    EXPECT_EQ(mcore.output.err, kNotReady);
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, FlashContents::State::Factory);
}

namespace {
std::vector<std::pair<std::string, int>> gToldRestarts;
}  // namespace

TEST_F(DownloaderTest, ADownloaderHandedItsProgressAndRecordTellsThemAndNoGlobal) {
    DownloadProgress progress;
    progress.SetDeviceType(MCORE);
    UpdateRecordCalls record;
    record.imageRestart = [](const char* image, int start) {
        gToldRestarts.emplace_back(image, start);
    };
    gToldRestarts.clear();
    ka_->AddImageFault(ImageFault(ImageFaultKind::AnswerLost, ImageSelection::Mcore, 40960));
    {
        CapturedOutput quiet;
        Downloader handed(KaChosenFirmware(), progress, record);
        handed.DoDownload(unit_.get(), fileMCORE);
        EXPECT_EQ(handed.Error(), 0);
    }
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, FlashContents::State::Installed);
    EXPECT_EQ(gToldRestarts, (std::vector<std::pair<std::string, int>>{{"mcore", 2}}));
    EXPECT_EQ(progress.Get(), 100u);
    EXPECT_EQ(gDownloadProgress.Get(), 0u);
}
