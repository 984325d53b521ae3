// The window's red lines: what stands between the user and an update, said where the update
// button is. Their colour is RedLineColor.h. The no-firmware lines are also the problem that
// --status and --update name, and the reason on the start line.
#ifndef KA_TEXTS_REDLINES_H
#define KA_TEXTS_REDLINES_H

#include <string>

// An editor that holds the unit open is running.
inline constexpr const char* kFinalCutRunningLine =
    "Please quit Final Cut Pro before updating the Ka firmware.";

// A Ka is on the bus but its device file may not be opened by this user.
inline constexpr const char* kNoPermissionLine =
    "A Ka is connected, but this user may not open it: install the updater's udev rule "
    "(see the README) and use the desktop session.";

// Another program holds the unit's device file.
inline constexpr const char* kUnitInUseLine =
    "The Ka is in use by another program; quit it to update the Ka.";

// The computer has no FireWire controller the system knows of.
inline constexpr const char* kNoControllerLine =
    "No FireWire controller was found on this computer: the Ka needs a FireWire port whose "
    "driver is loaded.";

// A copy of the updater built without the Ka's firmware (it carries the made-up images).
inline constexpr const char* kNoFirmwareBuiltInLine =
    "This copy of the updater carries no Ka firmware: it can show the unit but not update it.";

// A firmware folder that holds no release this program may install.
inline std::string NoUsableFirmwareLine(const std::string& folder) {
    return "No usable Ka firmware in " + folder +
           ": the ka-firmware package is needed to update the unit.";
}

// A red line with what lies behind it, such as the file of a refused folder and its defect.
inline std::string RedLineWithDetail(const std::string& line, const std::string& detail) {
    return line + " (" + detail + ")";
}

#endif
