// Motorola S-records: one record per line, "S", a type digit, then pairs of hex digits for
// the count, the address, the data and the checksum. The updater sends its controller image
// as this text without reading it; the image generator checks what it wrote with these
// functions, and the tests and the fuzzer hold them to the format.
#ifndef KA_SERVICES_FIRMWARE_SRECORD_H
#define KA_SERVICES_FIRMWARE_SRECORD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kafirmware {

struct Record {
    char type = '0';  // '0' to '9' except '4'
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};

enum class Error {
    None,
    TooShort,     // not even "S", type and count
    NotARecord,   // does not start with 'S'
    UnknownType,  // type digit not one of 0-3, 5-9
    OddLength,    // the hex part is not whole bytes
    NotHexadecimal,
    CountMismatch,       // the count byte does not give the bytes that follow it
    TooShortForAddress,  // the count leaves no room for the address and the checksum
    BadChecksum,
    DataNotAllowed,   // a count or start record that carries data
    AddressOverflow,  // the data runs past the end of the type's address space
};

// Text for an error, for messages.
const char* Describe(Error error);

// Bytes of the address field of a record type (2, 3 or 4), 0 for an unknown type.
std::size_t AddressBytes(char type);

// One record, without its line end. Hex digits may be of either case.
Error Parse(std::string_view line, Record& record);

// The line for a record (upper-case hex, no line end). The record must be one that Parse
// could have produced: a known type, at most 255 bytes after the count, no data in count
// and start records.
std::string Format(const Record& record);

// A whole image: lines ending in lineEnd (the last one too), a header record first, data
// records of one type with each starting where the one before ended, a start record of the
// matching type last.
struct ImageSummary {
    Error error = Error::None;
    std::size_t errorLine = 0;    // 1-based line of the first fault, 0 for none
    const char* fault = nullptr;  // what is wrong beyond a record's own format, or null
    std::size_t dataRecords = 0;
    std::size_t dataBytes = 0;
    std::uint32_t firstAddress = 0;
    std::uint32_t startAddress = 0;
};
ImageSummary CheckImage(std::string_view text, std::string_view lineEnd);

}  // namespace kafirmware

#endif
