// A whole update of both images through the kernel backend, the fake kernel handing every
// request to a simulated Ka: the unit must receive the same transfers, and end with the same
// flash, as when the sequencer talks to the simulated unit directly.
#include "CapturedOutput.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "Downloader.h"
#include "FakeKernel.h"
#include "FireWireStatus.h"
#include "LinuxFireWireBackend.h"
#include "ScopedDownloadPauseClock.h"
#include "ScopedStateFolder.h"
#include "SimulatedBackend.h"
#include "SimulatedBus.h"
#include "UpdateRecordReplay.h"
#include "VirtualDownloadPauseClock.h"

#include "record/UpdateRecord.h"
#include "record/UpdateRecordReader.h"
#include "record/UpdateRecorder.h"

#include <gtest/gtest.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace katest {
namespace {

using kasim::Component;
using kasim::FlashContents;

// What the unit took part in, without the bus generation each side names.
struct SeenTransfer {
    kasim::Operation operation;
    std::uint64_t address;
    std::vector<std::uint8_t> bytes;
    IOReturn status;

    bool operator==(const SeenTransfer&) const = default;
};

struct UpdateOnUnit {
    std::vector<SeenTransfer> transfers;
    FlashContents xilinx;
    FlashContents mcore;
    SInt32 xilinxStatus = -1;
    SInt32 mcoreStatus = -1;
    std::string out;
};

// Both images, as the background run installs them, through whatever backend is installed.
void InstallBothImages(UpdateOnUnit& update) {
    VirtualDownloadPauseClock clock;
    ScopedDownloadPauseClock installed(clock);
    CapturedOutput capture;
    {
        const io_service_t service = LookUpKaService();
        ASSERT_NE(service, IO_OBJECT_NULL);
        DownloadUnit unit(service);
        IOObjectRelease(service);
        Downloader downloader;
        gDownloadProgress.Reset();
        gDownloadProgress.SetDeviceType(Xilinx);
        downloader.DoDownload(&unit, fileXILINX);
        update.xilinxStatus = downloader.Error();
        gDownloadProgress.SetDeviceType(MCORE);
        downloader.DoDownload(&unit, fileMCORE);
        update.mcoreStatus = downloader.Error();
    }
    update.out = capture.Take().out;
    gDownloadProgress.Reset();
    gDownloadProgress.SetDeviceType(Xilinx);
}

void Record(const kasim::SimulatedKa& ka, UpdateOnUnit& update) {
    for (const auto& transfer : Transfers(ka)) {
        update.transfers.push_back(
            {transfer.operation, transfer.address, transfer.bytes, transfer.status});
    }
    update.xilinx = ka.Flash(Component::Xilinx);
    update.mcore = ka.Flash(Component::Mcore);
}

UpdateOnUnit ThroughSimulatedBackend() {
    UpdateOnUnit update;
    ScopedSimulatedKa ka;
    InstallBothImages(update);
    Record(*ka, update);
    return update;
}

struct KernelSide {
    std::vector<SentRequest> requests;
    std::uint32_t generation = 0;
    std::size_t descriptorsLeftOpen = 0;
};

UpdateOnUnit ThroughKernelBackend(
    KernelSide& kernelSide,
    const std::function<void(FakeKernel&, SysfsTree&, kasim::SimulatedKa&)>& prepare) {
    UpdateOnUnit update;
    SysfsTree sysfs;
    sysfs.AddKa(1);
    kasim::SimulatedKa ka;
    // The unit's side of the node: its register model, reached only through the kernel.
    std::unique_ptr<kaplatform::FireWireDevice> registers;
    EXPECT_EQ(ka.Connect(ka.Config().unitName, registers), kIOReturnSuccess);
    EXPECT_EQ(registers->Open(), kIOReturnSuccess);
    ka.ClearTransactions();

    auto kernel = std::make_shared<FakeKernel>(sysfs.Root());
    kernel->AttachNode("/dev/fw1", *registers);
    if (prepare) {
        prepare(*kernel, sysfs, ka);
    }
    {
        // The platform holds the only reference: the backend goes when it is taken away.
        const auto backend = kaplatform::MakeLinuxFireWireBackend(kernel);
        backend->SetBusObserver(&karecord::UpdateRecordObserver());
        kaplatform::SetFireWireBackend(backend);
    }
    InstallBothImages(update);
    kaplatform::SetFireWireBackend(nullptr);

    Record(ka, update);
    kernelSide.requests = kernel->Requests();
    kernelSide.generation = kernel->Generation();
    kernelSide.descriptorsLeftOpen = kernel->OpenDescriptorCount();
    EXPECT_EQ(kernel->BlockingReadCount(), 0) << "a read the kernel would have blocked";
    registers->Close();
    return update;
}

UpdateOnUnit ThroughKernelBackend(
    KernelSide& kernelSide, const std::function<void(FakeKernel&, SysfsTree&)>& prepare = {}) {
    return ThroughKernelBackend(
        kernelSide, [&prepare](FakeKernel& kernel, SysfsTree& sysfs, kasim::SimulatedKa&) {
            if (prepare) {
                prepare(kernel, sysfs);
            }
        });
}

// What the update writes on standard output; the Xilinx image's part and the MCORE image's
// may hold lines of the bus's own after the erase and among the blocks.
struct BusLines {
    std::string xilinxErase;
    std::string xilinxBlocks;
    std::string mcoreErase;
    std::string mcoreBlocks;
};

std::string Installed(const std::string& xilinxGeneration, const std::string& mcoreGeneration,
                      const BusLines& bus = {}) {
    return "Ctor DownloadUnit\nCtor Downloader\nOpening Xilinx data file\nBusGen " +
           xilinxGeneration + "\nFWDL::Open\nErasing Xilinx Image\n" + bus.xilinxErase +
           "Sending Data...\n" + bus.xilinxBlocks +
           "Update successful.\n\rFWDL::Close\nOpening MCORE 06 file\nBusGen " + mcoreGeneration +
           "\nFWDL::Open\nErasing MCORE image\n" + bus.mcoreErase + "Sending Data...\n" +
           bus.mcoreBlocks +
           "Update successful.\n\rFWDL::Close\nDtor Downloader\nDtor DownloadUnit\n";
}

std::string Installed(const char* busGeneration) {
    return Installed(busGeneration, busGeneration);
}

TEST(DownloadThroughKernelTest, BothImagesReachTheUnitAsThroughTheSimulatedBackend) {
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    KernelSide kernelSide;
    const UpdateOnUnit viaKernel = ThroughKernelBackend(kernelSide);

    ASSERT_EQ(direct.xilinxStatus, 0);
    ASSERT_EQ(direct.mcoreStatus, 0);
    EXPECT_EQ(viaKernel.xilinxStatus, 0);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(direct.out, Installed("1"));
    EXPECT_EQ(viaKernel.out, Installed(std::to_string(kernelSide.generation).c_str()));

    // Header, 2631 + 585 data blocks, the register traffic and both CRCs, in order.
    ASSERT_EQ(viaKernel.transfers.size(), direct.transfers.size());
    for (std::size_t index = 0; index < direct.transfers.size(); ++index) {
        if (!(viaKernel.transfers[index] == direct.transfers[index])) {
            ADD_FAILURE() << "transfer " << index << " differs";
            break;
        }
    }
    EXPECT_EQ(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.xilinx.crc, direct.xilinx.crc);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    EXPECT_EQ(viaKernel.mcore.crc, direct.mcore.crc);

    // One kernel request per transfer, every one in the generation the sequencer read.
    ASSERT_EQ(kernelSide.requests.size(), direct.transfers.size());
    std::size_t blockWrites = 0;
    for (const SentRequest& request : kernelSide.requests) {
        EXPECT_EQ(request.devicePath, "/dev/fw1");
        EXPECT_EQ(request.generation, kernelSide.generation);
        if (request.transactionCode == TCODE_WRITE_BLOCK_REQUEST) {
            ++blockWrites;
        }
    }
    EXPECT_EQ(blockWrites, 2u + 2631u + 585u);
    EXPECT_EQ(kernelSide.descriptorsLeftOpen, 0u);
}

using Fault = FakeKernel::Fault;

// A bus as a real one may be during an update: the unit answers its status reads busy while
// it erases (twice at every poll), and a bus reset flushes the given data block of the
// Xilinx image (counted from 1; 0 for none) in the given way.
FakeKernel::FaultPicker BusyErasingAndAResetAt(int xilinxBlock, Fault::Kind reset) {
    struct Seen {
        bool erasing = false;
        int statusReads = 0;
        int dataBlocks = 0;
    };
    auto seen = std::make_shared<Seen>();
    return [seen, xilinxBlock, reset](const SentRequest& request,
                                      std::size_t) -> std::optional<Fault> {
        if (request.transactionCode == TCODE_WRITE_QUADLET_REQUEST &&
            request.offset == kasim::kUpdateCommandRegister) {
            seen->erasing = true;
        } else if (request.transactionCode == TCODE_WRITE_BLOCK_REQUEST &&
                   request.offset == kasim::kDataWindow) {
            seen->erasing = false;
            if (request.length == kasim::kFirmwareHeaderBytes) {
                seen->dataBlocks = 0;
            } else if (++seen->dataBlocks == xilinxBlock) {
                return Fault{reset};
            }
        } else if (request.transactionCode == TCODE_READ_QUADLET_REQUEST &&
                   request.offset == kasim::kStatusRegister && seen->erasing) {
            // A resend follows its busy answer at once: busy, busy, then the answer.
            if (seen->statusReads++ % 3 != 2) {
                return Fault{Fault::Kind::ResponseCode, RCODE_BUSY};
            }
        }
        return std::nullopt;
    };
}

TEST(DownloadThroughKernelTest, BusyErasePollsAndAResetAmongTheXilinxBlocksStillInstallBoth) {
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    KernelSide kernelSide;
    std::uint32_t before = 0;
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [&](FakeKernel& kernel, SysfsTree&) {
            before = kernel.Generation();
            kernel.PickFaults(BusyErasingAndAResetAt(1000, Fault::Kind::BusResetBeforeSend));
        });

