#include "SRecord.h"

#include <cstdint>
#include <optional>

namespace kafirmware {
namespace {

std::optional<std::uint8_t> HexDigit(char digit) {
    if (digit >= '0' && digit <= '9') {
        return static_cast<std::uint8_t>(digit - '0');
    }
    if (digit >= 'A' && digit <= 'F') {
        return static_cast<std::uint8_t>(digit - 'A' + 10);
    }
    if (digit >= 'a' && digit <= 'f') {
        return static_cast<std::uint8_t>(digit - 'a' + 10);
    }
    return std::nullopt;
}

bool IsDataType(char type) {
    return type == '1' || type == '2' || type == '3';
}

bool IsStartType(char type) {
    return type == '7' || type == '8' || type == '9';
}

bool IsCountType(char type) {
    return type == '5' || type == '6';
}

// The start record that closes data records of a type: S1 with S9, S2 with S8, S3 with S7.
char StartTypeFor(char dataType) {
    return static_cast<char>('0' + 10 - (dataType - '0'));
}

void AppendHexByte(std::string& out, std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 0x0F]);
}

}  // namespace

const char* Describe(Error error) {
    switch (error) {
        case Error::None:
            return "no error";
        case Error::TooShort:
            return "record too short";
        case Error::NotARecord:
            return "not an S-record";
        case Error::UnknownType:
            return "unknown record type";
        case Error::OddLength:
            return "odd number of hex digits";
        case Error::NotHexadecimal:
            return "not hexadecimal";
        case Error::CountMismatch:
            return "count does not match the record length";
        case Error::TooShortForAddress:
            return "count too small for the address and checksum";
        case Error::BadChecksum:
            return "bad checksum";
        case Error::DataNotAllowed:
            return "data in a count or start record";
        case Error::AddressOverflow:
            return "data runs past the end of the address space";
    }
    return "unknown error";
}

std::size_t AddressBytes(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '6':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

Error Parse(std::string_view line, Record& record) {
    if (line.size() < 4) {
        return line.empty() || line[0] == 'S' ? Error::TooShort : Error::NotARecord;
    }
    if (line[0] != 'S') {
        return Error::NotARecord;
    }
    const char type = line[1];
    const std::size_t addressBytes = AddressBytes(type);
    if (addressBytes == 0) {
        return Error::UnknownType;
    }
    const std::string_view hex = line.substr(2);
    if (hex.size() % 2 != 0) {
        return Error::OddLength;
    }

    std::vector<std::uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t position = 0; position < hex.size(); position += 2) {
        const auto high = HexDigit(hex[position]);
        const auto low = HexDigit(hex[position + 1]);
        if (!high || !low) {
            return Error::NotHexadecimal;
        }
        bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    // The count covers the address, the data and the checksum, not itself.
    if (std::size_t{bytes[0]} + 1 != bytes.size()) {
        return Error::CountMismatch;
    }
    if (bytes[0] < addressBytes + 1) {
        return Error::TooShortForAddress;
    }
    unsigned sum = 0;
    for (std::size_t index = 0; index + 1 < bytes.size(); ++index) {
        sum += bytes[index];
    }
    if (static_cast<std::uint8_t>(~sum) != bytes.back()) {
        return Error::BadChecksum;
    }

    std::uint32_t address = 0;
    for (std::size_t index = 1; index <= addressBytes; ++index) {
        address = address << 8 | bytes[index];
    }
    const std::size_t dataBytes = bytes.size() - 2 - addressBytes;
    if (dataBytes != 0 && (IsCountType(type) || IsStartType(type))) {
        return Error::DataNotAllowed;
    }
    if (IsDataType(type) && std::uint64_t{address} + dataBytes > std::uint64_t{1}
                                                                     << (8 * addressBytes)) {
        return Error::AddressOverflow;
    }

    record.type = type;
    record.address = address;
    record.data.assign(bytes.begin() + 1 + static_cast<std::ptrdiff_t>(addressBytes),
                       bytes.end() - 1);
    return Error::None;
}

std::string Format(const Record& record) {
    const std::size_t addressBytes = AddressBytes(record.type);
    std::string line = {'S', record.type};
    const auto count = static_cast<std::uint8_t>(addressBytes + record.data.size() + 1);
    unsigned sum = count;
    AppendHexByte(line, count);
    for (std::size_t index = addressBytes; index-- > 0;) {
        const auto byte = static_cast<std::uint8_t>(record.address >> (8 * index));
        sum += byte;
        AppendHexByte(line, byte);
    }
    for (const std::uint8_t byte : record.data) {
        sum += byte;
        AppendHexByte(line, byte);
    }
    AppendHexByte(line, static_cast<std::uint8_t>(~sum));
    return line;
}

ImageSummary CheckImage(std::string_view text, std::string_view lineEnd) {
    ImageSummary summary;
    std::size_t lineNumber = 0;
    auto fail = [&](const char* fault) {
        summary.errorLine = lineNumber;
        summary.fault = fault;
        return summary;
    };
    if (lineEnd.empty()) {
        return fail("no line end given");
    }
    if (text.empty()) {
        return fail("no records");
    }

    char dataType = 0;
    bool started = false;
    bool counted = false;
    std::uint64_t nextAddress = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++lineNumber;
        const std::size_t end = text.find(lineEnd, start);
        if (end == std::string_view::npos) {
            return fail("last line has no line end");
        }
        const std::string_view line = text.substr(start, end - start);
        start = end + lineEnd.size();

        Record record;
        if (const Error error = Parse(line, record); error != Error::None) {
            summary.error = error;
            return fail(Describe(error));
        }
        if (lineNumber == 1) {
            if (record.type != '0') {
                return fail("first record is not a header");
            }
            continue;
        }
        if (started) {
            return fail("record after the start record");
        }
        if (record.type == '0') {
            return fail("second header record");
        }
        if (IsDataType(record.type)) {
            if (counted) {
                return fail("data record after the count record");
            }
            if (dataType == 0) {
                dataType = record.type;
                summary.firstAddress = record.address;
            } else if (record.type != dataType) {
                return fail("data records of different types");
            } else if (record.address != nextAddress) {
                return fail("data record does not start where the one before ended");
            }
            nextAddress = std::uint64_t{record.address} + record.data.size();
            ++summary.dataRecords;
            summary.dataBytes += record.data.size();
            continue;
        }
        if (IsCountType(record.type)) {
            if (counted) {
                return fail("second count record");
            }
            if (record.address != summary.dataRecords) {
                return fail("count record does not match the data records");
            }
            counted = true;
            continue;
        }
        // What is left is a start record.
        if (dataType == 0) {
            return fail("no data records");
        }
        if (record.type != StartTypeFor(dataType)) {
            return fail("start record does not match the data records");
        }
        summary.startAddress = record.address;
        started = true;
    }
    if (!started) {
        return fail("no start record");
    }
    return summary;
}

}  // namespace kafirmware
