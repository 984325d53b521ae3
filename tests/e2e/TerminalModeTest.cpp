// Both executables driven from a terminal, with no display at all: --status reads the simulated
// unit once, --update runs the window's update (the same bus transactions) once consent is
// given, writes nothing without it, and holds termination requests until the run is done.
#include "KaFirmware.h"
#include "ProcessSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef KA_SIMULATOR_EXECUTABLE

namespace {

using katest::Field;
using katest::Occurrences;

constexpr int kDeadlineMs = katest::kDeadlineMs;
const std::string kHeldLine = "The updater will quit when the update is done.\n";
const std::string kNotKeptAwake = "The machine was not kept awake for the update (error ";
const std::string kDone =
    "Programming Complete. You will need to cycle the Power on your Ka for changes to take "
    "affect\n";

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

std::string BuiltInVersion() {
    return VersionText(KaBuiltInMCOREVersion, KaBuiltInXilinxVersion);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// Standard error without the line a machine with no system bus (a container, CI) adds to
// every update.
std::string WithoutNotKeptAwake(const std::string& errors) {
    std::string kept;
    for (const std::string& line : Lines(errors)) {
        if (!line.starts_with(kNotKeptAwake)) {
            kept += line + "\n";
        }
    }
    return kept;
}

// The bus transactions of the update's worker, without the fields that count what came before
// (the sequence number and the connection number go on from discovery's passes).
std::vector<std::string> WorkerTransactions(const std::string& trace) {
    std::vector<std::string> transactions;
    for (std::string line : Lines(trace)) {
        if (Field(line, "thread") != "worker") {
            continue;
        }
        for (const std::string name : {"seq", "connection"}) {
            const auto at = line.find("\"" + name + "\":");
            const auto end = line.find_first_of(",}", at);
            line.erase(at, end - at + 1);
        }
        transactions.push_back(line);
    }
    return transactions;
}

bool HasWrites(const std::string& trace) {
    for (const std::string& line : Lines(trace)) {
        if (Field(line, "op").starts_with("write")) {
            return true;
        }
    }
    return false;
}

std::string FlashState(const std::string& trace, const std::string& component) {
    for (const std::string& line : Lines(trace)) {
        if (Field(line, "flash") == component) {
            return Field(line, "state");
        }
    }
    return {};
}

// An executable started as from a remote login: no X11 or Wayland display and no Qt platform
// chosen, the records and the single-instance claim in folders of the test's own.
class TerminalProcess : public katest::WatchedProcess {
  public:
    explicit TerminalProcess(const QString& stateFolder, const QString& runtimeFolder = {})
        : WatchedProcess(Settings(stateFolder, runtimeFolder),
                         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {}

  private:
    static std::vector<std::pair<QString, QString>> Settings(const QString& stateFolder,
                                                             const QString& runtimeFolder) {
        std::vector<std::pair<QString, QString>> settings = {{"XDG_STATE_HOME", stateFolder}};
        if (!runtimeFolder.isEmpty()) {
            settings.emplace_back("XDG_RUNTIME_DIR", runtimeFolder);
        }
        return settings;
    }
};

class TerminalModeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_directory.isValid());
        ASSERT_TRUE(_state.isValid());
    }
    QString TracePath(const QString& name = "trace.jsonl") const {
        return _directory.filePath(name);
    }
    std::string Trace(const QString& name = "trace.jsonl") const {
        return katest::WatchedProcess::FileText(TracePath(name));
    }

    // The simulator run to its end; false when it did not end in time.
    bool Run(TerminalProcess& sim, const QStringList& arguments) {
        return sim.Start(KA_SIMULATOR_EXECUTABLE, arguments) && sim.WaitForEnd();
    }

    QTemporaryDir _directory;
    QTemporaryDir _state;
};