    ASSERT_EQ(viaKernel.xilinxStatus, 0);
    ASSERT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(kernelSide.generation, before + 1);
    const std::string tries =
        std::to_string(kaplatform::kDefaultLinuxFireWireRetryPolicy.busyTries);
    const std::string busyPoll = "FireWire: unit busy, sending again (try 2 of " + tries +
                                 ")\n"
                                 "FireWire: unit busy, sending again (try 3 of " +
                                 tries + ")\n";
    // The unit reads busy (0) twice before it is done (1): three polls an image.
    const std::string busyErase = busyPoll + busyPoll + busyPoll;
    const std::string reset = "FireWire: bus reset in generation " + std::to_string(before) +
                              ", sending again in generation " + std::to_string(before + 1) + "\n";
    EXPECT_EQ(viaKernel.out, Installed(std::to_string(before), std::to_string(before + 1),
                                       {busyErase, reset, busyErase, ""}));

    // Neither the busy answers nor the flushed block reached the unit.
    EXPECT_TRUE(viaKernel.transfers == direct.transfers);
    EXPECT_EQ(kernelSide.requests.size(), direct.transfers.size() + 12 + 1);
    EXPECT_EQ(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    EXPECT_EQ(kernelSide.descriptorsLeftOpen, 0u);
}

TEST(DownloadThroughKernelTest, ABlockTheUnitTookBeforeAResetNeverPassesForASuccess) {
    // The reset's flush reports a block the unit did take: sent again, it arrives twice,
    // and the unit's check of the whole image must turn the image down.
    KernelSide kernelSide;
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [](FakeKernel& kernel, SysfsTree&) {
            kernel.PickFaults(BusyErasingAndAResetAt(1000, Fault::Kind::BusResetAfterDelivery));
        });
    EXPECT_NE(viaKernel.xilinxStatus, 0);
    EXPECT_NE(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.out.find("Update successful.\n\rFWDL::Close\nOpening MCORE"),
              std::string::npos);
}

