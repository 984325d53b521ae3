#include "SimulatorOptions.h"
#include "SimulatorTrace.h"

#include "SimulatedBackend.h"
#include "SimulatedBus.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using kasim::ImageFaultKind;
using kasim::ImageSelection;
using kasim::ParsedCommandLine;
using kasim::ParseSimulatorCommandLine;

ParsedCommandLine Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "virorividizezuzu-sim");
    return ParseSimulatorCommandLine(arguments);
}

TEST(SimulatorOptionsTest, NoArgumentsGiveAHealthyUnitWithRealPauses) {
    const ParsedCommandLine parsed = Parse({});
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Outcome::Run);
    EXPECT_TRUE(parsed.options.unit.present);
    EXPECT_EQ(parsed.options.unit.softwareVersion, 0x00020004u);
    EXPECT_TRUE(parsed.options.imageFaults.empty());
    EXPECT_FALSE(parsed.options.noPauses);
    EXPECT_EQ(parsed.options.answerAlerts, 0);
    EXPECT_TRUE(parsed.options.traceFile.empty());
}

TEST(SimulatorOptionsTest, EveryOptionReachesItsField) {
    const ParsedCommandLine parsed = Parse({
        "--software-version",
        "0x00030005",
        "--product-revision=131072",
        "--serial",
        "AB12",
        "--appear-after",
        "1.5",
        "--erase-polls=0",
        "--fault",
        "block-fail@128:mcore",
        "--fault=not-ready:xilinx",
        "--editor-running",
        "--pretend-process",
        "ABCD",
        "--trace",
        "/tmp/trace.jsonl",
        "--no-pauses",
        "--press-update",
        "--answer-alerts",
        "cancel",
    });
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Outcome::Run) << parsed.error;
    const kasim::SimulatorOptions& options = parsed.options;
    EXPECT_EQ(options.unit.softwareVersion, 0x00030005u);
    EXPECT_EQ(options.unit.productRevision, 0x00020000u);
    EXPECT_EQ(options.unit.serialNumber, kasim::SerialNumberFromText("AB12"));
    EXPECT_DOUBLE_EQ(options.appearAfterSeconds, 1.5);
    EXPECT_EQ(options.unit.erasePolls, 0u);
    ASSERT_EQ(options.imageFaults.size(), 2u);
    EXPECT_EQ(options.imageFaults[0].kind, ImageFaultKind::BlockFailure);
    EXPECT_EQ(options.imageFaults[0].dataOffset, 128u);
    EXPECT_EQ(options.imageFaults[0].image, ImageSelection::Mcore);
    EXPECT_EQ(options.imageFaults[1].kind, ImageFaultKind::NotReady);
    EXPECT_EQ(options.imageFaults[1].image, ImageSelection::Xilinx);
    EXPECT_EQ(options.pretendProcesses, (std::vector<std::uint32_t>{'KeyG', 'ABCD'}));
    EXPECT_EQ(options.traceFile, "/tmp/trace.jsonl");
    EXPECT_TRUE(options.noPauses);
    EXPECT_TRUE(options.pressUpdate);
    EXPECT_EQ(options.answerAlerts, 2);
    EXPECT_TRUE(Parse({"--no-unit"}).options.unit.present == false);
}

TEST(SimulatorOptionsTest, AReplayRefusesEveryOptionThatShapesTheUnit) {
    for (const std::vector<std::string>& shaping :
         std::vector<std::vector<std::string>>{{"--serial", "AB12"},
                                               {"--software-version=0x00030005"},
                                               {"--product-revision", "1"},
                                               {"--no-unit"},
                                               {"--appear-after", "1"},
                                               {"--fault", "swap-unit"},
                                               {"--erase-polls", "3"}}) {
        std::vector<std::string> arguments = shaping;
        arguments.insert(arguments.begin(), {"--replay", "record.jsonl"});
        const ParsedCommandLine parsed = Parse(arguments);
        ASSERT_EQ(parsed.outcome, ParsedCommandLine::Outcome::Error) << shaping.front();
        EXPECT_EQ(
            parsed.error.rfind("option " + shaping.front().substr(0, shaping.front().find('=')) +
                                   " cannot be used with --replay",
                               0),
            0u)
            << parsed.error;
    }
    // What does not shape the unit goes with a replay.
    EXPECT_EQ(Parse({"--no-pauses", "--press-update", "--answer-alerts", "ok", "--trace", "t",
                     "--replay", "record.jsonl"})
                  .outcome,
              ParsedCommandLine::Outcome::Run);
}

