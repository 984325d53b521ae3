// Definitions of the image symbols, so that the linker never takes the built-in ones
// from their archive for this executable (a second definition would fail the link loudly,
// not silently). They are writable so that each test can choose its images; the program
// reads them through its own const declarations only, which this file does not include.
#include "ReplacementImages.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern "C" {
// Same element types and counts as the program's declarations.
std::uint32_t KaXilinxDataSizeBytes = 0;
std::uint32_t KaXilinxData[84189] = {};
std::uint32_t KaMCORE06dataSize = 0;
std::uint32_t KaMCORE06data[18719] = {};
// Made up like the repository's images.
std::uint32_t KaBuiltInImagesAreFirmware = 0;
std::uint32_t KaBuiltInMCOREVersion = 3;
std::uint32_t KaBuiltInXilinxVersion = 5;
}

namespace katest {
namespace {

// Bytes past the end of an image are never to be read or sent; make them stand out.
constexpr std::uint8_t kBeyondTheImage = 0xEE;

template <std::size_t Words>
void Place(std::uint32_t (&words)[Words], std::uint32_t& size, std::span<const std::uint8_t> file) {
    if (file.size() > sizeof words) {
        throw std::length_error("replacement image larger than its array");
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(words);
    std::fill(bytes, bytes + sizeof words, kBeyondTheImage);
    std::memcpy(bytes, file.data(), file.size());
    size = static_cast<std::uint32_t>(file.size());
}

}  // namespace

void ReplaceImages(std::span<const std::uint8_t> xilinxFile,
                   std::span<const std::uint8_t> mcoreFile) {
    Place(KaXilinxData, KaXilinxDataSizeBytes, xilinxFile);
    Place(KaMCORE06data, KaMCORE06dataSize, mcoreFile);
}

}  // namespace katest