// Faults at given points of the Xilinx image: its data blocks (counted from 1) and its
// erase polls (counted from 1); then, once, a step when the unit has checked the Xilinx
// image, before the MCORE image is opened.
struct XilinxFaults {
    std::map<int, Fault> blocks;
    std::map<int, Fault> erasePolls;
    std::function<void()> afterXilinx;
};

FakeKernel::FaultPicker FaultsDuringXilinx(XilinxFaults faults) {
    struct Seen {
        int headers = 0;
        int dataBlocks = 0;
        int erasePolls = 0;
        bool erasing = false;
        bool xilinxDone = false;
    };
    auto seen = std::make_shared<Seen>();
    auto shared = std::make_shared<XilinxFaults>(std::move(faults));
    return [seen, shared](const SentRequest& request, std::size_t) -> std::optional<Fault> {
        const auto at = [](const std::map<int, Fault>& faults, int count) {
            const auto found = faults.find(count);
            return found == faults.end() ? std::nullopt : std::optional<Fault>(found->second);
        };
        if (request.transactionCode == TCODE_WRITE_QUADLET_REQUEST &&
            request.offset == kasim::kUpdateCommandRegister) {
            seen->erasing = true;
        } else if (request.transactionCode == TCODE_WRITE_QUADLET_REQUEST &&
                   request.offset == kasim::kCrcRegister && seen->headers == 1 &&
                   !seen->xilinxDone) {
            seen->xilinxDone = true;
            if (shared->afterXilinx) {
                shared->afterXilinx();
            }
        } else if (request.transactionCode == TCODE_WRITE_BLOCK_REQUEST &&
                   request.offset == kasim::kDataWindow) {
            seen->erasing = false;
            if (request.length == kasim::kFirmwareHeaderBytes) {
                ++seen->headers;
            } else if (seen->headers == 1) {
                return at(shared->blocks, ++seen->dataBlocks);
            }
        } else if (request.transactionCode == TCODE_READ_QUADLET_REQUEST &&
                   request.offset == kasim::kStatusRegister && seen->erasing &&
                   seen->headers == 0) {
            return at(shared->erasePolls, ++seen->erasePolls);
        }
        return std::nullopt;
    };
}

