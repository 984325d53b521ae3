// What the terminal front end says: the command line's help and its complaints, the lines of
// --status (text and the values of its JSON), and those of --update. The outcome sentences it
// ends with are AlertTexts.h; the lines any front end writes are StandardErrorTexts.h.
#ifndef KA_TEXTS_TERMINALTEXTS_H
#define KA_TEXTS_TERMINALTEXTS_H

#include <string>

// ---- the command line
inline constexpr const char* kUsageModes =
    "From a terminal (no window, no display needed):\n"
    "  --status                 read the bus once and say whether a Ka is there, its\n"
    "                           GUID, serial number and installed firmware, the firmware\n"
    "                           this program would install and what an update would do\n"
    "  --json                   with --status: the same as one JSON object\n"
    "  --guid GUID              with --status or --update: the Ka whose node has this\n"
    "                           GUID, not the first one on the bus (--status names all)\n"
    "  --update                 update the Ka: asks \"Upgrade the Ka from A to B? [y/N]\"\n"
    "                           (Downgrade, Reinstall) on the controlling terminal when\n"
    "                           standard input is one; otherwise writes nothing unless --yes\n"
    "  -y, --yes                with --update: do not ask, update\n"
    "  --allow-downgrade        with --update: a downgrade may be installed as well\n"
    "  --allow-reinstall        with --update: the firmware the Ka already has is written\n"
    "                           again (without it nothing is written, exit status 8)\n"
    "  --verbose                the program's diagnostic lines go to standard error too;\n"
    "                           warnings and failures go there always\n"
    "\n"
    "Exit status of --status and --update:\n"
    "  0  a Ka was found (--status); both images were installed (--update)\n"
    "  1  the update failed: the sentence and the update record say what\n"
    "  2  the command line was wrong\n"
    "  4  no Ka found (none there or none with that GUID, no FireWire controller,\n"
    "     this user may not open it, or another program holds it)\n"
    "  5  nothing was written: no consent (no terminal to ask and no --yes, the\n"
    "     answer was no, or a downgrade without --allow-downgrade), or the program\n"
    "     was asked to end before the update began\n"
    "  6  no update is possible: no firmware this program may install, or Final Cut\n"
    "     Pro is running\n"
    "  7  another copy of the updater is running (a --status is answered by that\n"
    "     copy instead, with its exit status)\n"
    "  8  already installed: nothing written (the Ka has the firmware this program\n"
    "     would install; --allow-reinstall writes it again)\n"
    "  9  standard output could not be written (after an update that went in; its\n"
    "     record says so)\n";

inline std::string UsageText(const std::string& programName) {
    return "Usage: " + programName +
           " [--status [--json] | --update [-y] [--allow-downgrade] [--allow-reinstall]]\n"
           "       [--guid GUID] [--verbose]\n"
           "The firmware updater for the Ka FireWire unit. Without options it shows its\n"
           "window.\n"
           "\n" +
           kUsageModes +
           "\n"
           "  -h, --help               show this text\n"
           "  --version                say which release of the updater this is\n";
}

// "virorividizezuzu 1.3"
inline std::string VersionLine(const std::string& executableName, const std::string& release) {
    return executableName + " " + release + "\n";
}

inline constexpr const char* kStatusWithUpdate = "--status and --update cannot be given together";
inline constexpr const char* kJsonWithoutStatus = "--json goes with --status only";
inline constexpr const char* kYesWithoutUpdate = "--yes goes with --update only";
inline constexpr const char* kAllowDowngradeWithoutUpdate =
    "--allow-downgrade goes with --update only";
inline constexpr const char* kGuidWithoutMode = "--guid goes with --status or --update only";
inline constexpr const char* kBadGuid =
    "expected a GUID of 1 to 16 hex digits, as --status shows it";
inline std::string OptionNeedsValue(const std::string& option) {
    return "option " + option + " needs a value";
}
inline std::string BadOptionValue(const std::string& option, const std::string& value,
                                  const std::string& why) {
    return "bad value '" + value + "' for " + option + ": " + why;
}
inline constexpr const char* kAllowReinstallWithoutUpdate =
    "--allow-reinstall goes with --update only";
inline constexpr const char* kVerboseWithoutMode = "--verbose goes with --status or --update only";
inline std::string UnexpectedArgument(const std::string& argument) {
    return "unexpected argument '" + argument + "'";
}
inline std::string OptionTakesNoValue(const std::string& option) {
    return "option " + option + " takes no value";
}
inline std::string UnknownOption(const std::string& argument) {
    return "unknown option '" + argument + "'";
}
// After the complaint, on its own line.
inline std::string TryHelpLine(const std::string& programName) {
    return "Try '" + programName + " --help' for more information.\n";
}
// After the program's name.
inline constexpr const char* kAlreadyRunningSuffix =
    ": the updater is already running (in a window or a terminal); nothing was done\n";

