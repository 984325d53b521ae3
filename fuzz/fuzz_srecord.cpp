// The S-record reader. Each input is tried as one record (every line of it) and as a whole
// image; whatever the reader accepts must write back to the same text.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "firmware/SRecord.h"

namespace {

void Require(bool holds, const char* what, std::string_view line) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_srecord: %s: %.*s\n", what, static_cast<int>(line.size()),
                     line.data());
        std::abort();
    }
}

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    for (char& character : upper) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return upper;
}

void CheckRecord(std::string_view line) {
    kafirmware::Record record;
    const kafirmware::Error error = kafirmware::Parse(line, record);
    if (error != kafirmware::Error::None) {
        Require(kafirmware::Describe(error) != nullptr, "error without a text", line);
        return;
    }
    const std::size_t addressBytes = kafirmware::AddressBytes(record.type);
    Require(addressBytes != 0, "accepted an unknown type", line);
    Require(addressBytes + record.data.size() + 1 <= 255, "accepted an oversized record", line);
    Require(addressBytes == 4 || record.address >> (8 * addressBytes) == 0,
            "address wider than its field", line);
    // Hex digits are case-blind; everything else must come back byte for byte.
    Require(kafirmware::Format(record) == UpperCase(line), "does not write back as read", line);
    kafirmware::Record again;
    Require(kafirmware::Parse(kafirmware::Format(record), again) == kafirmware::Error::None &&
                again.type == record.type && again.address == record.address &&
                again.data == record.data,
            "written record does not read back", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        CheckRecord(line);
        start = end + 1;
    }

    for (const std::string_view lineEnd : {std::string_view("\r\n"), std::string_view("\n")}) {
        const kafirmware::ImageSummary summary = kafirmware::CheckImage(text, lineEnd);
        if (summary.fault == nullptr) {
            Require(summary.errorLine == 0 && summary.dataRecords > 0,
                    "image accepted without data", text);
            Require(text.ends_with(lineEnd), "image accepted without its last line end", text);
        } else {
            Require(summary.errorLine > 0 || text.empty(), "fault without a line", text);
        }
    }
    return 0;
}
