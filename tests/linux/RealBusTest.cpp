// What a real bus does to transfers and how the backend rides it out: the window after a
// bus reset in which the kernel still reports the old generation, units that answer busy,
// the kernel's split time-out, and four-byte transfers. All on the fake kernel's virtual
// time, so the windows are met exactly, however fast the machine is.
#include "CapturedOutput.h"
#include "FireWireStatus.h"
#include "KaOnBus.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace katest {
namespace {

using namespace std::chrono_literals;
using Kind = FakeKernel::Fault::Kind;

class RealBusTest : public KaOnBus {
  protected:
    void SetUp() override { ASSERT_EQ(device->Open(), kIOReturnSuccess); }

    std::vector<std::uint32_t> SentGenerations() const {
        std::vector<std::uint32_t> generations;
        for (const SentRequest& request : kernel->Requests()) {
            generations.push_back(request.generation);
        }
        return generations;
    }

    static std::string ResetLine(std::uint32_t from, std::uint32_t to) {
        return "FireWire: bus reset in generation " + std::to_string(from) +
               ", sending again in generation " + std::to_string(to) + "\n";
    }
    // "FireWire: <what>, sending again (<counted>N of <of>)", a line for each N from first
    // to last.
    static std::string RetryLines(const std::string& what, const std::string& counted, int first,
                                  int last, int of) {
        std::string lines;
        for (int number = first; number <= last; ++number) {
            lines += "FireWire: " + what + ", sending again (" + counted + std::to_string(number) +
                     " of " + std::to_string(of) + ")\n";
        }
        return lines;
    }
    static std::string BusyLine(int attempt) {
        return RetryLines("unit busy", "try ", attempt, attempt, kPolicy.busyTries);
    }
    static std::string BusyLines(int tries) {
        return RetryLines("unit busy", "try ", 2, tries, kPolicy.busyTries);
    }
    static std::string DamagedLines(int resends) {
        return RetryLines("packet damaged on the way", "", 1, resends, kPolicy.damagedReadResends);
    }
    static std::string SendErrorLines(int tries) {
        return RetryLines("the kernel could not send the request", "try ", 2, tries,
                          kPolicy.sendErrorTries);
    }
};

// ---- the bus-reset window

TEST_F(RealBusTest, AFlushedRequestGoesAgainOnlyOnceTheNewGenerationIsKnown) {
    const std::uint32_t before = kernel->Generation();
    kernel->SetResetWindow(40ms);
    kernel->InjectFault({Kind::BusResetBeforeSend});
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 0xDEADBEEFu, false, before), kIOReturnSuccess);
    const Output output = capture.Take();
    // Sent again at once, it would still carry the old generation and be flushed again.
    EXPECT_EQ(SentGenerations(), (std::vector<std::uint32_t>{before, before + 1}));
    EXPECT_GE(kernel->Elapsed(), 40ms);
    EXPECT_LT(kernel->Elapsed(), 40ms + 2 * kPolicy.generationQueryInterval)
        << "the generation is asked for every few milliseconds";
    EXPECT_EQ(registers.Peek(kStatusRegister, 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(output.out, ResetLine(before, before + 1));
    EXPECT_EQ(output.err, "");
}

TEST_F(RealBusTest, TheGenerationIsAskedForWhenTheResetEventIsLate) {
    kernel->SetEventDelay(1s);
    kernel->InjectFault({Kind::BusResetBeforeSend});
    CapturedOutput capture;
    std::uint32_t value = 0;
    ASSERT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(kernel->Requests().size(), 2u);
    EXPECT_LT(kernel->Elapsed(), 20ms) << "waited for the event instead of asking";
}

TEST_F(RealBusTest, AResetEventOlderThanWhatGetInfoSaidIsNotBelieved) {
    const std::uint32_t before = kernel->Generation();
    kernel->SetEventDelay(1ms);
    kernel->BusReset();  // its event is queued
    kernel->BeginBusReset();
    kernel->AdvanceTime(FakeKernel::kDefaultResetWindow);  // the next one's is not, yet
    std::uint32_t generation = 0;
    ASSERT_EQ(device->GetBusGeneration(generation), kIOReturnSuccess);
    ASSERT_EQ(generation, before + 2);

    ASSERT_EQ(device->WriteQuadlet(kStatus, 1, false, generation), kIOReturnSuccess);
    EXPECT_EQ(SentGenerations(), std::vector<std::uint32_t>{before + 2});
}

TEST_F(RealBusTest, ResetsInARowAreRiddenOneAfterAnother) {
    const std::uint32_t before = kernel->Generation();
    kernel->InjectFault({Kind::BusResetBeforeSend});
    kernel->InjectFault({Kind::BusResetBeforeSend});
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 5, false, before), kIOReturnSuccess);
    EXPECT_EQ(SentGenerations(), (std::vector<std::uint32_t>{before, before + 1, before + 2}));
    EXPECT_EQ(registers.WriteCount(), 1);
    EXPECT_EQ(capture.Take().out,
              ResetLine(before, before + 1) + ResetLine(before + 1, before + 2));
}