// ---- why no update is possible (also --status --json's "reason")
inline constexpr const char* kReasonNoKa = "no Ka found";
inline constexpr const char* kReasonNoPermission = "no permission";
inline constexpr const char* kReasonInUse = "in use by another program";
inline constexpr const char* kReasonNoFirmware = "no firmware to install";
inline constexpr const char* kReasonFinalCutRunning = "Final Cut Pro is running";
inline constexpr const char* kReasonNoController = "no FireWire controller";

// ---- what an update would do (also --status --json's "update")
inline constexpr const char* kUpdateUpgrade = "upgrade";
inline constexpr const char* kUpdateDowngrade = "downgrade";
inline constexpr const char* kUpdateReinstall = "reinstall";
inline constexpr const char* kUpdateNone = "none";

// ---- why no Ka is found, as a clause
inline constexpr const char* kNoPermissionClause =
    "a Ka is connected, but this user may not open it: install the updater's udev rule (see "
    "the README)";
inline constexpr const char* kInUseClause =
    "the Ka is in use by another program; quit it to update the Ka";
inline constexpr const char* kNoKaClause = "no Ka is on the FireWire bus";
inline constexpr const char* kNoControllerClause =
    "this computer has no FireWire controller whose driver is loaded";
inline std::string NoKaWithGuidClause(const std::string& guid) {
    return "no Ka with GUID " + guid + " is on the FireWire bus";
}

// ---- --status, as text
inline constexpr const char* kStatusFound = "Ka: found\n";
inline constexpr const char* kStatusGuid = "GUID: ";
inline constexpr const char* kStatusSerialNumber = "Serial number: ";
inline constexpr const char* kStatusInstalledFirmware = "Installed firmware: ";
// A unit whose firmware is too old to keep a serial number.
inline constexpr const char* kStatusNoSerialNumber = "Not Available";
// After the lines above, one for each other Ka on the bus.
inline std::string OtherKaLine(const std::string& guid, const std::string& serialNumber,
                               const std::string& installed) {
    return "Also on the bus: Ka " + guid + ", serial number " + serialNumber +
           ", installed firmware " + installed + " (choose it with --guid " + guid + ")\n";
}
inline std::string StatusNotFoundLine(const std::string& clause) {
    return "Ka: not found (" + clause + ")\n";
}
inline constexpr const char* kStatusFirmwareToInstall = "Firmware to install: ";
inline constexpr const char* kStatusNoFirmwareVersion = "none";
inline constexpr const char* kStatusFirmwareSource = "Firmware source: ";
inline constexpr const char* kStatusFirmwareProblem = "It may not be installed: ";
inline constexpr const char* kStatusUpdate = "Update: ";
inline std::string StatusNoUpdateLine(const std::string& reason) {
    return "Update: not possible (" + reason + ")\n";
}

// ---- --update
inline std::string NoKaFoundLine(const std::string& clause) {
    return "No Ka found: " + clause + ".\n";
}
inline constexpr const char* kNoUpdatePossiblePrefix = "No update is possible: ";
inline constexpr const char* kNoUpdateFinalCutRunningLine =
    "No update is possible: please quit Final Cut Pro before updating the Ka firmware.\n";
inline std::string DowngradeNotAllowedLine(const std::string& installed,
                                           const std::string& offered) {
    return "Nothing was written: this is a downgrade from " + installed + " to " + offered +
           "; give --allow-downgrade as well to install it.\n";
}
inline constexpr const char* kNoTerminalToAskLine =
    "Nothing was written: there is no terminal to ask for consent; give --yes to update "
    "without asking.\n";
inline std::string AlreadyInstalledLine(const std::string& installed) {
    return "Already installed: nothing written. The Ka has firmware " + installed +
           "; give --allow-reinstall to write it again.\n";
}
// The action is "Upgrade", "Downgrade" or "Reinstall".
inline std::string ConsentQuestion(const std::string& action, const std::string& installed,
                                   const std::string& offered) {
    return action + " the Ka from " + installed + " to " + offered + "? [y/N]";
}
inline constexpr const char* kUpgradeAction = "Upgrade";
inline constexpr const char* kDowngradeAction = "Downgrade";
inline constexpr const char* kReinstallAction = "Reinstall";
inline constexpr const char* kNoConsentLine = "Nothing was written.\n";
inline constexpr const char* kEndedBeforeUpdateLine =
    "Nothing was written: the updater was asked to end before the update began.\n";

// The progress line: "Updating the Ka: Xilinx image: programming, 52%".
inline constexpr const char* kProgressPrefix = "Updating the Ka: ";
inline constexpr const char* kProgressXilinxImage = "Xilinx image: ";
inline constexpr const char* kProgressMcoreImage = "MCORE image: ";
inline constexpr const char* kProgressStarting = "starting";
inline constexpr const char* kProgressErasing = "erasing";
inline constexpr const char* kProgressProgramming = "programming";

// After the outcome.
inline constexpr const char* kUpdateRecordPrefix = "Update record: ";
inline constexpr const char* kNoUpdateRecordLine = "No record of this update was kept.\n";

// Standard output failed (a full disk, a reader that went away); the reason follows.
inline constexpr const char* kOutputFailedPrefix = "Standard output could not be written: ";

#endif
