// The built-in images checked from the outside: their layout parsed here independently of
// the generator, the compiled-in bytes against the files the build took them from, and the
// committed files against a fresh run of the generator.
#include <MacTypes.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BuiltInImages.h"
#include "KaWire.h"

#ifndef KA_IMAGE_GENERATOR
#error "KA_IMAGE_GENERATOR must name the image generator"
#endif

namespace {

const std::filesystem::path kDataDirectory = std::filesystem::path(KA_SOURCE_DIR) / "data";
// data/ unless the build was given the Ka's firmware.
const std::filesystem::path kImageFolder = KA_IMAGE_FOLDER;

std::vector<UInt8> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<UInt8> HexByte(std::string_view text) {
    unsigned value = 0;
    for (char digit : text) {
        value <<= 4;
        if (digit >= '0' && digit <= '9') {
            value |= static_cast<unsigned>(digit - '0');
        } else if (digit >= 'A' && digit <= 'F') {
            value |= static_cast<unsigned>(digit - 'A' + 10);
        } else {
            return std::nullopt;
        }
    }
    return static_cast<UInt8>(value);
}

struct SRecord {
    char type = 0;
    UInt32 address = 0;
    std::vector<UInt8> data;
};

// Parses one line without its line end; fails the test and returns nothing when the line is
// not a well-formed record with a correct checksum.
std::optional<SRecord> ParseRecord(std::string_view line) {
    if (line.size() < 4 || line[0] != 'S' || line.size() % 2 != 0) {
        ADD_FAILURE() << "malformed record: " << line;
        return std::nullopt;
    }
    std::vector<UInt8> fields;
    for (std::size_t position = 2; position < line.size(); position += 2) {
        const auto byte = HexByte(line.substr(position, 2));
        if (!byte) {
            ADD_FAILURE() << "not hexadecimal: " << line;
            return std::nullopt;
        }
        fields.push_back(*byte);
    }
    if (fields[0] + 1u != fields.size()) {
        ADD_FAILURE() << "count does not match the record length: " << line;
        return std::nullopt;
    }
    unsigned sum = 0;
    for (UInt8 byte : fields) {
        sum += byte;
    }
    if ((sum & 0xFF) != 0xFF) {
        ADD_FAILURE() << "bad checksum: " << line;
        return std::nullopt;
    }
    const std::size_t addressBytes = line[1] == '3' || line[1] == '7' ? 4 : 2;
    if (fields.size() < 2 + addressBytes) {
        ADD_FAILURE() << "record too short for its address: " << line;
        return std::nullopt;
    }
    SRecord record;
    record.type = line[1];
    for (std::size_t index = 1; index <= addressBytes; ++index) {
        record.address = (record.address << 8) | fields[index];
    }
    record.data.assign(fields.begin() + 1 + static_cast<std::ptrdiff_t>(addressBytes),
                       fields.end() - 1);
    return record;
}

TEST(McoreImageTest, IsWellFormedSRecordText) {
    const std::string_view text = katest::McoreText();
    ASSERT_EQ(text.size(), 74876u);
    ASSERT_TRUE(text.ends_with("\r\n"));

    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string_view::npos);
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    for (std::string_view line : lines) {
        ASSERT_EQ(line.find_first_of("\r\n"), std::string_view::npos) << "stray line break";
    }

    ASSERT_EQ(lines.size(), 1u + 1041u + 1u);
    EXPECT_EQ(lines.front(), "S0030000FC");
    EXPECT_EQ(lines.back(), "S70500020300F5");
    ASSERT_TRUE(ParseRecord(lines.front()));
    const auto start = ParseRecord(lines.back());
    ASSERT_TRUE(start);
    EXPECT_EQ(start->address, 0x00020300u);

    UInt32 nextAddress = 0x00020000;
    for (std::size_t index = 1; index + 1 < lines.size(); ++index) {
        const auto record = ParseRecord(lines[index]);
        ASSERT_TRUE(record) << "line " << index;
        ASSERT_EQ(record->type, '3') << "line " << index;
        ASSERT_EQ(record->address, nextAddress) << "line " << index;
        ASSERT_FALSE(record->data.empty());
        nextAddress += static_cast<UInt32>(record->data.size());
    }
    // The program's start address lies inside the loaded bytes.
    EXPECT_LT(start->address, nextAddress);
}