void ExpectBothInstalledAsDirectly(const UpdateOnUnit& viaKernel, const KernelSide& kernelSide) {
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    EXPECT_EQ(viaKernel.xilinxStatus, 0);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_TRUE(viaKernel.transfers == direct.transfers);
    EXPECT_EQ(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    EXPECT_EQ(kernelSide.descriptorsLeftOpen, 0u);
}

std::string LostAnswerLine(std::uint32_t from, std::uint32_t to) {
    return "FireWire: bus reset in generation " + std::to_string(from) +
           " lost the unit's answer, sending again in generation " + std::to_string(to) + "\n";
}

TEST(DownloadThroughKernelTest, AResetThatLosesThePendingAnswerOfAnErasePollAsksForItAgain) {
    // The unit acks "pending", a reset renumbers the bus, its answer matches nothing and the
    // kernel's split time-out cancels the request: a read simply goes again.
    KernelSide kernelSide;
    std::uint32_t before = 0;
    const Fault pending{Fault::Kind::ResetWhilePending, 0, std::chrono::milliseconds{1}};
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [&](FakeKernel& kernel, SysfsTree&) {
            before = kernel.Generation();
            kernel.PickFaults(FaultsDuringXilinx({{}, {{1, pending}}, {}}));
        });
    ExpectBothInstalledAsDirectly(viaKernel, kernelSide);
    EXPECT_EQ(kernelSide.generation, before + 1);
    EXPECT_EQ(viaKernel.out, Installed(std::to_string(before), std::to_string(before + 1),
                                       {LostAnswerLine(before, before + 1), "", "", ""}));
}

// The data-window writes the unit carried out in each start of an image, a start being
// everything from one erase command to the next; whether that start erased the Xilinx image.
struct ImageStart {
    bool xilinx = false;
    std::vector<std::vector<std::uint8_t>> dataWrites;
};

std::vector<ImageStart> StartsOfImages(const std::vector<SeenTransfer>& transfers) {
    std::vector<ImageStart> starts;
    for (const SeenTransfer& transfer : transfers) {
        if (transfer.operation == kasim::Operation::WriteQuadlet &&
            transfer.address == kasim::kUpdateCommandRegister) {
            starts.push_back({transfer.bytes == std::vector<std::uint8_t>{0, 0, 0, 0}, {}});
        } else if (transfer.operation == kasim::Operation::WriteBlock &&
                   transfer.address == kasim::kDataWindow && transfer.status == kIOReturnSuccess &&
                   !starts.empty()) {
            starts.back().dataWrites.push_back(transfer.bytes);
        }
    }
    return starts;
}

// Within every start of an image the unit took the header and the blocks in order, each
// once: what it took is the beginning of what the direct update gave it. The last start of
// each image gave it all of it.
void ExpectNoBlockTwiceInAnyStart(const UpdateOnUnit& viaKernel, const UpdateOnUnit& direct) {
    const std::vector<ImageStart> expected = StartsOfImages(direct.transfers);
    ASSERT_EQ(expected.size(), 2u);
    const std::vector<ImageStart> starts = StartsOfImages(viaKernel.transfers);
    for (std::size_t index = 0; index < starts.size(); ++index) {
        const auto& whole = expected[starts[index].xilinx ? 0 : 1].dataWrites;
        const auto& taken = starts[index].dataWrites;
        ASSERT_LE(taken.size(), whole.size()) << "start " << index;
        EXPECT_TRUE(std::equal(taken.begin(), taken.end(), whole.begin()))
            << "start " << index << " took a block out of its place";
        const bool lastOfItsImage =
            index + 1 == starts.size() || starts[index + 1].xilinx != starts[index].xilinx;
        if (lastOfItsImage &&
            (starts[index].xilinx ? viaKernel.xilinxStatus == 0 : viaKernel.mcoreStatus == 0)) {
            EXPECT_EQ(taken.size(), whole.size()) << "start " << index;
        }
    }
}

const std::string kXilinxRestartLine =
    "The unit may have taken a write twice: starting the Xilinx image again (2 of 3)\n";

