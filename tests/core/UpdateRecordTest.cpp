// The record an update leaves: what survives a killed program, and how many are kept.
#include "CapturedOutput.h"
#include "ScopedStateFolder.h"
#include "record/UpdateRecord.h"
#include "record/UpdateRecordReader.h"
#include "record/UpdateRecorder.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace katest {
namespace {

const UpdateRecordFacts kFacts = {"1.3",      "3-5",      "built in", 0x0200'0000'0000'4711,
                                  "KA004711", 0x00020004, 0x00020000};

kaplatform::BusTransaction StatusPoll(std::uint32_t value) {
    kaplatform::BusTransaction poll;
    poll.operation = kaplatform::BusOperation::ReadQuadlet;
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
            karecord::UpdateRecordObserver().Transaction(StatusPoll(0));
            karecord::UpdateRecordObserver().BusEvent("unit busy, sending again (try 2 of 10)");
            karecord::UpdateRecordObserver().Transaction(StatusPoll(1));
            std::raise(SIGKILL);
        },
        testing::KilledBySignal(SIGKILL), "");
    const auto records = state.Records();
    ASSERT_EQ(records.size(), 1u);
    // A kill in the middle of a line leaves it cut short.
    std::ofstream(records.front(), std::ios::app) << "{\"seq\":4,\"t\":12,\"op\":\"wri";

    std::string error;
    const auto record = karecord::ReadUpdateRecord(records.front(), error);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(record->header.guid, kFacts.guid);
    EXPECT_EQ(record->header.softwareVersion, kFacts.softwareVersion);
    EXPECT_EQ(record->header.serial, "KA004711");
    ASSERT_EQ(record->steps.size(), 3u);
    EXPECT_EQ(record->steps[0].transaction.value, 0u);
    ASSERT_TRUE(record->steps[1].event);
    EXPECT_EQ(record->steps[1].event->what, "unit busy, sending again (try 2 of 10)");
    EXPECT_EQ(record->steps[2].transaction.value, 1u);
    EXPECT_EQ(record->steps[2].line, 4u);
    EXPECT_FALSE(record->outcome);
}

TEST(UpdateRecordTest, TheLatestTwentyAreKeptAndAFolderThatCannotBeWrittenCostsOneLine) {
    ScopedStateFolder state;
    std::vector<std::filesystem::path> written;
    for (int update = 0; update < 25; ++update) {
        ASSERT_EQ(UpdateRecordBegin(&kFacts), kIOReturnSuccess);
        written.push_back(karecord::CurrentUpdateRecordFile());
        UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    }
    const std::vector<std::filesystem::path> newest(written.end() - 20, written.end());
    EXPECT_EQ(state.Records(), newest);

    // A file where the folder should be.
    std::filesystem::remove_all(state.Root() / "ka-firmware-updater");
    std::ofstream(state.Root() / "ka-firmware-updater") << "not a folder";
    CapturedOutput capture;
    EXPECT_EQ(UpdateRecordBegin(&kFacts), kIOReturnNotWritable);
    EXPECT_TRUE(karecord::IsUpdateUnderway());
    karecord::UpdateRecordObserver().Transaction(StatusPoll(1));
    karecord::UpdateRecordObserver().BusEvent("unit busy, sending again (try 2 of 10)");
    UpdateRecordImageOutcome("xilinx", kIOReturnSuccess);
    UpdateRecordEnd(false, kIOReturnIOError, "The Xilinx image was installed.");
    const Output output = capture.Take();
    EXPECT_EQ(output.err, "No record of this update is kept: the folder \"" +
                              (state.Root() / "ka-firmware-updater").string() +
                              "\" is not a folder.\n");
    EXPECT_EQ(output.out, "");
    EXPECT_FALSE(karecord::IsUpdateUnderway());
    EXPECT_EQ(karecord::LastRecordedOutcome(),
              (karecord::RecordedOutcome{false, kIOReturnIOError}));
}

