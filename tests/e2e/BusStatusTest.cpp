// What is on the bus and who answers: every Ka named and only the chosen one written, a
// computer without a FireWire controller told apart, and a --status beside a running copy
// (with a session or without one) answered by that copy as it would be answered alone.
#include "ProcessSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using katest::WatchedProcess;

[[maybe_unused]] std::vector<Json> TraceLines(const std::string& trace) {
    std::vector<Json> lines;
    std::string::size_type start = 0;
    while (start < trace.size()) {
        const auto end = trace.find('\n', start);
        lines.push_back(Json::parse(trace.substr(start, end - start)));
        start = end == std::string::npos ? trace.size() : end + 1;
    }
    return lines;
}

#ifdef KA_SIMULATOR_EXECUTABLE

const std::string kFirstKa = "0x0200000000004711";
const QString kSecondKa = "0x0200000000004799";

class TwoKasTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_directory.isValid());
        ASSERT_TRUE(_state.isValid());
    }
    // The simulator run to its end as from a terminal.
    bool Run(WatchedProcess& sim, const QStringList& arguments) {
        return sim.Start(KA_SIMULATOR_EXECUTABLE, arguments) && sim.WaitForEnd();
    }
    std::vector<std::pair<QString, QString>> Session() const {
        return {{"XDG_STATE_HOME", _state.path()}};
    }
    // Each flash line of the unit (unit: "" for the first Ka), and whether it was written.
    static std::vector<Json> Flash(const std::vector<Json>& trace, const std::string& unit,
                                   bool& written) {
        std::vector<Json> flash;
        written = false;
        for (const Json& line : trace) {
            if (line.value("unit", std::string()) != unit) {
                continue;
            }
            if (line.contains("flash")) {
                Json kept = line;
                kept.erase("unit");
                flash.push_back(kept);
            } else if (line.at("op").get<std::string>().starts_with("write")) {
                written = true;
            }
        }
        return flash;
    }

    QTemporaryDir _directory;
    QTemporaryDir _state;
};

TEST_F(TwoKasTest, StatusNamesEveryKaAndGuidChoosesTheOneWritten) {
    WatchedProcess status(Session());
    // Firmware 3-x and later keeps a serial number.
    ASSERT_TRUE(Run(status, {"--status", "--json", "--second-ka", kSecondKa, "--software-version",
                             "0x00030004"}));
    EXPECT_EQ(0, status.ExitCode()) << status.Err();
    Json answer = Json::parse(status.Out());
    EXPECT_EQ(Json(kFirstKa), answer.at("guid")) << "the first one found is the one to update";
    ASSERT_EQ(2u, answer.at("kas").size()) << answer.dump();
    EXPECT_EQ(Json(kFirstKa), answer.at("kas")[0].at("guid"));
    EXPECT_EQ(Json(kSecondKa.toStdString()), answer.at("kas")[1].at("guid"));
    EXPECT_EQ(Json("KA004799"), answer.at("kas")[1].at("serialNumber"));

    WatchedProcess chosen(Session());
    ASSERT_TRUE(Run(chosen, {"--status", "--json", "--second-ka", kSecondKa, "--guid", kSecondKa}));
    answer = Json::parse(chosen.Out());
    EXPECT_EQ(Json(kSecondKa.toStdString()), answer.at("guid"));
    EXPECT_EQ(Json(kFirstKa), answer.at("kas")[1].at("guid")) << "the others after it";

    WatchedProcess text(Session());
    ASSERT_TRUE(
        Run(text, {"--status", "--second-ka", kSecondKa, "--software-version", "0x00030004"}));
    EXPECT_NE(std::string::npos,
              text.Out().find("Also on the bus: Ka " + kSecondKa.toStdString() +
                              ", serial number KA004799, installed firmware 3-4"))
        << text.Out();

    // The update of a Ka alone on its bus, as the reference of what one unit receives.
    const QString alonePath = _directory.filePath("alone.jsonl");
    WatchedProcess alone(Session());
    ASSERT_TRUE(Run(alone, {"--no-pauses", "--update", "--yes", "--trace", alonePath}));
    ASSERT_EQ(0, alone.ExitCode()) << alone.Err();
    bool written = false;
    const std::vector<Json> reference =
        Flash(TraceLines(WatchedProcess::FileText(alonePath)), "", written);
    ASSERT_TRUE(written);
    ASSERT_EQ(2u, reference.size());

    const QString twoPath = _directory.filePath("two.jsonl");
    WatchedProcess update(Session());
    ASSERT_TRUE(Run(update, {"--no-pauses", "--update", "--yes", "--second-ka", kSecondKa, "--guid",
                             kSecondKa, "--trace", twoPath}));
    EXPECT_EQ(0, update.ExitCode()) << update.Err();
    const std::vector<Json> two = TraceLines(WatchedProcess::FileText(twoPath));
    EXPECT_EQ(reference, Flash(two, kSecondKa.toStdString(), written))
        << "the chosen Ka holds what a Ka alone would, byte for byte (length and CRC)";
    EXPECT_TRUE(written);
    const std::vector<Json> first = Flash(two, "", written);
    EXPECT_FALSE(written) << "nothing reached the other Ka";
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(Json("factory"), first[0].at("state"));
    EXPECT_EQ(Json("factory"), first[1].at("state"));

    WatchedProcess missing(Session());
    ASSERT_TRUE(Run(missing, {"--no-pauses", "--update", "--yes", "--guid", "0x42"}));
    EXPECT_EQ(4, missing.ExitCode());
    EXPECT_NE(std::string::npos,
              missing.Err().find("No Ka found: no Ka with GUID 0x0000000000000042 is on the "
                                 "FireWire bus.\n"))
        << missing.Err();
}