TEST_F(RealBusTest, ABusThatKeepsResettingEndsTheTransferAfterTheDeadline) {
    kernel->KeepResetting(true);
    Bytes block(128, 0x33);
    std::uint32_t size = 128;
    IOReturn status;
    {
        CapturedOutput capture;
        status = device->Write(kData, block.data(), size, false, 0);
    }
    EXPECT_EQ(status, kIOFireWireBusReset);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(registers.WriteCount(), 0);
    EXPECT_GE(kernel->Elapsed(), kPolicy.resetDeadline);
    EXPECT_LT(kernel->Elapsed(), kPolicy.resetDeadline + 4 * kPolicy.generationQueryInterval);
    const auto generations = SentGenerations();
    EXPECT_GT(generations.size(), 100u) << "every reset should have been ridden until the end";
    for (std::size_t index = 1; index < generations.size(); ++index) {
        ASSERT_GT(generations[index], generations[index - 1]) << "a request sent stale";
    }

    kernel->KeepResetting(false);
    size = 128;
    EXPECT_EQ(device->Write(kData, block.data(), size, false, 0), kIOReturnSuccess)
        << "the device stays usable once the bus settles";
}

TEST_F(RealBusTest, WithFailOnResetAFlushIsReportedAtOnce) {
    const std::uint32_t before = kernel->Generation();
    kernel->SetResetWindow(40ms);
    kernel->InjectFault({Kind::BusResetBeforeSend});
    CapturedOutput capture;
    EXPECT_EQ(device->WriteQuadlet(kStatus, 1, true, before), kIOFireWireBusReset);
    EXPECT_EQ(kernel->Requests().size(), 1u);
    EXPECT_EQ(kernel->Elapsed(), 0us);
    EXPECT_EQ(capture.Take().out, "");
}

