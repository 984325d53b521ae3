// The record an update leaves: what survives a killed program, and how many are kept.
#include "CapturedOutput.h"
#include "ScopedStateFolder.h"
#include "UpdateRecordReplay.h"
#include "UpdateRecorder.h"

#include <UpdateRecord.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace katest {
namespace {

const UpdateRecordFacts kFacts = {"1.3",      "3-5",      "built in", 0x0200'0000'0000'4711,
                                  "KA004711", 0x00020004, 0x00020000};

kaplatform::RecordedTransaction StatusPoll(std::uint32_t value) {
    kaplatform::RecordedTransaction poll;
    poll.operation = "read-quadlet";
    poll.address = 0xFFFF'F0430014;
    poll.length = 4;
    poll.moved = 4;
    poll.value = value;
    poll.generation = 1;
    return poll;
}

TEST(UpdateRecordTest, AProgramKilledDuringTheUpdateLeavesARecordThatReadsToTheKill) {
    ScopedStateFolder state;
    EXPECT_EXIT(
        {
            UpdateRecordBegin(&kFacts);
            kaplatform::RecordTransaction(StatusPoll(0));
            kaplatform::RecordBusEvent("unit busy, sending again (try 2 of 10)");
            kaplatform::RecordTransaction(StatusPoll(1));
            std::raise(SIGKILL);
        },
        testing::KilledBySignal(SIGKILL), "");
    const auto records = state.Records();
    ASSERT_EQ(records.size(), 1u);
    // A kill in the middle of a line leaves it cut short.
    std::ofstream(records.front(), std::ios::app) << "{\"seq\":4,\"t\":12,\"op\":\"wri";

    std::string error;
    const auto record = kasim::ReadUpdateRecord(records.front(), error);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(record->unit.guid, kFacts.guid);
    EXPECT_EQ(record->unit.softwareVersion, kFacts.softwareVersion);
    EXPECT_EQ(record->unit.serialNumber, kasim::SerialNumberFromText("KA004711"));
    ASSERT_EQ(record->steps.size(), 3u);
    EXPECT_EQ(record->steps[0].transaction.value, 0u);
    EXPECT_EQ(record->steps[1].event, "unit busy, sending again (try 2 of 10)");
    EXPECT_EQ(record->steps[2].transaction.value, 1u);
    EXPECT_EQ(record->steps[2].line, 4u);
    EXPECT_FALSE(record->outcome);
}

TEST(UpdateRecordTest, TheLatestTwentyAreKeptAndAFolderThatCannotBeWrittenCostsOneLine) {
    ScopedStateFolder state;
    std::vector<std::filesystem::path> written;
    for (int update = 0; update < 25; ++update) {
        ASSERT_EQ(UpdateRecordBegin(&kFacts), kIOReturnSuccess);
        written.push_back(kaplatform::CurrentUpdateRecordFile());
        UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    }
    const std::vector<std::filesystem::path> newest(written.end() - 20, written.end());
    EXPECT_EQ(state.Records(), newest);

    // A file where the folder should be.
    std::filesystem::remove_all(state.Root() / "ka-firmware-updater");
    std::ofstream(state.Root() / "ka-firmware-updater") << "not a folder";
    CapturedOutput capture;
    EXPECT_EQ(UpdateRecordBegin(&kFacts), kIOReturnNotWritable);
    EXPECT_TRUE(kaplatform::IsUpdateUnderway());
    kaplatform::RecordTransaction(StatusPoll(1));
    kaplatform::RecordBusEvent("unit busy, sending again (try 2 of 10)");
    UpdateRecordImageOutcome("xilinx", kIOReturnSuccess);
    UpdateRecordEnd(false, kIOReturnIOError, "The Xilinx image was installed.");
    const Output output = capture.Take();
    EXPECT_EQ(output.err, "No record of this update is kept: the folder \"" +
                              (state.Root() / "ka-firmware-updater").string() +
                              "\" cannot be written.\n");
    EXPECT_EQ(output.out, "");
    EXPECT_FALSE(kaplatform::IsUpdateUnderway());
    EXPECT_EQ(kaplatform::LastRecordedOutcome(),
              (kaplatform::RecordedOutcome{false, kIOReturnIOError}));
}

}  // namespace
}  // namespace katest
