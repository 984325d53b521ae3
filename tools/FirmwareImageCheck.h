// The checks a folder of Ka firmware must pass before anything of it reaches a unit: the two
// files the updater installs, each with the size, layout and records the unit takes, neither
// of them one of the made-up images the repository carries, and the version file that says
// which release they are. The build runs these at configure time on a folder it builds in;
// the updater runs the same on a folder it reads at start. A wrong file would be flashed.
#ifndef KA_TOOLS_FIRMWAREIMAGECHECK_H
#define KA_TOOLS_FIRMWAREIMAGECHECK_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace firmwarecheck {

inline constexpr const char* kXilinxFileName = "KaXilinx.bit";
inline constexpr const char* kMcoreFileName = "Ka_MCORE.s19";
inline constexpr const char* kVersionFileName = "version";
inline constexpr std::size_t kXilinxFileBytes = 336754;
inline constexpr std::size_t kMcoreFileBytes = 74876;

// What is wrong with a .bit file's bytes, or empty when nothing is.
std::string CheckXilinxImage(std::span<const std::uint8_t> file);

// What is wrong with an S-record image's text, or empty when nothing is.
std::string CheckMcoreImage(std::string_view text);

// The release a folder holds, as the window writes it: MCORE version, dash, Xilinx version.
struct FirmwareVersion {
    std::uint32_t mcore = 0;
    std::uint32_t xilinx = 0;
};

// The version file's text: one line "M-X", both decimal, at most five digits each, with or
// without a final LF. The version, or nullopt with defect saying what is wrong.
std::optional<FirmwareVersion> ParseVersionText(std::string_view text, std::string& defect);

// The three files of a firmware folder, as read.
struct FirmwareFiles {
    std::span<const std::uint8_t> xilinx;
    std::span<const std::uint8_t> mcore;
    std::span<const std::uint8_t> version;
};

// The first defect of the three files, as "<file name>: <defect>", or empty when they are fit
// to be installed; version then holds the release. madeUp, when given, holds the repository's
// made-up images, which are refused even though they pass every other check.
std::string CheckFirmwareFiles(const FirmwareFiles& files, const FirmwareFiles* madeUp,
                               FirmwareVersion& version);

// The first defect of the folder's files, as one line that names the file, or empty when
// they are fit to be built in; version then holds the release. madeUpFolder holds the
// repository's made-up images.
std::string CheckFirmwareFolder(const std::filesystem::path& folder,
                                const std::filesystem::path& madeUpFolder,
                                FirmwareVersion& version);

}  // namespace firmwarecheck

#endif