TEST_F(RealBusTest, ARequestTheUnitTookBeforeTheFlushArrivesTwice) {
    // The flush can report a packet the node did take (a missing ack while flushing). The
    // request goes again all the same: the unit's check of the whole image, not this layer,
    // is what notices a block taken twice.
    kernel->InjectFault({Kind::BusResetAfterDelivery});
    CapturedOutput capture;
    Bytes block(128, 0x44);
    std::uint32_t size = 128;
    ASSERT_EQ(device->Write(kData, block.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(registers.WriteCount(), 2);
}

// ---- busy units

TEST_F(RealBusTest, BusyAnswersAreTriedAgainForEveryKindOfTransfer) {
    registers.Poke(kStatusRegister, {0, 0, 0, 1});
    registers.Poke(kDataWindow, {1, 2, 3, 4, 5, 6, 7, 8});
    CapturedOutput capture;
    std::uint32_t value = 0;
    kernel->InjectBusy(3);
    ASSERT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 1u);
    kernel->InjectBusy(3);
    ASSERT_EQ(device->WriteQuadlet(kStatus, 0x01020304u, false, 0), kIOReturnSuccess);
    Bytes buffer(8);
    std::uint32_t size = 8;
    kernel->InjectBusy(3);
    ASSERT_EQ(device->Read(kData, buffer.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const Bytes block(128, 0x77);
    size = 128;
    kernel->InjectBusy(3);
    ASSERT_EQ(device->Write(kData, block.data(), size, true, kernel->Generation()),
              kIOReturnSuccess)
        << "busy is tried again with failOnReset too: the unit never took the packet";

    ASSERT_EQ(kernel->Requests().size(), 16u);
    for (std::size_t index = 0; index < 16; ++index) {
        const SentRequest& first = kernel->Requests()[index / 4 * 4];
        const SentRequest& request = kernel->Requests()[index];
        EXPECT_EQ(request.transactionCode, first.transactionCode);
        EXPECT_EQ(request.offset, first.offset);
        EXPECT_EQ(request.payload, first.payload);
    }
    EXPECT_EQ(registers.WriteCount(), 2);
    EXPECT_EQ(registers.Peek(kDataWindow, 128), block);
    EXPECT_EQ(capture.Take().out, BusyLines(4) + BusyLines(4) + BusyLines(4) + BusyLines(4));
}

TEST_F(RealBusTest, BusyPausesAreShortAndGrow) {
    CapturedOutput capture;
    kernel->InjectBusy(kPolicy.busyTries - 1);
    ASSERT_EQ(device->WriteQuadlet(kStatus, 1, false, 0), kIOReturnSuccess);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(kPolicy.busyTries));
    // Doubling from the first pause up to the longest: 1, 2, 4, 8, then 10 ms by default.
    FakeKernel::Duration pauses{0};
    std::chrono::milliseconds pause = kPolicy.busyFirstPause;
    for (int pauseNumber = 1; pauseNumber < kPolicy.busyTries; ++pauseNumber) {
        pauses += pause;
        pause = std::min(2 * pause, kPolicy.busyLongestPause);
    }
    EXPECT_GE(kernel->Elapsed(), pauses);
    EXPECT_LT(kernel->Elapsed(), pauses + 5ms);
}

TEST_F(RealBusTest, AUnitBusyAtEveryTryIsBusy) {
    CapturedOutput capture;
    kernel->InjectBusy(kPolicy.busyTries);
    Bytes block(128, 0x55);
    std::uint32_t size = 128;
    EXPECT_EQ(device->Write(kData, block.data(), size, false, 0), kIOReturnBusy);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(kPolicy.busyTries));
    EXPECT_EQ(registers.WriteCount(), 0);
    EXPECT_EQ(capture.Take().out, BusyLines(kPolicy.busyTries));

    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess);
}

TEST_F(RealBusTest, ABusResetWhileBusyIsRiddenToo) {
    const std::uint32_t before = kernel->Generation();
    kernel->InjectBusy(2);
    kernel->InjectFault({Kind::BusResetBeforeSend});
    kernel->InjectBusy(1);
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 9, false, before), kIOReturnSuccess);
    EXPECT_EQ(SentGenerations(),
              (std::vector<std::uint32_t>{before, before, before, before + 1, before + 1}));
    EXPECT_EQ(capture.Take().out, BusyLines(3) + ResetLine(before, before + 1) + BusyLine(4));
}

// ---- the kernel's split time-out

TEST_F(RealBusTest, ASilentUnitIsGivenUpByTheKernelBeforeUs) {
    // A node may raise the split time-out to the kernel's largest.
    kernel->SetSplitTimeout(FakeKernel::kLargestSplitTimeout);
    kernel->InjectFault({Kind::SlowResponse, 0, 3500ms});
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnTimeout);
    EXPECT_EQ(kernel->OutstandingTransactions(), 0u)
        << "given up while the kernel still owned the transaction";
    device.reset();
    ASSERT_FALSE(kernel->CloseWaits().empty());
    EXPECT_EQ(kernel->CloseWaits().back(), 0us) << "close had to wait for the kernel";
}

