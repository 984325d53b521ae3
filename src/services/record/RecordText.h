// Text that comes from a unit or a file, for a record and for a terminal, and numbers and
// bytes as a record writes them. All take any bytes: a serial number is whatever the unit's
// register holds, a record whatever a file holds.
#ifndef KA_SERVICES_RECORD_RECORDTEXT_H
#define KA_SERVICES_RECORD_RECORDTEXT_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace karecord {

// "0x" and digits lower-case hex digits (more when the value needs them).
std::string HexNumber(std::uint64_t value, int digits);
// Two lower-case hex digits a byte.
std::string HexDigits(std::span<const std::uint8_t> bytes);
// The 64-bit FNV-1a digest a block write is recorded by, as "fnv1a64:" and 16 hex digits.
std::string BlockDigest(std::span<const std::uint8_t> bytes);

// The length of the well-formed UTF-8 sequence at text[at] (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when none starts there.
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t following = 0;
    std::uint32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        following = 1;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        following = 2;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        following = 3;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + following >= text.size()) {
        return 0;
    }
    for (std::size_t offset = 1; offset <= following; ++offset) {
        const auto next = static_cast<unsigned char>(text[at + offset]);
        if ((next & 0xC0u) != 0x80u) {
            return 0;
        }
        point = point << 6 | (next & 0x3Fu);
    }
    constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (point < kLeast[following] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return 0;
    }
    return following + 1;
}

inline bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

// text with every control character (C0, DEL, C1) and every byte that is not part of
// well-formed UTF-8 written as \xNN: what a file says can neither move the cursor, change
// the terminal's state nor pass for a line of the program's own.
inline std::string TerminalText(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    auto escape = [&](unsigned char byte) {
        shown += "\\x";
        shown += kDigits[byte >> 4];
        shown += kDigits[byte & 0xF];
    };
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        const bool control =
            lead < 0x20 || lead == 0x7F ||
            (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
        if (length == 0 || control) {
            for (std::size_t index = 0; index < (length == 0 ? 1 : length); ++index) {
                escape(static_cast<unsigned char>(text[at + index]));
            }
            at += length == 0 ? 1 : length;
            continue;
        }
        shown.append(text.substr(at, length));
        at += length;
    }
    return shown;
}

}  // namespace karecord

#endif
