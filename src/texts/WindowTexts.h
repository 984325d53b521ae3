// What the program writes into its window besides the red lines (RedLines.h), and what the
// desktop shows of it. The window's own labels are in its description (main.nib).
#ifndef KA_TEXTS_WINDOWTEXTS_H
#define KA_TEXTS_WINDOWTEXTS_H

#include <string>

// The installed firmware and the serial number while no Ka is found.
inline constexpr const char* kKaNotFoundText = "Ka Not Found";

// The serial number of a unit whose controller is too old to tell it (also on --status).
inline constexpr const char* kSerialNumberNotAvailableText = "Not Available";

// The update button's titles.
inline constexpr const char* kUpgradeButtonTitle = "Upgrade";
inline constexpr const char* kDowngradeButtonTitle = "Downgrade";

// The line above the update button: buttonTitle is the button's title, version the
// firmware that would be installed.
inline std::string SelectUpdateButtonText(const std::string& buttonTitle,
                                          const std::string& version) {
    return "Select " + buttonTitle + " button to download firmware version " + version + " to Ka:";
}

// What the desktop shows while an update keeps the machine awake: who, and why.
inline constexpr const char* kKeepAwakeName = "Ka Firmware Updater";
inline constexpr const char* kKeepAwakeReason = "Updating the Ka's firmware";

#endif