TEST_F(RealBusTest, AnAnswerWithinTheSplitTimeOutIsWaitedFor) {
    kernel->SetSplitTimeout(FakeKernel::kLargestSplitTimeout);
    registers.Poke(kStatusRegister, {0, 0, 0, 1});
    kernel->InjectFault({Kind::SlowResponse, 0, 2900ms});
    std::uint32_t value = 0;
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 1u);
}

// ---- a reset while the unit holds a request

TEST_F(RealBusTest, AnAnswerAResetLostIsAskedForAgainInTheNewGeneration) {
    const std::uint32_t before = kernel->Generation();
    registers.Poke(kStatusRegister, {0, 0, 0, 7});
    kernel->InjectFault({Kind::ResetWhilePending, 0, 1ms});
    CapturedOutput capture;
    std::uint32_t value = 0;
    ASSERT_EQ(device->ReadQuadlet(kStatus, value, false, before), kIOReturnSuccess);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(SentGenerations(), (std::vector<std::uint32_t>{before, before + 1}));
    EXPECT_GE(kernel->Elapsed(), FakeKernel::kDefaultSplitTimeout);
    EXPECT_EQ(capture.Take().out, "FireWire: bus reset in generation " + std::to_string(before) +
                                      " lost the unit's answer, sending again in generation " +
                                      std::to_string(before + 1) + "\n");
}

TEST_F(RealBusTest, ACancelledReadStaysATimeOutWithoutANewerGenerationOrWithFailOnReset) {
    CapturedOutput capture;
    std::uint32_t value = 0;
    kernel->InjectFault({Kind::SlowResponse, 0, 2500ms});  // a unit that never answers in time
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnTimeout);
    EXPECT_EQ(kernel->Requests().size(), 1u);
    kernel->InjectFault({Kind::ResetWhilePending, 0, 1ms});
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, true, kernel->Generation()), kIOReturnTimeout);
    EXPECT_EQ(kernel->Requests().size(), 2u);
    EXPECT_EQ(capture.Take().out, "");
}

// ---- damaged packets

TEST_F(RealBusTest, ADamagedOrUnacknowledgedReadIsSentAgainAFewTimesThenItIsFinal) {
    const int resends = kPolicy.damagedReadResends;
    registers.Poke(kStatusRegister, {0, 0, 0, 5});
    for (int damaged = 0; damaged < resends; ++damaged) {
        kernel->InjectResponseCode(damaged == 1 ? RCODE_NO_ACK : RCODE_DATA_ERROR);
    }
    CapturedOutput capture;
    std::uint32_t value = 0;
    ASSERT_EQ(device->ReadQuadlet(kStatus, value, true, kernel->Generation()), kIOReturnSuccess);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(resends + 1));

    for (int damaged = 0; damaged < resends + 1; ++damaged) {
        kernel->InjectResponseCode(RCODE_DATA_ERROR);
    }
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOFireWireDataError);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(2 * (resends + 1)));
    const std::string noAck =
        RetryLines("no acknowledgement from the unit", "", 2, 2, kPolicy.damagedReadResends);
    const std::string first = RetryLines("packet damaged on the way", "", 1, 1, resends) + noAck +
                              RetryLines("packet damaged on the way", "", 3, resends, resends);
    EXPECT_EQ(capture.Take().out, first + DamagedLines(resends));

    for (int unacknowledged = 0; unacknowledged < resends + 1; ++unacknowledged) {
        kernel->InjectResponseCode(RCODE_NO_ACK);
    }
    EXPECT_EQ(device->ReadQuadlet(kStatus, value, false, 0), kIOReturnNotResponding);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(3 * (resends + 1)));
}

// ---- a write the unit may have taken