std::string FileText(const std::filesystem::path& file) {
    return (std::ostringstream{} << std::ifstream(file).rdbuf()).str();
}

unsigned Mode(const std::filesystem::path& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(UpdateRecordTest, BytesFromTheUnitThatAreNotUtf8NeverAbortAndComeBackExactly) {
    ScopedStateFolder state;
    // An unprogrammed unit's serial, a folder whose name is Latin-1.
    UpdateRecordFacts facts = kFacts;
    facts.serialNumber = "\xff\xff\xff\xff\xff\xff\xff\xff";
    facts.firmwareSource =
        "/home/b\xe9"
        "a/firmware";
    ASSERT_EQ(UpdateRecordBegin(&facts), kIOReturnSuccess);
    karecord::UpdateRecordObserver().BusEvent("node \xc0\x80 made anew");
    UpdateRecordEnd(false, kIOReturnIOError, "Failed \xfe.");
    const std::string text = FileText(karecord::CurrentUpdateRecordFile());
    EXPECT_NE(text.find(R"("serial":{"bytes":"ffffffffffffffff"})"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("firmwareSource":{"bytes":"2f686f6d652f62e9612f6669726d77617265"})"),
              std::string::npos)
        << text;

    std::string error;
    const auto record = karecord::ReadUpdateRecord(karecord::CurrentUpdateRecordFile(), error);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(record->header.serial, facts.serialNumber);
    EXPECT_EQ(record->header.firmwareSource, facts.firmwareSource);
    ASSERT_EQ(record->steps.size(), 1u);
    ASSERT_TRUE(record->steps[0].event);
    EXPECT_EQ(record->steps[0].event->what, "node \xc0\x80 made anew");
}

TEST(UpdateRecordTest, PruningRemovesOnlyTheProgramsOwnRecordsAndOrdersThemByTheirStart) {
    ScopedStateFolder state;
    const std::filesystem::path folder = state.Root() / "ka-firmware-updater";
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    // The owner's files among the records: a note under a record's name, a link to a file
    // elsewhere, a folder.
    const std::string stamp = "update-20000101T000000.000000Z-1-";
    std::ofstream(folder / (stamp + "0.jsonl")) << "my notes\n";
    std::ofstream(state.Root() / "elsewhere.jsonl") << FileText(folder / (stamp + "0.jsonl"));
    std::filesystem::create_symlink(state.Root() / "elsewhere.jsonl", folder / (stamp + "1.jsonl"));
    std::filesystem::create_directory(folder / (stamp + "2.jsonl"));
    // Records from a clock far ahead: their names sort after every real one.
    const std::string header = R"({"record":"ka-update","format":1})"
                               "\n";
    for (int index = 0; index < 25; ++index) {
        std::ofstream(folder /
                      ("update-20990101T000000.000000Z-1-" + std::to_string(index) + ".jsonl"))
            << header;
    }
    std::vector<std::filesystem::path> real;
    for (int update = 0; update < 3; ++update) {
        ASSERT_EQ(UpdateRecordBegin(&kFacts), kIOReturnSuccess);
        real.push_back(karecord::CurrentUpdateRecordFile());
        UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    }
    for (const auto& file : real) {
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
        EXPECT_EQ(Mode(file), 0600u) << "a record names the unit's serial and GUID";
    }
    EXPECT_EQ(Mode(folder), 0700u);
    EXPECT_EQ(FileText(folder / (stamp + "0.jsonl")), "my notes\n");
    EXPECT_TRUE(std::filesystem::is_symlink(folder / (stamp + "1.jsonl")));
    EXPECT_TRUE(std::filesystem::exists(state.Root() / "elsewhere.jsonl"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / (stamp + "2.jsonl")));
    EXPECT_EQ(state.Records().size(), 3u + 3u + 17u) << "the owner's three, the real three";
}

// The folder of records must be the user's own folder, closed to others: a link to another
// user's folder, a folder of another user's or one anybody may write is refused with one
// line, and nothing in it is removed or written.
TEST(UpdateRecordTest, AFolderThatIsALinkAnotherUsersOrOpenToOthersIsLeftAlone) {
    ScopedStateFolder state;
    const std::filesystem::path folder = state.Root() / "ka-firmware-updater";
    const std::filesystem::path others = state.Root() / "others";
    const std::string header = R"({"record":"ka-update","format":1})"
                               "\n";
    const auto makeRecords = [&](const std::filesystem::path& where) {
        std::filesystem::create_directory(where);
        for (int index = 0; index < 25; ++index) {
            std::ofstream(where /
                          ("update-20000101T000000.000000Z-1-" + std::to_string(index) + ".jsonl"))
                << header;
        }
        std::filesystem::permissions(where, std::filesystem::perms(0777));
    };
    const auto expectRefused = [&](const std::filesystem::path& holding, const std::string& why) {
        CapturedOutput capture;
        EXPECT_EQ(UpdateRecordBegin(&kFacts), kIOReturnNotWritable);
        UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
        EXPECT_EQ(capture.Take().err, "No record of this update is kept: the folder \"" +
                                          folder.string() + "\" " + why + ".\n");
        EXPECT_TRUE(karecord::CurrentUpdateRecordFile().empty());
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(holding),
                                std::filesystem::directory_iterator()),
                  25)
            << "nothing removed, nothing written";
    };
    makeRecords(others);
    std::filesystem::create_directory_symlink(others, folder);
    expectRefused(others, "is a symbolic link");

    std::filesystem::remove(folder);
    makeRecords(folder);
    expectRefused(folder, "may be written by users other than its owner");

    if (::getuid() == 0) {
        std::filesystem::permissions(folder, std::filesystem::perms(0700));
        ASSERT_EQ(::chown(folder.c_str(), 4242, 4242), 0);
        expectRefused(folder, "belongs to user 4242, not to this one");
    }
}

