// Stands in for the built-in images in the executable that links it, with contents a test
// chooses. The built-in images both end on a word boundary, so only a replacement can show
// how a last block that ends one to three bytes past one is completed.
#ifndef KA_TESTS_ODDSIZE_REPLACEMENTIMAGES_H
#define KA_TESTS_ODDSIZE_REPLACEMENTIMAGES_H

#include <cstdint>
#include <span>

namespace katest {

// Replaces both images; each must fit the arrays the program declares for them. Call only
// while no download runs.
void ReplaceImages(std::span<const std::uint8_t> xilinxFile,
                   std::span<const std::uint8_t> mcoreFile);

}  // namespace katest

#endif
