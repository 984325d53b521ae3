// Names of the simulator's faults and outcomes, and the fault syntax a command
// line offers.
#include "SimulatedKa.h"

#include <array>
#include <charconv>
#include <utility>

namespace kasim {
namespace {

constexpr std::array<std::pair<ImageFaultKind, std::string_view>, 10> kFaultNames = {{
    {ImageFaultKind::NotReady, "not-ready"},
    {ImageFaultKind::EraseFailure, "erase-fail"},
    {ImageFaultKind::EraseTimeout, "erase-timeout"},
    {ImageFaultKind::BlockFailure, "block-fail"},
    {ImageFaultKind::CrcRejected, "crc-reject"},
    {ImageFaultKind::Unplug, "unplug"},
    {ImageFaultKind::BusReset, "bus-reset"},
    {ImageFaultKind::OpenFailure, "open-fail"},
    {ImageFaultKind::AnswerLost, "answer-lost"},
    {ImageFaultKind::Damaged, "damaged"},
}};

constexpr std::array<std::pair<ImageSelection, std::string_view>, 3> kImageNames = {{
    {ImageSelection::Xilinx, "xilinx"},
    {ImageSelection::Mcore, "mcore"},
    {ImageSelection::Both, "both"},
}};

bool TakesOffset(ImageFaultKind kind) {
    return kind == ImageFaultKind::BlockFailure || kind == ImageFaultKind::Unplug ||
           kind == ImageFaultKind::BusReset || kind == ImageFaultKind::AnswerLost ||
           kind == ImageFaultKind::Damaged;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string_view ImageFaultKindName(ImageFaultKind kind) {
    for (const auto& [candidate, name] : kFaultNames) {
        if (candidate == kind) {
            return name;
        }
    }
    return "unknown";
}

std::optional<ImageFaultKind> ImageFaultKindFromName(std::string_view name) {
    for (const auto& [kind, candidate] : kFaultNames) {
        if (candidate == name) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string_view ImageSelectionName(ImageSelection image) {
    for (const auto& [candidate, name] : kImageNames) {
        if (candidate == image) {
            return name;
        }
    }
    return "unknown";
}

std::optional<ImageSelection> ImageSelectionFromName(std::string_view name) {
    for (const auto& [image, candidate] : kImageNames) {
        if (candidate == name) {
            return image;
        }
    }
    return std::nullopt;
}

std::optional<ImageFault> ParseImageFault(std::string_view text) {
    ImageFault fault;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const auto image = ImageSelectionFromName(text.substr(colon + 1));
        if (!image) {
            return std::nullopt;
        }
        fault.image = *image;
        text = text.substr(0, colon);
    }
    std::optional<std::uint32_t> offset;
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        offset = ParseNumber(text.substr(at + 1));
        if (!offset) {
            return std::nullopt;
        }
        text = text.substr(0, at);
    }
    const auto kind = ImageFaultKindFromName(text);
    if (!kind || TakesOffset(*kind) != offset.has_value()) {
        return std::nullopt;
    }
    fault.kind = *kind;
    fault.dataOffset = offset.value_or(0);
    return fault;
}

std::string_view VerifyOutcomeName(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::None:
            return "none";
        case VerifyOutcome::Installed:
            return "installed";
        case VerifyOutcome::CrcMismatch:
            return "crc-mismatch";
        case VerifyOutcome::SizeMismatch:
            return "size-mismatch";
        case VerifyOutcome::BadHeader:
            return "bad-header";
        case VerifyOutcome::BadCrcWord:
            return "bad-crc-word";
        case VerifyOutcome::Rejected:
            return "rejected";
    }
    return "unknown";
}

std::array<std::uint8_t, kSerialNumberBytes> SerialNumberFromText(std::string_view text) {
    std::array<std::uint8_t, kSerialNumberBytes> bytes{};
    for (std::size_t index = 0; index < bytes.size() && index < text.size(); ++index) {
        bytes[index] = static_cast<std::uint8_t>(text[index]);
    }
    return bytes;
}

std::uint16_t Crc16Xmodem(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc) {
    for (std::size_t index = 0; index < count; ++index) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[index] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

}  // namespace kasim
