// Writes the two synthetic firmware images that the updater carries built in:
//   KaXilinx.bit   an FPGA configuration file: the usual .bit header, then 336680 bytes of
//                  configuration data that start with the sync word
//   Ka_MCORE.s19   a controller program image as S-record text with CR LF line ends
// Their sizes and layout are what the updater relies on; their contents are made up, from a
// fixed-seed generator, so every run writes the same bytes.
//
// Usage: ka_generate_images [--help | --version] [--seed N] OUTPUT_DIRECTORY
// Seed 0, the default, writes the committed images; any other seed writes a pair of the same
// structure and different bytes, for tests that must tell a supplied pair from data/'s.

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "ToolCommandLine.h"
#include "firmware/FirmwareImageCheck.h"
#include "firmware/SRecord.h"
#include "KaWire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// splitmix64: tiny, fully defined, and the same on every host and compiler.
class PseudoRandom {
  public:
    explicit PseudoRandom(std::uint64_t seed) : state_(seed) {}

    std::uint8_t NextByte() {
        if (available_ == 0) {
            state_ += 0x9E3779B97F4A7C15ULL;
            std::uint64_t mixed = state_;
            mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ULL;
            mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBULL;
            current_ = mixed ^ (mixed >> 31);
            available_ = 8;
        }
        const auto byte = static_cast<std::uint8_t>(current_ >> 56);
        current_ <<= 8;
        --available_;
        return byte;
    }

  private:
    std::uint64_t state_;
    std::uint64_t current_ = 0;
    int available_ = 0;
};

constexpr std::size_t kXilinxFileBytes = 336754;
constexpr std::size_t kXilinxDataOffset = 74;
using kawire::kSyncPattern;

constexpr std::size_t kMcoreFileBytes = 74876;
constexpr std::size_t kMcoreDataRecords = 1041;
constexpr std::uint32_t kMcoreLoadAddress = 0x00020000;
constexpr std::string_view kMcoreHeaderRecord = "S0030000FC";
constexpr std::string_view kMcoreStartRecord = "S70500020300F5";
constexpr std::uint32_t kMcoreStartAddress = 0x00020300;

void Fail(const std::string& message) {
    std::cerr << "ka_generate_images: " << message << '\n';
    std::exit(1);
}

void AppendBigEndian16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void AppendBigEndian32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// One keyed header field: key, 16-bit length, the text and its NUL.
void AppendTextField(Bytes& out, char key, std::string_view text) {
    out.push_back(static_cast<std::uint8_t>(key));
    AppendBigEndian16(out, static_cast<std::uint16_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

Bytes MakeXilinxImage(std::uint64_t seed) {
    Bytes file;
    AppendBigEndian16(file, 0x0009);
    for (std::uint8_t byte : {0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00}) {
        file.push_back(byte);
    }
    AppendBigEndian16(file, 0x0001);
    AppendTextField(file, 'a', "ka_unit.ncd");
    AppendTextField(file, 'b', "2s400eft256");
    AppendTextField(file, 'c', "2006/03/14");
    AppendTextField(file, 'd', "10:42:07");
    file.push_back('e');
    AppendBigEndian32(file, static_cast<std::uint32_t>(kXilinxFileBytes - kXilinxDataOffset));
    if (file.size() != kXilinxDataOffset) {
        Fail("the .bit header does not end where the configuration data starts");
    }

    file.insert(file.end(), kSyncPattern.begin(), kSyncPattern.end());
    PseudoRandom random(0x4B61584C4E58ULL ^ seed);
    while (file.size() < kXilinxFileBytes) {
        file.push_back(random.NextByte());
    }

    // The updater takes the first sync word it meets as the start of the data.
    for (std::size_t position = 0; position < kXilinxDataOffset; ++position) {
        if (std::equal(kSyncPattern.begin(), kSyncPattern.end(), file.begin() + position)) {
            Fail("sync word inside the .bit header");
        }
    }
    return file;
}

void AppendHexByte(std::string& out, std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 0x0F]);
}