TEST_F(RealBusTest, AWriteTheUnitMayHaveTakenIsSentOnceAndSaidSo) {
    const std::uint32_t generation = kernel->Generation();
    struct Case {
        const char* name;
        FakeKernel::Fault fault;
        bool taken;
        std::string line;
    };
    const std::string notAgain = "; not sent again, the unit may have taken it\n";
    const std::string lost = "FireWire: the unit's answer to a write in generation ";
    const std::vector<Case> cases = {
        {"answer lost to a reset",
         {Kind::ResetWhilePending, 0, 1ms, true},
         true,
         lost + std::to_string(generation) + " was lost" + notAgain},
        // A unit slower than the split time-out: it acked, so it had the write.
        {"answer never came",
         {Kind::SlowResponse, 0, 2500ms},
         false,
         lost + std::to_string(generation + 1) + " was lost" + notAgain},
        {"refused by the unit",
         {Kind::ResponseCode, RCODE_DATA_ERROR, 0us, true},
         true,
         "FireWire: a write came back as a data error" + notAgain},
        {"damaged on the way",
         {Kind::ResponseCode, RCODE_DATA_ERROR},
         false,
         "FireWire: a write came back as a data error" + notAgain},
        // The link heard no ack: the unit may have taken the write and only its ack was lost.
        {"taken, its ack lost",
         {Kind::ResponseCode, RCODE_NO_ACK, 0us, true},
         true,
         "FireWire: a write in generation " + std::to_string(generation + 1) +
             " had no acknowledgement" + notAgain},
        {"lost with its ack",
         {Kind::ResponseCode, RCODE_NO_ACK},
         false,
         "FireWire: a write in generation " + std::to_string(generation + 1) +
             " had no acknowledgement" + notAgain},
        // The kernel never answers: our own deadline ends the wait, the request may be out.
        {"no answer in time",
         {Kind::NoResponse},
         false,
         "FireWire: no answer to a write in generation " + std::to_string(generation + 1) +
             " came in time" + notAgain},
        // Last: the node does not come back; a split time-out longer than the kernel's
        // shutdown delay lets the hang-up come first.
        {"outstanding when the node went",
         {Kind::GoneWhileOutstanding, 0, 0us, true},
         true,
         "FireWire: node /dev/fw1 went away with a write outstanding" + notAgain},
    };
    const Bytes block(128, 0x3C);
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        const std::size_t sent = kernel->Requests().size();
        const int written = registers.WriteCount();
        if (each.fault.kind == Kind::GoneWhileOutstanding) {
            kernel->SetSplitTimeout(FakeKernel::kLargestSplitTimeout);
        }
        kernel->InjectFault(each.fault);
        CapturedOutput capture;
        std::uint32_t size = 128;
        EXPECT_EQ(device->Write(kData, block.data(), size, false, 0),
                  kIOFireWireWriteMayHaveBeenTaken);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(kernel->Requests().size(), sent + 1) << "sent again";
        EXPECT_EQ(registers.WriteCount(), written + (each.taken ? 1 : 0));
        EXPECT_EQ(capture.Take().out, each.line);
    }
}

TEST_F(RealBusTest, AWriteTheKernelCouldNotSendGoesAgainAfterAPauseAFewTimes) {
    const int tries = kPolicy.sendErrorTries;
    for (int refused = 0; refused < tries - 1; ++refused) {
        kernel->InjectResponseCode(RCODE_SEND_ERROR);
    }
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 4, false, 0), kIOReturnSuccess);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(tries));
    EXPECT_EQ(registers.WriteCount(), 1);
    EXPECT_GE(kernel->Elapsed(), (tries - 1) * kPolicy.sendErrorPause);
    for (int refused = 0; refused < tries; ++refused) {
        kernel->InjectResponseCode(RCODE_SEND_ERROR);
    }
    EXPECT_EQ(device->WriteQuadlet(kStatus, 4, false, 0), kIOReturnIOError);
    EXPECT_EQ(kernel->Requests().size(), std::size_t(2 * tries));
    EXPECT_EQ(capture.Take().out, SendErrorLines(tries) + SendErrorLines(tries));
}

