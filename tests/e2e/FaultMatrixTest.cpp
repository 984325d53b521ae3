// Every way an update can fail, for each image: the user is told it failed (never that it is
// complete), the program goes back to idle, a retry on the healed unit installs both images,
// the diagnostics name the failure, nothing hangs, and what the unit holds agrees with what
// its log says it was told.
#include "CapturedOutput.h"
#include "EndToEndSupport.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace katest;
using kasim::Component;
using kasim::ImageFault;
using kasim::ImageFaultKind;
using kasim::ImageSelection;
using State = kasim::FlashContents::State;

namespace {

constexpr IOReturn kUnitVerdict = static_cast<IOReturn>(0xFFFFFF40);
constexpr std::uint32_t kXilinxStart = 74;

enum class Target { Xilinx, Mcore, Run };

std::string_view TargetName(Target target) {
    switch (target) {
        case Target::Xilinx:
            return "xilinx";
        case Target::Mcore:
            return "mcore";
        case Target::Run:
            return "whole run";
    }
    return "?";
}

struct FaultCase {
    std::string fault;
    Target target;
    // Makes the unit (or the thread library) fail.
    std::function<void(kasim::SimulatedKa&)> inject;
    // Lines the diagnostics on standard error must hold, each byte for byte.
    std::vector<std::string> stderrLines;
    // The status the failure alert names.
    IOReturn status;
    // Whether each component is installed after the failed run.
    bool xilinxInstalled;
    bool mcoreInstalled;
    // The injection needs the thread library to refuse the worker.
    bool refuseWorker = false;
    // The unit at the start of the run is not the one accepted: not one write may reach it.
    bool unitChanged = false;
};

// Test logs name a case by its fault and image, not by its bytes.
void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.fault << " / " << TargetName(fault.target);
}

ImageSelection SelectionOf(Target target) {
    return target == Target::Xilinx ? ImageSelection::Xilinx : ImageSelection::Mcore;
}

std::string TriedToSend(std::uint32_t count, std::uint32_t fileOffset, IOReturn status) {
    std::ostringstream line;
    line << "Tried to send" << count << "bytes at" << fileOffset << ", got error" << status
         << "\n\r";
    return line.str();
}

// The image's file offset of a data offset (bytes after the header), and the size of the
// block sent from there.
std::uint32_t FileOffset(Target target, std::uint32_t dataOffset) {
    return target == Target::Xilinx ? dataOffset + kXilinxStart : dataOffset;
}
std::uint32_t BlockBytes(Target target, std::uint32_t dataOffset) {
    const std::uint32_t length = target == Target::Xilinx ? 336680 : 74876;
    return std::min<std::uint32_t>(128, length - dataOffset);
}

std::vector<FaultCase> ImageCases(Target target) {
    const ImageSelection image = SelectionOf(target);
    const bool xilinxFails = target == Target::Xilinx;
    const std::uint32_t lastBlock = xilinxFails ? 336640 : 74752;
    const std::uint32_t middleBlock = xilinxFails ? 128 * 1315 : 128 * 292;
    std::vector<FaultCase> cases;
    const auto add = [&](std::string name, ImageFault fault, std::vector<std::string> lines,
                         IOReturn status, bool otherInstalled = true) {
        cases.push_back({std::move(name), target,
                         [fault](kasim::SimulatedKa& ka) { ka.AddImageFault(fault); },
                         std::move(lines), status, xilinxFails ? false : otherInstalled,
                         xilinxFails ? otherInstalled : false});
    };
    add("not-ready", ImageFault(ImageFaultKind::NotReady, image),
        {"Device not ready - Could not prepare device for update.\n\r"}, kUnitVerdict);
    add("erase-fail", ImageFault(ImageFaultKind::EraseFailure, image),
        {"Device failed - Could not erase flash.\n\r"}, kUnitVerdict);
    std::string sixtyPolls;
    for (int poll = 0; poll < 60; ++poll) {
        sixtyPolls += "Erasing Flash\n";
    }
    add("erase-timeout", ImageFault(ImageFaultKind::EraseTimeout, image),
        {sixtyPolls + "Device timed out. -Could not erase flash.\n\r"}, kUnitVerdict);
    for (const auto& [where, dataOffset] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"first", 0}, {"middle", middleBlock}, {"last", lastBlock}}) {
        add("block-fail@" + where, ImageFault(ImageFaultKind::BlockFailure, image, dataOffset),
            {"Download has failed\n\r" + TriedToSend(BlockBytes(target, dataOffset),
                                                     FileOffset(target, dataOffset),
                                                     kIOReturnIOError)},
            kIOReturnIOError);
    }
    add("crc-reject", ImageFault(ImageFaultKind::CrcRejected, image),
        {"Firmware validation failed- CRC was invalid.\n\r"}, kIOFireWireDataError);
    // A unit that leaves the bus during the first image is not there for the second.
    add("unplug@middle", ImageFault(ImageFaultKind::Unplug, image, middleBlock),
        {"Download has failed\n\r" +
         TriedToSend(128, FileOffset(target, middleBlock), kIOReturnNotResponding)},
        kIOReturnNotResponding, /*otherInstalled=*/!xilinxFails);
    add("bus-reset@middle", ImageFault(ImageFaultKind::BusReset, image, middleBlock),
        {"Download has failed\n\r" +
         TriedToSend(128, FileOffset(target, middleBlock), kIOFireWireBusReset)},
        kIOFireWireBusReset);
    // The sequence goes on past a failed Open; the unopened device then refuses the
    // readiness check, whose status is the one left.
    add("open-fail", ImageFault(ImageFaultKind::OpenFailure, image),
        {"Could not open device\n\rDevice not ready - Could not prepare device for update.\n\r"
         "Device not ready - Could not prepare device for update.\n\r"},
        kIOReturnNotOpen);

    // The bus generation is read once per image, on the update's one connection.
    const unsigned occurrence = xilinxFails ? 1 : 2;
    cases.push_back({"get-generation",
                     target,
                     [occurrence](kasim::SimulatedKa& ka) {
                         ka.AddTransactionFault({kasim::Operation::GetGeneration,
                                                 kIOReturnNotResponding, occurrence,
                                                 kasim::FaultScope::UpdateConnections});
                     },
                     {},
                     kIOReturnNotResponding,
                     !xilinxFails,
                     xilinxFails});
    return cases;
}

