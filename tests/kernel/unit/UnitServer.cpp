#include "UnitServer.h"

#include "FireWireStatus.h"

#include <linux/firewire-constants.h>

#include <cstring>
#include <iostream>

namespace kaunit {

namespace {

constexpr std::uint64_t kConfigRomBase = 0xFFFF'F000'0400;
constexpr std::uint64_t kConfigRomEnd = 0xFFFF'F000'0800;

std::uint32_t Quadlet(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < 4 && index < bytes.size(); ++index) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

std::vector<std::uint8_t> BusOrder(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// A directory's or the bus information block's CRC, over its quadlets as they travel.
std::uint32_t BlockCrc(const std::vector<std::uint32_t>& quadlets, std::size_t from,
                       std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t index = from; index < from + count; ++index) {
        const auto quadlet = BusOrder(quadlets[index]);
        bytes.insert(bytes.end(), quadlet.begin(), quadlet.end());
    }
    return kasim::Crc16Xmodem(bytes.data(), bytes.size());
}

CardAnswer Pending(unsigned rcode, std::vector<std::uint8_t> data = {}) {
    return {ACK_PENDING, true, rcode, std::move(data)};
}

// As the kernel backend reads it back: a response code for what a unit can answer, the
// link's own codes for what it cannot.
CardAnswer AnswerOf(IOReturn status, std::vector<std::uint8_t> data) {
    if (status == kIOReturnSuccess) {
        return Pending(RCODE_COMPLETE, std::move(data));
    }
    for (const unsigned code :
         {RCODE_CONFLICT_ERROR, RCODE_DATA_ERROR, RCODE_TYPE_ERROR, RCODE_ADDRESS_ERROR}) {
        if (status == kIOFireWireResponseBase + static_cast<IOReturn>(code)) {
            return Pending(code);
        }
    }
    if (status == kIOReturnBusy) {
        return {ACK_BUSY_X, false, 0, {}};
    }
    return {RCODE_SEND_ERROR, false, 0, {}};
}

}  // namespace

std::vector<std::uint32_t> ConfigRom(const kasim::SimulatedKaConfig& config) {
    const auto vendor = static_cast<std::uint32_t>(config.guid >> 40);
    const std::uint32_t model = config.unitVersion;
    std::vector<std::uint32_t> rom{
        0,            // bus information block header
        0x3133'3934,  // "1394"
        0x0000'A002,  // 2048-byte payloads, S400
        static_cast<std::uint32_t>(config.guid >> 32),
        static_cast<std::uint32_t>(config.guid),
        0,  // root directory header
        0x0300'0000 | vendor,
        0x1700'0000 | model,
        0x0C00'83C0,  // node capabilities
        0xD100'0001,  // the unit directory, one quadlet on
        0,            // unit directory header
        0x1200'0000 | (config.specifierId & 0xFF'FFFF),
        0x1300'0000 | (config.unitVersion & 0xFF'FFFF),
        0x1700'0000 | model,
    };
    rom[0] = (4u << 24) | (4u << 16) | BlockCrc(rom, 1, 4);
    rom[5] = (4u << 16) | BlockCrc(rom, 6, 4);
    rom[10] = (3u << 16) | BlockCrc(rom, 11, 3);
    return rom;
}

UnitServer::UnitServer(kasim::SimulatedKa& ka, Card& card, std::vector<BusFault> faults,
                       std::optional<std::chrono::milliseconds> returnAfter)
    : ka_(ka),
      card_(card),
      faults_(std::move(faults)),
      returnAfter_(returnAfter),
      rom_(ConfigRom(ka.Config())) {}

void UnitServer::Plug() {
    returnAt_.reset();
    ka_.Plug();
    // A unit that left is a new node to the model: the old connection stays dead.
    registers_.reset();
    if (ka_.Connect(ka_.Config().unitName, registers_) != kIOReturnSuccess ||
        registers_->Open() != kIOReturnSuccess) {
        std::cerr << "unit: the register model refused a connection\n";
        registers_.reset();
    }
    card_.BusReset(true);
    std::cerr << "unit: on the bus\n";
}