// A disk that takes no byte more: the file begun for the record goes again, and no line
// names a record that is not there.
TEST(UpdateRecordTest, ARecordWhoseHeaderCannotBeWrittenIsRemoved) {
    ScopedStateFolder state;
    EXPECT_EXIT(
        {
            std::signal(SIGXFSZ, SIG_IGN);
            // Room for the line that says so (standard error may be a file too), not for the
            // header.
            rlimit small{};
            small.rlim_cur = small.rlim_max = 200;
            setrlimit(RLIMIT_FSIZE, &small);
            const IOReturn begun = UpdateRecordBegin(&kFacts);
            const bool named = UpdateRecordCopyFilePath() != nullptr;
            UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
            std::_Exit(begun == kIOReturnNotWritable && !named &&
                               karecord::CurrentUpdateRecordFile().empty()
                           ? 0
                           : 1);
        },
        testing::ExitedWithCode(0),
        "^No record of this update is kept: its first line cannot be written in the folder "
        "\"[^\n]*/ka-firmware-updater\": File too large.\n$");
    EXPECT_TRUE(state.Records().empty()) << "no empty record is left";
}

TEST(UpdateRecordTest, WithNoHomeNoRecordIsWrittenAndOneLineSaysSo) {
    ScopedStateFolder state;
    const char* home = std::getenv("HOME");
    const std::optional<std::string> oldHome =
        home != nullptr ? std::optional<std::string>(home) : std::nullopt;
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "relative/home", 1);
    CapturedOutput capture;
    EXPECT_EQ(UpdateRecordBegin(&kFacts), kIOReturnNotWritable);
    UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    unsetenv("HOME");
    EXPECT_EQ(UpdateRecordBegin(&kFacts), kIOReturnNotWritable);
    UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    const std::string line =
        "No record of this update is kept: neither XDG_STATE_HOME nor HOME names a folder.\n";
    EXPECT_EQ(capture.Take().err, line + line);
    EXPECT_FALSE(std::filesystem::exists("relative"));
    if (oldHome) {
        setenv("HOME", oldHome->c_str(), 1);
    }
}

}  // namespace
}  // namespace katest
