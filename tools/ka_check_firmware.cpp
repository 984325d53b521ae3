// Checks a folder of Ka firmware before a build carries it; the build runs this at configure
// time and stops with what it prints.
//
// Usage: ka_check_firmware [--help | --version] FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER
// Exit status 0 when the folder is fit to be built in, with its version ("M-X") on standard
// output; 1 with one line on standard output naming the file and its defect; 2 for a wrong
// command line.
#include "ToolCommandLine.h"

#include "firmware/FirmwareImageCheck.h"

#include <iostream>

int main(int argc, char** argv) {
    constexpr std::string_view kUsage =
        "Usage: ka_check_firmware FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER\n"
        "Checks a folder of Ka firmware (KaXilinx.bit, Ka_MCORE.s19, version, SHA256SUMS) as the\n"
        "updater checks one, and that its images are not the made-up ones of\n"
        "MADE_UP_IMAGES_FOLDER.\n"
        "\n"
        "  --help     show this and end\n"
        "  --version  show the version and end\n"
        "\n"
        "Exit status: 0 with the version (\"M-X\") on standard output when the folder is fit to\n"
        "be built in; 1 with one line naming the file and its defect; 2 for a wrong command\n"
        "line.\n";
    const katools::ToolArguments arguments =
        katools::ParseToolArguments(argc, argv, "ka_check_firmware", kUsage, {}, 2);
    if (arguments.exitStatus) {
        return *arguments.exitStatus;
    }
    kafirmware::FirmwareVersion version;
    const std::string defect =
        kafirmware::CheckFirmwareFolder(arguments.operands[0], arguments.operands[1], version);
    if (!defect.empty()) {
        std::cout << defect << '\n';
        return 1;
    }
    std::cout << version.mcore << '-' << version.xilinx << '\n';
    return 0;
}
