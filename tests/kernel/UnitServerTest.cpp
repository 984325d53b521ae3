// The unit of the kernel check, without the kernel: what each request to the node gets back,
// and what the bus faults do instead.
#include "BusFault.h"
#include "UnitServer.h"

#include <linux/firewire-constants.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using kaunit::BusFaultKind;
using kaunit::BusFaultTarget;
using kaunit::CardAnswer;
using kaunit::CardRequest;
using kaunit::ParseBusFault;

struct Event {
    std::uint32_t handle = 0;
    CardAnswer answer;
    bool reset = false;
    bool present = false;
};

class RecordingCard : public kaunit::Card {
  public:
    void Answer(std::uint32_t handle, const CardAnswer& answer) override {
        events.push_back({handle, answer, false, false});
    }
    void BusReset(bool unitPresent) override { events.push_back({0, {}, true, unitPresent}); }

    std::vector<Event> events;
};

CardRequest WriteQuadlet(std::uint32_t handle, std::uint64_t offset, std::uint32_t value) {
    return {handle,
            TCODE_WRITE_QUADLET_REQUEST,
            offset,
            {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
             static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)},
            4};
}

CardRequest ReadQuadlet(std::uint32_t handle, std::uint64_t offset) {
    return {handle, TCODE_READ_QUADLET_REQUEST, offset, {}, 4};
}

CardRequest WriteBlock(std::uint32_t handle, std::size_t bytes) {
    return {handle, TCODE_WRITE_BLOCK_REQUEST, kasim::kDataWindow,
            std::vector<std::uint8_t>(bytes, 0xA5), static_cast<std::uint32_t>(bytes)};
}

std::uint32_t Value(const CardAnswer& answer) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : answer.data) {
        value = (value << 8) | byte;
    }
    return value;
}

std::size_t BlockWritesSeen(const kasim::SimulatedKa& ka) {
    std::size_t count = 0;
    for (const auto& transaction : ka.Transactions()) {
        count += transaction.operation == kasim::Operation::WriteBlock ? 1 : 0;
    }
    return count;
}

// Brings the model to the point where it takes image data: begin, erase, erase done.
void StartImage(kaunit::UnitServer& server) {
    server.Serve(WriteQuadlet(1, kasim::kUpdateControlRegister, 1));
    server.Serve(WriteQuadlet(2, kasim::kUpdateCommandRegister, 0));
}

TEST(BusFaultTest, ParsesEveryFormAndRefusesTheRest) {
    const auto busy = ParseBusFault("busy:block:10:3");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->kind, BusFaultKind::Busy);
    EXPECT_EQ(busy->target, BusFaultTarget::Block);
    EXPECT_EQ(busy->first, 10u);
    EXPECT_EQ(busy->times, 3u);

    const auto crc = ParseBusFault("rcode-data-error:crc");
    ASSERT_TRUE(crc);
    EXPECT_EQ(crc->target, BusFaultTarget::Crc);
    EXPECT_EQ(crc->first, 1u);
    EXPECT_EQ(crc->times, 1u);

    const auto silent = ParseBusFault("silent");
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->kind, BusFaultKind::NoResponse);
    EXPECT_EQ(silent->target, BusFaultTarget::Any);
    EXPECT_EQ(silent->times, 0u) << "for ever";

    for (const char* bad : {"", "busy:", "busy:disk", "busy:block:0", "busy:block:x",
                            "busy:block:1:2:3", "lost:block", "busy:block:-1", "silent:any"}) {
        EXPECT_FALSE(ParseBusFault(bad)) << bad;
    }
}

TEST(UnitServerTest, TheRomNamesTheUnitAsTheBackendLooksItUp) {
    kasim::SimulatedKa ka;
    const auto rom = kaunit::ConfigRom(ka.Config());
    ASSERT_GE(rom.size(), 14u);
    EXPECT_EQ(rom[1], 0x31333934u);
    EXPECT_EQ((std::uint64_t{rom[3]} << 32) | rom[4], ka.Config().guid);
    // Each block's CRC covers the quadlets its header counts, as IEEE 1212 has it.
    for (const std::size_t header : {std::size_t{0}, std::size_t{5}}) {
        const std::size_t length = header == 0 ? (rom[0] >> 16) & 0xFF : rom[header] >> 16;
        std::vector<std::uint8_t> bytes;
        for (std::size_t index = header + 1; index <= header + length; ++index) {
            for (const int shift : {24, 16, 8, 0}) {
                bytes.push_back(static_cast<std::uint8_t>(rom[index] >> shift));
            }
        }
        EXPECT_EQ(rom[header] & 0xFFFF, kasim::Crc16Xmodem(bytes.data(), bytes.size()));
    }
    // The root directory's unit directory entry leads to the unit's two values.
    std::size_t unit = 0;
    for (std::size_t index = 6; index < 6 + (rom[5] >> 16); ++index) {
        if (rom[index] >> 24 == 0xD1) {
            unit = index + (rom[index] & 0xFFFFFF);
        }
    }
    ASSERT_NE(unit, 0u);
    std::uint32_t specifier = 0;
    std::uint32_t version = 0;
    for (std::size_t index = unit + 1; index <= unit + (rom[unit] >> 16); ++index) {
        const std::uint32_t key = rom[index] >> 24;
        if (key == 0x12) {
            specifier = rom[index] & 0xFFFFFF;
        } else if (key == 0x13) {
            version = rom[index] & 0xFFFFFF;
        }
    }
    EXPECT_EQ(specifier, 0x000A27u);
    EXPECT_EQ(version, 0x000011u);

    RecordingCard card;
    kaunit::UnitServer server(ka, card, {}, std::nullopt);
    server.Serve(ReadQuadlet(7, 0xFFFF'F000'0400 + 4 * 11));
    ASSERT_EQ(card.events.size(), 1u);
    EXPECT_EQ(card.events[0].answer.ack, ACK_PENDING);
    EXPECT_EQ(Value(card.events[0].answer), rom[11]) << "a ROM read, quadlet by quadlet";
}

