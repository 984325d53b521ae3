// The Downloader's work on raw image bytes: locating the configuration data of a .bit file,
// the length field in front of it, copying stretches of the built-in images, and the
// CRC-16 over words. Any input is a candidate .bit file; its last bytes also choose the
// CRC's start value and where the CRC is split into two calls.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Downloader.h"
#include "KaXilinx.h"
#include "Ka_MCORE.h"
#include "ThrowingConsistencyCheck.h"

namespace {

using kawire::kSyncPattern;
using kawire::kSyncPositions;

void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_bit_header: %s\n", what);
        std::abort();
    }
}

std::uint32_t BigEndianWord(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// CRC-16/XMODEM (polynomial 0x1021, most significant bit first, no reflection, no final
// xor), one bit at a time.
std::uint16_t ReferenceCrc16(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t index = 0; index < count; ++index) {
        crc ^= static_cast<std::uint16_t>(bytes[index] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

void CheckParseBitFile(const std::uint8_t* data, std::size_t size) {
    // Where the sync word really is, the way the file format puts it: the first match
    // within the first kSyncPositions positions that lies wholly inside the buffer.
    long expected = -1;
    for (std::size_t position = 0;
         position < kSyncPositions && position + kSyncPattern.size() <= size; ++position) {
        if (std::memcmp(data + position, kSyncPattern.data(), kSyncPattern.size()) == 0) {
            expected = static_cast<long>(position);
            break;
        }
    }
    SInt32 offset = -7;
    SInt32 numBytes = -7;
    try {
        const bool found = ParseBitFile(data, static_cast<UInt32>(size), offset, numBytes);
        Require(found, "ParseBitFile returned without finding the sync word");
    } catch (const kafuzz::ConsistencyFailure& failure) {
        Require(expected < 0, "ParseBitFile missed a sync word");
        Require(failure.line == 393 && std::strcmp(failure.module, "Downloader") == 0,
                "ParseBitFile failed the wrong check");
        return;
    }
    Require(expected >= 0, "ParseBitFile found a sync word that is not there");
    Require(offset == expected, "ParseBitFile reported the wrong offset");
    Require(std::memcmp(data + offset, kSyncPattern.data(), kSyncPattern.size()) == 0,
            "no sync word at the offset");
    const SInt32 expectedLength =
        offset >= 4 ? static_cast<SInt32>(BigEndianWord(data + offset - 4)) : 0;
    Require(numBytes == expectedLength, "ParseBitFile read the wrong length field");
}

void CheckFindNumBytes(Downloader& downloader, const std::uint8_t* data, std::size_t size) {
    // Every position a caller may name, including those too close to the start for a
    // length field and a few before the buffer.
    const std::size_t step = size > 64 ? size / 16 : 1;
    for (long position = -4; position <= static_cast<long>(size);
         position += (position < 8 ? 1 : static_cast<long>(step))) {
        SInt32 numBytes = -7;
        const bool found = downloader.FindNumBytes(data, static_cast<SInt32>(position), numBytes);
        if (position < 4) {
            Require(!found, "FindNumBytes read before the buffer");
        } else {
            Require(found, "FindNumBytes gave up on a position with a length field");
            Require(numBytes == static_cast<SInt32>(BigEndianWord(data + position - 4)),
                    "FindNumBytes read the wrong bytes");
        }
    }
}

void CheckCrc(Downloader& downloader, const std::uint8_t* data, std::size_t size) {
    const std::size_t quads = size / 4;
    const std::uint16_t start =
        size >= 2 ? static_cast<std::uint16_t>(data[size - 1] << 8 | data[size - 2]) : 0xFFFF;
    const std::size_t split = size >= 3 ? data[size - 3] % (quads + 1) : 0;
    std::uint16_t crc = downloader.updateCRC16(start, data, static_cast<UInt32>(split));
    crc = downloader.updateCRC16(crc, data + 4 * split, static_cast<UInt32>(quads - split));
    Require(crc == ReferenceCrc16(start, data, 4 * quads), "CRC-16 differs from the reference");
}

void CheckReadImage(Downloader& downloader, const std::uint8_t* data, std::size_t size) {
    if (size < 7) {
        return;
    }
    const auto type = (data[0] & 1) != 0 ? fileXILINX : fileMCORE;
    const UInt32 imageSize = type == fileXILINX ? KaXilinxDataSizeBytes : KaMCORE06dataSize;
    const auto* image =
        reinterpret_cast<const std::uint8_t*>(type == fileXILINX ? KaXilinxData : KaMCORE06data);
    // Offsets near the end of the image are the interesting ones.
    UInt32 ofs = BigEndianWord(data + 1) % (imageSize + 4096);
    if ((data[0] & 2) != 0 && ofs < imageSize) {
        ofs = imageSize - ofs % 4096;
    }
    const UInt32 request = (UInt32{data[5]} << 8 | data[6]) % 4096;
    // Exactly as large as asked, so that a copy of one byte more is caught.
    std::vector<std::uint8_t> buffer(request);
    UInt32 actualCount = 0xDEADBEEF;
    try {
        Require(downloader.ReadImage(type, ofs, request, buffer.data(), actualCount),
                "ReadImage refused a known image");
    } catch (const kafuzz::ConsistencyFailure& failure) {
        Require(failure.line == 84, "ReadImage failed the wrong check");
        Require(ofs > imageSize || std::min(request, imageSize - ofs) >= DL_BUF_SIZE,
                "ReadImage refused a valid request");
        return;
    }
    Require(ofs <= imageSize, "ReadImage accepted an offset past the end");
    const UInt32 expected = std::min(request, imageSize - ofs);
    Require(actualCount == expected, "ReadImage reported the wrong count");
    Require(actualCount < DL_BUF_SIZE, "ReadImage delivered a whole transfer buffer");
    Require(actualCount == 0 || std::memcmp(buffer.data(), image + ofs, actualCount) == 0,
            "ReadImage copied the wrong bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Downloader downloader;
    CheckParseBitFile(data, size);
    CheckFindNumBytes(downloader, data, size);
    CheckCrc(downloader, data, size);
    CheckReadImage(downloader, data, size);
    return 0;
}
