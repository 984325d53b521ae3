// The simulator executable as a user runs it: a process of its own on the offscreen
// platform, its output and its trace read afterwards.
#include "BuiltInImages.h"
#include "ProcessSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#ifdef KA_SIMULATOR_EXECUTABLE

namespace {

using katest::Field;

constexpr int kProcessDeadlineMs = 120000;

struct ProcessRun {
    bool finished = false;
    int exitCode = -1;
    std::string out;
    std::string err;
};

ProcessRun RunSimulator(const QStringList& arguments, const QString& stateFolder = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    if (!stateFolder.isEmpty()) {
        environment.insert("XDG_STATE_HOME", stateFolder);
    }
    process.setProcessEnvironment(environment);
    process.start(KA_SIMULATOR_EXECUTABLE, arguments);
    ProcessRun run;
    run.finished =
        process.waitForStarted(kProcessDeadlineMs) && process.waitForFinished(kProcessDeadlineMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(10000);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

// The alerts a run answered, in order.
std::vector<std::string> AlertLines(const std::string& out) {
    std::vector<std::string> alerts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("sim: alert ", 0) == 0) {
            alerts.push_back(line);
        }
    }
    return alerts;
}

std::string WatchedFileText(const std::string& path) {
    return katest::WatchedProcess::FileText(QString::fromStdString(path));
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// CRC-16/XMODEM, bit by bit, kept apart from the unit's own implementation.
std::uint16_t Xmodem(std::span<const UInt8> bytes) {
    std::uint16_t crc = 0;
    for (const UInt8 byte : bytes) {
        crc ^= static_cast<std::uint16_t>(byte) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

struct TraceSummary {
    bool wellFormed = true;
    // Successful data-window block writes after each erase command (0 Xilinx, 1 MCORE).
    std::map<std::string, int> dataWrites;
    std::map<std::string, std::string> flashLine;
};

TraceSummary Summarise(const std::vector<std::string>& lines) {
    TraceSummary summary;
    std::string image;
    for (const std::string& line : lines) {
        if (line.rfind("{\"seq\":", 0) != 0 && line.rfind("{\"flash\":", 0) != 0) {
            summary.wellFormed = false;
            continue;
        }
        if (line.back() != '}') {
            summary.wellFormed = false;
        }
        if (line.rfind("{\"flash\":", 0) == 0) {
            summary.flashLine[Field(line, "flash")] = line;
            continue;
        }
        const std::string op = Field(line, "op");
        const std::string address = Field(line, "address");
        if (op == "write-quadlet" && address == "0xfffff043000c" && Field(line, "status") == "0") {
            image = Field(line, "value") == "0x00000000" ? "xilinx" : "mcore";
        } else if (op == "write-block" && address == "0xfffff0430020" &&
                   Field(line, "status") == "0" && !image.empty()) {
            ++summary.dataWrites[image];
        }
    }
    return summary;
}

class SimulatorProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(_directory.isValid()); }
    std::string TracePath() const { return _directory.filePath("trace.jsonl").toStdString(); }

    // The one record a run with its state in the folder run left; empty when there is not
    // exactly one.
    std::string OnlyRecordOf(const QString& run) const {
        const QDir folder(_directory.filePath(run + "/ka-firmware-updater-sim"));
        const QStringList records = folder.entryList({"update-*.jsonl"}, QDir::Files);
        return records.size() == 1 ? folder.filePath(records.front()).toStdString() : std::string();
    }

    // Plays record back unattended: it ends as the recorded run did.
    void ExpectReplayEndsAsRecorded(const std::string& record, const ProcessRun& recorded) {
        const ProcessRun replayed =
            RunSimulator({"--press-update", "--answer-alerts", "ok", "--no-pauses", "--replay",
                          QString::fromStdString(record)},
                         _directory.filePath("replayed"));
        ASSERT_TRUE(replayed.finished);
        EXPECT_EQ(replayed.exitCode, recorded.exitCode) << replayed.err;
        EXPECT_EQ(AlertLines(replayed.out), AlertLines(recorded.out));
        EXPECT_NE(replayed.out.find("sim: the replay ended as the record did\n"),
                  std::string::npos);
    }

    QTemporaryDir _directory;
};

TEST_F(SimulatorProcessTest, UnattendedUpdateInstallsBothImagesAndRecordsEveryBlock) {
    const ProcessRun run =
        RunSimulator({"--no-pauses", "--press-update", "--answer-alerts", "ok", "--erase-polls",
                      "1", "--trace", QString::fromStdString(TracePath())});
    ASSERT_TRUE(run.finished) << "the simulator did not end in time";
    EXPECT_EQ(0, run.exitCode) << run.err;

    const std::string& out = run.out;
    std::size_t at = 0;
    for (const std::string line :
         {"sim: pressing the update button\n", "Start Download Thread\n",
          "Opening Xilinx data file\n", "Update successful.\n\r", "Opening MCORE 06 file\n",
          "Update successful.\n\r", "Delete Download Thread\n",
          "sim: alert \"Programming Complete\" / \"You will need to cycle the Power on your Ka "
          "for changes to take affect\" answered 1\n"}) {
        const auto found = out.find(line, at);
        ASSERT_NE(std::string::npos, found) << "missing, or out of order: " << line << "\n" << out;
        at = found + line.size();
    }
    EXPECT_EQ(std::string::npos, out.find("Programming Failed"));

    TraceSummary trace = Summarise(Lines(TracePath()));
    EXPECT_TRUE(trace.wellFormed);
    EXPECT_EQ(2631 + 1, trace.dataWrites["xilinx"]) << "the header and every block";
    EXPECT_EQ(585 + 1, trace.dataWrites["mcore"]);

    const auto xilinxData = katest::XilinxFile().subspan(74);
    const auto mcoreData = katest::McoreFile();
    const std::string xilinx = trace.flashLine["xilinx"];
    const std::string mcore = trace.flashLine["mcore"];
    EXPECT_EQ("installed", Field(xilinx, "state")) << xilinx;
    EXPECT_EQ("336680", Field(xilinx, "length"));
    EXPECT_EQ(Hex4(Xmodem(xilinxData)), Field(xilinx, "crc"));
    EXPECT_EQ("installed", Field(mcore, "state")) << mcore;
    EXPECT_EQ("74876", Field(mcore, "length"));
    EXPECT_EQ(Hex4(Xmodem(mcoreData)), Field(mcore, "crc"));
}

// A user tries a firmware folder on the simulated unit: its release is offered, its version
// decides the downgrade question (the unit is at 2-4), and exactly its bytes are installed.
TEST_F(SimulatorProcessTest, AFirmwareFolderIsOfferedByItsVersionAndInstalledAsItIs) {
    const std::string folder = _directory.filePath("firmware").toStdString();
    const std::string command =
        std::string("'") + KA_IMAGE_GENERATOR + "' --seed 43 '" + folder + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ofstream(folder + "/version", std::ios::trunc) << "2-1\n";
    const std::string digests =
        "cd '" + folder + "' && sha256sum KaXilinx.bit Ka_MCORE.s19 version >SHA256SUMS";
    ASSERT_EQ(std::system(digests.c_str()), 0);
    const auto file = [&](const char* name) {
        std::ifstream in(folder + "/" + name, std::ios::binary);
        return std::vector<UInt8>{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    };
    const std::vector<UInt8> xilinxFile = file("KaXilinx.bit");
    const std::vector<UInt8> mcoreFile = file("Ka_MCORE.s19");

    const ProcessRun run =
        RunSimulator({"--no-pauses", "--press-update", "--answer-alerts", "ok", "--erase-polls",
                      "1", "--firmware", QString::fromStdString(folder), "--trace",
                      QString::fromStdString(TracePath())});
    ASSERT_TRUE(run.finished) << "the simulator did not end in time";
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(run.err.find("Ka firmware to install: 2-1, from " + folder + "\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("sim: alert \"This is a Downgrade:\""), std::string::npos) << run.out;

    TraceSummary trace = Summarise(Lines(TracePath()));
    const std::string xilinx = trace.flashLine["xilinx"];
    const std::string mcore = trace.flashLine["mcore"];
    EXPECT_EQ("installed", Field(xilinx, "state")) << xilinx;
    EXPECT_EQ(Hex4(Xmodem(std::span(xilinxFile).subspan(74))), Field(xilinx, "crc"));
    EXPECT_EQ("installed", Field(mcore, "state")) << mcore;
    EXPECT_EQ(Hex4(Xmodem(mcoreFile)), Field(mcore, "crc"));
    EXPECT_NE(Hex4(Xmodem(katest::McoreFile())), Field(mcore, "crc")) << "the built-in image";
}

TEST_F(SimulatorProcessTest, RejectedMcoreImageIsReportedAsAFailure) {
    const ProcessRun run = RunSimulator({"--no-pauses", "--press-update", "--answer-alerts", "ok",
                                         "--erase-polls", "1", "--fault", "crc-reject:mcore",
                                         "--trace", QString::fromStdString(TracePath())});
    ASSERT_TRUE(run.finished) << "an unattended run that failed must end";
    EXPECT_EQ(1, run.exitCode) << "a failed run must not look like a good one";
    EXPECT_NE(std::string::npos, run.out.find("sim: the update failed; quitting\n"));
    EXPECT_EQ(std::string::npos, run.out.find("sim: alert \"Programming Complete\""));
    EXPECT_NE(std::string::npos, run.out.find("sim: alert \"Programming Failed\"")) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("Firmware validation failed- CRC was invalid.\n\r"));

    TraceSummary trace = Summarise(Lines(TracePath()));
    EXPECT_TRUE(trace.wellFormed);
    EXPECT_EQ("installed", Field(trace.flashLine["xilinx"], "state"));
    EXPECT_NE("installed", Field(trace.flashLine["mcore"], "state"));
    EXPECT_EQ("rejected", Field(trace.flashLine["mcore"], "outcome"));
}

TEST_F(SimulatorProcessTest, AUnitSwappedAtTheClickIsNotWrittenAndTheRunFails) {
    const ProcessRun run =
        RunSimulator({"--no-pauses", "--press-update", "--answer-alerts", "ok", "--fault",
                      "swap-unit", "--trace", QString::fromStdString(TracePath())});
    ASSERT_TRUE(run.finished) << "an unattended run that failed must end";
    EXPECT_EQ(1, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find("sim: alert \"Programming Failed\" / \"The Ka changed before the "
                           "update began; nothing was written. Error 0xFFFFFF3F."))
        << run.out;
    EXPECT_NE(std::string::npos,
              run.err.find("The Ka changed before the update began; nothing was written.\n"));
    EXPECT_EQ(std::string::npos, run.out.find("Opening Xilinx data file"));

    const std::vector<std::string> lines = Lines(TracePath());
    TraceSummary trace = Summarise(lines);
    EXPECT_TRUE(trace.wellFormed);
    for (const std::string& line : lines) {
        const std::string op = Field(line, "op");
        EXPECT_NE("write-quadlet", op) << "no erase command: " << line;
        EXPECT_NE("write-block", op) << "no block: " << line;
    }
    EXPECT_EQ("factory", Field(trace.flashLine["xilinx"], "state"));
    EXPECT_EQ("factory", Field(trace.flashLine["mcore"], "state"));
}

// Files that are no record, and options a replay cannot honour, end the simulator at once,
// before any window, naming the file or the option.
TEST_F(SimulatorProcessTest, AReplayOfWhatIsNoRecordIsRefusedBeforeAnyWindowOpens) {
    const std::string hello = _directory.filePath("hello.jsonl").toStdString();
    std::ofstream(hello) << "hello\n";
    const std::string pipe = _directory.filePath("pipe").toStdString();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    struct Case {
        QStringList arguments;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"--replay", QString::fromStdString(hello)},
         "'" + hello + "': not an update record: its first line is not a JSON object\n"},
        {{"--replay", QString::fromStdString(pipe)}, "'" + pipe + "' is not a regular file\n"},
        {{"--replay", _directory.path()},
         "'" + _directory.path().toStdString() + "' is a folder\n"},
        {{"--replay", QString::fromStdString(hello), "--serial", "KA1"},
         "option --serial cannot be used with --replay: the record's unit answers\n"},
    };
    for (const Case& test : cases) {
        const ProcessRun run = RunSimulator(QStringList{"--no-pauses"} + test.arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "") << "no window, no alert";
        const std::string firstLine = run.err.substr(0, run.err.find('\n') + 1);
        EXPECT_TRUE(firstLine.ends_with(": " + test.said)) << run.err;
    }
}