struct TakenWrite {
    const char* name;
    Fault fault;
    const char* busLine;
};

class TakenWriteTest : public testing::TestWithParam<TakenWrite> {};

TEST_P(TakenWriteTest, GoesOnceAndTheXilinxImageStartsAgainToBeInstalledByteForByte) {
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    KernelSide kernelSide;
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [](FakeKernel& kernel, SysfsTree& sysfs) {
            kernel.PlanNodeRecreation(
                {0, [&sysfs] { sysfs.RemoveNode(1); }, [&sysfs](int node) { sysfs.AddKa(node); }});
            kernel.PickFaults(FaultsDuringXilinx({{{1000, GetParam().fault}}, {}, {}}));
        });
    EXPECT_EQ(viaKernel.xilinxStatus, 0);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    ExpectNoBlockTwiceInAnyStart(viaKernel, direct);
    EXPECT_EQ(StartsOfImages(viaKernel.transfers).size(), 3u);

    // The block went once; its bus line, the close, then the restart line come before the
    // second start.
    const std::string busLine = std::string("FireWire: ") + GetParam().busLine +
                                "; not sent again, the unit may have taken it\n";
    const std::size_t restart = viaKernel.out.find(busLine + "FWDL::Close\n" + kXilinxRestartLine);
    ASSERT_NE(restart, std::string::npos) << viaKernel.out;
    EXPECT_EQ(viaKernel.out.find("not sent again", restart + busLine.size()), std::string::npos);
    EXPECT_NE(viaKernel.out.find("Erasing Xilinx Image\n", restart), std::string::npos);
    EXPECT_EQ(viaKernel.out.find("again (3 of 3)"), std::string::npos);
    EXPECT_EQ(kernelSide.descriptorsLeftOpen, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, TakenWriteTest,
    testing::Values(
        TakenWrite{"AnswerLostToAReset",
                   Fault{Fault::Kind::ResetWhilePending, 0, std::chrono::milliseconds{1}, true},
                   "the unit's answer to a write in generation 7 was lost"},
        TakenWrite{"RefusedWithADataError",
                   Fault{Fault::Kind::ResponseCode, RCODE_DATA_ERROR, {}, true},
                   "a write came back as a data error"},
        TakenWrite{"DamagedOnTheWay", Fault{Fault::Kind::ResponseCode, RCODE_DATA_ERROR},
                   "a write came back as a data error"},
        TakenWrite{"AckLost", Fault{Fault::Kind::ResponseCode, RCODE_NO_ACK, {}, true},
                   "a write in generation 7 had no acknowledgement"},
        // The unit acked the write "pending" and left the bus; it is back after the kernel
        // has shut its old device down, as a new device under the same name.
        TakenWrite{"OutstandingWhenTheUnitLeftForThreeSeconds",
                   Fault{Fault::Kind::GoneWhileOutstanding, 0, std::chrono::seconds{3}, true},
                   "the unit's answer to a write in generation 7 was lost"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadThroughKernelTest, AWriteLostInEveryStartFailsTheImageAfterThreeStarts) {
    // The same block's answer is lost in every start of the Xilinx image: never "successful",
    // the MCORE image goes on as it always does.
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    KernelSide kernelSide;
    const UpdateOnUnit viaKernel = ThroughKernelBackend(kernelSide, [](FakeKernel& kernel,
                                                                       SysfsTree&) {
        struct Seen {
            bool xilinx = false;
            int dataBlocks = 0;
        };
        auto seen = std::make_shared<Seen>();
        kernel.PickFaults([seen](const SentRequest& request, std::size_t) -> std::optional<Fault> {
            if (request.transactionCode == TCODE_WRITE_QUADLET_REQUEST &&
                request.offset == kasim::kUpdateCommandRegister) {
                seen->xilinx = request.payload == std::vector<std::uint8_t>{0, 0, 0, 0};
                seen->dataBlocks = 0;
            } else if (request.transactionCode == TCODE_WRITE_BLOCK_REQUEST &&
                       request.offset == kasim::kDataWindow && seen->xilinx &&
                       ++seen->dataBlocks == 1001) {  // the header, then 1000 blocks
                return Fault{Fault::Kind::ResetWhilePending, 0, std::chrono::milliseconds{1}, true};
            }
            return std::nullopt;
        });
    });
    EXPECT_EQ(viaKernel.xilinxStatus, kIOFireWireWriteMayHaveBeenTaken);
    EXPECT_NE(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    ExpectNoBlockTwiceInAnyStart(viaKernel, direct);
    EXPECT_EQ(StartsOfImages(viaKernel.transfers).size(), 4u);
    EXPECT_NE(viaKernel.out.find(kXilinxRestartLine), std::string::npos);
    EXPECT_NE(viaKernel.out.find("starting the Xilinx image again (3 of 3)\n"), std::string::npos);
    // The third start's failure is reported as any failed block is, and is final.
    EXPECT_EQ(viaKernel.out.find("Update successful.\n\rFWDL::Close\nOpening MCORE"),
              std::string::npos);
    EXPECT_EQ(viaKernel.out.find("again (4 of"), std::string::npos);
}

// The block flushed as the node went did not follow it: the Xilinx image started again
// from its erase on the unit that came back, and both images ended installed, no block
// twice in any start.
void ExpectInstalledAfterARestart(const UpdateOnUnit& viaKernel, const KernelSide& kernelSide,
                                  std::uint32_t before) {
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    EXPECT_EQ(viaKernel.xilinxStatus, 0);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(viaKernel.xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    ExpectNoBlockTwiceInAnyStart(viaKernel, direct);
    EXPECT_EQ(StartsOfImages(viaKernel.transfers).size(), 3u);
    const std::string left = "FireWire: node /dev/fw1 left the bus with a write in generation " +
                             std::to_string(before) +
                             "; not sent again, the unit may have taken it\nFWDL::Close\n" +
                             kXilinxRestartLine;
    EXPECT_NE(viaKernel.out.find(left), std::string::npos) << viaKernel.out;
    EXPECT_EQ(viaKernel.out.find("again (3 of 3)"), std::string::npos);
    EXPECT_EQ(kernelSide.requests.back().devicePath, "/dev/fw1");
    EXPECT_EQ(kernelSide.descriptorsLeftOpen, 0u);
}

TEST(DownloadThroughKernelTest,
     ANodeMadeAnewUnderItsOldNameAmongTheXilinxBlocksStartsTheImageAgain) {
    // Two quick resets; the kernel drops the node, fails its first ROM read and makes the
    // unit anew, after the old device was shut down, under the number it freed: /dev/fw1.
    KernelSide kernelSide;
    std::uint32_t before = 0;
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [&](FakeKernel& kernel, SysfsTree& sysfs) {
            before = kernel.Generation();
            kernel.PlanNodeRecreation(
                {1, [&sysfs] { sysfs.RemoveNode(1); }, [&sysfs](int node) { sysfs.AddKa(node); }});
            kernel.PickFaults(
                FaultsDuringXilinx({{{1200, Fault{Fault::Kind::NodeRecreated}}}, {}, {}}));
        });
    // Nothing tells a node the core dropped from one that left the bus: the image starts
    // again on the node made anew.
    ExpectInstalledAfterARestart(viaKernel, kernelSide, before);
}

// The unit leaves the bus as a Xilinx block goes (the reset flushes the block), losing the
// image it was being given, and comes back with the same ROM after the given time.
struct Return {
    const char* name;
    std::chrono::milliseconds after;
    int failedRomReads;
    // The line that shows how the image's next start met the unit, given the generation
    // before.
    std::string (*busLine)(std::uint32_t before);
};

void PrintTo(const Return& unitReturn, std::ostream* out) {
    *out << unitReturn.name;
}

class UnitReturnTest : public testing::TestWithParam<Return> {};

std::string MadeAnew(std::uint32_t) {
    return "FireWire: node /dev/fw1 went away; the unit is back as /dev/fw1\n";
}

TEST_P(UnitReturnTest, TheUnitThatLeftMidXilinxLostTheImageWhichStartsAgainAndBothAreInstalled) {
    KernelSide kernelSide;
    std::uint32_t before = 0;
    const UpdateOnUnit viaKernel = ThroughKernelBackend(
        kernelSide, [&](FakeKernel& kernel, SysfsTree& sysfs, kasim::SimulatedKa& ka) {
            before = kernel.Generation();
            kernel.PlanNodeRecreation({GetParam().failedRomReads, [&sysfs] { sysfs.RemoveNode(1); },
                                       [&sysfs](int node) { sysfs.AddKa(node); }, false,
                                       [&ka] { ka.EndUpdate(); }});
            kernel.PickFaults(FaultsDuringXilinx(
                {{{1200, Fault{Fault::Kind::LeavesBus, 0, GetParam().after}}}, {}, {}}));
        });
    ExpectInstalledAfterARestart(viaKernel, kernelSide, before);
    EXPECT_NE(viaKernel.out.find(GetParam().busLine(before)), std::string::npos) << viaKernel.out;
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, UnitReturnTest,
    testing::Values(
        // Within the kernel's shutdown delay: the old device is revived, and the descriptor
        // held goes on in the new generation.
        Return{"RevivedWithinTwoSeconds", std::chrono::milliseconds{1000}, 0,
               [](std::uint32_t before) { return "BusGen " + std::to_string(before + 2) + "\n"; }},
        // After it: the old device was shut down, the new one takes its number.
        Return{"MadeAnewAfterThreeSeconds", std::chrono::milliseconds{3000}, 0, MadeAnew},
        // Back within it, but its ROM read fails once: the gone device stays (its shutdown
        // put off by the return's reset) beyond the reset deadline, is shut down, and the
        // unit is made anew under its number.
        Return{"BackWithinTwoSecondsWithALateRomRead", std::chrono::milliseconds{1900}, 1,
               MadeAnew}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadThroughKernelTest, DamagedErasePollsAndAUserSwitchBetweenTheImagesInstallBoth) {
    // After the Xilinx image this user loses the permission to open the unit (a fast user
    // switch), and another program tries to take it: the unit held since the first open
    // carries the MCORE image all the same.
    KernelSide kernelSide;
    std::uint32_t before = 0;
    bool takenByOther = true;
    const Fault damaged{Fault::Kind::ResponseCode, RCODE_DATA_ERROR};
    const UpdateOnUnit viaKernel =
        ThroughKernelBackend(kernelSide, [&](FakeKernel& kernel, SysfsTree&) {
            before = kernel.Generation();
            kernel.PickFaults(
                FaultsDuringXilinx({{}, {{1, damaged}, {3, damaged}}, [&kernel, &takenByOther] {
                                        kernel.RefuseOpen("/dev/fw1", EACCES);
                                        takenByOther = kernel.LockFromAnotherProgram("/dev/fw1");
                                    }}));
        });
    ExpectBothInstalledAsDirectly(viaKernel, kernelSide);
    EXPECT_FALSE(takenByOther);
    const std::string damagedLine =
        "FireWire: packet damaged on the way, sending again (1 of " +
        std::to_string(kaplatform::kDefaultLinuxFireWireRetryPolicy.damagedReadResends) + ")\n";
    EXPECT_EQ(viaKernel.out, Installed(std::to_string(before), std::to_string(before),
                                       {damagedLine + damagedLine, "", "", ""}));
}

// What a record holds after its header, the time of each line left out.
std::vector<std::string> RecordedSteps(const std::filesystem::path& file) {
    std::string error;
    const auto record = karecord::ReadUpdateRecord(file, error);
    EXPECT_TRUE(record) << error;
    std::vector<std::string> steps;
    for (const karecord::RecordStep& step :
         record ? record->steps : std::vector<karecord::RecordStep>{}) {
        const karecord::RecordedTransaction& transaction = step.transaction;
        steps.push_back(step.event ? step.event->what
                                   : kasim::DescribeRequest(transaction) + " -> " +
                                         std::to_string(transaction.status) + " " +
                                         std::to_string(transaction.value) + " " +
                                         std::to_string(transaction.moved));
    }
    return steps;
}

// The generation of every transaction a record holds.
std::vector<std::uint32_t> RecordedGenerations(const std::filesystem::path& file) {
    std::string error;
    const auto record = karecord::ReadUpdateRecord(file, error);
    EXPECT_TRUE(record) << error;
    std::vector<std::uint32_t> generations;
    for (const karecord::RecordStep& step :
         record ? record->steps : std::vector<karecord::RecordStep>{}) {
        if (!step.event) {
            generations.push_back(step.transaction.generation);
        }
    }
    return generations;
}

// For each request the backend said it sent again after a reset: the generation it said,
// and the one the record logged for the request.
std::vector<std::pair<std::uint32_t, std::uint32_t>> GenerationsSentAgain(
    const std::filesystem::path& file) {
    static constexpr std::string_view kAgain = "sending again in generation ";
    std::string error;
    const auto record = karecord::ReadUpdateRecord(file, error);
    EXPECT_TRUE(record) << error;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sentAgain;
    // One more than the generation the last event said, until its transaction; 0: none.
    std::uint64_t said = 0;
    for (const karecord::RecordStep& step :
         record ? record->steps : std::vector<karecord::RecordStep>{}) {
        if (!step.event) {
            if (said != 0) {
                sentAgain.emplace_back(static_cast<std::uint32_t>(said - 1),
                                       step.transaction.generation);
            }
            said = 0;
        } else if (const auto at = step.event->what.find(kAgain); at != std::string::npos) {
            said = std::stoull(step.event->what.substr(at + kAgain.size())) + 1;
        }
    }
    return sentAgain;
}

void RecordInstalling(UpdateOnUnit& update, const std::function<void(UpdateOnUnit&)>& install) {
    const UpdateRecordFacts facts = {"1.3",      "3-5",      "built in", 0x0200'0000'0000'4711,
                                     "KA004711", 0x00020004, 0x00020000};
    ASSERT_EQ(UpdateRecordBegin(&facts), kIOReturnSuccess);
    install(update);
    UpdateRecordImageOutcome("xilinx", update.xilinxStatus);
    UpdateRecordImageOutcome("mcore", update.mcoreStatus);
    const bool both = update.xilinxStatus == 0 && update.mcoreStatus == 0;
    UpdateRecordEnd(both, both ? kIOReturnSuccess : kIOReturnIOError, "");
}

TEST(DownloadThroughKernelTest, ARecordOfAnUpdateThroughEveryBusFaultReplaysToTheSameEnd) {
    ScopedStateFolder state;
    KernelSide kernelSide;
    UpdateOnUnit viaKernel;
    const Fault pending{Fault::Kind::ResetWhilePending, 0, std::chrono::milliseconds{1}};
    const Fault pendingTaken{Fault::Kind::ResetWhilePending, 0, std::chrono::milliseconds{1}, true};
    RecordInstalling(viaKernel, [&](UpdateOnUnit& update) {
        update = ThroughKernelBackend(kernelSide, [&](FakeKernel& kernel, SysfsTree& sysfs) {
            kernel.PlanNodeRecreation(
                {1, [&sysfs] { sysfs.RemoveNode(1); }, [&sysfs](int node) { sysfs.AddKa(node); }});
            kernel.PickFaults(FaultsDuringXilinx(
                {{{300, Fault{Fault::Kind::BusResetBeforeSend}}, {1000, pendingTaken}},
                 // A read follows the node made anew; a write would start the image again.
                 {{1, Fault{Fault::Kind::ResponseCode, RCODE_BUSY}},
                  {2, pending},
                  {4, Fault{Fault::Kind::NodeRecreated}}},
                 {}}));
        });
    });
    const UpdateOnUnit direct = ThroughSimulatedBackend();
    EXPECT_EQ(viaKernel.xilinxStatus, 0);
    EXPECT_EQ(viaKernel.mcoreStatus, 0);
    EXPECT_EQ(viaKernel.xilinx.bytes, direct.xilinx.bytes);
    EXPECT_EQ(viaKernel.mcore.bytes, direct.mcore.bytes);
    ExpectNoBlockTwiceInAnyStart(viaKernel, direct);
    const std::filesystem::path recorded = karecord::CurrentUpdateRecordFile();
    const std::string text = (std::ostringstream{} << std::ifstream(recorded).rdbuf()).str();
    for (const char* event : {"unit busy, sending again", "lost the unit's answer",
                              ", sending again in generation", "the unit is back as /dev/fw1",
                              "was lost; not sent again", R"("restart":"xilinx","start":2})"}) {
        EXPECT_NE(text.find(event), std::string::npos) << event;
    }
    // A request sent again after a reset is logged in the generation it went in, not in the
    // one the sequencer read before the reset.
    const auto sentAgain = GenerationsSentAgain(recorded);
    EXPECT_EQ(sentAgain.size(), 2u);
    for (const auto& [said, logged] : sentAgain) {
        EXPECT_EQ(logged, said);
    }

    std::string error;
    auto record = karecord::ReadUpdateRecord(recorded, error);
    ASSERT_TRUE(record) << error;
    std::vector<std::string> mismatches;
    const auto replay = kasim::MakeReplayBackend(
        std::move(*record), false, [&](const std::string& what) { mismatches.push_back(what); });
    replay->SetBusObserver(&karecord::UpdateRecordObserver());
    kaplatform::SetFireWireBackend(replay);
    UpdateOnUnit replayed;
    RecordInstalling(replayed, [](UpdateOnUnit& update) { InstallBothImages(update); });
    kaplatform::SetFireWireBackend(nullptr);

    EXPECT_TRUE(mismatches.empty()) << mismatches.front();
    EXPECT_TRUE(kasim::ReplayFinished(*replay));
    EXPECT_EQ(replayed.xilinxStatus, 0);
    EXPECT_EQ(replayed.mcoreStatus, 0);
    // The program saw the same bus: its own lines and the bus's, in the same order.
    EXPECT_EQ(replayed.out, viaKernel.out);
    EXPECT_EQ(RecordedSteps(karecord::CurrentUpdateRecordFile()), RecordedSteps(recorded));
    EXPECT_EQ(RecordedGenerations(karecord::CurrentUpdateRecordFile()),
              RecordedGenerations(recorded));
}

}  // namespace
}  // namespace katest