std::vector<FaultCase> AllCases() {
    std::vector<FaultCase> cases = ImageCases(Target::Xilinx);
    for (FaultCase& mcore : ImageCases(Target::Mcore)) {
        cases.push_back(std::move(mcore));
    }
    // The update makes one device for both images: when it cannot be made, neither image
    // is attempted.
    cases.push_back({"create-device",
                     Target::Run,
                     [](kasim::SimulatedKa& ka) {
                         ka.AddTransactionFault({kasim::Operation::CreateDevice,
                                                 kIOReturnNoResources, 1,
                                                 kasim::FaultScope::UpdateConnections});
                     },
                     {"Couldn't create plug in interface\n"},
                     kIOReturnNoDevice,
                     false,
                     false});
    cases.push_back({"worker-creation",
                     Target::Run,
                     [](kasim::SimulatedKa&) {},
                     {},
                     kIOReturnNoResources,
                     false,
                     false,
                     /*refuseWorker=*/true});
    // Another unit in the accepted one's place when the worker looks it up.
    cases.push_back({"swap-unit",
                     Target::Run,
                     [](kasim::SimulatedKa& ka) { ka.ArmUnitSwap(); },
                     {"The Ka changed before the update began; nothing was written.\n"},
                     static_cast<IOReturn>(0xFFFFFF3F),
                     false,
                     false,
                     /*refuseWorker=*/false,
                     /*unitChanged=*/true});
    return cases;
}

std::string StateName(State state) {
    switch (state) {
        case State::Factory:
            return "factory";
        case State::Erased:
            return "erased";
        case State::Installed:
            return "installed";
    }
    return "?";
}

