// The S-record reader the image generator checks its output with.
#include "firmware/SRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "BuiltInImages.h"

namespace {

using kafirmware::Error;

// A small program in the conventional layout: header, S1 data, count, start.
constexpr std::string_view kSmallImage =
    "S00F000068656C6C6F202020202000003C\n"
    "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\n"
    "S11F001C4BFFFFE5398000007D83637880010014382100107C0803A64E800020E9\n"
    "S111003848656C6C6F20776F726C642E0A0042\n"
    "S5030003F9\n"
    "S9030000FC\n";

TEST(SRecordTest, ReadsEveryKindOfRecord) {
    kafirmware::Record record;
    ASSERT_EQ(kafirmware::Parse("S111003848656C6C6F20776F726C642E0A0042", record), Error::None);
    EXPECT_EQ(record.type, '1');
    EXPECT_EQ(record.address, 0x0038u);
    EXPECT_EQ(std::string(record.data.begin(), record.data.end()),
              std::string("Hello world.\n\0", 14));

    ASSERT_EQ(kafirmware::Parse("S70500020300F5", record), Error::None);
    EXPECT_EQ(record.type, '7');
    EXPECT_EQ(record.address, 0x00020300u);
    EXPECT_TRUE(record.data.empty());

    // Lower-case digits are as good as upper-case ones.
    ASSERT_EQ(kafirmware::Parse("s5030003f9", record), Error::NotARecord);
    ASSERT_EQ(kafirmware::Parse("S5030003f9", record), Error::None);
    EXPECT_EQ(record.address, 3u);

    // A 24-bit record at the very top of its address space.
    kafirmware::Record top{'2', 0xFFFFFE, {0x12, 0x34}};
    const std::string line = kafirmware::Format(top);
    ASSERT_EQ(kafirmware::Parse(line, record), Error::None);
    EXPECT_EQ(record.address, 0xFFFFFEu);
    EXPECT_EQ(record.data, top.data);
    EXPECT_EQ(kafirmware::Format(record), line);
}

TEST(SRecordTest, RejectsMalformedRecords) {
    const struct {
        std::string_view line;
        Error error;
    } cases[] = {
        {"", Error::TooShort},
        {"S9", Error::TooShort},
        {"X9030000FC", Error::NotARecord},
        {"S4030000FC", Error::UnknownType},
        {"SA030000FC", Error::UnknownType},
        {"S9030000F", Error::OddLength},
        {"S9030000FG", Error::NotHexadecimal},
        {"S9030000 C", Error::NotHexadecimal},
        {"S9040000FC", Error::CountMismatch},
        {"S9020000", Error::TooShortForAddress},
        {"S90200FD", Error::TooShortForAddress},
        {"S70400020300F5", Error::CountMismatch},
        {"S9030000FD", Error::BadChecksum},
        {"S111003848656C6C6F20776F726C642E0A0043", Error::BadChecksum},
        // A start record with a data byte, checksum correct.
        {"S904000000FB", Error::DataNotAllowed},
        // Two data bytes from 0xFFFF run past the 16-bit address space.
        {"S105FFFF0102F9", Error::AddressOverflow},
    };
    for (const auto& each : cases) {
        kafirmware::Record record;
        EXPECT_EQ(kafirmware::Parse(each.line, record), each.error) << each.line;
    }
    // One data byte at 0xFFFF is the last byte of the space, and fine.
    kafirmware::Record record;
    EXPECT_EQ(kafirmware::Parse("S104FFFF01FC", record), Error::None);
}

TEST(SRecordTest, ChecksWholeImages) {
    auto summary = kafirmware::CheckImage(kSmallImage, "\n");
    EXPECT_EQ(summary.fault, nullptr);
    EXPECT_EQ(summary.dataRecords, 3u);
    EXPECT_EQ(summary.dataBytes, 28u + 28u + 14u);
    EXPECT_EQ(summary.firstAddress, 0u);
    EXPECT_EQ(summary.startAddress, 0u);

    summary = kafirmware::CheckImage(katest::McoreText(), "\r\n");
    EXPECT_EQ(summary.fault, nullptr) << summary.errorLine << ": " << summary.fault;
    EXPECT_EQ(summary.dataRecords, 1041u);
    EXPECT_EQ(summary.firstAddress, 0x00020000u);
    EXPECT_EQ(summary.startAddress, 0x00020300u);
    // The same text with bare line feeds is one long line that is no record.
    EXPECT_NE(kafirmware::CheckImage(katest::McoreText(), "\n").fault, nullptr);
}

TEST(SRecordTest, FindsTheFirstFaultOfAnImage) {
    const std::string small(kSmallImage);
    auto lineOfFault = [](const std::string& text) {
        return kafirmware::CheckImage(text, "\n").errorLine;
    };
    auto withLine = [&](std::size_t index, const std::string& replacement) {
        std::vector<std::string> lines;
        for (std::size_t start = 0; start < small.size();) {
            const std::size_t end = small.find('\n', start);
            lines.push_back(small.substr(start, end - start));
            start = end + 1;
        }
        std::string text;
        for (std::size_t each = 0; each < lines.size(); ++each) {
            if (each == index && replacement.empty()) {
                continue;
            }
            text += (each == index ? replacement : lines[each]) + "\n";
        }
        return text;
    };
    EXPECT_EQ(lineOfFault(""), 0u);
    EXPECT_EQ(lineOfFault(withLine(0, "")), 1u);                // no header
    EXPECT_EQ(lineOfFault(withLine(2, "")), 3u);                // gap in the data
    EXPECT_EQ(lineOfFault(withLine(4, "S5030002FA")), 5u);      // wrong count
    EXPECT_EQ(lineOfFault(withLine(5, "S70500000000FA")), 6u);  // S1 data, S7 start
    EXPECT_EQ(lineOfFault(withLine(5, "")), 5u);                // no start record
    EXPECT_EQ(lineOfFault(withLine(3, "S111003848656C6C6F20776F726C642E0A0043")), 4u);
    EXPECT_EQ(lineOfFault(small + "S9030000FC\n"), 7u);             // after the start
    EXPECT_EQ(lineOfFault(small.substr(0, small.size() - 1)), 6u);  // no final line end
    EXPECT_EQ(kafirmware::CheckImage(small, "").fault != nullptr, true);
}

}  // namespace
