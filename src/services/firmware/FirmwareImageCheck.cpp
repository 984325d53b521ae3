#include "FirmwareImageCheck.h"

#include "FirmwareFolder.h"
#include "SRecord.h"

#include "KaWire.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <optional>
#include <vector>

namespace kafirmware {
namespace {

// The .bit preamble: a 16-bit length 9, nine fixed bytes, then a 16-bit 1.
constexpr std::array<std::uint8_t, 13> kBitPreamble = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                                       0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
// The updater takes the first sync pattern among these positions for the start of the data.
using kawire::kSyncPattern;
using kawire::kSyncPositions;
constexpr std::size_t kConfigurationDataOffset = 74;
constexpr std::size_t kLengthKeyOffset = 69;

// A keyed text field of the header: key, 16-bit length, the text with its NUL.
struct TextField {
    char key;
    std::size_t offset;
    std::uint16_t length;
    const char* name;
    const char* shape;  // 'd' a digit, any other character itself; null for free text
};
constexpr std::array<TextField, 4> kTextFields = {{
    {'a', 13, 12, "design name", nullptr},
    {'b', 28, 12, "part name", nullptr},
    {'c', 43, 11, "creation date", "dddd/dd/dd"},
    {'d', 57, 9, "creation time", "dd:dd:dd"},
}};
constexpr std::string_view kPartName = "2s400eft256";

constexpr std::string_view kFirstRecord = "S0030000FC";
constexpr std::string_view kLastRecord = "S70500020300F5";
constexpr std::uint32_t kLoadAddress = 0x00020000;

std::uint32_t BigEndian(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

std::string Hex32(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text.push_back(kDigits[(value >> shift) & 0xF]);
    }
    return text;
}

std::string SizeDefect(std::size_t size, std::size_t expected) {
    return "has " + std::to_string(size) + " bytes; the Ka's firmware file has " +
           std::to_string(expected);
}

std::string CheckTextField(std::span<const std::uint8_t> file, const TextField& field) {
    const std::string what = std::string("header field '") + field.key + "' (" + field.name + ")";
    if (file[field.offset] != static_cast<std::uint8_t>(field.key)) {
        return "byte " + std::to_string(field.offset) + " is not the key of the " + what;
    }
    const auto length = static_cast<std::uint16_t>(BigEndian(file.subspan(field.offset + 1, 2)));
    if (length != field.length) {
        return what + " has length " + std::to_string(length) + ", not " +
               std::to_string(field.length);
    }
    const auto text = file.subspan(field.offset + 3, field.length);
    if (text.back() != 0) {
        return what + " does not end in NUL";
    }
    if (field.shape == nullptr) {
        return {};
    }
    for (std::size_t index = 0; index + 1 < text.size(); ++index) {
        const char wanted = field.shape[index];
        const bool fits = wanted == 'd' ? std::isdigit(text[index]) != 0
                                        : text[index] == static_cast<std::uint8_t>(wanted);
        if (!fits) {
            return what + " is not of the form " + field.shape;
        }
    }
    return {};
}

// The first line not ended by CR LF, or empty when every line is.
std::string CheckLineEnds(std::string_view text) {
    std::size_t line = 1;
    for (std::size_t position = 0; position < text.size(); ++position) {
        const char character = text[position];
        if (character == '\n') {
            if (position == 0 || text[position - 1] != '\r') {
                return "line " + std::to_string(line) + " ends in LF without CR";
            }
            ++line;
        } else if (character == '\r' &&
                   (position + 1 == text.size() || text[position + 1] != '\n')) {
            return "line " + std::to_string(line) + " has a CR that is not followed by LF";
        }
    }
    if (text.empty() || text.back() != '\n') {
        return "the last line is not ended by CR LF";
    }
    return {};
}

std::string Quoted(std::string_view record) {
    constexpr std::size_t kShown = 40;
    std::string shown(record.substr(0, kShown));
    for (char& character : shown) {
        if (std::isprint(static_cast<unsigned char>(character)) == 0) {
            character = '?';
        }
    }
    return "\"" + shown + (record.size() > kShown ? "...\"" : "\"");
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
        1) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int index = 0; index < length; ++index) {
        text.push_back(kDigits[digest[index] >> 4]);
        text.push_back(kDigits[digest[index] & 0xF]);
    }
    return text;
}

struct NamedFile {
    const char* name;
    std::span<const std::uint8_t> bytes;
};

std::array<NamedFile, 3> Named(const FirmwareFiles& files) {
    return {{{kXilinxFileName, files.xilinx},
             {kMcoreFileName, files.mcore},
             {kVersionFileName, files.version}}};
}

}  // namespace

