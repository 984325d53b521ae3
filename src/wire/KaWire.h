// What the updater and the Ka agree on over the bus, written once: the unit directory's values,
// the update registers and what is written to them and read back, the header ahead of every
// image, and where a .bit file's configuration data starts. The sequencer, the firmware checks
// and the simulated Ka all take them from here. Standard C++ only, no Mac types.
#ifndef KA_WIRE_KAWIRE_H
#define KA_WIRE_KAWIRE_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace kawire {

// The unit directory's values: the updater looks a unit up by them and touches no other node.
inline constexpr std::uint32_t kUnitSpecifierId = 0x000A27;
inline constexpr std::uint32_t kUnitSoftwareVersion = 0x000011;

// The update registers: quadlets at fixed offsets in one block of the unit's address space, the
// data window that takes the header and the image, the serial number behind the window.
inline constexpr std::uint16_t kRegisterAddressHi = 0xFFFF;
inline constexpr std::uint32_t kRegisterBlockLo = 0xF0430000;
inline constexpr std::uint32_t kUpdateControlOffset = 0x00;
inline constexpr std::uint32_t kSoftwareVersionOffset = 0x04;
inline constexpr std::uint32_t kProductRevisionOffset = 0x08;
inline constexpr std::uint32_t kUpdateCommandOffset = 0x0C;
inline constexpr std::uint32_t kCrcOffset = 0x10;
inline constexpr std::uint32_t kStatusOffset = 0x14;
inline constexpr std::uint32_t kDataWindowOffset = 0x20;
// Counted from the data window, not from the block.
inline constexpr std::uint32_t kSerialNumberFromDataWindow = 0x200;
inline constexpr std::uint32_t kSerialNumberBytes = 8;

// The same registers as the 48-bit addresses a transaction carries.
constexpr std::uint64_t RegisterAddress(std::uint32_t addressLo) {
    return std::uint64_t{kRegisterAddressHi} << 32 | addressLo;
}
inline constexpr std::uint64_t kRegisterBlock = RegisterAddress(kRegisterBlockLo);
inline constexpr std::uint64_t kUpdateControlRegister = kRegisterBlock + kUpdateControlOffset;
inline constexpr std::uint64_t kSoftwareVersionRegister = kRegisterBlock + kSoftwareVersionOffset;
inline constexpr std::uint64_t kProductRevisionRegister = kRegisterBlock + kProductRevisionOffset;
inline constexpr std::uint64_t kUpdateCommandRegister = kRegisterBlock + kUpdateCommandOffset;
inline constexpr std::uint64_t kCrcRegister = kRegisterBlock + kCrcOffset;
inline constexpr std::uint64_t kStatusRegister = kRegisterBlock + kStatusOffset;
inline constexpr std::uint64_t kDataWindow = kRegisterBlock + kDataWindowOffset;
inline constexpr std::uint64_t kSerialNumberAddress = kDataWindow + kSerialNumberFromDataWindow;

// Update control: the unit takes image data only between a begin and the CRC write or a cancel;
// bit 0 reads set while that is so, which is how a cancel is seen to have taken.
inline constexpr std::uint32_t kControlBeginUpdate = 1;
inline constexpr std::uint32_t kControlCancel = 2;
inline constexpr std::uint32_t kControlUpdateActive = 1;

// Update command: which of the two flashes the unit erases and then fills from the data window.
inline constexpr std::uint32_t kUpdateCommandXilinx = 0;
inline constexpr std::uint32_t kUpdateCommandMcore = 1;

// Status register: the unit says whether it may be sent the next step, is still erasing (or
// still putting a broken-off start away), or gave up on the erase.
inline constexpr std::uint32_t kStatusBusy = 0;
inline constexpr std::uint32_t kStatusReady = 1;
inline constexpr std::uint32_t kStatusEraseFailed = 2;

// The header the unit takes ahead of every image: it learns the image's size from it and refuses
// an image whose fixed fields differ. Every field travels big-endian at the offsets below.
struct FirmwareHeader {
    std::uint16_t valid;
    std::uint16_t version;
    std::uint32_t sizeB;
    std::uint16_t CRCimage;
    std::uint16_t reserved0;
    std::uint32_t reserved1;
    std::uint32_t reserved2;
};
inline constexpr std::uint32_t kFirmwareHeaderBytes = 20;
inline constexpr std::size_t kHeaderValidAt = 0;
inline constexpr std::size_t kHeaderVersionAt = 2;
inline constexpr std::size_t kHeaderSizeAt = 4;
inline constexpr std::size_t kHeaderCrcImageAt = 8;
inline constexpr std::size_t kHeaderReserved0At = 10;
inline constexpr std::size_t kHeaderReserved1At = 12;
inline constexpr std::size_t kHeaderReserved2At = 16;
static_assert(sizeof(FirmwareHeader) == kFirmwareHeaderBytes);
static_assert(offsetof(FirmwareHeader, valid) == kHeaderValidAt &&
              offsetof(FirmwareHeader, version) == kHeaderVersionAt &&
              offsetof(FirmwareHeader, sizeB) == kHeaderSizeAt &&
              offsetof(FirmwareHeader, CRCimage) == kHeaderCrcImageAt &&
              offsetof(FirmwareHeader, reserved0) == kHeaderReserved0At &&
              offsetof(FirmwareHeader, reserved1) == kHeaderReserved1At &&
              offsetof(FirmwareHeader, reserved2) == kHeaderReserved2At);
// The fixed fields. The image's own CRC travels after the data, to the CRC register.
inline constexpr std::uint16_t kHeaderValid = 0xFFFF;
inline constexpr std::uint16_t kHeaderVersion = 1;
inline constexpr std::uint16_t kHeaderCrcImage = 0xFFFF;
inline constexpr std::uint16_t kHeaderReserved16 = 0xFFFF;
inline constexpr std::uint32_t kHeaderReserved32 = 0xFFFFFFFF;

// A .bit file's configuration data, all the unit is sent of it, starts at the first sync
// pattern among the file's first kSyncPositions positions; a file without one there is refused.
inline constexpr std::array<std::uint8_t, 8> kSyncPattern = {0xFF, 0xFF, 0xFF, 0xFF,
                                                             0xAA, 0x99, 0x55, 0x66};
inline constexpr std::size_t kSyncPositions = 144;

}  // namespace kawire

#endif
