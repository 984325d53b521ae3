// The command lines that drive the updater from a terminal, in both executables, and the
// reading of a typed answer to the consent question.
#include "SimulatorOptions.h"
#include "UpdaterCommandLine.h"
#include "terminal/Terminal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Mode = UpdaterModeOptions::Mode;
using Outcome = UpdaterCommandLine::Outcome;

UpdaterCommandLine Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "virorividizezuzu");
    return ParseUpdaterCommandLine(arguments);
}

kasim::ParsedCommandLine ParseSimulator(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "virorividizezuzu-sim");
    return kasim::ParseSimulatorCommandLine(arguments);
}

TEST(TerminalOptionsTest, NoOptionIsTheWindowAndEachModeTakesItsOwnOptions) {
    EXPECT_EQ(Mode::Window, Parse({}).options.mode);
    EXPECT_FALSE(Parse({}).options.InTerminal());

    const UpdaterCommandLine status = Parse({"--json", "--status", "--verbose"});
    ASSERT_EQ(Outcome::Run, status.outcome) << status.error;
    EXPECT_EQ(Mode::Status, status.options.mode);
    EXPECT_TRUE(status.options.json);
    EXPECT_TRUE(status.options.verbose);

    const UpdaterCommandLine update = Parse({"--update", "--yes", "--allow-downgrade"});
    ASSERT_EQ(Outcome::Run, update.outcome) << update.error;
    EXPECT_EQ(Mode::Update, update.options.mode);
    EXPECT_TRUE(update.options.yes);
    EXPECT_TRUE(update.options.allowDowngrade);
    EXPECT_FALSE(update.options.json);

    const UpdaterCommandLine scripted = Parse({"--update", "-y", "--allow-reinstall"});
    ASSERT_EQ(Outcome::Run, scripted.outcome) << scripted.error;
    EXPECT_TRUE(scripted.options.yes);
    EXPECT_TRUE(scripted.options.allowReinstall);
    EXPECT_FALSE(scripted.options.allowDowngrade);
    EXPECT_FALSE(update.options.allowReinstall);

    EXPECT_EQ(Outcome::ShowHelp, Parse({"--update", "--help"}).outcome);
    EXPECT_EQ(Outcome::ShowHelp, Parse({"-h"}).outcome);
    EXPECT_EQ(Outcome::ShowVersion, Parse({"--update", "--version"}).outcome);
    EXPECT_EQ(kasim::ParsedCommandLine::Outcome::ShowVersion,
              ParseSimulator({"--version", "--no-such-option"}).outcome);
    const kasim::ParsedCommandLine simulated = ParseSimulator({"--update", "-y"});
    ASSERT_EQ(kasim::ParsedCommandLine::Outcome::Run, simulated.outcome) << simulated.error;
    EXPECT_TRUE(simulated.options.mode.yes);
}

// A consent or a mode the user did not mean must never be guessed from a command line that
// says two things at once, nor from one the program does not understand.
TEST(TerminalOptionsTest, UnknownAndConflictingOptionsAreRefusedWithTheReason) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--status", "--update"}, "--status and --update cannot be given together"},
        {{"--update", "--status", "--yes"}, "--status and --update cannot be given together"},
        {{"--json"}, "--json goes with --status only"},
        {{"--update", "--json"}, "--json goes with --status only"},
        {{"--status", "--yes"}, "--yes goes with --update only"},
        {{"--yes"}, "--yes goes with --update only"},
        {{"--status", "--allow-downgrade"}, "--allow-downgrade goes with --update only"},
        {{"--allow-reinstall"}, "--allow-reinstall goes with --update only"},
        {{"--verbose"}, "--verbose goes with --status or --update only"},
        {{"--update", "--force"}, "unknown option '--force'"},
        {{"--update=now"}, "option --update takes no value"},
        {{"update"}, "unexpected argument 'update'"},
        {{"-y"}, "--yes goes with --update only"},
        {{"-n"}, "unexpected argument '-n'"},
        {{"--software-version", "0x00030005"}, "unknown option '--software-version'"},
    };
    for (const auto& [arguments, error] : refused) {
        const UpdaterCommandLine parsed = Parse(arguments);
        EXPECT_EQ(Outcome::Error, parsed.outcome) << arguments.front();
        EXPECT_EQ(error, parsed.error);
    }
}

