// Images whose last block ends one to three bytes past a word boundary: the block is sent
// rounded up to whole words with zero bytes, those zeros enter the CRC, and the unit installs
// exactly the image.
#include "Downloader.h"

#include "CapturedOutput.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "ReferenceCrc16.h"
#include "ReplacementImages.h"
#include "ScopedDownloadPauseClock.h"
#include "SimulatedBus.h"
#include "VirtualDownloadPauseClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using kasim::Component;
using kasim::FlashContents;
using kasim::Operation;
using katest::CapturedOutput;
using Bytes = std::vector<std::uint8_t>;

using kawire::kCrcRegister;
using kawire::kDataWindow;
// Where the replacement bitstream's configuration data starts.
constexpr std::size_t kBitstreamStart = 30;

// Image bytes that are never zero, so that a byte left over from the block before shows.
Bytes NonZeroBytes(std::size_t count, unsigned seed) {
    Bytes bytes(count);
    for (std::size_t index = 0; index < count; ++index) {
        bytes[index] = static_cast<std::uint8_t>(((index + seed) * 37 + 11) | 0x01);
    }
    return bytes;
}

// A .bit file: a header, the length field, then the configuration data from its sync word on,
// dataBytes in all.
Bytes Bitstream(std::size_t dataBytes) {
    Bytes file = NonZeroBytes(kBitstreamStart - 4, 3);
    for (auto& byte : file) {
        byte &= 0x7F;  // no 0xFF run that could pass for the sync word
    }
    const auto length = static_cast<std::uint32_t>(dataBytes);
    file.insert(file.end(),
                {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                 static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    const Bytes sync(kawire::kSyncPattern.begin(), kawire::kSyncPattern.end());
    file.insert(file.end(), sync.begin(), sync.end());
    const Bytes rest = NonZeroBytes(dataBytes - sync.size(), 5);
    file.insert(file.end(), rest.begin(), rest.end());
    return file;
}

struct OddCase {
    DOWNLOADTYPE type;
    std::size_t dataBytes;  // sent after the header
};

void PrintTo(const OddCase& c, std::ostream* out) {
    *out << (c.type == fileXILINX ? "Xilinx " : "MCORE ") << c.dataBytes << " bytes";
}

class DownloaderOddSizeTest : public testing::TestWithParam<OddCase> {
  protected:
    DownloaderOddSizeTest() {
        ka_->SetErasePolls(0);
        gDownloadProgress.Reset();
    }
    ~DownloaderOddSizeTest() override { gDownloadProgress.Reset(); }

    katest::ScopedSimulatedKa ka_;
    VirtualDownloadPauseClock clock_;
    ScopedDownloadPauseClock clockInstalled_{clock_};
};

TEST_P(DownloaderOddSizeTest, TheLastBlockIsCompletedWithZerosThatEnterTheCrc) {
    const OddCase c = GetParam();
    const Bytes xilinxFile = Bitstream(c.type == fileXILINX ? c.dataBytes : 300);
    const Bytes mcoreFile = NonZeroBytes(c.type == fileMCORE ? c.dataBytes : 300, 9);
    katest::ReplaceImages(xilinxFile, mcoreFile);
    const Bytes data = c.type == fileXILINX
                           ? Bytes(xilinxFile.begin() + kBitstreamStart, xilinxFile.end())
                           : mcoreFile;
    ASSERT_EQ(data.size(), c.dataBytes);

    SInt32 status = -1;
    katest::Output output;
    {
        CapturedOutput capture;
        {
            const io_service_t service = katest::LookUpKaService();
            auto unit = std::make_unique<DownloadUnit>(service);
            IOObjectRelease(service);
            Downloader downloader;
            downloader.DoDownload(unit.get(), c.type);
            status = downloader.Error();
        }
        output = capture.Take();
    }
    EXPECT_EQ(status, 0) << output.err;
    EXPECT_NE(output.out.find("Update successful.\n\r"), std::string::npos);

    Bytes padded = data;
    padded.resize((data.size() + 3) / 4 * 4, 0);
    std::vector<Bytes> blocks;
    std::optional<std::uint32_t> crcWritten;
    for (const auto& transfer : katest::Transfers(*ka_)) {
        if (transfer.operation == Operation::WriteBlock && transfer.address == kDataWindow) {
            blocks.push_back(transfer.bytes);
        } else if (transfer.operation == Operation::WriteQuadlet &&
                   transfer.address == kCrcRegister) {
            crcWritten = transfer.value;
        }
    }
    ASSERT_EQ(blocks.size(), 1 + (data.size() + 127) / 128);
    // The header announces the image's own length, not the padded one.
    EXPECT_EQ(blocks.front()[4] << 24 | blocks.front()[5] << 16 | blocks.front()[6] << 8 |
                  blocks.front()[7],
              static_cast<int>(data.size()));
    Bytes sent;
    for (std::size_t index = 1; index < blocks.size(); ++index) {
        EXPECT_EQ(blocks[index].size() % 4, 0u) << "block " << index;
        sent.insert(sent.end(), blocks[index].begin(), blocks[index].end());
    }
    EXPECT_EQ(sent, padded);
    ASSERT_TRUE(crcWritten.has_value());
    EXPECT_EQ(*crcWritten, katest::ReferenceCrc16(padded));
    if (data.size() % 4 != 0) {
        // The zeros change the checksum: leaving them out would be caught by the unit.
        EXPECT_NE(*crcWritten, katest::ReferenceCrc16(data));
    }

    const FlashContents flash =
        ka_->Flash(c.type == fileXILINX ? Component::Xilinx : Component::Mcore);
    EXPECT_EQ(flash.state, FlashContents::State::Installed);
    EXPECT_EQ(flash.bytes, data);
}

INSTANTIATE_TEST_SUITE_P(
    LastBlockLengths, DownloaderOddSizeTest,
    testing::Values(OddCase{fileXILINX, 2 * 128 + 1}, OddCase{fileXILINX, 2 * 128 + 2},
                    OddCase{fileXILINX, 2 * 128 + 3}, OddCase{fileXILINX, 2 * 128 + 4},
                    OddCase{fileXILINX, 9}, OddCase{fileMCORE, 1}, OddCase{fileMCORE, 128 + 2},
                    OddCase{fileMCORE, 3 * 128 + 3}, OddCase{fileMCORE, 3 * 128}));

}  // namespace