TEST(UnitServerTest, TheModelAnswersWithAResponseAndItsErrorsAsResponseCodes) {
    kasim::SimulatedKa ka;
    RecordingCard card;
    kaunit::UnitServer server(ka, card, {}, std::nullopt);
    server.Plug();
    ASSERT_EQ(card.events.size(), 1u);
    EXPECT_TRUE(card.events[0].reset);
    EXPECT_TRUE(card.events[0].present);

    server.Serve(ReadQuadlet(1, kasim::kSoftwareVersionRegister));
    server.Serve(ReadQuadlet(2, kasim::kRegisterBlock + 0x100));
    server.Serve(WriteQuadlet(3, kasim::kCrcRegister, 0));
    ASSERT_EQ(card.events.size(), 4u);
    const CardAnswer& version = card.events[1].answer;
    EXPECT_EQ(card.events[1].handle, 1u);
    EXPECT_TRUE(version.ack == ACK_PENDING && version.respond);
    EXPECT_EQ(version.rcode, static_cast<unsigned>(RCODE_COMPLETE));
    EXPECT_EQ(Value(version), ka.Config().softwareVersion);
    EXPECT_EQ(card.events[2].answer.rcode, static_cast<unsigned>(RCODE_ADDRESS_ERROR));
    EXPECT_EQ(card.events[3].answer.rcode, static_cast<unsigned>(RCODE_CONFLICT_ERROR))
        << "a CRC without an update";
}

TEST(UnitServerTest, BusFaultsKeepTheirRequestsFromTheUnitExceptALostAnswer) {
    kasim::SimulatedKaConfig config;
    config.erasePolls = 0;
    kasim::SimulatedKa ka(config);
    ka.AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::AnswerLost, kasim::ImageSelection::Xilinx, 100));
    RecordingCard card;
    std::vector<kaunit::BusFault> faults{*ParseBusFault("busy:block:2:2"),
                                         *ParseBusFault("reset-flush:block:5")};
    kaunit::UnitServer server(ka, card, faults, std::nullopt);
    server.Plug();
    StartImage(server);
    card.events.clear();
    ka.ClearTransactions();

    for (std::uint32_t handle = 10; handle < 16; ++handle) {
        server.Serve(WriteBlock(handle, 64));
    }
    ASSERT_EQ(card.events.size(), 6u);
    EXPECT_EQ(card.events[0].answer.rcode, static_cast<unsigned>(RCODE_COMPLETE));
    EXPECT_EQ(card.events[1].answer.ack, ACK_BUSY_X);
    EXPECT_EQ(card.events[2].answer.ack, ACK_BUSY_X);
    // The fourth block is the one that covers image byte 100 (after the 20-byte header).
    EXPECT_EQ(card.events[3].answer.ack, ACK_PENDING);
    EXPECT_FALSE(card.events[3].answer.respond) << "the unit took it; its answer is lost";
    EXPECT_TRUE(card.events[4].reset && card.events[4].present) << "flushed by a reset";
    EXPECT_EQ(card.events[5].answer.rcode, static_cast<unsigned>(RCODE_COMPLETE));
    EXPECT_EQ(BlockWritesSeen(ka), 3u) << "busy and flushed requests never reach the unit";
}

TEST(UnitServerTest, AUnitThatLeavesComesBackAfterItsDelayAsANewConnection) {
    kasim::SimulatedKaConfig config;
    config.erasePolls = 0;
    kasim::SimulatedKa ka(config);
    ka.AddImageFault(
        kasim::ImageFault(kasim::ImageFaultKind::Unplug, kasim::ImageSelection::Xilinx, 0));
    RecordingCard card;
    kaunit::UnitServer server(ka, card, {}, std::chrono::milliseconds(1500));
    server.Plug();
    StartImage(server);
    card.events.clear();

    const auto before = std::chrono::steady_clock::now();
    server.Serve(WriteBlock(20, 64));
    ASSERT_EQ(card.events.size(), 1u);
    EXPECT_TRUE(card.events[0].reset);
    EXPECT_FALSE(card.events[0].present) << "the request goes with the unit";
    ASSERT_TRUE(server.ReturnTime());
    EXPECT_GE(*server.ReturnTime(), before + std::chrono::milliseconds(1500));

    server.Plug();
    EXPECT_FALSE(server.ReturnTime());
    EXPECT_TRUE(ka.IsPresent());
    server.Serve(ReadQuadlet(21, kasim::kSoftwareVersionRegister));
    EXPECT_EQ(card.events.back().answer.rcode, static_cast<unsigned>(RCODE_COMPLETE))
        << "the server talks to the unit through a new connection";
    EXPECT_EQ(Value(card.events.back().answer) & 0xFFFF, 0u) << "the Xilinx image stays erased";
}

}  // namespace