TEST_F(TerminalModeTest, StatusSaysWhatOnePassFindsAndItsExitStatusWhetherAKaIsThere) {
    TerminalProcess found(_state.path());
    ASSERT_TRUE(
        Run(found, {"--status", "--serial", "KA000042", "--software-version", "0x00030004"}));
    EXPECT_EQ(0, found.ExitCode()) << found.Err();
    const std::vector<std::string> lines = Lines(found.Out());
    ASSERT_EQ(7u, lines.size()) << found.Out();
    EXPECT_EQ("Ka: found", lines[0]);
    EXPECT_EQ("GUID: 0x0200000000004711", lines[1]);
    EXPECT_EQ("Serial number: KA000042", lines[2]);
    EXPECT_EQ("Installed firmware: 3-4", lines[3]);
    EXPECT_EQ("Firmware to install: " + BuiltInVersion(), lines[4]);
    EXPECT_TRUE(lines[5].starts_with("Firmware source: built in")) << lines[5];
    EXPECT_EQ("Update: upgrade", lines[6]);
    EXPECT_EQ("", found.Err()) << "the diagnostic lines stay out without --verbose";

    TerminalProcess missing(_state.path());
    ASSERT_TRUE(Run(missing, {"--status", "--no-unit"}));
    EXPECT_EQ(4, missing.ExitCode());
    EXPECT_TRUE(missing.Out().starts_with("Ka: not found (no Ka is on the FireWire bus)\n"))
        << missing.Out();
    EXPECT_NE(std::string::npos, missing.Out().find("Update: not possible (no Ka found)\n"));

    TerminalProcess verbose(_state.path());
    ASSERT_TRUE(Run(verbose, {"--status", "--verbose"}));
    EXPECT_EQ(0, verbose.ExitCode());
    EXPECT_EQ(found.Out().substr(0, 10), verbose.Out().substr(0, 10));
    EXPECT_NE(std::string::npos, verbose.Err().find("Ctor ViRorividiZezuzu\nTest CERR\nOpen Ka\n"))
        << "the window's diagnostic lines, on standard error: " << verbose.Err();
}

TEST_F(TerminalModeTest, StatusJsonIsOneObjectWithEveryField) {
    using Json = nlohmann::json;
    struct Case {
        QStringList arguments;
        int exitCode;
        bool found;
        std::string update;
        Json reason;
    };
    const std::vector<Case> cases = {
        {{}, 0, true, "upgrade", nullptr},
        {{"--software-version", "0x00090009"}, 0, true, "downgrade", nullptr},
        {{"--software-version",
          QString::asprintf("0x%04X%04X", KaBuiltInMCOREVersion, KaBuiltInXilinxVersion)},
         0,
         true,
         "reinstall",
         nullptr},
        {{"--editor-running"}, 0, true, "none", "Final Cut Pro is running"},
        {{"--no-unit"}, 4, false, "none", "no Ka found"},
    };
    for (const Case& check : cases) {
        SCOPED_TRACE(check.arguments.join(' ').toStdString());
        TerminalProcess sim(_state.path());
        ASSERT_TRUE(Run(sim, QStringList{"--status", "--json"} + check.arguments));
        EXPECT_EQ(check.exitCode, sim.ExitCode());
        ASSERT_EQ(1, Occurrences(sim.Out(), "\n")) << "one line: " << sim.Out();
        const Json status = Json::parse(sim.Out());
        ASSERT_TRUE(status.is_object());
        EXPECT_EQ(13u, status.size()) << status.dump();
        EXPECT_EQ(Json(check.found), status.at("found"));
        EXPECT_EQ(Json(check.update), status.at("update"));
        EXPECT_EQ(Json(check.reason), status.at("reason"));
        EXPECT_EQ(Json(BuiltInVersion()), status.at("firmware"));
        EXPECT_TRUE(status.at("firmwareSource").get<std::string>().starts_with("built in"));
        EXPECT_TRUE(status.at("firmwareProblem").is_null());
        if (check.found) {
            EXPECT_EQ(Json("0x0200000000004711"), status.at("guid"));
            // Firmware older than 3-x keeps no serial number.
            EXPECT_EQ(status.at("installedVersion").at("mcore").get<int>() >= 3,
                      status.at("serialNumber").is_string())
                << status.dump();
            EXPECT_TRUE(status.at("installedFirmware").is_string());
        } else {
            EXPECT_TRUE(status.at("guid").is_null());
            EXPECT_TRUE(status.at("serialNumber").is_null());
            EXPECT_TRUE(status.at("installedFirmware").is_null());
        }
    }
}

