// The simulator as a process of its own, told to end the way a desktop ends programs (a
// logout's SIGTERM, Ctrl-C, a closed terminal, a reader of its output going away, SIGKILL):
// idle it ends as the cancel button ends it; an accepted update runs to its end first.
#include "BuiltInImages.h"
#include "ProcessSupport.h"
#include "ReferenceCrc16.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#ifdef KA_SIMULATOR_EXECUTABLE

namespace {

using katest::Field;
using katest::Occurrences;
using katest::WatchedProcess;

// Printed by the first discovery pass, which runs inside the event loop.
const std::string kIdleLine = "Dtor DownloadUnit\n";
const std::string kHeldLine = "The updater will quit when the update is done.\n";

std::string FlashLine(const std::string& trace, const std::string& component) {
    const auto at = trace.find("{\"flash\":\"" + component + "\"");
    return at == std::string::npos ? std::string() : trace.substr(at, trace.find('\n', at) - at);
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// Both built-in images, every byte, as the unit holds them at the end.
void ExpectBothImagesInstalled(const std::string& trace) {
    const std::string xilinx = FlashLine(trace, "xilinx");
    const std::string mcore = FlashLine(trace, "mcore");
    EXPECT_EQ("installed", Field(xilinx, "state")) << xilinx;
    EXPECT_EQ("336680", Field(xilinx, "length"));
    EXPECT_EQ(Hex4(katest::ReferenceCrc16(katest::XilinxFile().subspan(74))), Field(xilinx, "crc"));
    EXPECT_EQ("installed", Field(mcore, "state")) << mcore;
    EXPECT_EQ("74876", Field(mcore, "length"));
    EXPECT_EQ(Hex4(katest::ReferenceCrc16(katest::McoreFile())), Field(mcore, "crc"));
}

class SimulatorSignalsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(_directory.isValid()); }
    QString TracePath() const { return _directory.filePath("trace.jsonl"); }
    std::string Trace() const { return WatchedProcess::FileText(TracePath()); }

    // An update that lasts: real pauses, and two erase polls of about a second for each
    // image, so that it is still running when the test's signals arrive.
    QStringList LastingUpdate() const {
        return {"--press-update", "--answer-alerts", "ok", "--erase-polls", "2",
                "--trace",        TracePath()};
    }

    QTemporaryDir _directory;
};

TEST_F(SimulatorSignalsTest, IdleTerminationSignalsEndTheProgramAsCancelDoes) {
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        WatchedProcess sim;
        ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, {"--trace", TracePath()}));
        ASSERT_TRUE(sim.WaitForOutput(kIdleLine)) << sim.Out();
        sim.Signal(signalNumber);
        ASSERT_TRUE(sim.WaitForEnd());
        EXPECT_FALSE(sim.Crashed()) << "the signal must not kill the program";
        EXPECT_EQ(0, sim.ExitCode());
        EXPECT_TRUE(sim.Out().ends_with("Dtor ViRorividiZezuzu\n")) << "the dialog is deleted";
        EXPECT_EQ(std::string::npos, sim.Err().find(kHeldLine));
        // The simulator wrote its record of the run: untouched flash.
        EXPECT_EQ("factory", Field(FlashLine(Trace(), "xilinx"), "state")) << Trace();
    }
}

TEST_F(SimulatorSignalsTest, SignalsDuringAnUpdateWaitForItsEndAndTheProgramThenQuits) {
    WatchedProcess sim;
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, LastingUpdate()));
    ASSERT_TRUE(sim.WaitForOutput("Erasing Xilinx Image\n")) << sim.Out();
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGTERM}) {
        sim.Signal(signalNumber);
    }
    ASSERT_TRUE(sim.WaitForEnd());
    EXPECT_FALSE(sim.Crashed());
    EXPECT_EQ(0, sim.ExitCode()) << "both images were installed";
    EXPECT_EQ(1u, Occurrences(sim.Err(), kHeldLine)) << sim.Err();
    const std::string outcome =
        "The update is done. Both the Xilinx image and the MCORE image were installed.\n";
    EXPECT_NE(std::string::npos, sim.Err().find(kHeldLine + "Erasing Flash\n"))
        << "held while the run went on:\n"
        << sim.Err();
    EXPECT_EQ(sim.Err().size() - outcome.size(), sim.Err().rfind(outcome)) << sim.Err();
    EXPECT_NE(std::string::npos, sim.Out().find("Delete Download Thread\n"));
    EXPECT_EQ(std::string::npos, sim.Out().find("sim: alert")) << "nobody waits on an alert";
    ExpectBothImagesInstalled(Trace());
}

TEST_F(SimulatorSignalsTest, ASignalWhileTheSystemBusNeverAnswersIsReadAndHeld) {
    katest::SilentSystemBus bus;
    ASSERT_TRUE(bus.Ready());
    WatchedProcess sim;
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, LastingUpdate()));
    ASSERT_TRUE(sim.WaitForOutput("sim: pressing the update button\n")) << sim.Out();
    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.WaitForEnd()) << sim.Err();
    EXPECT_FALSE(sim.Crashed());
    EXPECT_EQ(0, sim.ExitCode()) << sim.Err();
    EXPECT_NE(std::string::npos, sim.Err().find("The machine was not kept awake for the update"))
        << sim.Err();
    EXPECT_EQ(1u, Occurrences(sim.Err(), kHeldLine)) << sim.Err();
    EXPECT_TRUE(sim.Err().ends_with(
        "The update is done. Both the Xilinx image and the MCORE image were installed.\n"))
        << sim.Err();
    ExpectBothImagesInstalled(Trace());
}