std::string CheckXilinxImage(std::span<const std::uint8_t> file) {
    if (file.size() != kXilinxFileBytes) {
        return SizeDefect(file.size(), kXilinxFileBytes);
    }
    if (!std::equal(kBitPreamble.begin(), kBitPreamble.end(), file.begin())) {
        return "the header does not begin with the .bit preamble "
               "00 09 0F F0 0F F0 0F F0 0F F0 00 00 01";
    }
    for (const TextField& field : kTextFields) {
        if (std::string defect = CheckTextField(file, field); !defect.empty()) {
            return defect;
        }
    }
    const auto partName = file.subspan(kTextFields[1].offset + 3, kPartName.size());
    if (!std::equal(partName.begin(), partName.end(), kPartName.begin())) {
        return "the part name is not " + std::string(kPartName);
    }
    if (file[kLengthKeyOffset] != 'e') {
        return "byte " + std::to_string(kLengthKeyOffset) +
               " is not the key of the header field 'e' (configuration data length)";
    }

    std::optional<std::size_t> sync;
    for (std::size_t position = 0; position < kSyncPositions; ++position) {
        if (std::equal(kSyncPattern.begin(), kSyncPattern.end(), file.begin() + position)) {
            sync = position;
            break;
        }
    }
    if (!sync) {
        return "no sync pattern FF FF FF FF AA 99 55 66 within the first " +
               std::to_string(kSyncPositions) + " bytes";
    }
    if (*sync != kConfigurationDataOffset) {
        return "the first sync pattern is at byte " + std::to_string(*sync) + ", not at " +
               std::to_string(kConfigurationDataOffset) + " where the configuration data starts";
    }
    const std::uint32_t length = BigEndian(file.subspan(kConfigurationDataOffset - 4, 4));
    const std::size_t following = file.size() - kConfigurationDataOffset;
    if (length != following) {
        return "the 'e' length is " + std::to_string(length) + " but " + std::to_string(following) +
               " bytes of configuration data follow";
    }
    return {};
}

std::string CheckMcoreImage(std::string_view text) {
    if (text.size() != kMcoreFileBytes) {
        return SizeDefect(text.size(), kMcoreFileBytes);
    }
    if (std::string defect = CheckLineEnds(text); !defect.empty()) {
        return defect;
    }
    const std::string_view first = text.substr(0, text.find("\r\n"));
    if (first != kFirstRecord) {
        return "the first record is " + Quoted(first) + ", not " + std::string(kFirstRecord);
    }
    const std::string_view body = text.substr(0, text.size() - 2);
    const std::string_view last = body.substr(body.rfind("\r\n") + 2);
    if (last != kLastRecord) {
        return "the last record is " + Quoted(last) + ", not " + std::string(kLastRecord);
    }
    const ImageSummary summary = CheckImage(text, "\r\n");
    if (summary.fault != nullptr) {
        return "line " + std::to_string(summary.errorLine) + ": " + summary.fault;
    }
    if (summary.firstAddress != kLoadAddress) {
        return "the load addresses start at " + Hex32(summary.firstAddress) + ", not at " +
               Hex32(kLoadAddress);
    }
    return {};
}

std::string DigestsText(const FirmwareFiles& files) {
    std::string text;
    for (const NamedFile& file : Named(files)) {
        text += Sha256Hex(file.bytes) + "  " + file.name + "\n";
    }
    return text;
}

std::string CheckDigests(const FirmwareFiles& files) {
    constexpr std::size_t kDigestDigits = 64;
    const std::string_view text(reinterpret_cast<const char*>(files.digests.data()),
                                files.digests.size());
    const std::string defectOfFile = std::string(kDigestsFileName) + ": ";
    const std::array<NamedFile, 3> named = Named(files);
    std::array<std::string, 3> listed;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        ++number;
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            return defectOfFile + "line " + std::to_string(number) + " is not ended by LF";
        }
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        // "<64 hex digits> <' ' or '*'><name>", the mark telling text from binary mode.
        const bool shaped = line.size() > kDigestDigits + 2 && line[kDigestDigits] == ' ' &&
                            (line[kDigestDigits + 1] == ' ' || line[kDigestDigits + 1] == '*') &&
                            std::all_of(line.begin(), line.begin() + kDigestDigits, [](char c) {
                                return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                            });
        const std::string_view name = shaped ? line.substr(kDigestDigits + 2) : std::string_view{};
        const auto file = std::find_if(named.begin(), named.end(),
                                       [&](const NamedFile& each) { return name == each.name; });
        if (file == named.end()) {
            return defectOfFile + "line " + std::to_string(number) +
                   " is not a SHA-256 and the name of one of " + kXilinxFileName + ", " +
                   kMcoreFileName + " and " + kVersionFileName;
        }
        std::string& digest = listed[static_cast<std::size_t>(file - named.begin())];
        if (!digest.empty()) {
            return defectOfFile + "names " + file->name + " twice";
        }
        digest = line.substr(0, kDigestDigits);
        std::transform(digest.begin(), digest.end(), digest.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
    }
    for (std::size_t index = 0; index < named.size(); ++index) {
        if (listed[index].empty()) {
            return defectOfFile + "has no SHA-256 for " + named[index].name;
        }
    }
    for (std::size_t index = 0; index < named.size(); ++index) {
        if (Sha256Hex(named[index].bytes) != listed[index]) {
            return std::string(named[index].name) + ": differs from its SHA-256 in " +
                   kDigestsFileName + "; the file is damaged or of another release";
        }
    }
    return {};
}

