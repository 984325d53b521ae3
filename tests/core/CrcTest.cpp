#include <MacTypes.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "BuiltInImages.h"
#include "Downloader.h"

namespace {

// The same checksum computed the plain way, a byte and a bit at a time (CRC-16/XMODEM).
UInt16 ReferenceCrc(std::span<const UInt8> bytes, UInt16 crc = 0) {
    for (UInt8 byte : bytes) {
        crc ^= static_cast<UInt16>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<UInt16>((crc << 1) ^ 0x1021)
                                 : static_cast<UInt16>(crc << 1);
        }
    }
    return crc;
}

std::vector<UInt8> BytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// Image bytes from start to the end, completed with zeros to whole words as they are sent.
std::vector<UInt8> PaddedToWords(std::span<const UInt8> bytes) {
    std::vector<UInt8> padded(bytes.begin(), bytes.end());
    padded.resize((padded.size() + 3) / 4 * 4, 0);
    return padded;
}

class Crc16Test : public testing::Test {
  protected:
    UInt16 Crc(UInt16 start, const std::vector<UInt8>& bytes) {
        return downloader.updateCRC16(start, bytes.data(), static_cast<UInt32>(bytes.size() / 4));
    }

    // Feeds the words in runs of random length, each call continuing the last one's result.
    UInt16 CrcInRandomPieces(const std::vector<UInt8>& bytes, unsigned seed) {
        std::mt19937 random(seed);
        const UInt32 words = static_cast<UInt32>(bytes.size() / 4);
        std::uniform_int_distribution<UInt32> pieceLength(0, 700);
        UInt16 crc = 0;
        for (UInt32 word = 0; word < words;) {
            const UInt32 count = std::min(pieceLength(random), words - word);
            crc = downloader.updateCRC16(crc, bytes.data() + 4 * word, count);
            word += count;
        }
        return crc;
    }

    Downloader downloader;
};

TEST_F(Crc16Test, KnownVectors) {
    EXPECT_EQ(Crc(0, BytesOf("12345678")), 0x9015);
    std::vector<UInt8> nine = BytesOf("123456789");
    nine.resize(12, 0);
    EXPECT_EQ(Crc(0, nine), 0xB192);
    EXPECT_EQ(Crc(0, {0, 0, 0, 0}), 0x0000);
    EXPECT_EQ(Crc(0, {0xFF, 0xFF, 0xFF, 0xFF}), 0x99CF);
}

TEST_F(Crc16Test, NoWordsLeavesTheChecksum) {
    const UInt8 unused[4] = {1, 2, 3, 4};
    for (UInt16 start : {0x0000, 0x1234, 0xFFFF}) {
        EXPECT_EQ(downloader.updateCRC16(start, unused, 0), start);
    }
}

TEST_F(Crc16Test, WordsAreTakenFirstByteMostSignificant) {
    // A host-order word would checksum 78 56 34 12 instead.
    const std::vector<UInt8> bytes = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(Crc(0, bytes), ReferenceCrc(bytes));
    EXPECT_NE(Crc(0, bytes), ReferenceCrc(std::vector<UInt8>{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(Crc16Test, ContinuesFromAnyStartingValue) {
    const std::vector<UInt8> bytes = BytesOf("ABCDEFGHIJKLMNOP");
    for (UInt16 start : {0x0001, 0x8000, 0xBEEF, 0xFFFF}) {
        EXPECT_EQ(Crc(start, bytes), ReferenceCrc(bytes, start)) << start;
    }
}

TEST_F(Crc16Test, AgreesWithByteWiseChecksumOverBothImagesInAnyPieces) {
    const std::vector<std::vector<UInt8>> images = {
        PaddedToWords(katest::McoreFile()),
        PaddedToWords(katest::XilinxFile()),
        // The Xilinx image as it is sent: from the start of its configuration data.
        PaddedToWords(katest::XilinxFile().subspan(74)),
    };
    for (const auto& image : images) {
        const UInt16 expected = ReferenceCrc(image);
        EXPECT_EQ(Crc(0, image), expected);
        for (unsigned seed = 1; seed <= 5; ++seed) {
            EXPECT_EQ(CrcInRandomPieces(image, seed), expected) << "seed " << seed;
        }
    }
}

TEST_F(Crc16Test, ReadsTheBuiltInArrayInPlace) {
    // The whole Xilinx array, its two padding bytes completing the last word.
    const auto array = katest::XilinxArray();
    const UInt16 inPlace = downloader.updateCRC16(0, array.data(), (KaXilinxDataSizeBytes + 3) / 4);
    EXPECT_EQ(inPlace, ReferenceCrc(PaddedToWords(katest::XilinxFile())));
}

}  // namespace
