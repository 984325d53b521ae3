// Checks a folder of Ka firmware before a build carries it; the build runs this at configure
// time and stops with what it prints.
//
// Usage: ka_check_firmware FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER
// Exit status 0 when both images are fit to be built in; 1 with one line on standard output
// naming the file and its defect; 2 for a wrong command line.
#include "FirmwareImageCheck.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ka_check_firmware FIRMWARE_FOLDER MADE_UP_IMAGES_FOLDER\n";
        return 2;
    }
    const std::string defect = firmwarecheck::CheckFirmwareFolder(argv[1], argv[2]);
    if (!defect.empty()) {
        std::cout << defect << '\n';
        return 1;
    }
    return 0;
}
