// The lines the program writes on standard error for its user, whatever its front end: the
// firmware it chose at start, the protection of a running update, refusals. (The lines of
// the terminal's modes are TerminalTexts.h, the program's trace DiagnosticLines.h.)
#ifndef KA_TEXTS_STANDARDERRORTEXTS_H
#define KA_TEXTS_STANDARDERRORTEXTS_H

#include <string>

// ---- the start line: which firmware an update would install, or why none
inline constexpr const char* kFirmwareToInstallPrefix = "Ka firmware to install: ";
inline constexpr const char* kNoFirmwareToInstallPrefix = "No Ka firmware to install: ";
// Where a release came from, when it is not a folder (also on --status and in the record).
inline constexpr const char* kBuiltInFirmwareSource = "built in";
inline constexpr const char* kMadeUpFirmwareSource = "built in (the made-up test images)";

// ---- an update under way
inline std::string NotKeptAwakeLine(const std::string& status) {
    return "The machine was not kept awake for the update (error " + status +
           "): do not let it sleep or shut down until the update is done.\n";
}
inline constexpr const char* kQuitWhenDoneLine = "The updater will quit when the update is done.\n";
// Before the outcome sentence (AlertTexts.h), when the update ends a held termination.
inline constexpr const char* kUpdateDonePrefix = "The update is done. ";

// ---- refusals
inline constexpr const char* kUpdateRefusedLine =
    "Update refused: no Ka firmware this program may install\n";

#endif