// An S3 record: count, 32-bit address, data, and the ones' complement of the low byte of the
// sum of every byte from the count on.
std::string MakeS3Record(std::uint32_t address, const Bytes& data) {
    Bytes fields;
    fields.push_back(static_cast<std::uint8_t>(4 + data.size() + 1));
    AppendBigEndian32(fields, address);
    fields.insert(fields.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string record = "S3";
    for (std::uint8_t byte : fields) {
        sum += byte;
        AppendHexByte(record, byte);
    }
    AppendHexByte(record, static_cast<std::uint8_t>(~sum));
    return record;
}

std::string MakeMcoreImage(std::uint64_t seed) {
    constexpr std::string_view kLineEnd = "\r\n";
    // An S3 line carries 16 characters besides its data (type, count, address, checksum,
    // line end) and two per data byte. Lines of 28 data bytes, every twentieth of 27, fill
    // the image exactly between its first and last record.
    constexpr std::size_t kFixedLength =
        kMcoreHeaderRecord.size() + kMcoreStartRecord.size() + 2 * kLineEnd.size();
    constexpr std::size_t kDataBytes =
        (kMcoreFileBytes - kFixedLength - 16 * kMcoreDataRecords) / 2;
    static_assert(kDataBytes == 28 * kMcoreDataRecords - kMcoreDataRecords / 20);

    std::string text;
    text.append(kMcoreHeaderRecord).append(kLineEnd);
    PseudoRandom random(0x4B614D434F5245ULL ^ seed);
    std::uint32_t address = kMcoreLoadAddress;
    for (std::size_t index = 0; index < kMcoreDataRecords; ++index) {
        Bytes data(index % 20 == 19 ? 27 : 28);
        for (auto& byte : data) {
            byte = random.NextByte();
        }
        text.append(MakeS3Record(address, data)).append(kLineEnd);
        address += static_cast<std::uint32_t>(data.size());
    }
    if (address - kMcoreLoadAddress != kDataBytes) {
        Fail("the S3 records do not carry the planned number of bytes");
    }
    text.append(kMcoreStartRecord).append(kLineEnd);
    if (text.size() != kMcoreFileBytes) {
        Fail("the S-record image has " + std::to_string(text.size()) + " bytes");
    }
    // Read back as a loader would, so that a record the writer got wrong never reaches data/.
    const kafirmware::ImageSummary summary = kafirmware::CheckImage(text, kLineEnd);
    if (summary.fault != nullptr) {
        Fail("S-record image line " + std::to_string(summary.errorLine) + ": " + summary.fault);
    }
    if (summary.dataRecords != kMcoreDataRecords || summary.dataBytes != kDataBytes ||
        summary.firstAddress != kMcoreLoadAddress || summary.startAddress != kMcoreStartAddress) {
        Fail("the S-record image does not read back as written");
    }
    return text;
}

void WriteFile(const std::filesystem::path& path, const void* bytes, std::size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    out.close();
    if (!out) {
        Fail("cannot write " + path.string());
    }
}

}  // namespace

int main(int argc, char** argv) {
    constexpr std::string_view kUsage =
        "Usage: ka_generate_images [--seed N] OUTPUT_DIRECTORY\n"
        "Writes the made-up firmware images (KaXilinx.bit, Ka_MCORE.s19), their version file\n"
        "and SHA256SUMS into OUTPUT_DIRECTORY, made if missing.\n"
        "\n"
        "  --seed N   another pair of the same structure (0, the default, writes the\n"
        "             committed images)\n"
        "  --help     show this and end\n"
        "  --version  show the version and end\n";
    const katools::ToolArguments arguments =
        katools::ParseToolArguments(argc, argv, "ka_generate_images", kUsage, {"--seed"}, 1);
    if (arguments.exitStatus) {
        return *arguments.exitStatus;
    }
    std::uint64_t seed = 0;
    if (const auto given = arguments.options.find("--seed"); given != arguments.options.end()) {
        const std::string& text = given->second;
        char* end = nullptr;
        errno = 0;
        seed = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())) ||
            *end != '\0' || errno != 0) {
            std::cerr << "ka_generate_images: --seed takes a number, not '" << text << "'\n";
            return 2;
        }
    }
    const std::filesystem::path directory = arguments.operands.front();
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        Fail("cannot create " + directory.string() + ": " + error.message());
    }

    const Bytes xilinx = MakeXilinxImage(seed);
    if (xilinx.size() != kXilinxFileBytes) {
        Fail("the .bit image has " + std::to_string(xilinx.size()) + " bytes");
    }
    WriteFile(directory / "KaXilinx.bit", xilinx.data(), xilinx.size());

    const std::string mcore = MakeMcoreImage(seed);
    WriteFile(directory / "Ka_MCORE.s19", mcore.data(), mcore.size());

    // The release the images stand for, as a firmware folder names it.
    constexpr std::string_view kVersion = "3-5\n";
    WriteFile(directory / "version", kVersion.data(), kVersion.size());

    // As every firmware folder carries them.
    const auto* versionBytes = reinterpret_cast<const std::uint8_t*>(kVersion.data());
    const auto* mcoreBytes = reinterpret_cast<const std::uint8_t*>(mcore.data());
    const std::string digests = kafirmware::DigestsText(
        {xilinx, {mcoreBytes, mcore.size()}, {versionBytes, kVersion.size()}, {}});
    WriteFile(directory / kafirmware::kDigestsFileName, digests.data(), digests.size());
    return 0;
}