TEST_F(TwoKasTest, StatusJsonIsOneAProgramCanKeep) {
    WatchedProcess status(Session());
    ASSERT_TRUE(Run(status, {"--status", "--json", "--software-version", "0x00020004"}));
    const Json answer = Json::parse(status.Out());
    EXPECT_EQ(Json(1), answer.at("format"));
    EXPECT_TRUE(answer.at("serialNumber").is_null()) << "firmware 2-x keeps no serial number";
    EXPECT_EQ(Json({{"mcore", 2}, {"xilinx", 4}}), answer.at("installedVersion"));
    EXPECT_TRUE(answer.at("firmwareVersion").at("mcore").is_number());
    EXPECT_EQ(Json("2-4"), answer.at("installedFirmware"));
}

#endif

#ifdef KA_UPDATER_EXECUTABLE

class RunningCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_runtime.isValid());
        ASSERT_TRUE(_alone.isValid());
        ASSERT_TRUE(_temporary.isValid());
    }

    QTemporaryDir _runtime;
    QTemporaryDir _alone;
    QTemporaryDir _temporary;
};

// This machine has no FireWire controller: the program says so rather than "no Ka".
TEST_F(RunningCopyTest, AStatusBesideARunningCopyIsAnsweredAsItWouldBeAlone) {
    const bool noController = !std::filesystem::exists("/sys/bus/firewire");
    WatchedProcess alone({{"XDG_RUNTIME_DIR", _alone.path()}});
    ASSERT_TRUE(alone.Start(KA_UPDATER_EXECUTABLE, {"--status", "--json"}));
    ASSERT_TRUE(alone.WaitForEnd());
    const Json aloneAnswer = Json::parse(alone.Out());
    if (noController) {
        EXPECT_EQ(4, alone.ExitCode());
        EXPECT_EQ(Json(false), aloneAnswer.at("found"));
        EXPECT_EQ(Json("no FireWire controller"), aloneAnswer.at("reason"));
    }
    WatchedProcess aloneText({{"XDG_RUNTIME_DIR", _alone.path()}});
    ASSERT_TRUE(aloneText.Start(KA_UPDATER_EXECUTABLE, {"--status"}));
    ASSERT_TRUE(aloneText.WaitForEnd());
    if (noController) {
        EXPECT_TRUE(aloneText.Out().starts_with(
            "Ka: not found (this computer has no FireWire controller whose driver is loaded)\n"))
            << aloneText.Out();
    }

    WatchedProcess window({{"XDG_RUNTIME_DIR", _runtime.path()}});
    ASSERT_TRUE(window.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(window.WaitForOutput("Open Ka\n")) << window.Err();

    WatchedProcess beside({{"XDG_RUNTIME_DIR", _runtime.path()}});
    ASSERT_TRUE(beside.Start(KA_UPDATER_EXECUTABLE, {"--status", "--json"}));
    ASSERT_TRUE(beside.WaitForEnd());
    EXPECT_EQ(alone.ExitCode(), beside.ExitCode()) << beside.Err();
    ASSERT_FALSE(beside.Out().empty());
    EXPECT_EQ(aloneAnswer, Json::parse(beside.Out()));

    WatchedProcess besideText({{"XDG_RUNTIME_DIR", _runtime.path()}});
    ASSERT_TRUE(besideText.Start(KA_UPDATER_EXECUTABLE, {"--status"}));
    ASSERT_TRUE(besideText.WaitForEnd());
    EXPECT_EQ(aloneText.Out(), besideText.Out());

    WatchedProcess update({{"XDG_RUNTIME_DIR", _runtime.path()}});
    ASSERT_TRUE(update.Start(KA_UPDATER_EXECUTABLE, {"--update", "--yes"}));
    ASSERT_TRUE(update.WaitForEnd());
    EXPECT_EQ(7, update.ExitCode()) << "an update still finds the copy that runs";
    EXPECT_EQ("", update.Out());

    window.Signal(SIGTERM);
    ASSERT_TRUE(window.WaitForEnd());
}

TEST_F(RunningCopyTest, OneCopyRunsWithoutASessionAndNoQtWarning) {
    // As under sudo or cron: no runtime directory; the temporary folder is the test's own.
    const std::vector<std::pair<QString, QString>> noSession = {{"TMPDIR", _temporary.path()}};
    WatchedProcess first(noSession, {"XDG_RUNTIME_DIR"});
    ASSERT_TRUE(first.Start(KA_UPDATER_EXECUTABLE, {}));
    // (The window's own display platform may warn without a session; the terminal modes,
    // the ones run under sudo or cron, must not.)
    ASSERT_TRUE(first.WaitForOutput("Open Ka\n")) << first.Err();

    WatchedProcess second(noSession, {"XDG_RUNTIME_DIR"});
    ASSERT_TRUE(second.Start(KA_UPDATER_EXECUTABLE, {"--update", "--yes"}));
    ASSERT_TRUE(second.WaitForEnd());
    EXPECT_EQ(7, second.ExitCode());
    EXPECT_EQ(std::string(KA_UPDATER_EXECUTABLE) +
                  ": the updater is already running (in a window or a terminal); nothing was "
                  "done\n",
              second.Err())
        << "one line, and no warning of Qt's";

    WatchedProcess status(noSession, {"XDG_RUNTIME_DIR"});
    ASSERT_TRUE(status.Start(KA_UPDATER_EXECUTABLE, {"--status", "--json"}));
    ASSERT_TRUE(status.WaitForEnd());
    EXPECT_TRUE(Json::parse(status.Out()).at("found").is_boolean())
        << "answered by the running copy: " << status.Err();
    EXPECT_EQ("", status.Err());

    // Nobody else could have made or may enter the place of the claim.
    struct stat folder {};
    const std::string place =
        _temporary.path().toStdString() + "/ka-updater-" + std::to_string(getuid());
    ASSERT_EQ(0, lstat(place.c_str(), &folder));
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(0700u, folder.st_mode & 0777u);

    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitForEnd());
}

#endif

}  // namespace
