// The whole update on its worker thread against the simulated unit, pauses on a virtual
// clock: both images in turn whatever became of the first, the order of what is written,
// the done flag and the outcome, and the ways a run can fail to get going.
#include "virorividizezuzu.h"

#include "CapturedOutput.h"
#include "DownloadProgress.h"
#include "OneShotSignal.h"
#include "Orv_VEV_Thread.h"
#include "ScopedDownloadPauseClock.h"
#include "SimulatedBus.h"
#include "StreamRecording.h"
#include "ThreadCreation.h"
#include "VirtualDownloadPauseClock.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using kasim::Component;
using kasim::FlashContents;
using kasim::ImageFault;
using kasim::ImageFaultKind;
using kasim::ImageSelection;
using Orv::VEV::CViRorividiZezuzu;

constexpr auto kLongestRun = std::chrono::seconds(120);

// The worker looks at the unit's identity once before anything is written.
const std::string kRunStart =
    "Start Download Thread\nCtor Downloader\nOpen Ka\nCtor DownloadUnit\nFWDL::Open\n"
    "FWDL::Close\n";
const std::string kXilinxInstalled =
    "Opening Xilinx data file\nBusGen 1\nFWDL::Open\nErasing Xilinx Image\nSending Data...\n"
    "Update successful.\n\rFWDL::Close\n";
const std::string kMcoreInstalled =
    "Opening MCORE 06 file\nBusGen 1\nFWDL::Open\nErasing MCORE image\nSending Data...\n"
    "Update successful.\n\rFWDL::Close\n";
const std::string kRunEnd =
    "Close Ka\nDtor DownloadUnit\nDtor Downloader\nDelete Download Thread\n";
const std::string kRunWithoutUnit =
    "Start Download Thread\nCtor Downloader\nOpen Ka\nClose Ka\n"
    "Dtor Downloader\nDelete Download Thread\n";

