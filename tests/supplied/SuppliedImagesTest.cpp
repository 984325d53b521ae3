// An updater built with a supplied image pair installs that pair: whole update runs on the
// simulated unit, and what the unit received for each image (the header record, the blocks,
// the CRC) is taken apart and held against the files, not against data/.
#include "CapturedOutput.h"
#include "KaFirmware.h"
#include "KaXilinx.h"
#include "Ka_MCORE.h"
#include "ReferenceCrc16.h"
#include "ScopedDownloadPauseClock.h"
#include "SimulatedBus.h"
#include "VirtualDownloadPauseClock.h"
#include "virorividizezuzu.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const fs::path kSuppliedFolder = KA_SUPPLIED_IMAGE_DIR;
const fs::path kMadeUpFolder = fs::path(KA_SOURCE_DIR) / "data";
constexpr std::size_t kXilinxDataOffset = 74;

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes BigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// The header record the unit must get ahead of an image of sizeB bytes.
Bytes HeaderFor(std::uint32_t sizeB) {
    Bytes header = {0xFF, 0xFF, 0x00, 0x01};
    const Bytes size = BigEndian32(sizeB);
    header.insert(header.end(), size.begin(), size.end());
    header.insert(header.end(), 12, 0xFF);
    return header;
}

// The checksum of the bytes sent, a final partial word completed with zeros.
std::uint16_t CrcOf(Bytes bytes) {
    bytes.resize((bytes.size() + 3) / 4 * 4, 0);
    return katest::ReferenceCrc16(bytes);
}

// What the unit received while installing one image: the erase command's value names it.
struct Received {
    std::optional<Bytes> header;
    Bytes data;
    std::optional<std::uint32_t> crc;
};

void Collect(const kasim::SimulatedKa& ka, Received& xilinx, Received& mcore) {
    Received* current = nullptr;
    for (const kasim::Transaction& transfer : katest::Transfers(ka)) {
        if (transfer.status != kIOReturnSuccess) {
            continue;
        }
        if (transfer.operation == kasim::Operation::WriteQuadlet &&
            transfer.address == kasim::kUpdateCommandRegister) {
            current = transfer.value == 0 ? &xilinx : &mcore;
        } else if (current == nullptr) {
            continue;
        } else if (transfer.operation == kasim::Operation::WriteBlock) {
            if (!current->header) {
                current->header = transfer.bytes;
            } else {
                current->data.insert(current->data.end(), transfer.bytes.begin(),
                                     transfer.bytes.end());
            }
        } else if (transfer.operation == kasim::Operation::WriteQuadlet &&
                   transfer.address == kasim::kCrcRegister) {
            current->crc = transfer.value;
        }
    }
}

TEST(SuppliedImagesTest, TheUnitReceivesTheSuppliedFilesNotTheMadeUpOnes) {
    const Bytes xilinxFile = ReadFile(kSuppliedFolder / "KaXilinx.bit");
    const Bytes mcoreFile = ReadFile(kSuppliedFolder / "Ka_MCORE.s19");
    ASSERT_EQ(xilinxFile.size(), 336754u);
    ASSERT_EQ(mcoreFile.size(), 74876u);
    ASSERT_NE(xilinxFile, ReadFile(kMadeUpFolder / "KaXilinx.bit"));
    ASSERT_NE(mcoreFile, ReadFile(kMadeUpFolder / "Ka_MCORE.s19"));
    // A build given images takes them for firmware: with no choice made, as in the hardware
    // updater, they may be installed, and their folder's version is the one offered.
    EXPECT_EQ(KaBuiltInImagesAreFirmware, 1u);
    const KaFirmware firmware = KaChosenFirmware();
    EXPECT_TRUE(firmware.mayBeInstalled);
    EXPECT_EQ(firmware.MCOREver, 3u);
    EXPECT_EQ(firmware.XilinxVer, 6u);

    kasim::SimulatedKaConfig config;
    config.erasePolls = 1;
    katest::ScopedSimulatedKa ka(config);
    VirtualDownloadPauseClock clock;
    ScopedDownloadPauseClock installed(clock);
    katest::CapturedOutput quiet;
    IOReturn status = kIOReturnBusy;
    {
        Orv::VEV::CViRorividiZezuzu controller;
        ASSERT_TRUE(controller.IsFound());
        controller.AcceptUpdate();
        ka->ClearTransactions();
        ASSERT_TRUE(controller.DoUpdate());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (!controller.GetDoneStatus() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(controller.GetDoneStatus()) << "the update did not end in time";
        status = controller.GetUpdateStatus();
    }
    EXPECT_EQ(status, kIOReturnSuccess);

    Received xilinx;
    Received mcore;
    Collect(*ka, xilinx, mcore);

    const Bytes xilinxData(xilinxFile.begin() + kXilinxDataOffset, xilinxFile.end());
    EXPECT_EQ(xilinx.header, HeaderFor(static_cast<std::uint32_t>(xilinxData.size())));
    EXPECT_TRUE(xilinx.data == xilinxData) << "the configuration data sent is not the file's";
    EXPECT_EQ(xilinx.crc, CrcOf(xilinxData));

    EXPECT_EQ(mcore.header, HeaderFor(static_cast<std::uint32_t>(mcoreFile.size())));
    EXPECT_TRUE(mcore.data == mcoreFile) << "the S-record text sent is not the file's";
    EXPECT_EQ(mcore.crc, CrcOf(mcoreFile));

    EXPECT_TRUE(ka->Flash(kasim::Component::Xilinx).bytes == xilinxData);
    EXPECT_TRUE(ka->Flash(kasim::Component::Mcore).bytes == mcoreFile);
}

// A build that carries the Ka's firmware installs it even where a firmware package put
// another good release on the system (the generator's folder, 3-5 against the built-in 3-6).
TEST(SuppliedImagesTest, BuiltInFirmwareWinsOverTheSystemFolder) {
    EXPECT_EQ(KaChooseFirmware(KaFirmwareRule::KaFirmwareOnly,
                               KaFirmwareFolder{KA_SUPPLIED_IMAGE_DIR, getuid()}),
              "Ka firmware to install: 3-6, built in");
    const KaFirmware firmware = KaChosenFirmware();
    EXPECT_TRUE(firmware.mayBeInstalled);
    EXPECT_EQ(firmware.xilinxFile.data(), reinterpret_cast<const UInt8*>(KaXilinxData));
    EXPECT_EQ(firmware.mcoreFile.data(), reinterpret_cast<const UInt8*>(KaMCORE06data));
}

}  // namespace