// A trace never takes the place of the record it replays, by its name or through a link, and
// a run that is refused leaves the file the trace was to replace as it was.
TEST_F(SimulatorProcessTest, ATraceNeverEatsTheRecordOrAFileOfARefusedRun) {
    const std::string record = _directory.filePath("record.jsonl").toStdString();
    const std::string owners = "the owner's record\n";
    std::ofstream(record) << owners;
    const std::string link = _directory.filePath("link.jsonl").toStdString();
    ASSERT_EQ(symlink(record.c_str(), link.c_str()), 0);
    for (const std::string& trace : {record, link}) {
        const ProcessRun run =
            RunSimulator({"--no-pauses", "--replay", QString::fromStdString(record), "--trace",
                          QString::fromStdString(trace)});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(
            run.err.ends_with(": the trace file '" + trace + "' is the record being replayed\n"))
            << run.err;
        EXPECT_EQ(WatchedFileText(record), owners);
    }
    // Refused after the trace was opened: the record is no record.
    std::ofstream(TracePath()) << owners;
    const ProcessRun again =
        RunSimulator({"--no-pauses", "--replay", QString::fromStdString(record), "--trace",
                      QString::fromStdString(TracePath())});
    EXPECT_EQ(again.exitCode, 2) << again.err;
    EXPECT_EQ(WatchedFileText(TracePath()), owners);
    EXPECT_EQ(
        QDir(_directory.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        (QStringList{"link.jsonl", "record.jsonl", "trace.jsonl"}))
        << "no unfinished trace is left";
}

TEST_F(SimulatorProcessTest, BadOptionIsRefusedBeforeAnyWindowOpens) {
    const ProcessRun run = RunSimulator({"--no-pauses", "--frobnicate"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(2, run.exitCode);
    EXPECT_EQ("", run.out) << "no window, no alert";
    const std::string firstLine = run.err.substr(0, run.err.find('\n'));
    EXPECT_NE(std::string::npos, firstLine.find("unknown option '--frobnicate'")) << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("Test CERR")) << "the controller was never made";
}

TEST_F(SimulatorProcessTest, HelpShowsTheUsage) {
    const ProcessRun run = RunSimulator({"--help"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(0u, run.out.find("Usage: ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("--fault KIND[@OFFSET][:IMAGE]"));
    EXPECT_NE(std::string::npos, run.out.find("--fault swap-unit"));
    EXPECT_NE(std::string::npos, run.out.find("--fault identity-read-fail"));
    EXPECT_EQ("", run.err);
}

TEST_F(SimulatorProcessTest, AnAnswerLostAndADamagedBlockRestartTheirImagesAndReplaySo) {
    // The Xilinx block at 4096 is taken and its answer lost, the MCORE block at 4096 arrives
    // damaged: each image starts again once and is installed, and the record plays back to
    // the same end.
    const QStringList unattended{"--press-update", "--answer-alerts", "ok", "--no-pauses"};
    const ProcessRun recorded =
        RunSimulator(unattended + QStringList{"--fault", "answer-lost@4096:xilinx", "--fault",
                                              "damaged@4096:mcore", "--trace",
                                              QString::fromStdString(TracePath())},
                     _directory.filePath("recorded"));
    ASSERT_TRUE(recorded.finished);
    ASSERT_EQ(recorded.exitCode, 0) << recorded.err;
    for (const char* image : {"Xilinx", "MCORE"}) {
        EXPECT_NE(recorded.out.find(std::string("The unit may have taken a write twice: starting "
                                                "the ") +
                                    image + " image again (2 of 3)\n"),
                  std::string::npos)
            << image;
    }
    EXPECT_EQ(recorded.out.find("(3 of 3)"), std::string::npos);
    TraceSummary trace = Summarise(Lines(TracePath()));
    EXPECT_EQ("installed", Field(trace.flashLine["xilinx"], "state"));
    EXPECT_EQ("installed", Field(trace.flashLine["mcore"], "state"));

    const std::string record = OnlyRecordOf("recorded");
    ASSERT_FALSE(record.empty());
    std::size_t restarts = 0;
    for (const std::string& line : Lines(record)) {
        restarts += line.find("\"restart\":") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(restarts, 2u);
    ExpectReplayEndsAsRecorded(record, recorded);
}

TEST_F(SimulatorProcessTest, ARecordOfAFailedUpdateReplaysToItsEndAndStopsAtAnEditedRequest) {
    const QStringList unattended{"--press-update", "--answer-alerts", "ok", "--no-pauses"};
    const ProcessRun recorded = RunSimulator(
        unattended + QStringList{"--fault", "crc-reject:mcore"}, _directory.filePath("recorded"));
    ASSERT_TRUE(recorded.finished);
    ASSERT_EQ(recorded.exitCode, 1) << recorded.err;
    const QDir folder(_directory.filePath("recorded/ka-firmware-updater-sim"));
    const QStringList records = folder.entryList({"update-*.jsonl"}, QDir::Files);
    ASSERT_EQ(records.size(), 1);
    const std::string record = folder.filePath(records.front()).toStdString();

    // Replayed where it was recorded: the record stays, and the replay writes none.
    const ProcessRun replayed =
        RunSimulator(unattended + QStringList{"--replay", QString::fromStdString(record), "--trace",
                                              QString::fromStdString(TracePath())},
                     _directory.filePath("recorded"));
    ASSERT_TRUE(replayed.finished);
    EXPECT_EQ(replayed.exitCode, 1) << replayed.err;
    EXPECT_EQ(AlertLines(replayed.out), AlertLines(recorded.out));
    EXPECT_NE(replayed.out.find("sim: the replay ended as the record did\n"), std::string::npos);
    EXPECT_EQ(folder.entryList({"update-*.jsonl"}, QDir::Files), records);
    // The trace holds the replayed unit's transactions: discovery's first, then every
    // recorded one that answered, each with its line.
    const std::vector<std::string> traced = Lines(TracePath());
    ASSERT_FALSE(traced.empty());
    EXPECT_EQ(Field(traced.front(), "thread"), "home") << traced.front();
    const auto answered = [](const std::string& line) {
        return line.find("\"recordLine\":") != std::string::npos;
    };
    const auto recordedTransaction = [](const std::string& line) {
        return line.find("\"op\":") != std::string::npos;
    };
    const std::vector<std::string> recordLines = Lines(record);
    EXPECT_EQ(std::count_if(traced.begin(), traced.end(), answered),
              std::count_if(recordLines.begin(), recordLines.end(), recordedTransaction));
    EXPECT_EQ(std::count_if(traced.begin(), traced.end(),
                            [](const std::string& line) {
                                return line.find("\"flash\":") != std::string::npos;
                            }),
              0);

    // The unit's answer to the Xilinx image's begin-update write was recorded for a write of
    // another value: the replay stops at that line, with both requests.
    std::vector<std::string> lines = Lines(record);
    std::size_t edited = 0;
    for (std::size_t index = 0; index < lines.size() && edited == 0; ++index) {
        const std::string original =
            "\"address\":\"0xfffff0430000\",\"length\":4,\"moved\":4,"
            "\"value\":\"0x00000001\"";
        const auto at = lines[index].find(original);
        if (at != std::string::npos && Field(lines[index], "op") == "write-quadlet") {
            lines[index].replace(at + original.size() - 2, 1, "7");
            edited = index + 1;
        }
    }
    ASSERT_NE(edited, 0u);
    const std::string editedRecord = _directory.filePath("edited.jsonl").toStdString();
    {
        std::ofstream out(editedRecord);
        for (const std::string& line : lines) {
            out << line << '\n';
        }
    }
    const ProcessRun stopped =
        RunSimulator(unattended + QStringList{"--replay", QString::fromStdString(editedRecord)},
                     _directory.filePath("stopped"));
    ASSERT_TRUE(stopped.finished);
    EXPECT_EQ(stopped.exitCode, 3);
    EXPECT_NE(stopped.err.find("line " + std::to_string(edited) +
                               " of the record shows write-quadlet at 0xfffff0430000, 4 bytes, "
                               "value 0x00000007; the updater sent write-quadlet at "
                               "0xfffff0430000, 4 bytes, value 0x00000001\n"),
              std::string::npos)
        << stopped.err;
    EXPECT_TRUE(AlertLines(stopped.out).empty());
}

}  // namespace

#endif