TEST_F(TerminalModeTest, AnUpdateWithYesSendsWhatTheWindowsUpdateSends) {
    katest::WatchedProcess window;
    ASSERT_TRUE(
        window.Start(KA_SIMULATOR_EXECUTABLE, {"--no-pauses", "--press-update", "--answer-alerts",
                                               "ok", "--trace", TracePath("window.jsonl")}));
    ASSERT_TRUE(window.WaitForEnd());
    ASSERT_EQ(0, window.ExitCode()) << window.Err();

    TerminalProcess terminal(_state.path());
    ASSERT_TRUE(Run(terminal, {"--no-pauses", "--update", "--yes", "--trace", TracePath()}));
    EXPECT_EQ(0, terminal.ExitCode()) << terminal.Err();

    const std::vector<std::string> windowUpdate = WorkerTransactions(Trace("window.jsonl"));
    const std::vector<std::string> terminalUpdate = WorkerTransactions(Trace());
    EXPECT_GT(windowUpdate.size(), 3000u);
    EXPECT_TRUE(windowUpdate == terminalUpdate)
        << windowUpdate.size() << " transactions against " << terminalUpdate.size();
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));

    // Standard output: the progress, then the window's completion sentence and the record.
    const std::string& out = terminal.Out();
    EXPECT_EQ(std::string::npos, out.find("Open Ka")) << out;
    EXPECT_EQ(std::string::npos, out.find("Erasing Flash")) << out;
    for (const std::string& line : Lines(out.substr(0, out.find(kDone)))) {
        EXPECT_TRUE(line.starts_with("Updating the Ka: ")) << line;
    }
    const auto done = out.find(kDone);
    ASSERT_NE(std::string::npos, done) << out;
    const std::string recordLine = out.substr(done + kDone.size());
    ASSERT_TRUE(recordLine.starts_with("Update record: " + _state.path().toStdString() + "/"))
        << recordLine;
    const std::string record = recordLine.substr(15, recordLine.size() - 16);
    EXPECT_TRUE(std::filesystem::is_regular_file(record)) << record;
    EXPECT_EQ("", WithoutNotKeptAwake(terminal.Err()));
}