// ---- a node the kernel makes anew

TEST_F(RealBusTest, ANodeTheKernelMakesAnewUnderTheSameNameIsFollowedToItsNewDevice) {
    // Its ROM read fails once: the old device is shut down (ENODEV) and its number freed
    // before the new one is made, which takes the lowest free number: /dev/fw1 again.
    kernel->PlanNodeRecreation(
        {1, [this] { sysfs.RemoveNode(1); }, [this](int node) { sysfs.AddKa(node); }});
    kernel->InjectFault({Kind::NodeRecreated});
    const Bytes block(128, 0x21);
    std::uint32_t size = 128;
    CapturedOutput capture;
    ASSERT_EQ(device->Write(kData, block.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(registers.WriteCount(), 1);
    ASSERT_EQ(kernel->Requests().size(), 2u);
    EXPECT_EQ(kernel->Requests().back().devicePath, "/dev/fw1");
    EXPECT_EQ(kernel->Requests().back().generation, kernel->Generation());
    EXPECT_LT(kernel->Elapsed(), FakeKernel::kShutdownDelay + FakeKernel::kRetryDelay +
                                     FakeKernel::kInitialDelay + kPolicy.nodeSearchInterval +
                                     FakeKernel::kDefaultResetWindow);
    EXPECT_TRUE(kernel->IsLocked("/dev/fw1"));
    EXPECT_EQ(kernel->OpenDescriptorCount(), 1u) << "the old descriptor was not given back";
    EXPECT_EQ(capture.Take().out,
              "FireWire: node /dev/fw1 went away; the unit is back as /dev/fw1\n");
    // The next image's open takes the node it now holds.
    device->Close();
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    std::uint32_t generation = 0;
    ASSERT_EQ(device->GetBusGeneration(generation), kIOReturnSuccess);
    EXPECT_EQ(generation, kernel->Generation());
}

TEST_F(RealBusTest, TheOldNodeStaysLockedUntilTheNewOneIsAndMayStayListedMeanwhile) {
    // The unit comes back with another ROM, so the old device is not revived: the new one
    // is made while the old one still holds its number, as /dev/fw2, and sysfs lists the
    // lost node (same GUID, lower number) even after its shutdown. The new node is found,
    // and the old lock is let go only once it holds.
    bool oldLockedWhenNewCame = false;
    kernel->PlanNodeRecreation({0,
                                {},
                                [this, &oldLockedWhenNewCame](int node) {
                                    sysfs.AddKa(node);
                                    oldLockedWhenNewCame = kernel->IsLocked("/dev/fw1");
                                },
                                true});
    kernel->InjectFault({Kind::NodeRecreated});
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 3, false, 0), kIOReturnSuccess);
    EXPECT_TRUE(oldLockedWhenNewCame);
    EXPECT_FALSE(kernel->IsLocked("/dev/fw1"));
    EXPECT_TRUE(kernel->IsLocked("/dev/fw2"));
    EXPECT_EQ(kernel->Requests().back().devicePath, "/dev/fw2");
    EXPECT_EQ(kernel->OpenDescriptorCount(), 1u);
    EXPECT_EQ(capture.Take().out,
              "FireWire: node /dev/fw1 went away; the unit is back as /dev/fw2\n");
}

TEST_F(RealBusTest, ANodeBackWithinTheShutdownDelayLivesOnUnderItsDeviceFile) {
    const std::uint32_t before = kernel->Generation();
    kernel->PlanNodeRecreation({0, {}, {}});
    kernel->InjectFault({Kind::NodeRecreated});
    CapturedOutput capture;
    ASSERT_EQ(device->WriteQuadlet(kStatus, 3, false, 0), kIOReturnSuccess);
    EXPECT_EQ(kernel->Requests().back().devicePath, "/dev/fw1");
    EXPECT_EQ(capture.Take().out, ResetLine(before, before + 2));
}

