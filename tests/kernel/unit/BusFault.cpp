#include "BusFault.h"

#include "SimulatedKa.h"

#include <linux/firewire-constants.h>

#include <array>
#include <charconv>
#include <utility>

namespace kaunit {

namespace {

constexpr std::array<std::pair<std::string_view, BusFaultKind>, 6> kKinds{{
    {"busy", BusFaultKind::Busy},
    {"no-response", BusFaultKind::NoResponse},
    {"ack-data-error", BusFaultKind::AckDataError},
    {"rcode-data-error", BusFaultKind::RcodeDataError},
    {"reset-pending", BusFaultKind::ResetPending},
    {"reset-flush", BusFaultKind::ResetFlush},
}};

constexpr std::array<std::pair<std::string_view, BusFaultTarget>, 4> kTargets{{
    {"block", BusFaultTarget::Block},
    {"crc", BusFaultTarget::Crc},
    {"status", BusFaultTarget::Status},
    {"any", BusFaultTarget::Any},
}};

std::optional<unsigned> Count(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value > 1'000'000) {
        return std::nullopt;
    }
    return value;
}

// The next colon-separated field, taken off the front of text.
std::string_view Take(std::string_view& text) {
    const auto colon = text.find(':');
    const std::string_view field = text.substr(0, colon);
    text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    return field;
}

}  // namespace

std::optional<BusFault> ParseBusFault(std::string_view text) {
    if (text == "silent") {
        return BusFault{BusFaultKind::NoResponse, BusFaultTarget::Any, 1, 0, 0};
    }
    BusFault fault;
    const bool hasTarget = text.find(':') != std::string_view::npos;
    const std::string_view kind = Take(text);
    bool known = false;
    for (const auto& [name, value] : kKinds) {
        if (name == kind) {
            fault.kind = value;
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    if (!hasTarget) {
        return fault;
    }
    const std::string_view target = Take(text);
    known = false;
    for (const auto& [name, value] : kTargets) {
        if (name == target) {
            fault.target = value;
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    for (unsigned* field : {&fault.first, &fault.times}) {
        if (text.empty()) {
            break;
        }
        const auto value = Count(Take(text));
        if (!value) {
            return std::nullopt;
        }
        *field = *value;
    }
    if (!text.empty() || fault.first == 0) {
        return std::nullopt;
    }
    return fault;
}

std::string_view BusFaultKindName(BusFaultKind kind) {
    for (const auto& [name, value] : kKinds) {
        if (value == kind) {
            return name;
        }
    }
    return "?";
}

bool Matches(BusFaultTarget target, unsigned transactionCode, std::uint64_t offset) {
    switch (target) {
        case BusFaultTarget::Block:
            return transactionCode == TCODE_WRITE_BLOCK_REQUEST && offset == kasim::kDataWindow;
        case BusFaultTarget::Crc:
            return transactionCode == TCODE_WRITE_QUADLET_REQUEST && offset == kasim::kCrcRegister;
        case BusFaultTarget::Status:
            return transactionCode == TCODE_READ_QUADLET_REQUEST &&
                   offset == kasim::kStatusRegister;
        case BusFaultTarget::Any:
            return true;
    }
    return false;
}

bool CountAndHit(BusFault& fault) {
    const unsigned occurrence = ++fault.seen;
    return occurrence >= fault.first &&
           (fault.times == 0 || occurrence - fault.first < fault.times);
}

}  // namespace kaunit
