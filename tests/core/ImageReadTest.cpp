#include <MacTypes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "BuiltInImages.h"
#include "Downloader.h"
#include "StreamRecording.h"

namespace {

constexpr auto& kSync = kawire::kSyncPattern;
constexpr UInt8 kUntouched = 0x5A;

class ReadImageTest : public testing::Test {
  protected:
    // Reads into a buffer filled with a marker, so bytes beyond those delivered show.
    std::vector<UInt8> Read(DOWNLOADTYPE type, UInt32 ofs, UInt32 size) {
        buffer.assign(DL_BUF_SIZE, kUntouched);
        actualCount = 0xDEADBEEF;
        result = downloader.ReadImage(type, ofs, size, buffer.data(), actualCount);
        return {buffer.begin(), buffer.begin() + std::min<UInt32>(actualCount, DL_BUF_SIZE)};
    }

    bool Untouched(UInt32 from) const {
        return std::all_of(buffer.begin() + from, buffer.end(),
                           [](UInt8 byte) { return byte == kUntouched; });
    }

    static std::vector<UInt8> Slice(std::span<const UInt8> image, UInt32 ofs, UInt32 size) {
        const auto part = image.subspan(ofs, size);
        return {part.begin(), part.end()};
    }

    Downloader downloader;
    std::vector<UInt8> buffer;
    UInt32 actualCount = 0;
    bool result = false;
};

TEST_F(ReadImageTest, DeliversTheRequestedStretch) {
    EXPECT_EQ(Read(fileMCORE, 0, 128), Slice(katest::McoreFile(), 0, 128));
    EXPECT_TRUE(result);
    EXPECT_EQ(actualCount, 128u);
    EXPECT_TRUE(Untouched(128));
    EXPECT_EQ(Read(fileXILINX, 74, 128), Slice(katest::XilinxFile(), 74, 128));
    EXPECT_EQ(Read(fileXILINX, 1000, 2051), Slice(katest::XilinxFile(), 1000, 2051));
}

TEST_F(ReadImageTest, LastBlocksDeliverTheRestOfTheImage) {
    EXPECT_EQ(Read(fileMCORE, 74752, 128), Slice(katest::McoreFile(), 74752, 124));
    EXPECT_EQ(actualCount, 124u);
    EXPECT_TRUE(Untouched(124));
    EXPECT_EQ(Read(fileXILINX, 336714, 128), Slice(katest::XilinxFile(), 336714, 40));
    EXPECT_EQ(actualCount, 40u);
    // The padding after the file is not part of the image.
    EXPECT_TRUE(Untouched(40));
}

TEST_F(ReadImageTest, RequestEndingAtTheEndAndRequestAtTheEnd) {
    EXPECT_EQ(Read(fileMCORE, 74876 - 100, 100), Slice(katest::McoreFile(), 74776, 100));
    EXPECT_EQ(actualCount, 100u);
    Read(fileMCORE, 74876, 128);
    EXPECT_TRUE(result);
    EXPECT_EQ(actualCount, 0u);
    EXPECT_TRUE(Untouched(0));
    Read(fileXILINX, 336754, 128);
    EXPECT_EQ(actualCount, 0u);
    EXPECT_TRUE(Untouched(0));
}

TEST_F(ReadImageTest, UnknownTypeDeliversNothing) {
    {
        // Through the same stream as every other line, so that a shared log keeps the order.
        katest::ScopedStreamRecording recording;
        Read(static_cast<DOWNLOADTYPE>(2), 0, 128);
        EXPECT_EQ(recording.Err().Text(), "Read Image : Invalid file type\n\r");
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(actualCount, 0u);
    EXPECT_TRUE(Untouched(0));
}

using ReadImageDeathTest = ReadImageTest;

TEST_F(ReadImageDeathTest, OversizedRequestStops) {
    const char* failure = "Downloader:84: failed assertion `actualCount < DL_BUF_SIZE'";
    EXPECT_DEATH(Read(fileXILINX, 0, DL_BUF_SIZE), failure);
    // Past the end, including offsets where offset + size wraps around to a small number.
    EXPECT_DEATH(Read(fileMCORE, 74877, 1), failure);
    EXPECT_DEATH(Read(fileXILINX, 336755, 0), failure);
    EXPECT_DEATH(Read(fileMCORE, 0xFFFFFF00, 0x200), failure);
    EXPECT_DEATH(Read(fileXILINX, 0xFFFFFFFF, 1), failure);
}

TEST(FirmwareHeaderTest, BytesForBothImages) {
    std::array<UInt8, 20> expected{};
    expected.fill(0xFF);

    UInt8 bytes[kFirmwareHeaderBytes];
    SerializeFirmwareHeader(MakeFirmwareHeader(336680), bytes);
    std::copy_n(std::array<UInt8, 8>{0xFF, 0xFF, 0x00, 0x01, 0x00, 0x05, 0x23, 0x28}.begin(), 8,
                expected.begin());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes));