std::optional<FirmwareVersion> ParseVersionText(std::string_view text, std::string& defect) {
    constexpr std::size_t kMostDigits = 5;
    constexpr std::uint32_t kLargest = 65535;
    std::string_view line = text;
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    FirmwareVersion version;
    std::size_t position = 0;
    for (std::uint32_t* number : {&version.mcore, &version.xilinx}) {
        const std::size_t start = position;
        while (position < line.size() && position - start < kMostDigits + 1 &&
               std::isdigit(static_cast<unsigned char>(line[position])) != 0) {
            *number = *number * 10 + static_cast<std::uint32_t>(line[position] - '0');
            ++position;
        }
        const std::size_t digits = position - start;
        const bool first = number == &version.mcore;
        const bool leadingZero = digits > 1 && line[start] == '0';
        if (digits == 0 || digits > kMostDigits || leadingZero || *number > kLargest ||
            (first ? position >= line.size() || line[position] != '-' : position != line.size())) {
            defect = "is " + Quoted(text) +
                     ", not one line MCORE-Xilinx version in decimal such as \"3-5\", each "
                     "from 0 to 65535 without leading zeros";
            return std::nullopt;
        }
        ++position;
    }
    return version;
}

std::string CheckFirmwareFiles(const FirmwareFiles& files, const FirmwareFiles* madeUp,
                               FirmwareVersion& version) {
    auto text = [](std::span<const std::uint8_t> bytes) {
        return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    if (std::string defect = CheckDigests(files); !defect.empty()) {
        return defect;
    }
    if (std::string defect = CheckXilinxImage(files.xilinx); !defect.empty()) {
        return std::string(kXilinxFileName) + ": " + defect;
    }
    if (madeUp != nullptr && std::ranges::equal(files.xilinx, madeUp->xilinx)) {
        return std::string(kXilinxFileName) +
               ": is the made-up test image from the repository's data/, not Ka firmware";
    }
    if (std::string defect = CheckMcoreImage(text(files.mcore)); !defect.empty()) {
        return std::string(kMcoreFileName) + ": " + defect;
    }
    if (madeUp != nullptr && std::ranges::equal(files.mcore, madeUp->mcore)) {
        return std::string(kMcoreFileName) +
               ": is the made-up test image from the repository's data/, not Ka firmware";
    }
    std::string defect;
    const std::optional<FirmwareVersion> parsed = ParseVersionText(text(files.version), defect);
    if (!parsed) {
        return std::string(kVersionFileName) + ": " + defect;
    }
    version = *parsed;
    return {};
}

std::string CheckFirmwareFolder(const std::filesystem::path& folder,
                                const std::filesystem::path& madeUpFolder,
                                FirmwareVersion& version) {
    // Read as the updater reads a folder it is given: each file a regular file of at most the
    // size it takes, no link for the folder or a file.
    const std::array<const char*, 4> names = {kXilinxFileName, kMcoreFileName, kVersionFileName,
                                              kDigestsFileName};
    const FirmwareFolderRead read =
        ReadFirmwareFolder(folder.string(), names, std::nullopt, kLargestFirmwareFile);
    if (!read.defect.empty()) {
        return read.defect;
    }
    // The repository's own; when it cannot be read, nothing is compared with it.
    const FirmwareFolderRead madeUpRead = ReadFirmwareFolder(
        madeUpFolder.string(), std::span(names).first(2), std::nullopt, kLargestFirmwareFile);
    const auto madeUpFile = [&](std::size_t index) {
        return madeUpRead.files.size() > index
                   ? std::span<const std::uint8_t>(madeUpRead.files[index])
                   : std::span<const std::uint8_t>();
    };
    const FirmwareFiles files{read.files[0], read.files[1], read.files[2], read.files[3]};
    const FirmwareFiles madeUp{madeUpFile(0), madeUpFile(1), {}, {}};
    const std::string defect = CheckFirmwareFiles(files, &madeUp, version);
    return defect.empty() ? defect : (folder / "").string() + defect;
}

}  // namespace kafirmware