TEST_F(TerminalModeTest, NothingIsWrittenWithoutConsentAndADowngradeNeedsItsOwn) {
    struct Case {
        QStringList arguments;
        int exitCode;
        std::string error;
    };
    const std::string downgrade = "Nothing was written: this is a downgrade from 9-9 to " +
                                  BuiltInVersion() +
                                  "; give --allow-downgrade as well to install it.\n";
    const std::vector<Case> cases = {
        {{},
         5,
         "Nothing was written: there is no terminal to ask for consent; give --yes to update "
         "without asking.\n"},
        {{"--software-version", "0x00090009"}, 5, downgrade},
        {{"--software-version", "0x00090009", "--yes"}, 5, downgrade},
        {{"--editor-running", "--yes"},
         6,
         "No update is possible: please quit Final Cut Pro before updating the Ka firmware.\n"},
        {{"--no-unit", "--yes"}, 4, "No Ka found: no Ka is on the FireWire bus.\n"},
    };
    for (const Case& check : cases) {
        SCOPED_TRACE(check.arguments.join(' ').toStdString());
        TerminalProcess sim(_state.path());
        ASSERT_TRUE(Run(
            sim, QStringList{"--no-pauses", "--update", "--trace", TracePath()} + check.arguments));
        EXPECT_EQ(check.exitCode, sim.ExitCode());
        EXPECT_EQ(check.error, sim.Err());
        EXPECT_EQ("", sim.Out());
        EXPECT_FALSE(HasWrites(Trace())) << "nothing may reach the unit";
        EXPECT_FALSE(std::filesystem::exists(_state.filePath("ka-firmware-updater").toStdString()))
            << "no update, no record";
    }

    // With both consents the same downgrade is installed.
    TerminalProcess allowed(_state.path());
    ASSERT_TRUE(Run(allowed, {"--no-pauses", "--update", "--trace", TracePath(),
                              "--software-version", "0x00090009", "--yes", "--allow-downgrade"}));
    EXPECT_EQ(0, allowed.ExitCode()) << allowed.Err();
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// A release that failed its checks is never sent: the status says why, the update refuses.
TEST_F(TerminalModeTest, FirmwareThatMayNotBeInstalledIsNamedAndNeverSent) {
    const QString missing = _directory.filePath("no-such-firmware");
    TerminalProcess status(_state.path());
    ASSERT_TRUE(Run(status, {"--status", "--json", "--firmware", missing}));
    EXPECT_EQ(0, status.ExitCode()) << "a Ka was found";
    const nlohmann::json answer = nlohmann::json::parse(status.Out());
    EXPECT_EQ(nlohmann::json("none"), answer.at("update"));
    EXPECT_EQ(nlohmann::json("no firmware to install"), answer.at("reason"));
    ASSERT_TRUE(answer.at("firmwareProblem").is_string()) << answer.dump();
    EXPECT_FALSE(answer.at("firmwareProblem").get<std::string>().empty());

    TerminalProcess update(_state.path());
    ASSERT_TRUE(Run(update, {"--no-pauses", "--update", "--yes", "--firmware", missing, "--trace",
                             TracePath()}));
    EXPECT_EQ(6, update.ExitCode());
    // The cause a user can act on (the file and what is wrong with it), then the refusal.
    const std::vector<std::string> errors = Lines(update.Err());
    ASSERT_EQ(2u, errors.size()) << update.Err();
    EXPECT_EQ("No Ka firmware to install: " + missing.toStdString() + ": missing", errors[0]);
    EXPECT_TRUE(errors[1].starts_with("No update is possible: ")) << errors[1];
    EXPECT_EQ("", update.Out());
    EXPECT_FALSE(HasWrites(Trace()));
}

TEST_F(TerminalModeTest, AFailedUpdateSaysWhichImageFailedAndEndsWithStatusOne) {
    TerminalProcess sim(_state.path());
    ASSERT_TRUE(Run(sim, {"--no-pauses", "--update", "--yes", "--fault", "crc-reject:mcore",
                          "--trace", TracePath()}));
    EXPECT_EQ(1, sim.ExitCode());
    const std::string& out = sim.Out();
    const std::string failed =
        "Programming Failed. The Xilinx image was installed; the MCORE image was not. Error 0x";
    const auto at = out.find(failed);
    ASSERT_NE(std::string::npos, at) << out;
    EXPECT_NE(std::string::npos,
              out.find(". Do not cycle the Power on your Ka. Check its FireWire connection, then "
                       "try the update again.\nUpdate record: ",
                       at))
        << out;
    EXPECT_EQ(std::string::npos, out.find("Programming Complete"));
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_NE("installed", FlashState(Trace(), "mcore"));
}

TEST_F(TerminalModeTest, TerminationRequestsDuringTheUpdateWaitForItsEnd) {
    TerminalProcess sim(_state.path());
    // Real pauses and two erase polls of about a second: still running when the signals come.
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE,
                          {"--update", "--yes", "--erase-polls", "2", "--trace", TracePath()}));
    ASSERT_TRUE(sim.WaitForOutput("Updating the Ka: Xilinx image: erasing")) << sim.Out();
    sim.Signal(SIGTERM);
    sim.Signal(SIGINT);
    sim.Signal(SIGHUP);
    ASSERT_TRUE(sim.WaitForEnd());
    EXPECT_EQ(0, sim.ExitCode()) << sim.Err();
    EXPECT_EQ(1u, Occurrences(sim.Err(), kHeldLine)) << sim.Err();
    EXPECT_NE(std::string::npos, sim.Out().find(kDone)) << sim.Out();
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// A job that runs every night must not wear the flash, nor put the unit at risk, for what it
// already has.
TEST_F(TerminalModeTest, AnUpdateToTheInstalledReleaseWritesNothingUnlessAReinstallIsAllowed) {
    const QString installed =
        QString::asprintf("0x%04X%04X", KaBuiltInMCOREVersion, KaBuiltInXilinxVersion);
    TerminalProcess refused(_state.path());
    ASSERT_TRUE(Run(refused, {"--no-pauses", "--update", "-y", "--software-version", installed,
                              "--trace", TracePath()}));
    EXPECT_EQ(8, refused.ExitCode());
    EXPECT_EQ("Already installed: nothing written. The Ka has firmware " + BuiltInVersion() +
                  "; give --allow-reinstall to write it again.\n",
              refused.Err());
    EXPECT_EQ("", refused.Out());
    EXPECT_FALSE(HasWrites(Trace()));
    EXPECT_FALSE(std::filesystem::exists(_state.filePath("ka-firmware-updater-sim").toStdString()))
        << "no update, no record";

    TerminalProcess allowed(_state.path());
    ASSERT_TRUE(Run(allowed, {"--no-pauses", "--update", "-y", "--allow-reinstall",
                              "--software-version", installed, "--trace", TracePath()}));
    EXPECT_EQ(0, allowed.ExitCode()) << allowed.Err();
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// A script that throws standard output away, or keeps it in a file, still hears what went
// wrong; --verbose adds only the trail.
TEST_F(TerminalModeTest, WarningsAndFailuresReachStandardErrorWithoutVerbose) {
    // No system bus at that address: the machine cannot be kept awake.
    const QByteArray previousBus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS",
            ("unix:path=" + _directory.filePath("no-system-bus")).toUtf8());
    TerminalProcess sim(_state.path());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", previousBus);
    sim.SendOutputTo(_directory.filePath("out.txt"));
    ASSERT_TRUE(Run(sim, {"--no-pauses", "--update", "--yes", "--fault", "answer-lost@0x400:xilinx",
                          "--fault", "crc-reject:mcore"}));
    EXPECT_EQ(1, sim.ExitCode());
    const std::vector<std::string> errors = Lines(sim.Err());
    ASSERT_EQ(3u, errors.size()) << sim.Err();
    EXPECT_TRUE(errors[0].starts_with(kNotKeptAwake)) << errors[0];
    EXPECT_EQ("The unit may have taken a write twice: starting the Xilinx image again (2 of 3)",
              errors[1]);
    EXPECT_TRUE(
        errors[2].starts_with("Programming Failed. The Xilinx image was installed; the "
                              "MCORE image was not. Error 0x"))
        << errors[2];
    // The outcome is on standard output all the same.
    EXPECT_NE(std::string::npos,
              katest::WatchedProcess::FileText(_directory.filePath("out.txt")).find(errors[2]));
}