TEST_F(SimulatorSignalsTest, AHeldSignalAfterAFailedRunEndsWithStatusOne) {
    WatchedProcess sim;
    QStringList arguments = LastingUpdate();
    arguments << "--fault"
              << "crc-reject:mcore";
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, arguments));
    ASSERT_TRUE(sim.WaitForOutput("Erasing Xilinx Image\n")) << sim.Out();
    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.WaitForEnd());
    EXPECT_FALSE(sim.Crashed());
    EXPECT_EQ(1, sim.ExitCode()) << "the controller image was not installed";
    EXPECT_NE(std::string::npos, sim.Err().find("The update is done. The Xilinx image was "
                                                "installed; the MCORE image was not. Error 0x"))
        << sim.Err();
    EXPECT_EQ(std::string::npos, sim.Out().find("sim: alert")) << sim.Out();
    EXPECT_EQ("installed", Field(FlashLine(Trace(), "xilinx"), "state"));
    EXPECT_EQ("rejected", Field(FlashLine(Trace(), "mcore"), "outcome"));
}

// A replay writes no unit: each signal ends it at once, as it ends any program, however long
// the record's waits, and the trace it was to write leaves the file of that name as it was.
TEST_F(SimulatorSignalsTest, TerminationSignalsEndAReplayAtOnce) {
    const QString state = _directory.filePath("state");
    {
        WatchedProcess recorded({{"XDG_STATE_HOME", state}});
        ASSERT_TRUE(recorded.Start(KA_SIMULATOR_EXECUTABLE,
                                   {"--no-pauses", "--press-update", "--answer-alerts", "ok"}));
        ASSERT_TRUE(recorded.WaitForEnd());
        ASSERT_EQ(0, recorded.ExitCode()) << recorded.Err();
    }
    const QDir folder(state + "/ka-firmware-updater-sim");
    const QStringList records = folder.entryList({"update-*.jsonl"}, QDir::Files);
    ASSERT_EQ(1, records.size());
    // Every answer a minute after the one before: hours of waits as recorded.
    std::istringstream lines(WatchedProcess::FileText(folder.filePath(records.front())));
    const QString slow = _directory.filePath("slow.jsonl");
    {
        std::ofstream out(slow.toStdString());
        long long minutes = 0;
        for (std::string line; std::getline(lines, line);) {
            out << std::regex_replace(line, std::regex(R"("t":[0-9]+)"),
                                      "\"t\":" + std::to_string(60000000 * minutes++))
                << '\n';
        }
    }
    std::ofstream(TracePath().toStdString()) << "the owner's\n";
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        WatchedProcess sim({{"XDG_STATE_HOME", state}});
        ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, {"--press-update", "--answer-alerts", "ok",
                                                        "--replay", slow, "--trace", TracePath()}));
        ASSERT_TRUE(sim.WaitForOutput(" s after the one before; the replay waits 60 s\n"))
            << sim.Out();
        sim.Signal(signalNumber);
        ASSERT_TRUE(sim.WaitForEnd());
        EXPECT_EQ(signalNumber, sim.EndingSignal()) << sim.Err();
        EXPECT_EQ(std::string::npos, sim.Err().find(kHeldLine)) << sim.Err();
        EXPECT_EQ("the owner's\n", Trace());
        const QStringList expected{"slow.jsonl", "state", "trace.jsonl"};
        EXPECT_EQ(expected, QDir(_directory.path())
                                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            << "no unfinished trace is left";
    }
}

TEST_F(SimulatorSignalsTest, AReaderThatGoesAwayChangesNothing) {
    // The reader takes the first few bytes and goes, as "| head -c 30" does.
    QProcess reader;
    reader.setStandardOutputFile(QProcess::nullDevice());
    WatchedProcess sim;
    sim.PipeOutputTo(reader);
    ASSERT_TRUE(
        sim.Start(KA_SIMULATOR_EXECUTABLE, {"--no-pauses", "--press-update", "--answer-alerts",
                                            "ok", "--erase-polls", "1", "--trace", TracePath()}));
    reader.start("head", {"-c", "30"});
    ASSERT_TRUE(reader.waitForFinished(katest::kDeadlineMs));
    ASSERT_TRUE(sim.WaitForEnd());
    EXPECT_FALSE(sim.Crashed()) << "a write to a pipe nobody reads must not end the program";
    EXPECT_EQ(0, sim.ExitCode()) << sim.Err();
    ExpectBothImagesInstalled(Trace());
}

TEST_F(SimulatorSignalsTest, AKilledProcessLeavesEveryLineItPrinted) {
    const QString log = _directory.filePath("out.log");
    WatchedProcess sim;
    sim.SendOutputTo(log);
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, LastingUpdate()));
    // The first image's blocks take 2.6 s at the least (1 ms after each): killed among them.
    const bool sending = sim.WaitForOutput("Sending Data...\n", log);
    sim.Signal(SIGKILL);
    ASSERT_TRUE(sim.WaitForEnd());
    ASSERT_TRUE(sending) << "no line of the run reached the log while it ran";
    EXPECT_TRUE(sim.Crashed()) << "killed in the middle of the blocks";
    const std::string out = WatchedProcess::FileText(log);
    EXPECT_TRUE(out.ends_with("Erasing Xilinx Image\nSending Data...\n"))
        << "the line came as it was printed, among the blocks it announces:\n"
        << out;
}

}  // namespace

#endif
