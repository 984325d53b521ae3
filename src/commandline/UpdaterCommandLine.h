// The options both executables take to be driven from a terminal instead of the window:
// --status reads the bus once and says what it finds, --update runs the whole update. Without
// any of them the window is shown.
#ifndef KA_UPDATERCOMMANDLINE_H
#define KA_UPDATERCOMMANDLINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct UpdaterModeOptions {
    enum class Mode { Window, Status, Update };
    Mode mode = Mode::Window;
    // --status --json: one JSON object in place of the text.
    bool json = false;
    // --update --yes: consent given on the command line.
    bool yes = false;
    // --update --allow-downgrade: consent to installing older firmware.
    bool allowDowngrade = false;
    // --update --allow-reinstall: the release the unit already has is written again.
    bool allowReinstall = false;
    // The program's diagnostic lines go to standard error.
    bool verbose = false;
    // --guid: the Ka whose node has this GUID, not the first one found.
    std::optional<std::uint64_t> guid;
    // Both --status and --update were given.
    bool bothModes = false;

    bool InTerminal() const { return mode != Mode::Window; }
};

// The exit statuses of the terminal modes; the window's are 0 and 1 as before.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUpdateFailed = 1;
inline constexpr int kExitUsage = 2;
// 3 is the simulator's: a replay that differs from its record.
inline constexpr int kExitNoKa = 4;
inline constexpr int kExitNothingWritten = 5;
inline constexpr int kExitUpdateNotPossible = 6;
inline constexpr int kExitAlreadyRunning = 7;
// The unit already has the release on offer; nothing was written.
inline constexpr int kExitAlreadyInstalled = 8;
// What the mode had to say could not all be written on standard output.
inline constexpr int kExitOutputFailed = 9;

// True when the argument is one of the terminal options (it is then taken into the options);
// they take no value (see UpdaterModeOptionTakesValue for those that do). -y is the one short
// option among them.
bool TakeUpdaterModeOption(std::string_view argument, UpdaterModeOptions& options);

// True for the terminal options that take a value (--guid).
bool UpdaterModeOptionTakesValue(std::string_view option);
// Takes such an option's value into the options; empty when it was good, else why not (a
// clause, no line end).
std::string TakeUpdaterModeValue(std::string_view option, std::string_view value,
                                 UpdaterModeOptions& options);

// A node's GUID as --status shows it ("0x0200000000004711") or without the 0x: 1 to 16 hex
// digits, nothing around them.
std::optional<std::uint64_t> ParseGuid(std::string_view text);

// Empty when the options taken go together, else why not in one line without a line end.
std::string CheckUpdaterModeOptions(const UpdaterModeOptions& options);

struct UpdaterCommandLine {
    enum class Outcome { Run, ShowHelp, ShowVersion, Error };
    Outcome outcome = Outcome::Run;
    UpdaterModeOptions options;
    std::string error;  // for Error: one line, no line end
};

// The hardware updater's command line: the terminal options, --help and --version, nothing
// else.
UpdaterCommandLine ParseUpdaterCommandLine(const std::vector<std::string>& arguments);

// The --help lines on the terminal options and the exit statuses, for both executables.
std::string UpdaterModeUsage();

// The hardware updater's whole --help text.
std::string UpdaterUsage(const std::string& programName);

// The --version line of an executable: its name and the program's release.
std::string UpdaterVersionLine(const std::string& executableName);

#endif
