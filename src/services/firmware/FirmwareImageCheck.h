// The checks a folder of Ka firmware must pass before anything of it reaches a unit: the two
// files the updater installs, each with the size, layout and records the unit takes, neither
// of them one of the made-up images the repository carries, and the version file that says
// which release they are. The build runs these at configure time on a folder it builds in;
// the updater runs the same on a folder it reads at start. A wrong file would be flashed.
#ifndef KA_SERVICES_FIRMWARE_FIRMWAREIMAGECHECK_H
#define KA_SERVICES_FIRMWARE_FIRMWAREIMAGECHECK_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kafirmware {

inline constexpr const char* kXilinxFileName = "KaXilinx.bit";
inline constexpr const char* kMcoreFileName = "Ka_MCORE.s19";
inline constexpr const char* kVersionFileName = "version";
// The SHA-256 of each of the three, in sha256sum's own format: `sha256sum -c SHA256SUMS` in
// the folder checks it by hand. A byte changed since the folder was packaged, or files of
// two releases mixed by an upgrade under way, differ from it.
inline constexpr const char* kDigestsFileName = "SHA256SUMS";
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

// The version file's text: one line "M-X", both decimal numbers the unit's 16-bit fields
// hold (0 to 65535) written as the version text prints them, without leading zeros; with or
// without a final LF. The version, or nullopt with defect saying what is wrong.
std::optional<FirmwareVersion> ParseVersionText(std::string_view text, std::string& defect);

// The three files of a firmware folder, as read, and its SHA256SUMS.
struct FirmwareFiles {
    std::span<const std::uint8_t> xilinx;
    std::span<const std::uint8_t> mcore;
    std::span<const std::uint8_t> version;
    std::span<const std::uint8_t> digests;
};

// SHA256SUMS for the three files, as sha256sum writes it.
std::string DigestsText(const FirmwareFiles& files);

// What is wrong with files.digests, or with a file that differs from its line in it, as
// "<file name>: <defect>"; empty when the three files are the ones it names.
std::string CheckDigests(const FirmwareFiles& files);

// The first defect of the three files and their digests, as "<file name>: <defect>", or
// empty when they are fit to be installed; version then holds the release. madeUp, when given,
// holds the repository's made-up images, which are refused even though they pass every other check.
std::string CheckFirmwareFiles(const FirmwareFiles& files, const FirmwareFiles* madeUp,
                               FirmwareVersion& version);

// The first defect of the folder's files, as one line that names the file, or empty when
// they are fit to be built in; version then holds the release. The folder is read as the
// updater reads one (FirmwareFolder.h): no links, regular files of at most
// kLargestFirmwareFile bytes, whoever owns them. madeUpFolder holds the repository's made-up
// images.
std::string CheckFirmwareFolder(const std::filesystem::path& folder,
                                const std::filesystem::path& madeUpFolder,
                                FirmwareVersion& version);

}  // namespace kafirmware

#endif
