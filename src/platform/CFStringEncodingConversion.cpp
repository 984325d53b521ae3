#include "CFStringEncodingConversion.h"

#include <array>
#include <cstdint>

namespace kaplatform::cf {
namespace {

// Windows Latin-1 differs from ISO Latin-1 only in 0x80..0x9F. The five bytes Windows leaves
// unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value, as
// Windows itself converts them, so that any byte string survives a round trip.
constexpr std::array<char16_t, 32> kWindowsLatin1High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Mac OS Roman, bytes 0x80..0xFF (0xF0 is the Apple logo in the private use area).
constexpr std::array<char16_t, 128> kMacRomanHigh = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

// The character an 8-bit encoding gives a byte; nothing when the byte is not valid in it.
std::optional<char16_t> ByteToCharacter(unsigned char byte, CFStringEncoding encoding) {
    if (byte < 0x80) {
        return byte;
    }
    switch (encoding) {
        case kCFStringEncodingASCII:
            return std::nullopt;
        case kCFStringEncodingISOLatin1:
            return byte;
        case kCFStringEncodingWindowsLatin1:
            return byte < 0xA0 ? kWindowsLatin1High[byte - 0x80] : char16_t{byte};
        case kCFStringEncodingMacRoman:
            return kMacRomanHigh[byte - 0x80];
        default:
            return std::nullopt;
    }
}

std::optional<unsigned char> CharacterToByte(char16_t character, CFStringEncoding encoding) {
    if (character < 0x80) {
        return static_cast<unsigned char>(character);
    }
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
        const auto decoded = ByteToCharacter(static_cast<unsigned char>(byte), encoding);
        if (decoded && *decoded == character) {
            return static_cast<unsigned char>(byte);
        }
    }
    return std::nullopt;
}

bool IsEightBit(CFStringEncoding encoding) {
    return encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingISOLatin1 ||
           encoding == kCFStringEncodingWindowsLatin1 || encoding == kCFStringEncodingMacRoman;
}

void AppendCodePoint(std::u16string& text, char32_t codePoint) {
    if (codePoint < 0x10000) {
        text.push_back(static_cast<char16_t>(codePoint));
    } else {
        codePoint -= 0x10000;
        text.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
std::optional<std::u16string> DecodeUtf8(std::string_view bytes) {
    std::u16string text;
    std::size_t index = 0;
    while (index < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[index]);
        std::size_t continuation = 0;
        char32_t codePoint = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            codePoint = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            continuation = 1;
            codePoint = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            continuation = 2;
            codePoint = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            continuation = 3;
            codePoint = lead & 0x07;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (index + continuation >= bytes.size()) {
            return std::nullopt;
        }
        for (std::size_t i = 1; i <= continuation; ++i) {
            const auto next = static_cast<unsigned char>(bytes[index + i]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return std::nullopt;
        }
        AppendCodePoint(text, codePoint);
        index += continuation + 1;
    }
    return text;
}

std::optional<std::string> EncodeUtf8(const std::u16string& text) {
    std::string bytes;
    for (std::size_t index = 0; index < text.size(); ++index) {
        char32_t codePoint = text[index];
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            if (index + 1 >= text.size() || text[index + 1] < 0xDC00 || text[index + 1] > 0xDFFF) {
                return std::nullopt;
            }
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (text[index + 1] - 0xDC00);
            ++index;
        } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
            return std::nullopt;
        }
        if (codePoint < 0x80) {
            bytes.push_back(static_cast<char>(codePoint));
        } else if (codePoint < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else if (codePoint < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        }
    }
    return bytes;
}

}  // namespace

bool IsKnownEncoding(CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 || IsEightBit(encoding);
}

std::optional<std::u16string> DecodeText(std::string_view bytes, CFStringEncoding encoding) {
    if (encoding == kCFStringEncodingUTF8) {
        return DecodeUtf8(bytes);
    }
    if (!IsEightBit(encoding)) {
        return std::nullopt;
    }
    std::u16string text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto character = ByteToCharacter(static_cast<unsigned char>(byte), encoding);
        if (!character) {
            return std::nullopt;
        }
        text.push_back(*character);
    }
    return text;
}

std::optional<std::string> EncodeText(const std::u16string& text, CFStringEncoding encoding) {
    if (encoding == kCFStringEncodingUTF8) {
        return EncodeUtf8(text);
    }
    if (!IsEightBit(encoding)) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size());
    for (const char16_t character : text) {
        const auto byte = CharacterToByte(character, encoding);
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(*byte));
    }
    return bytes;
}

}  // namespace kaplatform::cf