TEST(XilinxImageTest, HasTheBitFileLayout) {
    const auto file = katest::XilinxFile();
    ASSERT_EQ(file.size(), 336754u);
    auto byteAt = [&](std::size_t position) { return file[position]; };
    auto be16 = [&](std::size_t position) {
        return static_cast<UInt16>(byteAt(position) << 8 | byteAt(position + 1));
    };

    EXPECT_EQ(be16(0), 0x0009);
    const UInt8 preamble[9] = {0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00};
    EXPECT_TRUE(std::equal(std::begin(preamble), std::end(preamble), file.begin() + 2));
    EXPECT_EQ(be16(11), 0x0001);

    // The keyed text fields: key, length, text of that length ending in its NUL.
    struct Field {
        char key;
        std::size_t position;
        UInt16 length;
    };
    std::vector<std::string> texts;
    for (const Field& field :
         {Field{'a', 13, 12}, Field{'b', 28, 12}, Field{'c', 43, 11}, Field{'d', 57, 9}}) {
        EXPECT_EQ(byteAt(field.position), field.key);
        ASSERT_EQ(be16(field.position + 1), field.length) << field.key;
        const auto text = file.subspan(field.position + 3, field.length);
        EXPECT_EQ(text.back(), 0) << field.key;
        EXPECT_EQ(std::count(text.begin(), text.end(), 0), 1) << field.key;
        texts.emplace_back(text.begin(), text.end() - 1);
    }
    EXPECT_EQ(texts[1], "2s400eft256");
    auto matches = [](const std::string& text, std::string_view shape) {
        return text.size() == shape.size() &&
               std::equal(text.begin(), text.end(), shape.begin(), [](char c, char s) {
                   return s == '9' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == s;
               });
    };
    EXPECT_TRUE(matches(texts[2], "9999/99/99")) << texts[2];
    EXPECT_TRUE(matches(texts[3], "99:99:99")) << texts[3];

    EXPECT_EQ(byteAt(69), 'e');
    const UInt32 length = UInt32{byteAt(70)} << 24 | UInt32{byteAt(71)} << 16 |
                          UInt32{byteAt(72)} << 8 | UInt32{byteAt(73)};
    EXPECT_EQ(length, 336680u);
    EXPECT_EQ(length, file.size() - 74);

    const auto& sync = kawire::kSyncPattern;
    const auto found = std::search(file.begin(), file.end(), sync.begin(), sync.end());
    EXPECT_EQ(found - file.begin(), 74);
}

TEST(BuiltInImagesTest, AreTheBuildsFilesInFileOrder) {
    const auto xilinx = ReadFile(kImageFolder / "KaXilinx.bit");
    const auto mcore = ReadFile(kImageFolder / "Ka_MCORE.s19");
    ASSERT_EQ(xilinx.size(), KaXilinxDataSizeBytes);
    ASSERT_EQ(mcore.size(), KaMCORE06dataSize);
    EXPECT_TRUE(std::ranges::equal(xilinx, katest::XilinxFile()));
    EXPECT_TRUE(std::ranges::equal(mcore, katest::McoreFile()));

    // The array holds the file and two zero bytes that complete its last word.
    EXPECT_EQ(sizeof KaXilinxData, 336756u);
    EXPECT_EQ(sizeof KaMCORE06data, 74876u);
    const auto array = katest::XilinxArray();
    EXPECT_EQ(array[336754], 0);
    EXPECT_EQ(array[336755], 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(KaXilinxData) % 4, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(KaMCORE06data) % 4, 0u);
}

// A fresh directory that disappears with the test.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ka_images_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

TEST(ImageGeneratorTest, WritesTheCommittedFiles) {
    TemporaryDirectory output;
    ASSERT_FALSE(output.path().empty());
    const std::string command =
        std::string("'") + KA_IMAGE_GENERATOR + "' '" + output.path().string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    for (const char* name : {"KaXilinx.bit", "Ka_MCORE.s19", "version", "SHA256SUMS"}) {
        const auto generated = ReadFile(output.path() / name);
        const auto committed = ReadFile(kDataDirectory / name);
        ASSERT_FALSE(committed.empty()) << name;
        EXPECT_EQ(generated.size(), committed.size()) << name;
        EXPECT_TRUE(generated == committed) << name << " differs from a fresh run";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(output.path()),
                            std::filesystem::directory_iterator()),
              4);
}

}  // namespace