TEST_F(RealBusTest, AWriteFlushedAsItsNodeLeftGoesNoFurtherOnceTheUnitHadBeenGivenSomething) {
    // The node is revived within the shutdown delay; a unit that was away has lost what it
    // was given since Open, so the write after it does not follow the node back.
    ASSERT_EQ(device->WriteQuadlet(kStatus, 1, false, 0), kIOReturnSuccess);
    const std::uint32_t before = kernel->Generation();
    kernel->PlanNodeRecreation({0, {}, {}});
    kernel->InjectFault({Kind::NodeRecreated});
    const std::size_t sent = kernel->Requests().size();
    {
        CapturedOutput capture;
        EXPECT_EQ(device->WriteQuadlet(kStatus, 2, false, 0), kIOFireWireWriteMayHaveBeenTaken);
        EXPECT_EQ(capture.Take().out,
                  "FireWire: node /dev/fw1 left the bus with a write in generation " +
                      std::to_string(before) + "; not sent again, the unit may have taken it\n");
    }
    EXPECT_EQ(kernel->Requests().size(), sent + 1);
    EXPECT_EQ(registers.WriteCount(), 1);
    // Opened again, as the image's next start opens it, the first write goes to the node.
    device->Close();
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    EXPECT_EQ(device->WriteQuadlet(kStatus, 3, false, 0), kIOReturnSuccess);
    EXPECT_EQ(registers.WriteCount(), 2);
    EXPECT_EQ(kernel->Requests().back().generation, before + 2);
}

TEST_F(RealBusTest, OnlyTheSameGuidIsTakenForTheNodeAndNotForEver) {
    kernel->PlanNodeRecreation({1, [this] { sysfs.RemoveNode(1); },
                                [this](int node) { sysfs.AddKa(node, 0, kKaGuid + 1); }});
    kernel->InjectFault({Kind::NodeRecreated});
    CapturedOutput capture;
    EXPECT_EQ(device->WriteQuadlet(kStatus, 3, false, 0), kIOReturnNoDevice);
    EXPECT_EQ(registers.WriteCount(), 0);
    EXPECT_EQ(kernel->Requests().size(), 1u);
    // Shut down after 2 s, then looked for until the deadline.
    EXPECT_GE(kernel->Elapsed(), FakeKernel::kShutdownDelay + kPolicy.nodeSearchDeadline);
    EXPECT_LT(kernel->Elapsed(), FakeKernel::kShutdownDelay + kPolicy.nodeSearchDeadline +
                                     2 * kPolicy.nodeSearchInterval);
    EXPECT_EQ(capture.Take().out, "");
}

// ---- the policy the backend is made with

