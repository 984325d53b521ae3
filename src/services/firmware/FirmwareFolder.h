// Reading a folder of firmware files the program installs on a unit. A folder installed on
// the system by a package is trusted only as far as the system protects it: it and its
// files must belong to the system's administrator and be writable by no one else, and no
// symbolic link may stand for either. Each file is read through the descriptor that was
// checked, so nothing can be swapped in between the check and the read.
#ifndef KA_SERVICES_FIRMWARE_FIRMWAREFOLDER_H
#define KA_SERVICES_FIRMWARE_FIRMWAREFOLDER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kafirmware {

// Where a firmware package installs the Ka's firmware.
inline constexpr const char* kSystemFirmwareFolder = "/usr/lib/firmware/ka";
// The user who owns what the system's packages install.
inline constexpr std::uint32_t kSystemAdministrator = 0;
// Far more than either image; a larger file is refused before anything of it is read.
inline constexpr std::size_t kLargestFirmwareFile = std::size_t{1} << 20;

struct FirmwareFolderRead {
    // "<path>: <what is wrong>", or empty when every file was read.
    std::string defect;
    // The files' bytes, in the order they were asked for.
    std::vector<std::vector<std::uint8_t>> files;
    // The folder as an absolute path, for telling where a release came from.
    std::string absolutePath;
};

// Reads the named files of folder once, each at most largestFile bytes. With requiredOwner,
// the folder and each file must belong to that user and be writable neither by their group
// nor by others; without, ownership is left out. A path that ends in a slash names what a
// link at its end points to; the link is refused all the same.
FirmwareFolderRead ReadFirmwareFolder(const std::string& folder, std::span<const char* const> names,
                                      std::optional<std::uint32_t> requiredOwner,
                                      std::size_t largestFile);

}  // namespace kafirmware

#endif