// Polls the flag the way the dialog's timer does, until it is up or the deadline passes.
bool WaitForDone(CViRorividiZezuzu& controller) {
    const auto deadline = std::chrono::steady_clock::now() + kLongestRun;
    while (!controller.GetDoneStatus()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

int RefuseToCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return EAGAIN;
}

struct UpdateRun {
    bool started = false;
    bool finished = false;
    std::string out;
    std::string err;
    IOReturn status = kIOReturnSuccess;
    Orv::VEV::UpdateOutcome outcome;
    // The done flag as the worker wrote its last line, and at any of its pauses.
    bool doneAtLastLine = true;
    bool doneDuringPauses = false;
    UInt32 progress = 0;
};

class BackgroundRunTest : public testing::Test {
  protected:
    BackgroundRunTest() {
        gDownloadProgress.Reset();
        gDownloadProgress.SetDeviceType(Xilinx);
        katest::CapturedOutput quiet;
        controller_ = std::make_unique<CViRorividiZezuzu>();
        clock_.SetPauseObserver([this](UInt32) {
            if (controller_->GetDoneStatus()) {
                doneDuringPauses_.store(true);
            }
            if (holdWorker_) {
                // Until the test has looked at the flag with the worker under way.
                workerMayGoOn_->WaitFor(kLongestRun);
            }
        });
    }
    ~BackgroundRunTest() override {
        katest::CapturedOutput quiet;
        controller_.reset();
        gDownloadProgress.Reset();
    }

    // One update from DoUpdate until done. checkWhileRunning runs on this thread after
    // DoUpdate has returned, with the worker held at its first pause when holdWorker_ is set.
    UpdateRun RunUpdate(const std::function<void()>& checkWhileRunning = nullptr) {
        AcceptTheUnit();
        return RunAcceptedUpdate(checkWhileRunning);
    }

    // What the dialog does before the update starts: a discovery pass, then the click.
    void AcceptTheUnit() {
        katest::CapturedOutput quiet;
        controller_->IsFound();
        controller_->AcceptUpdate();
        ka_->ClearTransactions();
    }

    UpdateRun RunAcceptedUpdate(const std::function<void()>& checkWhileRunning = nullptr) {
        UpdateRun run;
        doneDuringPauses_.store(false);
        std::atomic<bool> doneAtLastLine{true};
        workerMayGoOn_ = std::make_shared<OneShotSignal<bool>>();
        {
            katest::ScopedStreamRecording recording;
            recording.Out().Watch("Delete Download Thread\n",
                                  [&] { doneAtLastLine.store(controller_->GetDoneStatus()); });
            run.started = controller_->DoUpdate();
            if (checkWhileRunning) {
                checkWhileRunning();
            }
            workerMayGoOn_->Set(true);
            run.finished = WaitForDone(*controller_);
            if (!run.finished) {
                // The worker still writes to the recording; it must outlive it.
                ADD_FAILURE() << "the update did not finish";
                std::abort();
            }
            run.out = recording.Out().Text();
            run.err = recording.Err().Text();
        }
        run.status = controller_->GetUpdateStatus();
        run.outcome = controller_->GetUpdateOutcome();
        run.doneAtLastLine = doneAtLastLine.load();
        run.doneDuringPauses = doneDuringPauses_.load();
        run.progress = gDownloadProgress.Get();
        return run;
    }

    katest::ScopedSimulatedKa ka_;
    VirtualDownloadPauseClock clock_;
    ScopedDownloadPauseClock clockInstalled_{clock_};
    std::unique_ptr<CViRorividiZezuzu> controller_;
    std::atomic<bool> doneDuringPauses_{false};
    // Both set before DoUpdate only; read by the worker.
    bool holdWorker_ = false;
    std::shared_ptr<OneShotSignal<bool>> workerMayGoOn_;
};

TEST_F(BackgroundRunTest, AHealthyUnitGetsBothImagesInOrder) {
    EXPECT_FALSE(controller_->GetDoneStatus());
    holdWorker_ = true;
    bool doneRightAfterStart = true;
    const UpdateRun run = RunUpdate([&] { doneRightAfterStart = controller_->GetDoneStatus(); });

    EXPECT_TRUE(run.started);
    EXPECT_FALSE(doneRightAfterStart);
    EXPECT_FALSE(run.doneDuringPauses);
    EXPECT_FALSE(run.doneAtLastLine);
    EXPECT_TRUE(controller_->GetDoneStatus());
    EXPECT_EQ(run.status, kIOReturnSuccess);
    EXPECT_TRUE(run.outcome.BothInstalled());
    EXPECT_EQ(run.out, kRunStart + kXilinxInstalled + kMcoreInstalled + kRunEnd);
    EXPECT_EQ(run.err, "Erasing Flash\nErasing Flash\nErasing Flash\nErasing Flash\n");
    EXPECT_EQ(run.progress, 100u);

    const auto xilinx = ka_->Flash(Component::Xilinx);
    const auto mcore = ka_->Flash(Component::Mcore);
    EXPECT_EQ(xilinx.state, FlashContents::State::Installed);
    EXPECT_EQ(mcore.state, FlashContents::State::Installed);
    EXPECT_EQ(xilinx.bytes.size(), 336680u);
    EXPECT_EQ(mcore.bytes.size(), 74876u);
    // The unit object was made and used on the worker, and is gone.
    const auto transactions = ka_->Transactions();
    ASSERT_FALSE(transactions.empty());
    for (const auto& transaction : transactions) {
        EXPECT_FALSE(transaction.onHomeThread);
    }
    EXPECT_EQ(ka_->LiveConnections(), 0u);
    // 3226 one-millisecond pauses and two erase polls of a second per image.
    EXPECT_EQ(clock_.PauseCount(), 3226u + 4u);
    EXPECT_EQ(clock_.NowMicroseconds(), 3226u * 1000u + 4u * 1000000u);
}

TEST_F(BackgroundRunTest, ASecondUpdateRunsAFreshSequenceAndClearsTheFlagFirst) {
    const UpdateRun first = RunUpdate();
    ASSERT_TRUE(first.finished);
    ASSERT_TRUE(controller_->GetDoneStatus());

    holdWorker_ = true;
    bool doneRightAfterStart = true;
    const UpdateRun second = RunUpdate([&] { doneRightAfterStart = controller_->GetDoneStatus(); });
    EXPECT_FALSE(doneRightAfterStart);
    EXPECT_FALSE(second.doneAtLastLine);
    EXPECT_EQ(second.status, kIOReturnSuccess);
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(second.out, kRunStart + kXilinxInstalled + kMcoreInstalled + kRunEnd);
    EXPECT_EQ(ka_->Flash(Component::Xilinx).installCount, 2u);
    EXPECT_EQ(ka_->Flash(Component::Mcore).installCount, 2u);
}

struct FailingImageCase {
    const char* name;
    std::vector<ImageFault> faults;
    IOReturn status;  // the first failure's
    FlashContents::State xilinx;
    FlashContents::State mcore;
};

void PrintTo(const FailingImageCase& c, std::ostream* out) {
    *out << c.name;
}

ImageFault NotReadyFor(ImageSelection image) {
    ImageFault fault(ImageFaultKind::NotReady, image);
    fault.statusValue = 0;
    return fault;
}

class BackgroundRunFailingImageTest : public BackgroundRunTest,
                                      public testing::WithParamInterface<FailingImageCase> {};

TEST_P(BackgroundRunFailingImageTest, BothImagesAreTriedAndTheFirstFailureIsTheOutcome) {
    const FailingImageCase& c = GetParam();
    for (const auto& fault : c.faults) {
        ka_->AddImageFault(fault);
    }
    const UpdateRun run = RunUpdate();
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(controller_->GetDoneStatus());
    EXPECT_FALSE(run.doneAtLastLine);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(ka_->Flash(Component::Xilinx).state, c.xilinx);
    EXPECT_EQ(ka_->Flash(Component::Mcore).state, c.mcore);
    EXPECT_EQ(run.outcome.firstFailure, c.status);
    EXPECT_EQ(run.outcome.xilinxInstalled, c.xilinx == FlashContents::State::Installed);
    EXPECT_EQ(run.outcome.mcoreInstalled, c.mcore == FlashContents::State::Installed);
    EXPECT_FALSE(run.outcome.BothInstalled());
    // The MCORE image was attempted after the Xilinx image, and the run ended in order.
    const auto xilinxAt = run.out.find("Opening Xilinx data file\n");
    const auto mcoreAt = run.out.find("Opening MCORE 06 file\n");
    ASSERT_NE(xilinxAt, std::string::npos);
    ASSERT_NE(mcoreAt, std::string::npos);
    EXPECT_LT(xilinxAt, mcoreAt);
    EXPECT_TRUE(run.out.starts_with(kRunStart));
    EXPECT_TRUE(run.out.ends_with(kRunEnd));
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachImage, BackgroundRunFailingImageTest,
    testing::Values(
        FailingImageCase{"XilinxNotReady",
                         {NotReadyFor(ImageSelection::Xilinx)},
                         -192,
                         FlashContents::State::Factory,
                         FlashContents::State::Installed},
        FailingImageCase{"XilinxBlockFails",
                         {ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Xilinx, 4096)},
                         kIOReturnIOError,
                         FlashContents::State::Erased,
                         FlashContents::State::Installed},
        // The update's Open for the Xilinx image is refused, and with it every transfer.
        FailingImageCase{"XilinxOpenRefused",
                         {ImageFault(ImageFaultKind::OpenFailure, ImageSelection::Xilinx)},
                         kIOReturnNotOpen,
                         FlashContents::State::Factory,
                         FlashContents::State::Installed},
        FailingImageCase{"McoreCrcRejected",
                         {ImageFault(ImageFaultKind::CrcRejected, ImageSelection::Mcore)},
                         kIOFireWireDataError,
                         FlashContents::State::Installed,
                         FlashContents::State::Erased},
        FailingImageCase{"BothFailDifferently",
                         {ImageFault(ImageFaultKind::BlockFailure, ImageSelection::Xilinx, 0),
                          ImageFault(ImageFaultKind::CrcRejected, ImageSelection::Mcore)},
                         kIOReturnIOError,
                         FlashContents::State::Erased,
                         FlashContents::State::Erased}),
    [](const testing::TestParamInfo<FailingImageCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(BackgroundRunTest, AUnitGoneBeforeTheWorkerStartsEndsTheRunFailed) {
    ka_->Unplug();
    const UpdateRun run = RunUpdate();
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(controller_->GetDoneStatus());
    EXPECT_FALSE(run.doneAtLastLine);
    EXPECT_EQ(run.status, kIOReturnNoDevice);
    EXPECT_EQ(run.out, kRunWithoutUnit);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(katest::Transfers(*ka_).empty());
    EXPECT_EQ(clock_.PauseCount(), 0u);
    EXPECT_EQ(run.progress, 0u);
}

TEST_F(BackgroundRunTest, AUnitWhoseInterfaceCannotBeMadeOnTheWorkerEndsTheRunFailed) {
    ka_->AddTransactionFault(kasim::TransactionFault(kasim::Operation::CreateDevice,
                                                     kIOReturnNoResources, 1,
                                                     kasim::FaultScope::UpdateConnections));
    const UpdateRun run = RunUpdate();
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(controller_->GetDoneStatus());
    EXPECT_NE(run.status, kIOReturnSuccess);
    EXPECT_EQ(run.out, kRunWithoutUnit);
    EXPECT_EQ(run.err, "Couldn't create plug in interface\n");
    EXPECT_TRUE(katest::Transfers(*ka_).empty());
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(BackgroundRunTest, AWorkerThatCannotBeCreatedEndsTheRunAtOnce) {
    UpdateRun refused;
    {
        katest::ThreadCreatorInstalled refuse(&RefuseToCreate);
        refused = RunUpdate();
    }
    EXPECT_FALSE(refused.started);
    EXPECT_TRUE(controller_->GetDoneStatus());
    EXPECT_EQ(refused.status, kIOReturnNoResources);
    EXPECT_EQ(refused.out, "Start Download Thread\nCtor Downloader\nDtor Downloader\n");
    EXPECT_EQ(refused.err, "");
    EXPECT_TRUE(ka_->Transactions().empty());

    // Nothing of the refused run is left to stand in the way of the next.
    const UpdateRun next = RunUpdate();
    EXPECT_TRUE(next.started);
    EXPECT_EQ(next.status, kIOReturnSuccess);
    EXPECT_EQ(next.out, kRunStart + kXilinxInstalled + kMcoreInstalled + kRunEnd);
}

// Nothing of the unit may have been written: no update begun, no erase, no block.
void ExpectNothingWritten(const kasim::SimulatedKa& ka) {
    for (const auto& transfer : katest::Transfers(ka)) {
        EXPECT_NE(transfer.operation, kasim::Operation::WriteQuadlet)
            << std::hex << transfer.address;
        EXPECT_NE(transfer.operation, kasim::Operation::WriteBlock) << std::hex << transfer.address;
    }
    EXPECT_EQ(ka.Flash(Component::Xilinx).state, FlashContents::State::Factory);
    EXPECT_EQ(ka.Flash(Component::Mcore).state, FlashContents::State::Factory);
}

const std::string kUnitChangedLine =
    "The Ka changed before the update began; nothing was written.\n";

TEST_F(BackgroundRunTest, AnotherUnitInTheAcceptedOnesPlaceGetsNothingWritten) {
    AcceptTheUnit();
    // Same name on the bus, another node: only its GUID gives it away.
    ka_->ArmUnitSwap();
    const UpdateRun run = RunAcceptedUpdate();
    EXPECT_EQ(ka_->Guid(), kasim::kSwappedInGuid) << "the swap happened";
    EXPECT_EQ(run.status, Orv::VEV::kKaChangedErr);
    EXPECT_TRUE(run.outcome.UnitChanged());
    EXPECT_FALSE(run.outcome.xilinxInstalled);
    EXPECT_FALSE(run.outcome.mcoreInstalled);
    EXPECT_EQ(run.out,
              "Start Download Thread\nCtor Downloader\nOpen Ka\nCtor DownloadUnit\n" + kRunEnd);
    EXPECT_EQ(run.err, kUnitChangedLine);
    EXPECT_TRUE(katest::Transfers(*ka_).empty());
    ExpectNothingWritten(*ka_);
    EXPECT_EQ(run.progress, 0u);
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(BackgroundRunTest, AUnitWhoseIdentityChangedSinceTheClickGetsNothingWritten) {
    struct Case {
        const char* what;
        std::function<void(kasim::SimulatedKa&)> change;
    };
    const std::vector<Case> cases = {
        // The downgrade question was answered for other firmware.
        {"newer firmware", [](kasim::SimulatedKa& ka) { ka.SetSoftwareVersion(0x00040006); }},
        {"older firmware", [](kasim::SimulatedKa& ka) { ka.SetSoftwareVersion(0x00010001); }},
        {"a revision class discovery rejects",
         [](kasim::SimulatedKa& ka) { ka.SetProductRevision(0x00010000); }},
        {"another revision of the same class",
         [](kasim::SimulatedKa& ka) { ka.SetProductRevision(0x00020001); }},
        {"an unreadable software version",
         [](kasim::SimulatedKa& ka) {
             ka.AddTransactionFault(kasim::TransactionFault(kasim::Operation::ReadQuadlet,
                                                            kIOFireWireAddressError, 1,
                                                            kasim::FaultScope::UpdateConnections));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ka_->SetSoftwareVersion(0x00020004);
        ka_->SetProductRevision(0x00020000);
        ka_->ClearFaults();
        AcceptTheUnit();
        c.change(*ka_);
        const UpdateRun run = RunAcceptedUpdate();
        EXPECT_EQ(run.status, Orv::VEV::kKaChangedErr);
        EXPECT_EQ(run.out, kRunStart + kRunEnd);
        EXPECT_EQ(run.err, kUnitChangedLine);
        ExpectNothingWritten(*ka_);
        EXPECT_EQ(ka_->LiveConnections(), 0u);
    }
}

TEST_F(BackgroundRunTest, AUnitThatCannotBeOpenedForTheIdentityCheckIsNoChangedUnit) {
    // Another program took the unit after the click: the run says why, not that the unit
    // changed.
    AcceptTheUnit();
    ka_->AddTransactionFault(kasim::TransactionFault(
        kasim::Operation::Open, kIOReturnExclusiveAccess, 1, kasim::FaultScope::UpdateConnections));
    const UpdateRun run = RunAcceptedUpdate();
    EXPECT_EQ(run.status, kIOReturnExclusiveAccess);
    EXPECT_FALSE(run.outcome.UnitChanged());
    EXPECT_EQ(run.err, "");
    ExpectNothingWritten(*ka_);
    EXPECT_EQ(ka_->LiveConnections(), 0u);
}

TEST_F(BackgroundRunTest, AnUpdateNobodyAcceptedWritesNothingAndAnAcceptanceHoldsForOneRun) {
    const UpdateRun unaccepted = RunAcceptedUpdate();
    EXPECT_EQ(unaccepted.status, Orv::VEV::kKaChangedErr);
    ExpectNothingWritten(*ka_);

    ASSERT_EQ(RunUpdate().status, kIOReturnSuccess);
    const auto installs = ka_->Flash(Component::Xilinx).installCount;
    const UpdateRun again = RunAcceptedUpdate();
    EXPECT_EQ(again.status, Orv::VEV::kKaChangedErr);
    EXPECT_EQ(ka_->Flash(Component::Xilinx).installCount, installs);
}

}  // namespace