std::string Hex(IOReturn status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// How the failure alert must begin: what became of each image, then the first failure.
std::string ExpectedReport(const FaultCase& fault) {
    std::string what;
    if (fault.unitChanged) {
        what = "The Ka changed before the update began; nothing was written.";
    } else if (fault.xilinxInstalled) {
        what = "The Xilinx image was installed; the MCORE image was not.";
    } else if (fault.mcoreInstalled) {
        what = "The MCORE image was installed; the Xilinx image was not.";
    } else {
        what = "Neither the Xilinx image nor the MCORE image was installed.";
    }
    return what + " Error " + Hex(fault.status) + ".";
}

// fault x image -> outcome, printed once the suite is done.
std::map<std::string, std::string>& SummaryRows() {
    static std::map<std::string, std::string> rows;
    return rows;
}

class FaultMatrixTest : public EndToEndTest, public ::testing::WithParamInterface<FaultCase> {
  public:
    static void TearDownTestSuite() {
        std::cout << "\nFault matrix (fault / image -> what the user saw, the unit after, retry)\n";
        for (const auto& [key, outcome] : SummaryRows()) {
            std::printf("  %-30s %s\n", key.c_str(), outcome.c_str());
        }
        std::cout.flush();
    }
};

TEST_P(FaultMatrixTest, FailureIsReportedLeavesTheUnitAsLoggedAndARetrySucceeds) {
    const FaultCase& fault = GetParam();
    fault.inject(Ka());
    WorkerWatch::Instance().SetRefuseCreation(fault.refuseWorker);

    kaplatform::AlertRequest alert;
    katest::Output output;
    {
        katest::CapturedOutput captured;
        alert = RunOneUpdate();
        output = captured.Take();
    }
    EXPECT_EQ("Programming Failed", alert.message) << output.err;
    EXPECT_EQ(0u, alert.informative.find(ExpectedReport(fault))) << alert.informative;
    if (fault.unitChanged) {
        for (const kasim::Transaction& transaction : Ka().Transactions()) {
            EXPECT_NE(kasim::Operation::WriteQuadlet, transaction.operation)
                << "nothing may be written, no erase command above all";
            EXPECT_NE(kasim::Operation::WriteBlock, transaction.operation);
        }
    }
    for (const kaplatform::AlertRequest& request : _alerts.requests) {
        EXPECT_NE("Programming Complete", request.message);
    }
    EXPECT_EQ(0, _quits.count) << "the program stays open after a failure";
    EXPECT_TRUE(CancelButton()->isEnabled());
    EXPECT_EQ(0, Progress());
    for (const std::string& line : fault.stderrLines) {
        EXPECT_NE(std::string::npos, output.err.find(line))
            << "missing on standard error: " << testing::PrintToString(line) << "\nall of it:\n"
            << output.err;
    }
    if (fault.refuseWorker) {
        EXPECT_EQ(1, WorkerWatch::Instance().Refused());
    }

    // The unit holds what its log says it was told: a component is installed exactly when
    // its CRC was taken.
    const kasim::FlashContents xilinx = Ka().Flash(Component::Xilinx);
    const kasim::FlashContents mcore = Ka().Flash(Component::Mcore);
    EXPECT_EQ(fault.xilinxInstalled, xilinx.state == State::Installed);
    EXPECT_EQ(fault.mcoreInstalled, mcore.state == State::Installed);
    const CrcWrites crcWrites = CrcWritesOf(Ka());
    EXPECT_EQ(xilinx.state == State::Installed, crcWrites.xilinx == kIOReturnSuccess);
    EXPECT_EQ(mcore.state == State::Installed, crcWrites.mcore == kIOReturnSuccess);
    if (fault.fault == "crc-reject") {
        const auto& rejected = fault.target == Target::Xilinx ? crcWrites.xilinx : crcWrites.mcore;
        EXPECT_EQ(kIOFireWireDataError, rejected.value_or(kIOReturnSuccess));
        EXPECT_EQ(kasim::VerifyOutcome::Rejected,
                  (fault.target == Target::Xilinx ? xilinx : mcore).lastOutcome);
    }
    const std::string after =
        "xilinx " + StateName(xilinx.state) + ", mcore " + StateName(mcore.state);

    // Healed and plugged back in: idle again, the retry installs both.
    Ka().ClearFaults();
    WorkerWatch::Instance().SetRefuseCreation(false);
    if (!Ka().IsPresent()) {
        Ka().Plug();
    }
    Ka().ClearTransactions();
    _alerts.requests.clear();
    kaplatform::AlertRequest retry;
    {
        katest::CapturedOutput captured;
        retry = RunOneUpdate();
        captured.Take();
    }
    EXPECT_EQ("Programming Complete", retry.message);
    EXPECT_EQ(1, _quits.count);
    EXPECT_EQ(State::Installed, Ka().Flash(Component::Xilinx).state);
    EXPECT_EQ(State::Installed, Ka().Flash(Component::Mcore).state);

    const bool retried = retry.message == "Programming Complete";
    SummaryRows()[fault.fault + " / " + std::string(TargetName(fault.target))] =
        (alert.message == "Programming Failed" ? "failed " + Hex(fault.status) : alert.message) +
        "; " + after + "; retry " + (retried ? "installed both" : "FAILED");
}

std::string CaseName(const testing::TestParamInfo<FaultCase>& info) {
    std::string name = info.param.fault + "_" + std::string(TargetName(info.param.target));
    for (char& character : name) {
        if (!std::isalnum(static_cast<unsigned char>(character))) {
            character = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryFault, FaultMatrixTest, testing::ValuesIn(AllCases()), CaseName);

}  // namespace