void UnitServer::Serve(const CardRequest& request) {
    if (request.offset >= kConfigRomBase && request.offset < kConfigRomEnd) {
        // The kernel reads the ROM a quadlet at a time; what lies beyond it reads as zero.
        std::vector<std::uint8_t> data;
        const std::uint32_t length =
            request.transactionCode == TCODE_READ_QUADLET_REQUEST ? 4 : request.length;
        for (std::uint64_t at = request.offset; at < request.offset + length; at += 4) {
            const std::size_t index = (at - kConfigRomBase) / 4;
            const auto quadlet = BusOrder(index < rom_.size() ? rom_[index] : 0);
            data.insert(data.end(), quadlet.begin(), quadlet.end());
        }
        data.resize(length);
        const bool read = request.transactionCode == TCODE_READ_QUADLET_REQUEST ||
                          request.transactionCode == TCODE_READ_BLOCK_REQUEST;
        card_.Answer(request.handle,
                     read ? Pending(RCODE_COMPLETE, std::move(data)) : Pending(RCODE_TYPE_ERROR));
        return;
    }
    // Every fault that matches the request counts it, hit or not; the first hit answers.
    const BusFault* hit = nullptr;
    for (auto& candidate : faults_) {
        if (Matches(candidate.target, request.transactionCode, request.offset) &&
            CountAndHit(candidate) && hit == nullptr) {
            hit = &candidate;
        }
    }
    if (hit != nullptr) {
        const BusFault& fault = *hit;
        std::cerr << "unit: bus fault " << BusFaultKindName(fault.kind) << " on request "
                  << fault.seen << " at 0x" << std::hex << request.offset << std::dec << "\n";
        switch (fault.kind) {
            case BusFaultKind::Busy:
                card_.Answer(request.handle, {ACK_BUSY_X, false, 0, {}});
                return;
            case BusFaultKind::NoResponse:
                card_.Answer(request.handle, {ACK_PENDING, false, 0, {}});
                return;
            case BusFaultKind::AckDataError:
                card_.Answer(request.handle, {ACK_DATA_ERROR, false, 0, {}});
                return;
            case BusFaultKind::RcodeDataError:
                card_.Answer(request.handle, Pending(RCODE_DATA_ERROR));
                return;
            case BusFaultKind::ResetPending:
                card_.Answer(request.handle, {ACK_PENDING, false, 0, {}});
                card_.BusReset(true);
                return;
            case BusFaultKind::ResetFlush:
                card_.BusReset(true);
                return;
        }
    }
    bool unitLeft = false;
    bool busReset = false;
    CardAnswer answer = ModelAnswer(request, unitLeft, busReset);
    if (unitLeft) {
        // The request goes with the unit: the reset flushes it.
        card_.BusReset(false);
        if (returnAfter_) {
            returnAt_ = std::chrono::steady_clock::now() + *returnAfter_;
        }
        std::cerr << "unit: left the bus\n";
        return;
    }
    if (busReset) {
        card_.BusReset(true);
        return;
    }
    card_.Answer(request.handle, answer);
}

CardAnswer UnitServer::ModelAnswer(const CardRequest& request, bool& unitLeft, bool& busReset) {
    if (!registers_) {
        return {RCODE_SEND_ERROR, false, 0, {}};
    }
    const kaplatform::FireWireTarget target{true, 0, request.offset};
    IOReturn status = kIOReturnSuccess;
    std::vector<std::uint8_t> data;
    switch (request.transactionCode) {
        case TCODE_WRITE_QUADLET_REQUEST:
            status = registers_->WriteQuadlet(target, Quadlet(request.data), false, 0);
            break;
        case TCODE_WRITE_BLOCK_REQUEST: {
            auto size = static_cast<std::uint32_t>(request.data.size());
            status = registers_->Write(target, request.data.data(), size, false, 0);
            break;
        }
        case TCODE_READ_QUADLET_REQUEST: {
            std::uint32_t value = 0;
            status = registers_->ReadQuadlet(target, value, false, 0);
            data = BusOrder(value);
            break;
        }
        case TCODE_READ_BLOCK_REQUEST: {
            std::uint32_t size = request.length;
            data.resize(size);
            status = registers_->Read(target, data.data(), size, false, 0);
            data.resize(std::min(size, request.length));
            break;
        }
        default:
            status = kIOFireWireTypeError;
    }
    if (status == kIOReturnNotResponding && !ka_.IsPresent()) {
        unitLeft = true;
        return {};
    }
    if (status == kIOFireWireBusReset) {
        busReset = true;
        return {};
    }
    if (status == kIOFireWireWriteMayHaveBeenTaken) {
        // The unit's response is lost on the way: the core's split time-out ends it.
        return {ACK_PENDING, false, 0, {}};
    }
    return AnswerOf(status, std::move(data));
}

}  // namespace kaunit
