// The Downloader's work on the chosen images: copying stretches of them, locating the
// configuration data in the bitstream file, the firmware header record and the CRC-16.

#include <cstring>
#include <iostream>

#include "ConsistencyCheck.h"
#include "DiagnosticLines.h"
#include "Downloader.h"

namespace {

using kawire::kSyncPattern;
// The sync word may start at any of the first kawire::kSyncPositions positions of the file.
constexpr UInt32 kLastSyncPosition = kawire::kSyncPositions - 1;
constexpr SInt32 kLengthFieldBytes = 4;

UInt32 BigEndianWord(const UInt8* bytes) {
    return (UInt32{bytes[0]} << 24) | (UInt32{bytes[1]} << 16) | (UInt32{bytes[2]} << 8) |
           UInt32{bytes[3]};
}

// The length field is the four bytes in front of position; a sync word at the very start
// of a buffer has none, and nothing before the buffer may be read for it.
bool ReadLengthField(const UInt8* bytes, SInt32 position, SInt32& numBytes) {
    if (position < kLengthFieldBytes) {
        numBytes = 0;
        return false;
    }
    numBytes = static_cast<SInt32>(BigEndianWord(bytes + position - kLengthFieldBytes));
    return true;
}

void PutBigEndian16(UInt8* out, UInt16 value) {
    out[0] = static_cast<UInt8>(value >> 8);
    out[1] = static_cast<UInt8>(value);
}

void PutBigEndian32(UInt8* out, UInt32 value) {
    out[0] = static_cast<UInt8>(value >> 24);
    out[1] = static_cast<UInt8>(value >> 16);
    out[2] = static_cast<UInt8>(value >> 8);
    out[3] = static_cast<UInt8>(value);
}

}  // namespace

FirmwareHeader MakeFirmwareHeader(UInt32 sizeB) {
    FirmwareHeader header{};
    header.valid = kawire::kHeaderValid;
    header.version = kawire::kHeaderVersion;
    header.sizeB = sizeB;
    // The image's checksum travels separately, after the data.
    header.CRCimage = kawire::kHeaderCrcImage;
    header.reserved0 = kawire::kHeaderReserved16;
    header.reserved1 = kawire::kHeaderReserved32;
    header.reserved2 = kawire::kHeaderReserved32;
    return header;
}

void SerializeFirmwareHeader(const FirmwareHeader& header, UInt8 (&bytes)[kFirmwareHeaderBytes]) {
    PutBigEndian16(bytes + kawire::kHeaderValidAt, header.valid);
    PutBigEndian16(bytes + kawire::kHeaderVersionAt, header.version);
    PutBigEndian32(bytes + kawire::kHeaderSizeAt, header.sizeB);
    PutBigEndian16(bytes + kawire::kHeaderCrcImageAt, header.CRCimage);
    PutBigEndian16(bytes + kawire::kHeaderReserved0At, header.reserved0);
    PutBigEndian32(bytes + kawire::kHeaderReserved1At, header.reserved1);
    PutBigEndian32(bytes + kawire::kHeaderReserved2At, header.reserved2);
}

bool ParseBitFile(const UInt8* bitFile, UInt32 bitFileBytes, SInt32& offset, SInt32& numBytes) {
    bool found = false;
    UInt32 position = 0;
    // A short buffer is searched only as far as a whole pattern still fits in it.
    while (position <= kLastSyncPosition && position + kSyncPattern.size() <= bitFileBytes) {
        if (std::memcmp(bitFile + position, kSyncPattern.data(), kSyncPattern.size()) == 0) {
            found = true;
            break;
        }
        ++position;
    }
    offset = static_cast<SInt32>(position);
    CheckConsistency(found, "Downloader", 393, "true == found");
    ReadLengthField(bitFile, offset, numBytes);
    return found;
}

bool Downloader::ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, void* buf,
                           UInt32& actualCount) {
    const UInt8* image = nullptr;
    UInt32 imageSize = 0;
    switch (type) {
        case fileXILINX:
            image = _firmware.xilinxFile.data();
            imageSize = static_cast<UInt32>(_firmware.xilinxFile.size());
            break;
        case fileMCORE:
            image = _firmware.mcoreFile.data();
            imageSize = static_cast<UInt32>(_firmware.mcoreFile.size());
            break;
        default:
            std::cerr << kInvalidFileTypeLine;
            actualCount = 0;
            return false;
    }

    // An offset past the end is a caller's fault; it stops here rather than wrapping the
    // count or the source pointer around.
    CheckConsistency(ofs <= imageSize, "Downloader", 84, "actualCount < DL_BUF_SIZE");
    const UInt32 remaining = imageSize - ofs;
    actualCount = size < remaining ? size : remaining;
    CheckConsistency(actualCount < DL_BUF_SIZE, "Downloader", 84, "actualCount < DL_BUF_SIZE");
    if (actualCount > 0) {
        std::memcpy(buf, image + ofs, actualCount);
    }
    return true;
}

bool Downloader::ParseBit(SInt32& offset, SInt32& numBytes) {
    return ParseBitFile(_firmware.xilinxFile.data(),
                        static_cast<UInt32>(_firmware.xilinxFile.size()), offset, numBytes);
}

bool Downloader::FindNumBytes(const UInt8* header, SInt32 size, SInt32& numBytes) {
    return ReadLengthField(header, size, numBytes);
}

UInt16 Downloader::updateCRC16(UInt16 currentCRC, const UInt8* buffer, UInt32 numQuads) {
    // x^16 + x^12 + x^5 + 1, a nibble at a time, most significant first. Only the low 16 bits
    // of the accumulator matter, so it is left unmasked inside the loop.
    UInt32 crc16 = currentCRC;
    for (UInt32 index = 0; index < numQuads; ++index) {
        const UInt32 quad = BigEndianWord(buffer + std::size_t{4} * index);
        for (int shift = 28; shift >= 0; shift -= 4) {
            const UInt32 sum = ((crc16 >> 12) ^ (quad >> shift)) & 0xF;
            crc16 = (crc16 << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
    }
    return static_cast<UInt16>(crc16);
}