TEST(TerminalOptionsTest, TheSimulatorTakesTheModesWithItsOwnOptionsButNotTheWindowsOnes) {
    const kasim::ParsedCommandLine update =
        ParseSimulator({"--no-pauses", "--update", "--yes", "--fault", "crc-reject:mcore",
                        "--trace", "t.jsonl", "--software-version", "0x00030005"});
    ASSERT_EQ(kasim::ParsedCommandLine::Outcome::Run, update.outcome) << update.error;
    EXPECT_EQ(Mode::Update, update.options.mode.mode);
    EXPECT_TRUE(update.options.mode.yes);
    EXPECT_TRUE(update.options.noPauses);
    EXPECT_EQ(1u, update.options.imageFaults.size());
    EXPECT_EQ("t.jsonl", update.options.traceFile);
    EXPECT_EQ(0x00030005u, update.options.unit.softwareVersion);

    const kasim::ParsedCommandLine status = ParseSimulator({"--no-unit", "--status", "--json"});
    ASSERT_EQ(kasim::ParsedCommandLine::Outcome::Run, status.outcome) << status.error;
    EXPECT_EQ(Mode::Status, status.options.mode.mode);
    EXPECT_FALSE(status.options.unit.present);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--update", "--press-update"},
         "--press-update goes with the window only, not with --status or --update"},
        {{"--status", "--answer-alerts", "ok"},
         "--answer-alerts goes with the window only, not with --status or --update"},
        {{"--status", "--update"}, "--status and --update cannot be given together"},
        {{"--yes"}, "--yes goes with --update only"},
        {{"--status=1"}, "option --status takes no value"},
    };
    for (const auto& [arguments, error] : refused) {
        const kasim::ParsedCommandLine parsed = ParseSimulator(arguments);
        EXPECT_EQ(kasim::ParsedCommandLine::Outcome::Error, parsed.outcome) << arguments.front();
        EXPECT_EQ(error, parsed.error);
    }
}

TEST(TerminalOptionsTest, HelpNamesEveryOptionAndEveryExitStatus) {
    for (const std::string& help :
         {UpdaterUsage("virorividizezuzu"), kasim::SimulatorUsage("virorividizezuzu-sim")}) {
        for (const char* option :
             {"--status", "--json", "--update", "--yes", "--allow-downgrade", "--verbose"}) {
            EXPECT_NE(std::string::npos, help.find(option)) << option;
        }
        for (const int status :
             {kExitSuccess, kExitUpdateFailed, kExitUsage, kExitNoKa, kExitNothingWritten,
              kExitUpdateNotPossible, kExitAlreadyRunning}) {
            EXPECT_NE(std::string::npos, help.find("\n  " + std::to_string(status) + "  "))
                << status;
        }
    }
}

TEST(TerminalOptionsTest, OnlyAYesTypedAsAWordIsConsent) {
    for (const char* yes : {"y", "Y", "yes", "YES", "Yes", "  y ", "yes\r", "\ty"}) {
        EXPECT_TRUE(katerminal::TerminalAnswerIsYes(yes)) << yes;
    }
    for (const char* no :
         {"", " ", "n", "no", "N", "ye", "yess", "y y", "yes please", "ja", "1", "\x1b[Ay", "o"}) {
        EXPECT_FALSE(katerminal::TerminalAnswerIsYes(no)) << no;
    }
}

TEST(TerminalOptionsTest, TheRedrawnLineReturnsToItsStartAndClearsWhatWasLonger) {
    EXPECT_EQ("\rXilinx image: erasing, 40%\033[K",
              katerminal::TerminalRedrawnLine("Xilinx image: erasing, 40%"));
}

}  // namespace

// A GUID picks the unit an update writes to: only one that reads back exactly is taken.
TEST(TerminalOptionsTest, GuidTakesOneGuidAsStatusShowsItAndGoesWithAModeOnly) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--update", "--guid", "0x0200000000004712"},
          std::vector<std::string>{"--guid=0200000000004712", "--update"}}) {
        const UpdaterCommandLine parsed = Parse(arguments);
        ASSERT_EQ(Outcome::Run, parsed.outcome) << parsed.error;
        EXPECT_EQ(0x0200000000004712u, parsed.options.guid.value_or(0));
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--status", "--guid"}, "option --guid needs a value"},
        {{"--status", "--guid", "0x10000000000000000"},
         "bad value '0x10000000000000000' for --guid: expected a GUID of 1 to 16 hex digits, "
         "as --status shows it"},
        {{"--status", "--guid=0x12g4"},
         "bad value '0x12g4' for --guid: expected a GUID of 1 to 16 hex digits, as --status "
         "shows it"},
        {{"--guid", "0x1"}, "--guid goes with --status or --update only"},
    };
    for (const auto& [arguments, error] : refused) {
        EXPECT_EQ(error, Parse(arguments).error);
    }
    const kasim::ParsedCommandLine sim =
        ParseSimulator({"--status", "--second-ka", "0x0200000000004799", "--guid", "0x4799"});
    ASSERT_EQ(kasim::ParsedCommandLine::Outcome::Run, sim.outcome) << sim.error;
    EXPECT_EQ(0x4799u, sim.options.mode.guid.value_or(0));
    EXPECT_EQ(0x0200000000004799u, sim.options.secondKaGuid.value_or(0));
    EXPECT_EQ(kasim::ParsedCommandLine::Outcome::Error,
              ParseSimulator({"--second-ka", "0x0200000000004711"}).outcome)
        << "the first Ka's GUID is taken";
}