    SerializeFirmwareHeader(MakeFirmwareHeader(74876), bytes);
    std::copy_n(std::array<UInt8, 8>{0xFF, 0xFF, 0x00, 0x01, 0x00, 0x01, 0x24, 0x7C}.begin(), 8,
                expected.begin());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes));
}

TEST(FirmwareHeaderTest, EveryFieldBigEndianInFieldOrder) {
    const FirmwareHeader header{0x0102, 0x0304, 0x05060708, 0x090A, 0x0B0C, 0x0D0E0F10, 0x11121314};
    UInt8 bytes[kFirmwareHeaderBytes];
    SerializeFirmwareHeader(header, bytes);
    for (UInt8 index = 0; index < kFirmwareHeaderBytes; ++index) {
        EXPECT_EQ(bytes[index], index + 1) << "byte " << int{index};
    }
}

class ParseBitTest : public testing::Test {
  protected:
    // A buffer of filler with the sync word at position and a length field before it.
    static std::vector<UInt8> WithSyncAt(std::size_t position, std::size_t size = 400) {
        std::vector<UInt8> bytes(size, 0x00);
        std::copy(std::begin(kSync), std::end(kSync), bytes.begin() + position);
        if (position >= 4) {
            const UInt8 length[4] = {0x00, 0x01, 0x02, 0x03};
            std::copy(std::begin(length), std::end(length), bytes.begin() + position - 4);
        }
        return bytes;
    }

    bool Parse(const std::vector<UInt8>& bytes) {
        offset = -1;
        numBytes = -1;
        return ParseBitFile(bytes.data(), static_cast<UInt32>(bytes.size()), offset, numBytes);
    }

    SInt32 offset = -1;
    SInt32 numBytes = -1;
};

TEST_F(ParseBitTest, BuiltInImage) {
    Downloader downloader;
    EXPECT_TRUE(downloader.ParseBit(offset, numBytes));
    EXPECT_EQ(offset, 74);
    EXPECT_EQ(numBytes, 336680);
    EXPECT_EQ(numBytes, static_cast<SInt32>(KaXilinxDataSizeBytes) - offset);
}

TEST_F(ParseBitTest, SearchesTheFirst144Positions) {
    EXPECT_TRUE(Parse(WithSyncAt(143)));
    EXPECT_EQ(offset, 143);
    EXPECT_EQ(numBytes, 0x00010203);
    EXPECT_TRUE(Parse(WithSyncAt(4)));
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(numBytes, 0x00010203);
}

TEST_F(ParseBitTest, FirstMatchWins) {
    auto bytes = WithSyncAt(100);
    std::copy(std::begin(kSync), std::end(kSync), bytes.begin() + 20);
    EXPECT_TRUE(Parse(bytes));
    EXPECT_EQ(offset, 20);
}

TEST_F(ParseBitTest, SyncWordWithoutRoomForALengthField) {
    // Nothing in front of the buffer is read; there is no length to report.
    for (std::size_t position : {0, 1, 3}) {
        EXPECT_TRUE(Parse(WithSyncAt(position)));
        EXPECT_EQ(offset, static_cast<SInt32>(position));
        EXPECT_EQ(numBytes, 0);
    }
}

TEST_F(ParseBitTest, LengthFieldWithItsTopBitSet) {
    auto bytes = WithSyncAt(10);
    const UInt8 length[4] = {0x80, 0x00, 0x00, 0x01};
    std::copy(std::begin(length), std::end(length), bytes.begin() + 6);
    EXPECT_TRUE(Parse(bytes));
    EXPECT_EQ(static_cast<UInt32>(numBytes), 0x80000001u);
}

TEST_F(ParseBitTest, FindNumBytesReadsTheFourBytesBeforeThePosition) {
    Downloader downloader;
    const UInt8 bytes[6] = {0xAB, 0x12, 0x34, 0x56, 0x78, 0xCD};
    EXPECT_TRUE(downloader.FindNumBytes(bytes, 5, numBytes));
    EXPECT_EQ(numBytes, 0x12345678);
    EXPECT_FALSE(downloader.FindNumBytes(bytes + 2, 3, numBytes));
    EXPECT_EQ(numBytes, 0);
    EXPECT_TRUE(downloader.FindNumBytes(katest::XilinxFile().data(), 74, numBytes));
    EXPECT_EQ(numBytes, 336680);
}

using ParseBitDeathTest = ParseBitTest;

TEST_F(ParseBitDeathTest, NoSyncWordInTheSearchedRangeStops) {
    const char* failure = "Downloader:393: failed assertion `true == found'";
    EXPECT_DEATH(Parse(std::vector<UInt8>(400, 0xFF)), failure);
    EXPECT_DEATH(Parse(WithSyncAt(144)), failure);
    // A buffer too short to hold the word is not read past its end.
    auto partial = WithSyncAt(0, 8);
    partial.pop_back();
    EXPECT_DEATH(Parse(partial), failure);
}

}  // namespace