TEST_F(TerminalModeTest, OutputThatCannotBeWrittenCountsAndNeverStopsTheUpdate) {
    TerminalProcess full(_state.path());
    full.SendOutputTo("/dev/full");
    ASSERT_TRUE(Run(full, {"--status", "--json"}));
    EXPECT_EQ(9, full.ExitCode());
    EXPECT_EQ("Standard output could not be written: No space left on device.\n", full.Err());

    // The reader goes away at once: every write of the update meets a closed pipe.
    TerminalProcess piped(_state.path());
    ASSERT_TRUE(piped.Start(
        "bash", {"-c", "\"$0\" \"$@\" | true; exit \"${PIPESTATUS[0]}\"", KA_SIMULATOR_EXECUTABLE,
                 "--no-pauses", "--update", "--yes", "--trace", TracePath()}));
    ASSERT_TRUE(piped.WaitForEnd());
    EXPECT_EQ(9, piped.ExitCode()) << "not ended by SIGPIPE (141): " << piped.Err();
    EXPECT_EQ("Standard output could not be written: Broken pipe.\n",
              WithoutNotKeptAwake(piped.Err()));
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// The keys a user presses after Ctrl-C, Ctrl-\ and Ctrl-Z, neither dump core nor stop the
// program with an image half written; a background job writing to its terminal goes on.
TEST_F(TerminalModeTest, QuitAndSuspendDuringTheEraseWaitForTheEndOfTheUpdate) {
    TerminalProcess sim(_state.path());
    sim.OwnProcessGroup();
    ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE,
                          {"--update", "--yes", "--erase-polls", "2", "--trace", TracePath()}));
    ASSERT_TRUE(sim.WaitForOutput("Updating the Ka: Xilinx image: erasing")) << sim.Out();
    sim.Signal(SIGQUIT);
    sim.Signal(SIGTSTP);
    sim.Signal(SIGTTOU);
    ASSERT_TRUE(sim.WaitForOutput(kDone)) << sim.Out() << sim.Err();
    // Once the outcome is out the suspension asked for takes effect; a shell's fg goes on.
    EXPECT_TRUE(sim.WaitForStop());
    ASSERT_TRUE(sim.ContinueToEnd());
    EXPECT_EQ(0, sim.ExitCode()) << sim.Err();
    EXPECT_EQ(1u, Occurrences(sim.Err(), kHeldLine)) << sim.Err();
    EXPECT_EQ("installed", FlashState(Trace(), "xilinx"));
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// The simulator on a pseudo-terminal of the test's own, as a user at a terminal runs it.
class PseudoTerminalRun {
  public:
    PseudoTerminalRun(const std::vector<std::string>& arguments, const std::string& stateFolder) {
        // Everything the child needs is made before the fork: it only execs.
        _arguments.push_back(KA_SIMULATOR_EXECUTABLE);
        _arguments.insert(_arguments.end(), arguments.begin(), arguments.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string setting = *entry;
            if (!setting.starts_with("DISPLAY=") && !setting.starts_with("WAYLAND_DISPLAY=") &&
                !setting.starts_with("QT_QPA_PLATFORM=") &&
                !setting.starts_with("XDG_STATE_HOME=")) {
                _environment.push_back(setting);
            }
        }
        _environment.push_back("XDG_STATE_HOME=" + stateFolder);
        std::vector<char*> argv;
        for (std::string& argument : _arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& setting : _environment) {
            envp.push_back(setting.data());
        }
        envp.push_back(nullptr);
        _child = forkpty(&_terminal, nullptr, nullptr, nullptr);
        if (_child == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~PseudoTerminalRun() {
        if (_child > 0 && !_reaped) {
            ::kill(_child, SIGKILL);
            waitpid(_child, nullptr, 0);
        }
        if (_terminal >= 0) {
            close(_terminal);
        }
    }
    PseudoTerminalRun(const PseudoTerminalRun&) = delete;
    PseudoTerminalRun& operator=(const PseudoTerminalRun&) = delete;

    bool Started() const { return _child > 0; }

    // Reads what the terminal shows until it holds the text or the program has gone.
    bool WaitForScreen(const std::string& text) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (_screen.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd readable{_terminal, POLLIN, 0};
            if (poll(&readable, 1, 1000) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(_terminal, buffer, sizeof buffer);
            if (count <= 0) {
                break;  // the program ended and the terminal closed
            }
            _screen.append(buffer, static_cast<std::size_t>(count));
        }
        return _screen.find(text) != std::string::npos;
    }

    void Type(const std::string& text) {
        [[maybe_unused]] const ssize_t written = write(_terminal, text.data(), text.size());
    }

    // The exit status, once the program ended; -1 for a crash or a time-out.
    int WaitForExit() {
        WaitForScreen(std::string(1, '\0'));  // reads until the terminal closes
        int status = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        pid_t ended = 0;
        while ((ended = waitpid(_child, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            poll(nullptr, 0, 10);
        }
        _reaped = ended == _child;
        return _reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& Screen() const { return _screen; }

  private:
    std::vector<std::string> _arguments;
    std::vector<std::string> _environment;
    int _terminal = -1;
    pid_t _child = -1;
    bool _reaped = false;
    std::string _screen;
};

TEST_F(TerminalModeTest, OnATerminalTheUserIsAskedAndOnlyYesUpdates) {
    const std::string question = "Upgrade the Ka from 2-4 to " + BuiltInVersion() + "? [y/N] ";
    const std::string state = _state.path().toStdString();
    {
        PseudoTerminalRun declined(
            {"--no-pauses", "--update", "--trace", TracePath("declined.jsonl").toStdString()},
            state);
        ASSERT_TRUE(declined.Started());
        ASSERT_TRUE(declined.WaitForScreen(question)) << declined.Screen();
        declined.Type("n\n");
        EXPECT_EQ(5, declined.WaitForExit()) << declined.Screen();
        EXPECT_NE(std::string::npos, declined.Screen().find("Nothing was written.\r\n"));
        EXPECT_FALSE(HasWrites(Trace("declined.jsonl")));
    }
    PseudoTerminalRun accepted({"--no-pauses", "--update", "--trace", TracePath().toStdString()},
                               state);
    ASSERT_TRUE(accepted.Started());
    ASSERT_TRUE(accepted.WaitForScreen(question)) << accepted.Screen();
    accepted.Type("y\n");
    EXPECT_EQ(0, accepted.WaitForExit()) << accepted.Screen();
    // One line redrawn in place, then the outcome on lines of its own.
    EXPECT_NE(std::string::npos, accepted.Screen().find("\rUpdating the Ka: "))
        << accepted.Screen();
    EXPECT_NE(std::string::npos, accepted.Screen().find("\033[K\r\nProgramming Complete. "))
        << accepted.Screen();
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));
}

// The question names what the update would do; with --verbose on a terminal no line of the
// trail lands on the progress line: it is cleared first and drawn again after.
TEST_F(TerminalModeTest, OnATerminalAReinstallIsAskedByNameAndTheTrailLeavesTheProgressAlone) {
    const std::string installed = BuiltInVersion();
    PseudoTerminalRun run(
        {"--no-pauses", "--update", "--verbose", "--allow-reinstall", "--software-version",
         QString::asprintf("0x%04X%04X", KaBuiltInMCOREVersion, KaBuiltInXilinxVersion)
             .toStdString(),
         "--trace", TracePath().toStdString()},
        _state.path().toStdString());
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(
        run.WaitForScreen("Reinstall the Ka from " + installed + " to " + installed + "? [y/N] "))
        << run.Screen();
    run.Type("y\n");
    EXPECT_EQ(0, run.WaitForExit()) << run.Screen();
    EXPECT_EQ("installed", FlashState(Trace(), "mcore"));

    const std::string& screen = run.Screen();
    const std::string progress = "\rUpdating the Ka: ";
    std::size_t drawn = 0;
    for (auto at = screen.find(progress); at != std::string::npos;
         at = screen.find(progress, at + 1)) {
        ++drawn;
        const auto end = screen.find("\033[K", at);
        ASSERT_NE(std::string::npos, end);
        const std::string next = screen.substr(end + 3, 1);
        EXPECT_TRUE(next.empty() || next == "\r") << "written over: " << screen.substr(at, 120);
    }
    EXPECT_GT(drawn, 3u) << screen;
    EXPECT_NE(std::string::npos, screen.find("\r\033[KSending Data...\r\n")) << screen;
}

// A fresh install, a container, cron: no LANG at all, or one that is not UTF-8.
TEST_F(TerminalModeTest, WithoutAUtf8LocaleNeitherExecutableSaysAWordAboutIt) {
    const QStringList localeSettings = {"LANG",        "LC_ALL",   "LC_CTYPE",
                                        "LC_MESSAGES", "LANGUAGE", "LC_NUMERIC"};
    for (const QString& lang : {QString(), QString("C")}) {
        SCOPED_TRACE("LANG=" + lang.toStdString());
        std::vector<std::pair<QString, QString>> settings = {{"XDG_STATE_HOME", _state.path()}};
        QStringList removed = localeSettings + QStringList{"DISPLAY", "WAYLAND_DISPLAY"};
        if (!lang.isEmpty()) {
            settings.emplace_back("LANG", lang);
            removed.removeAll("LANG");
        }
        katest::WatchedProcess sim(settings, removed);
        ASSERT_TRUE(sim.Start(KA_SIMULATOR_EXECUTABLE, {"--status"}) && sim.WaitForEnd());
        EXPECT_EQ(0, sim.ExitCode());
        EXPECT_EQ("", sim.Err());
#ifdef KA_UPDATER_EXECUTABLE
        QTemporaryDir runtime;
        settings.emplace_back("XDG_RUNTIME_DIR", runtime.path());
        katest::WatchedProcess updater(settings, removed);
        ASSERT_TRUE(updater.Start(KA_UPDATER_EXECUTABLE, {"--status"}) && updater.WaitForEnd());
        EXPECT_EQ(std::string::npos, updater.Err().find("locale")) << updater.Err();
        katest::WatchedProcess version(settings, removed);
        ASSERT_TRUE(version.Start(KA_UPDATER_EXECUTABLE, {"--version"}) && version.WaitForEnd());
        EXPECT_TRUE(version.Out().starts_with("virorividizezuzu 1.")) << version.Out();
        EXPECT_EQ(1u, Occurrences(version.Out(), "\n"));
#endif
    }
}

#ifdef KA_UPDATER_EXECUTABLE

TEST(HardwareTerminalModeTest, RunsWithoutADisplayAndRefusesWhatItDoesNotKnow) {
    QTemporaryDir state;
    QTemporaryDir runtime;
    ASSERT_TRUE(state.isValid() && runtime.isValid());
    {
        // No FireWire bus on a test machine, or none with a Ka on it.
        TerminalProcess updater(state.path(), runtime.path());
        ASSERT_TRUE(updater.Start(KA_UPDATER_EXECUTABLE, {"--status"}));
        ASSERT_TRUE(updater.WaitForEnd());
        EXPECT_EQ(4, updater.ExitCode()) << updater.Err();
        EXPECT_TRUE(updater.Out().starts_with("Ka: not found (")) << updater.Out();
    }
    {
        TerminalProcess updater(state.path(), runtime.path());
        ASSERT_TRUE(updater.Start(KA_UPDATER_EXECUTABLE, {"--update", "--json"}));
        ASSERT_TRUE(updater.WaitForEnd());
        EXPECT_EQ(2, updater.ExitCode());
        EXPECT_EQ("", updater.Out());
        EXPECT_NE(std::string::npos, updater.Err().find(": --json goes with --status only\nTry '"))
            << updater.Err();
    }
}

// A window and a terminal run never reach for the unit at once.
TEST(HardwareTerminalModeTest, ARunningWindowKeepsTheTerminalModesOut) {
    QTemporaryDir state;
    QTemporaryDir runtime;
    ASSERT_TRUE(state.isValid() && runtime.isValid());
    katest::WatchedProcess window({{"XDG_RUNTIME_DIR", runtime.path()}});
    ASSERT_TRUE(window.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(window.WaitForOutput("Ctor ViRorividiZezuzu\n")) << window.Err();

    TerminalProcess updater(state.path(), runtime.path());
    ASSERT_TRUE(updater.Start(KA_UPDATER_EXECUTABLE, {"--update", "--yes"}));
    ASSERT_TRUE(updater.WaitForEnd());
    EXPECT_EQ(7, updater.ExitCode());
    EXPECT_EQ("", updater.Out());
    EXPECT_NE(std::string::npos, updater.Err().find(": the updater is already running"))
        << updater.Err();
}

#endif

}  // namespace

#endif
