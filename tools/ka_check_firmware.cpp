// Checks a folder of Ka firmware before a build carries it; the build runs this at configure
// time and stops with what it prints.
//
// Usage: ka_check_firmware FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER
// Exit status 0 when the folder is fit to be built in, with its version ("M-X") on standard
// output; 1 with one line on standard output naming the file and its defect; 2 for a wrong
// command line.
#include "firmware/FirmwareImageCheck.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ka_check_firmware FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER\n";
        return 2;
    }
    kafirmware::FirmwareVersion version;
    const std::string defect = kafirmware::CheckFirmwareFolder(argv[1], argv[2], version);
    if (!defect.empty()) {
        std::cout << defect << '\n';
        return 1;
    }
    std::cout << version.mcore << '-' << version.xilinx << '\n';
    return 0;
}
