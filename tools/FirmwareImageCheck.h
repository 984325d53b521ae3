// The checks a folder of Ka firmware must pass before a build carries it: the two files the
// updater installs, each with the size, layout and records of the firmware version the
// updater announces, and neither of them one of the made-up images the repository carries.
// The build runs these at configure time; a build that carried a wrong file would flash it.
#ifndef KA_TOOLS_FIRMWAREIMAGECHECK_H
#define KA_TOOLS_FIRMWAREIMAGECHECK_H

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace firmwarecheck {

inline constexpr const char* kXilinxFileName = "KaXilinx.bit";
inline constexpr const char* kMcoreFileName = "Ka_MCORE.s19";
inline constexpr std::size_t kXilinxFileBytes = 336754;
inline constexpr std::size_t kMcoreFileBytes = 74876;

// What is wrong with a .bit file's bytes, or empty when nothing is.
std::string CheckXilinxImage(std::span<const std::uint8_t> file);

// What is wrong with an S-record image's text, or empty when nothing is.
std::string CheckMcoreImage(std::string_view text);

// The first defect of the folder's two files, as one line that names the file, or empty when
// both are fit to be built in. madeUpFolder holds the repository's made-up images, which are
// refused even though they pass every other check.
std::string CheckFirmwareFolder(const std::filesystem::path& folder,
                                const std::filesystem::path& madeUpFolder);

}  // namespace firmwarecheck

#endif
