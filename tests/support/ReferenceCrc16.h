// CRC-16/XMODEM (polynomial 0x1021, initial 0) the plain way, a byte and a bit at a time, to
// check what the sequencer computes in words and nibbles.
#ifndef KA_TESTS_REFERENCECRC16_H
#define KA_TESTS_REFERENCECRC16_H

#include <cstdint>
#include <span>

namespace katest {

inline std::uint16_t ReferenceCrc16(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0) {
    for (const std::uint8_t byte : bytes) {
        crc ^= static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

}  // namespace katest

#endif
