// The strict reader of update records: a file nobody here wrote is taken only when every
// field has its type and range, and refused with the line that is wrong otherwise.
#include "CapturedOutput.h"
#include "ScopedStateFolder.h"
#include "SimulatedKa.h"
#include "UpdateRecordReplay.h"

#include "record/RecordText.h"
#include "record/UpdateRecord.h"
#include "record/UpdateRecordReader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace katest {
namespace {

namespace fs = std::filesystem;

const std::string kHeader =
    R"({"record":"ka-update","format":1,"program":"1.3","firmware":"3-5",)"
    R"("firmwareSource":"built in","guid":"0x0200000000004711","serial":"KA004711",)"
    R"("softwareVersion":"0x00020004","productRevision":"0x00020000","kernel":"Linux 6.1",)"
    R"("backend":"simulated Ka","device":""})"
    "\n";
const std::string kOpen = R"({"seq":1,"t":0,"op":"open","status":0,"generation":0})"
                          "\n";
const std::string kPoll =
    R"({"seq":2,"t":5,"op":"read-quadlet","address":"0xfffff0430014","length":4,"moved":4,)"
    R"("value":"0x00000001","status":0,"generation":1})"
    "\n";
const std::string kOutcome =
    R"({"seq":3,"t":9,"outcome":"failed","firstFailure":-536870212,"description":"No."})"
    "\n";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    return at == std::string::npos ? "(no " + from + ")" : text.replace(at, from.size(), to);
}