TEST_F(RealBusTest, EveryBoundComesFromThePolicyTheBackendIsMadeWith) {
    kaplatform::LinuxFireWireRetryPolicy policy;
    policy.busyTries = 3;
    policy.busyFirstPause = 2ms;
    policy.busyLongestPause = 3ms;
    policy.sendErrorTries = 2;
    policy.sendErrorPause = 7ms;
    policy.damagedReadResends = 1;
    policy.resetDeadline = 100ms;
    policy.answerDeadline = 900ms;
    policy.failFastAnswerDeadline = 20ms;
    device.reset();
    const auto backend = kaplatform::MakeLinuxFireWireBackend(kernel, policy);
    std::unique_ptr<kaplatform::FireWireDevice> ours;
    ASSERT_EQ(backend->CreateDevice("fw1.0", ours), kIOReturnSuccess);
    ASSERT_EQ(ours->Open(), kIOReturnSuccess);
    CapturedOutput capture;
    std::uint32_t value = 0;
    const auto sendsAndTime = [&](IOReturn expected) {
        const std::size_t sent = kernel->Requests().size();
        const FakeKernel::Duration start = kernel->Elapsed();
        EXPECT_EQ(ours->ReadQuadlet(kStatus, value, false, 0), expected);
        return std::pair{kernel->Requests().size() - sent, kernel->Elapsed() - start};
    };

    kernel->InjectBusy(3);
    EXPECT_EQ(sendsAndTime(kIOReturnBusy), std::pair(std::size_t{3}, FakeKernel::Duration{5ms}));
    EXPECT_EQ(capture.Take().out, RetryLines("unit busy", "try ", 2, 3, 3));
    kernel->InjectResponseCode(RCODE_SEND_ERROR);
    kernel->InjectResponseCode(RCODE_SEND_ERROR);
    EXPECT_EQ(sendsAndTime(kIOReturnIOError), std::pair(std::size_t{2}, FakeKernel::Duration{7ms}));
    kernel->InjectResponseCode(RCODE_DATA_ERROR);
    kernel->InjectResponseCode(RCODE_DATA_ERROR);
    EXPECT_EQ(sendsAndTime(kIOFireWireDataError).first, 2u);

    kernel->KeepResetting(true);
    const FakeKernel::Duration start = kernel->Elapsed();
    EXPECT_EQ(ours->ReadQuadlet(kStatus, value, false, 0), kIOFireWireBusReset);
    EXPECT_GE(kernel->Elapsed() - start, policy.resetDeadline);
    EXPECT_LT(kernel->Elapsed() - start, policy.resetDeadline + 4 * policy.generationQueryInterval);
    kernel->KeepResetting(false);

    kernel->InjectFault({Kind::NoResponse});
    EXPECT_EQ(ours->ReadQuadlet(kStatus, value, false, 0), kIOReturnTimeout);
    EXPECT_EQ(kernel->PollTimeouts().back(), policy.answerDeadline.count());
    ours.reset();

    // The device interface that fails fast waits its own, shorter deadline.
    ASSERT_EQ(backend->CreateDevice("fw1.0", ours), kIOReturnSuccess);
    ours->FailFast();
    ASSERT_EQ(ours->Open(), kIOReturnSuccess);
    kernel->InjectFault({Kind::NoResponse});
    EXPECT_EQ(ours->ReadQuadlet(kStatus, value, false, 0), kIOReturnTimeout);
    EXPECT_EQ(kernel->PollTimeouts().back(), policy.failFastAnswerDeadline.count());
}

// ---- four-byte transfers

TEST_F(RealBusTest, FourByteBlockTransfersTravelAsQuadletRequests) {
    const Bytes four{0x12, 0x34, 0x56, 0x78};
    std::uint32_t size = 4;
    ASSERT_EQ(device->Write(kData, four.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 4u);
    Bytes back(4);
    size = 4;
    ASSERT_EQ(device->Read(kData, back.data(), size, false, 0), kIOReturnSuccess);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(back, four) << "the bytes keep their memory order both ways";
    EXPECT_EQ(registers.Peek(kDataWindow, 4), four);

    Bytes eight(8);
    size = 8;
    ASSERT_EQ(device->Read(kData, eight.data(), size, false, 0), kIOReturnSuccess);
    size = 8;
    ASSERT_EQ(device->Write(kData, eight.data(), size, false, 0), kIOReturnSuccess);

    ASSERT_EQ(kernel->Requests().size(), 4u);
    EXPECT_EQ(kernel->Requests()[0].transactionCode, unsigned{TCODE_WRITE_QUADLET_REQUEST});
    EXPECT_EQ(kernel->Requests()[0].payload, four);
    EXPECT_EQ(kernel->Requests()[1].transactionCode, unsigned{TCODE_READ_QUADLET_REQUEST});
    EXPECT_EQ(kernel->Requests()[2].transactionCode, unsigned{TCODE_READ_BLOCK_REQUEST});
    EXPECT_EQ(kernel->Requests()[3].transactionCode, unsigned{TCODE_WRITE_BLOCK_REQUEST});
}

}  // namespace
}  // namespace katest
