// A firmware folder's SHA256SUMS: any text must be refused with one line that names a file,
// or taken only when each of the three files has exactly one line whose digest is its own.
#include "firmware/FirmwareImageCheck.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::array<std::uint8_t, 1> kXilinx = {'x'};
constexpr std::array<std::uint8_t, 1> kMcore = {'m'};
constexpr std::array<std::uint8_t, 4> kVersion = {'3', '-', '5', '\n'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kafirmware::FirmwareFiles files{kXilinx, kMcore, kVersion, {data, size}};
    const std::string defect = kafirmware::CheckDigests(files);
    if (!defect.empty()) {
        const bool named = defect.starts_with(std::string(kafirmware::kDigestsFileName) + ": ") ||
                           defect.starts_with(std::string(kafirmware::kXilinxFileName) + ": ") ||
                           defect.starts_with(std::string(kafirmware::kMcoreFileName) + ": ") ||
                           defect.starts_with(std::string(kafirmware::kVersionFileName) + ": ");
        if (!named || defect.find('\n') != std::string::npos) {
            std::abort();
        }
        return 0;
    }
    // Taken: the text's lines, in any order and case, are the three the check writes.
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    const std::string expected = kafirmware::DigestsText(files);
    std::size_t lines = 0;
    for (std::size_t start = 0; start < expected.size(); ++lines) {
        const std::size_t end = expected.find('\n', start);
        const std::string_view line = std::string_view(expected).substr(start, end - start);
        const std::string_view digest = line.substr(0, 64);
        const std::string_view name = line.substr(66);
        if (lower.find(std::string(digest) + " ") == std::string::npos ||
            text.find(std::string(name)) == std::string::npos) {
            std::abort();
        }
        start = end + 1;
    }
    if (std::count(text.begin(), text.end(), '\n') != static_cast<std::ptrdiff_t>(lines)) {
        std::abort();
    }
    return 0;
}