TEST(SimulatorOptionsTest, HelpWinsAndNamesEveryFaultKind) {
    EXPECT_EQ(Parse({"--erase-polls", "3", "--help"}).outcome,
              ParsedCommandLine::Outcome::ShowHelp);
    EXPECT_EQ(Parse({"-h"}).outcome, ParsedCommandLine::Outcome::ShowHelp);
    const std::string usage = kasim::SimulatorUsage("virorividizezuzu-sim");
    for (const char* kind :
         {"not-ready", "erase-fail", "erase-timeout", "block-fail@OFFSET", "crc-reject",
          "unplug@OFFSET", "bus-reset@OFFSET", "open-fail", "answer-lost@OFFSET", "damaged@OFFSET",
          "--fault swap-unit", "--fault identity-read-fail"}) {
        EXPECT_NE(usage.find(kind), std::string::npos) << kind;
    }
}

TEST(SimulatorOptionsTest, TheUnitFaultsAreNoImageFaults) {
    const ParsedCommandLine parsed =
        Parse({"--fault", "swap-unit", "--fault=identity-read-fail", "--fault", "not-ready"});
    ASSERT_EQ(parsed.outcome, ParsedCommandLine::Outcome::Run) << parsed.error;
    EXPECT_TRUE(parsed.options.swapUnit);
    EXPECT_TRUE(parsed.options.identityReadFail);
    ASSERT_EQ(parsed.options.imageFaults.size(), 1u);
    EXPECT_EQ(parsed.options.imageFaults[0].kind, ImageFaultKind::NotReady);
    const kasim::SimulatorOptions plain = Parse({}).options;
    EXPECT_FALSE(plain.swapUnit);
    EXPECT_FALSE(plain.identityReadFail);
    for (const char* bad : {"swap-unit:xilinx", "swap-unit@0", "identity-read-fail:mcore"}) {
        EXPECT_EQ(Parse({"--fault", bad}).outcome, ParsedCommandLine::Outcome::Error) << bad;
    }
}

TEST(SimulatorOptionsTest, BadInputIsOneClearLineAndNeverARun) {
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--serial"}, "option --serial needs a value"},
        {{"--no-unit=yes"}, "option --no-unit takes no value"},
        {{"--software-version", "0x1ffffffff"},
         "bad value '0x1ffffffff' for --software-version: expected a 32-bit number, e.g. "
         "0x00030005"},
        {{"--software-version", "12abc"},
         "bad value '12abc' for --software-version: expected a 32-bit number, e.g. 0x00030005"},
        {{"--software-version", "-1"},
         "bad value '-1' for --software-version: expected a 32-bit number, e.g. 0x00030005"},
        {{"--serial", "123456789"},
         "bad value '123456789' for --serial: expected at most 8 printable ASCII characters"},
        {{"--appear-after", "-2"},
         "bad value '-2' for --appear-after: expected seconds from 0 to 86400"},
        {{"--appear-after", "nan"},
         "bad value 'nan' for --appear-after: expected seconds from 0 to 86400"},
        {{"--erase-polls", "1001"},
         "bad value '1001' for --erase-polls: expected a whole number from 0 to 1000"},
        {{"--fault", "block-fail"},
         "bad value 'block-fail' for --fault: expected KIND[@OFFSET][:IMAGE], see --help"},
        {{"--fault", "crc-reject@4"},
         "bad value 'crc-reject@4' for --fault: expected KIND[@OFFSET][:IMAGE], see --help"},
        {{"--fault", "unplug@1:fpga"},
         "bad value 'unplug@1:fpga' for --fault: expected KIND[@OFFSET][:IMAGE], see --help"},
        {{"--pretend-process", "Key"},
         "bad value 'Key' for --pretend-process: expected a four-character signature such as "
         "KeyG"},
        {{"--trace="}, "bad value '' for --trace: expected a file name"},
        {{"--answer-alerts", "yes"}, "bad value 'yes' for --answer-alerts: expected ok or cancel"},
    };
    for (const auto& testCase : cases) {
        const ParsedCommandLine parsed = Parse(testCase.arguments);
        EXPECT_EQ(parsed.outcome, ParsedCommandLine::Outcome::Error) << testCase.error;
        EXPECT_EQ(parsed.error, testCase.error);
    }
}

TEST(SimulatorTraceTest, OneLinePerTransactionThenTheFlashOfEachComponent) {
    katest::ScopedSimulatedKa ka;
    const io_service_t service = katest::LookUpKaService();
    ASSERT_NE(service, IO_OBJECT_NULL);
    IOObjectRelease(service);

    std::ostringstream trace;
    kasim::WriteTrace(trace, *ka);
    const std::string text = trace.str();
    EXPECT_EQ(text.rfind("{\"seq\":", 0), 0u) << text;
    EXPECT_NE(text.find("\"op\":\"find\""), std::string::npos);
    EXPECT_NE(
        text.find("{\"flash\":\"xilinx\",\"state\":\"factory\",\"length\":0,\"crc\":\"0x0000\","
                  "\"installs\":0,\"outcome\":\"none\"}\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("{\"flash\":\"mcore\""), std::string::npos);
    std::size_t lines = 0;
    for (const char character : text) {
        lines += character == '\n';
    }
    EXPECT_EQ(lines, ka->TransactionCount() + 2);
}

}  // namespace
