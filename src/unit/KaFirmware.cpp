#include "KaFirmware.h"

#include "KaXilinx.h"
#include "Ka_MCORE.h"
#include "RedLines.h"
#include "StandardErrorTexts.h"
#include "firmware/FirmwareFolder.h"
#include "firmware/FirmwareImageCheck.h"

#include <array>
#include <mutex>
#include <vector>

namespace {

std::span<const UInt8> BuiltInXilinx() {
    return {reinterpret_cast<const UInt8*>(KaXilinxData), KaXilinxDataSizeBytes};
}
std::span<const UInt8> BuiltInMcore() {
    return {reinterpret_cast<const UInt8*>(KaMCORE06data), KaMCORE06dataSize};
}

KaFirmware BuiltInFirmware(bool mayBeInstalled) {
    KaFirmware firmware;
    firmware.xilinxFile = BuiltInXilinx();
    firmware.mcoreFile = BuiltInMcore();
    firmware.MCOREver = KaBuiltInMCOREVersion;
    firmware.XilinxVer = KaBuiltInXilinxVersion;
    firmware.mayBeInstalled = mayBeInstalled;
    firmware.source =
        KaBuiltInImagesAreFirmware != 0 ? kBuiltInFirmwareSource : kMadeUpFirmwareSource;
    if (!mayBeInstalled) {
        firmware.problem = kNoFirmwareBuiltInLine;
    }
    return firmware;
}

std::string VersionText(const KaFirmware& firmware) {
    return std::to_string(firmware.MCOREver) + "-" + std::to_string(firmware.XilinxVer);
}

// The folder's release, or a firmware that may not be installed with the folder's defect.
KaFirmware FolderFirmware(const KaFirmwareFolder& folder, std::string& defect) {
    const std::array<const char*, 4> names = {
        kafirmware::kXilinxFileName, kafirmware::kMcoreFileName, kafirmware::kVersionFileName,
        kafirmware::kDigestsFileName};
    kafirmware::FirmwareFolderRead read = kafirmware::ReadFirmwareFolder(
        folder.path, names, folder.requiredOwner, kafirmware::kLargestFirmwareFile);
    KaFirmware firmware;
    // Where the release came from, as the record of an update names it: whatever folder
    // the program was started in.
    firmware.source = read.absolutePath.empty() ? folder.path : read.absolutePath;
    firmware.problem = NoUsableFirmwareLine(folder.path);
    if (!read.defect.empty()) {
        defect = read.defect;
        return firmware;
    }
    auto files = std::make_shared<const std::vector<std::vector<UInt8>>>(std::move(read.files));
    const kafirmware::FirmwareFiles checked{(*files)[0], (*files)[1], (*files)[2], (*files)[3]};
    // A copy of the updater without the Ka's firmware carries the made-up images: a folder
    // holding those is no firmware either.
    const kafirmware::FirmwareFiles madeUp{BuiltInXilinx(), BuiltInMcore(), {}, {}};
    kafirmware::FirmwareVersion version;
    const std::string fileDefect = kafirmware::CheckFirmwareFiles(
        checked, KaBuiltInImagesAreFirmware != 0 ? nullptr : &madeUp, version);
    if (!fileDefect.empty()) {
        defect = folder.path + "/" + fileDefect;
        return firmware;
    }
    firmware.xilinxFile = checked.xilinx;
    firmware.mcoreFile = checked.mcore;
    firmware.MCOREver = version.mcore;
    firmware.XilinxVer = version.xilinx;
    firmware.mayBeInstalled = true;
    firmware.problem.clear();
    firmware.storage = std::move(files);
    return firmware;
}

struct Choice {
    std::mutex mutex;
    std::shared_ptr<const KaFirmware> firmware;
};

Choice& TheChoice() {
    static Choice choice;
    return choice;
}

}  // namespace

std::string KaChooseFirmware(KaFirmwareRule rule, const std::optional<KaFirmwareFolder>& folder) {
    KaFirmware chosen;
    return KaChooseFirmware(rule, folder, chosen);
}

std::string KaChooseFirmware(KaFirmwareRule rule, const std::optional<KaFirmwareFolder>& folder,
                             KaFirmware& chosen) {
    const bool builtInIsFirmware = KaBuiltInImagesAreFirmware != 0;
    KaFirmware firmware;
    std::string line;
    if (folder && (rule == KaFirmwareRule::WhateverItHolds || !builtInIsFirmware)) {
        std::string defect;
        firmware = FolderFirmware(*folder, defect);
        line = firmware.mayBeInstalled
                   ? kFirmwareToInstallPrefix + VersionText(firmware) + ", from " + folder->path
                   : kNoFirmwareToInstallPrefix + defect;
        firmware.problemDetail = defect;
    } else {
        firmware = BuiltInFirmware(builtInIsFirmware || rule == KaFirmwareRule::WhateverItHolds);
        line = firmware.mayBeInstalled
                   ? kFirmwareToInstallPrefix + VersionText(firmware) + ", " + firmware.source
                   : kNoFirmwareToInstallPrefix + firmware.problem;
    }
    chosen = firmware;
    Choice& choice = TheChoice();
    const std::lock_guard lock(choice.mutex);
    choice.firmware = std::make_shared<const KaFirmware>(std::move(firmware));
    return line;
}

KaFirmware KaChosenFirmware() {
    Choice& choice = TheChoice();
    const std::lock_guard lock(choice.mutex);
    if (!choice.firmware) {
        return BuiltInFirmware(KaBuiltInImagesAreFirmware != 0);
    }
    return *choice.firmware;
}