TEST(UpdateRecordReaderTest, AWholeRecordReadsBackAsWritten) {
    std::string error;
    const auto record = karecord::ParseUpdateRecord(kHeader + kOpen + kPoll + kOutcome, error);
    ASSERT_TRUE(record) << error;
    EXPECT_EQ(record->header.guid, 0x0200'0000'0000'4711u);
    EXPECT_EQ(record->header.softwareVersion, 0x00020004u);
    ASSERT_EQ(record->steps.size(), 2u);
    EXPECT_EQ(record->steps[1].transaction.address, 0xFFFF'F043'0014u);
    EXPECT_EQ(record->steps[1].transaction.value, 1u);
    EXPECT_EQ(record->steps[1].line, 3u);
    ASSERT_TRUE(record->outcome);
    EXPECT_EQ(record->outcome->firstFailure, -536870212);
    EXPECT_FALSE(record->cutLine);

    // Bytes that are not UTF-8 come back exactly; a line of a kind a later program writes
    // is passed over.
    const std::string unprogrammed =
        Replaced(kHeader, R"("KA004711")", R"({"bytes":"ffffffff00"})");
    const std::string later = R"({"seq":2,"t":3,"restart":"xilinx","why":"ours to add"})"
                              "\n";
    const auto other = karecord::ParseUpdateRecord(unprogrammed + kOpen + later, error);
    EXPECT_FALSE(other) << "a serial with a NUL is no serial the updater reads";
    const auto serial = karecord::ParseUpdateRecord(
        Replaced(kHeader, R"("KA004711")", R"({"bytes":"ffffffffffffffff"})") + kOpen + later,
        error);
    ASSERT_TRUE(serial) << error;
    EXPECT_EQ(serial->header.serial, "\xff\xff\xff\xff\xff\xff\xff\xff");
    EXPECT_EQ(serial->steps.size(), 1u);
}

TEST(UpdateRecordReaderTest, AFileThatIsNoRecordIsRefusedAtItsFirstLine) {
    for (const std::string& text :
         {std::string(""), std::string("x"), std::string("hello\n"), std::string("{"),
          std::string("\x89PNG\r\n\x1a\n\0\0", 10), std::string("[1,2]\n") + kOpen,
          Replaced(kHeader, R"("ka-update")", R"("other")"),
          Replaced(kHeader, R"("format":1)", R"("format":2)"),
          Replaced(kHeader, R"("format":1)", R"("format":1.0)"), kHeader.substr(0, 40)}) {
        std::string error;
        EXPECT_FALSE(karecord::ParseUpdateRecord(text, error)) << text;
        EXPECT_EQ(error.rfind("not an update record", 0), 0u) << error;
    }
}

TEST(UpdateRecordReaderTest, EveryFieldMustHaveItsTypeAndFitItsRangeExactly) {
    const std::string body = kOpen + kPoll + kOutcome;
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {kHeader + Replaced(body, R"("t":5)", R"("t":1e300)"), "line 3: 't' is not an integer"},
        {kHeader + Replaced(body, R"("t":5)", R"("t":1e400)"),
         "line 3: holds a number beyond every field's range"},
        {kHeader + Replaced(body, R"("t":5)", R"("t":1000000000000000000)"),
         "line 3: 't' is not an integer"},
        {kHeader +
             Replaced(body, R"("status":0,"generation":1)", R"("status":1e30,"generation":1)"),
         "line 3: 'status' is not an integer from -2147483648"},
        {kHeader + Replaced(body, R"("status":0,"generation":1)",
                            R"("status":1099511627776,"generation":1)"),
         "line 3: 'status' is not an integer"},
        {kHeader + Replaced(body, R"("0x00000001")", R"("0x100000001")"),
         "line 3: 'value' is not \"0x\" and at most 8 hex digits"},
        {kHeader + Replaced(body, R"("0x00000001")", R"("-0xffffffff")"), "line 3: 'value'"},
        {kHeader + Replaced(body, R"("0x00000001")", R"("0x1zzz")"), "line 3: 'value'"},
        {kHeader + Replaced(body, R"("0x00000001")", R"("0x")"), "line 3: 'value'"},
        {kHeader + Replaced(body, R"("length":4,)", R"("length":4294967300,)"),
         "line 3: 'length' is not an integer from 0 to 4294967295"},
        {kHeader + Replaced(body, R"("length":4,)", R"("length":4.9,)"), "line 3: 'length'"},
        {kHeader + Replaced(body, R"("moved":4,)", R"("moved":5,)"),
         "line 3: 'moved' is more than 'length'"},
        {kHeader + Replaced(body, R"("op":"read-quadlet")", R"("op":"read-\u001b[2J")"),
         "line 3: 'op' is not one of"},
        {kHeader + Replaced(body, R"("op":"read-quadlet")", R"("op":"find")"),
         "line 3: 'op' is not one of"},
        {kHeader + Replaced(body, R"("value":"0x00000001",)", ""), "line 3: has no 'value'"},
        {kHeader + Replaced(body, R"("seq":2)", R"("seq":7)"), "line 3: 'seq' is not 2"},
        {kHeader + Replaced(body, R"("t":9)", R"("t":4)"),
         "line 4: its time 4 comes before the line above's 5"},
        {kHeader + Replaced(body, R"("outcome":"failed")", R"("outcome":"maybe")"),
         "line 4: 'outcome' is neither"},
        {Replaced(kHeader, R"("KA004711")", R"("KA0047110")") + body,
         "line 1: 'serial' is not at most 8 bytes"},
        {Replaced(kHeader, R"("0x0200000000004711")", R"("0x10200000000004711")") + body,
         "line 1: 'guid'"},
        {Replaced(kHeader, R"("serial":"KA004711")", R"("serial":["KA"])") + body,
         "line 1: 'serial' is neither a string nor"},
        {kHeader + kOpen + "\n" + kPoll, "line 3: is not a JSON object"},
        {kHeader + kOpen + "garbage\n", "line 3: is not a JSON object"},
        {kHeader + kOpen + R"({"seq":2,"t":5}x)", "line 3: is not a JSON object"},
        {kHeader + kOpen + R"({"seq":2,"t":5,"op":"open","event":"x","status":0})" + "\n",
         "line 3: holds both 'op' and 'event'"},
        {kHeader + body + R"({"seq":4,"t":9,"event":"late"})" + "\n",
         "line 5: follows the update's outcome"},
        {kHeader + std::string(karecord::kLongestUpdateRecordLine + 1, ' '), "line 2: is longer"},
        // What a parser that stops at a NUL or keeps the last of two keys takes silently.
        {kHeader + kOpen + kPoll +
             Replaced(kOutcome, R"("outcome":"failed")",
                      std::string("\"outcome\":\"failed\"}\0", 20)),
         "line 4: holds a NUL byte at byte 35"},
        {kHeader + kOpen + kPoll +
             Replaced(kOutcome, R"("firstFailure":-536870212)",
                      R"("firstFailure":-536870212,"firstFailure":0)"),
         "line 4: gives the key 'firstFailure' twice"},
        {kHeader + kOpen +
             Replaced(kPoll, R"("generation":1})",
                      R"("generation":1,"x":{"a":1,"b":{"a":2,"a":3}}})"),
         "line 3: gives the key 'a' twice"},
        {std::string(R"({"record":"ka-update","record":"other",)") + kHeader.substr(1) + body,
         "not an update record: its first line gives the key 'record' twice"},
    };
    for (const Case& test : cases) {
        std::string error;
        EXPECT_FALSE(karecord::ParseUpdateRecord(test.text, error)) << test.error;
        EXPECT_EQ(error.rfind(test.error, 0), 0u) << error;
    }
}

TEST(UpdateRecordReaderTest, OnlyTheLastLineMayBeCutShortAndOnlyAsAPrefixOfALine) {
    std::string error;
    const auto cut = karecord::ParseUpdateRecord(kHeader + kOpen + kPoll.substr(0, 30), error);
    ASSERT_TRUE(cut) << error;
    EXPECT_EQ(cut->cutLine, 3u);
    EXPECT_EQ(cut->lines, 2u);
    EXPECT_EQ(cut->steps.size(), 1u);
    EXPECT_FALSE(cut->outcome);
    // Cut in the middle of a character of a multi-byte text.
    const auto midCharacter =
        karecord::ParseUpdateRecord(kHeader + kOpen + "{\"seq\":2,\"t\":5,\"event\":\"\xc3", error);
    ASSERT_TRUE(midCharacter) << error;
    EXPECT_EQ(midCharacter->cutLine, 3u);
    // A whole line without its line end is a line.
    const auto unended =
        karecord::ParseUpdateRecord(kHeader + kOpen + kPoll.substr(0, kPoll.size() - 1), error);
    ASSERT_TRUE(unended) << error;
    EXPECT_EQ(unended->steps.size(), 2u);
    EXPECT_FALSE(unended->cutLine);
    // A cut line that is not the last one, or one that ends in a line end, is damage.
    EXPECT_FALSE(karecord::ParseUpdateRecord(kHeader + kPoll.substr(0, 30) + "\n", error));
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
}

TEST(UpdateRecordReaderTest, OnlyARegularFileIsReadAndNeverWaitedOn) {
    std::string pattern = (fs::temp_directory_path() / "ka-reader-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
    { std::ofstream(folder / "huge") << ""; }
    fs::resize_file(folder / "huge", karecord::kLargestUpdateRecord + 1);
    struct Case {
        fs::path file;
        std::string error;
    };
    for (const Case& test : std::vector<Case>{
             {folder, "'" + folder.string() + "' is a folder"},
             {folder / "pipe", "'" + (folder / "pipe").string() + "' is not a regular file"},
             {"/dev/zero", "'/dev/zero' is not a regular file"},
             {folder / "huge", "'" + (folder / "huge").string() + "' has more than 67108864 bytes"},
             {folder / "none", "'" + (folder / "none").string() + "' cannot be opened: "}}) {
        std::string error;
        EXPECT_FALSE(karecord::ReadUpdateRecord(test.file, error));
        EXPECT_EQ(error.rfind(test.error, 0), 0u) << error;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// A record's times are whatever its file says: 31 years between two answers, or gaps of
// exactly the longest wait all along. Each wait is held to the longest (a minute in the
// simulator; a millisecond here), all of them together to the replay's bound, and every wait
// that may have been cut short is said.
TEST(UpdateRecordReaderTest, AReplayIsBoundedWaitByWaitAndAsAWhole) {
    ScopedStateFolder state;
    std::string steps;
    for (int index = 0; index < 5; ++index) {
        const long long time = index == 0 ? 1000000000000000LL : 1000000000000000LL + index * 1000;
        steps += R"({"seq":)" + std::to_string(index + 2) + R"(,"t":)" + std::to_string(time) +
                 R"(,"op":"get-generation","value":"0x00000003","status":0,"generation":3})"
                 "\n";
    }
    std::string error;
    auto record = karecord::ParseUpdateRecord(kHeader + kOpen + steps, error);
    ASSERT_TRUE(record) << error;
    std::vector<std::string> mismatches;
    const auto replay = kasim::MakeReplayBackend(
        std::move(*record), true, [&](const std::string& what) { mismatches.push_back(what); },
        std::chrono::milliseconds(1), std::chrono::microseconds(2500));
    std::unique_ptr<kaplatform::FireWireDevice> device;
    ASSERT_EQ(replay->CreateDevice("fw1.0", device), kIOReturnSuccess);

    const UpdateRecordFacts facts = {"1.3",      "3-5",      "built in", 0x0200'0000'0000'4711,
                                     "KA004711", 0x00020004, 0x00020000};
    CapturedOutput capture;
    UpdateRecordBegin(&facts);
    EXPECT_EQ(device->Open(), kIOReturnSuccess);
    for (int index = 0; index < 5; ++index) {
        std::uint32_t answered = 0;
        EXPECT_EQ(device->GetBusGeneration(answered), kIOReturnSuccess);
        EXPECT_EQ(answered, 3u);
    }
    UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    EXPECT_TRUE(mismatches.empty());
    EXPECT_TRUE(kasim::ReplayFinished(*replay));
    EXPECT_EQ(capture.Take().out,
              "sim: line 3 of the record comes 1000000000 s after the one before; the replay "
              "waits 0.001 s\n"
              "sim: line 4 of the record comes 0.001 s after the one before; the replay waits "
              "0.001 s\n"
              "sim: line 5 of the record comes 0.001 s after the one before; the replay waits "
              "0.0005 s\n"
              "sim: the replay has waited 0.0025 s in all; from line 6 of the record on it "
              "answers without waiting\n");
}

// The trace of a replay is the replayed unit's: discovery answered by a unit with the
// record's identity, then the recorded answers, in the order the updater asked.
TEST(UpdateRecordReaderTest, TheTraceOfAReplayHoldsWhatTheReplayedUnitAnswered) {
    ScopedStateFolder state;
    std::string error;
    // A software version the simulator's own unit does not have.
    auto record = karecord::ParseUpdateRecord(
        Replaced(kHeader, R"("0x00020004")", R"("0x00030007")") + kOpen + kPoll, error);
    ASSERT_TRUE(record) << error;
    std::vector<std::string> mismatches;
    const auto replay = kasim::MakeReplayBackend(
        std::move(*record), false, [&](const std::string& what) { mismatches.push_back(what); });

    std::unique_ptr<kaplatform::FireWireDevice> discovery;
    ASSERT_EQ(replay->CreateDevice("fw1.0", discovery), kIOReturnSuccess);
    ASSERT_EQ(discovery->Open(), kIOReturnSuccess);
    std::uint32_t version = 0;
    EXPECT_EQ(discovery->ReadQuadlet({true, 0, kasim::kSoftwareVersionRegister}, version, false, 1),
              kIOReturnSuccess);
    EXPECT_EQ(version, 0x00030007u);
    discovery->Close();
    discovery.reset();

    const UpdateRecordFacts facts = {"1.3",      "3-5",      "built in", 0x0200'0000'0000'4711,
                                     "KA004711", 0x00030007, 0x00020000};
    UpdateRecordBegin(&facts);
    std::unique_ptr<kaplatform::FireWireDevice> update;
    ASSERT_EQ(replay->CreateDevice("fw1.0", update), kIOReturnSuccess);
    EXPECT_EQ(update->Open(), kIOReturnSuccess);
    std::uint32_t status = 0;
    EXPECT_EQ(update->ReadQuadlet({true, 0, kasim::kStatusRegister}, status, false, 1),
              kIOReturnSuccess);
    UpdateRecordEnd(true, kIOReturnSuccess, "Both were installed.");
    EXPECT_TRUE(mismatches.empty());

    std::ostringstream trace;
    kasim::WriteReplayTrace(trace, *replay);
    std::vector<std::string> lines;
    std::istringstream in(trace.str());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 4u) << trace.str();
    for (std::size_t index = 0; index < lines.size(); ++index) {
        EXPECT_EQ(lines[index].rfind("{\"seq\":" + std::to_string(index + 1) + ",", 0), 0u)
            << lines[index];
        EXPECT_EQ(lines[index].find("\"flash\""), std::string::npos) << lines[index];
    }
    const std::string count = std::to_string(lines.size() - 1);
    EXPECT_EQ(lines[lines.size() - 2],
              "{\"seq\":" + count + R"(,"op":"open","status":0,"generation":0,"recordLine":2})");
    EXPECT_EQ(lines.back(), "{\"seq\":" + std::to_string(lines.size()) +
                                R"(,"op":"read-quadlet","address":"0xfffff0430014","length":4,)"
                                R"("moved":4,"value":"0x00000001","status":0,"generation":1,)"
                                R"("recordLine":3})");
    const std::string identity =
        R"("op":"read-quadlet","address":"0xfffff0430004","length":4,"moved":4,)"
        R"("value":"0x00030007","status":0,"generation":1,"injected":false)";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end() - 2,
                            [&](const std::string& line) {
                                return line.find(identity) != std::string::npos &&
                                       line.ends_with(R"("thread":"home"})");
                            }),
              1)
        << trace.str();
}

TEST(UpdateRecordReaderTest, TextFromAFileReachesTheTerminalEscaped) {
    EXPECT_EQ(karecord::TerminalText("unit busy \xc3\xa9"), "unit busy \xc3\xa9");
    EXPECT_EQ(karecord::TerminalText("\x1b[2Jgone\r\nFireWire: x\x7f"),
              "\\x1b[2Jgone\\x0d\\x0aFireWire: x\\x7f");
    // C1 controls, bytes that are not UTF-8, and a sequence cut at the end.
    EXPECT_EQ(karecord::TerminalText("\xc2\x9b"
                                     "1m\xff\xe2\x82"),
              "\\xc2\\x9b1m\\xff\\xe2\\x82");
}

}  // namespace
}  // namespace katest
