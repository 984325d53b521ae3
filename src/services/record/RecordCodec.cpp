#include "RecordCodec.h"

#include "RecordText.h"

#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace karecord {
namespace {

using kaplatform::BusOperation;

WrittenLine TextValue(std::string_view text) {
    return EncodeText(text);
}

const ReadLine& Field(const ReadLine& line, const char* key) {
    const auto found = line.find(key);
    if (found == line.end()) {
        throw RecordFieldFault(std::string("has no '") + key + "'");
    }
    return *found;
}

IOReturn Status(const ReadLine& line, const char* key) {
    return static_cast<IOReturn>(DecodeInteger(line, key, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max()));
}

std::uint32_t Unsigned32(const ReadLine& line, const char* key) {
    return static_cast<std::uint32_t>(
        DecodeInteger(line, key, 0, std::numeric_limits<std::uint32_t>::max()));
}

int HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

const std::string& String(const ReadLine& line, const char* key) {
    const ReadLine& value = Field(line, key);
    if (!value.is_string()) {
        throw RecordFieldFault(std::string("'") + key + "' is not a string");
    }
    return value.get_ref<const std::string&>();
}

// "0x" and 1 to digits hex digits, the whole string.
std::uint64_t HexField(const ReadLine& line, const char* key, int digits) {
    const std::string& text = String(line, key);
    const bool shaped = text.size() > 2 && text.size() <= 2 + static_cast<std::size_t>(digits) &&
                        text.starts_with("0x");
    std::uint64_t value = 0;
    for (std::size_t index = 2; shaped && index < text.size(); ++index) {
        const int digit = HexDigitValue(text[index]);
        if (digit < 0) {
            break;
        }
        value = value << 4 | static_cast<std::uint64_t>(digit);
        if (index + 1 == text.size()) {
            return value;
        }
    }
    throw RecordFieldFault(std::string("'") + key + "' is not \"0x\" and at most " +
                           std::to_string(digits) + " hex digits");
}

std::optional<std::vector<std::uint8_t>> BytesFromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t index = 0; index < text.size(); index += 2) {
        const int high = HexDigitValue(text[index]);
        const int low = HexDigitValue(text[index + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::vector<std::uint8_t> HexBytes(const ReadLine& line, const char* key) {
    std::optional<std::vector<std::uint8_t>> bytes = BytesFromHex(String(line, key));
    if (!bytes) {
        throw RecordFieldFault(std::string("'") + key + "' is not an even number of hex digits");
    }
    return std::move(*bytes);
}

// A text field: a string, or {"bytes": hex} for text that is not UTF-8.
std::string Text(const ReadLine& line, const char* key) {
    const ReadLine& value = Field(line, key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_object() && value.size() == 1 && value.contains("bytes")) {
        const std::vector<std::uint8_t> bytes = HexBytes(value, "bytes");
        return {bytes.begin(), bytes.end()};
    }
    throw RecordFieldFault(std::string("'") + key + "' is neither a string nor {\"bytes\": hex}");
}

// The facts a replay does without: checked when present, empty when not.
std::string TextIfPresent(const ReadLine& line, const char* key) {
    return line.contains(key) ? Text(line, key) : std::string();
}

}  // namespace

RecordedTransaction RecordedFrom(const kaplatform::BusTransaction& transaction) {
    RecordedTransaction recorded;
    recorded.operation = transaction.operation;
    recorded.address = transaction.address;
    recorded.length = transaction.length;
    recorded.moved = transaction.moved;
    recorded.value = transaction.value;
    if (transaction.operation == BusOperation::WriteBlock) {
        recorded.digest = BlockDigest(transaction.bytes);
    } else if (transaction.operation == BusOperation::ReadBlock) {
        recorded.bytes.assign(transaction.bytes.begin(), transaction.bytes.end());
    }
    recorded.status = transaction.status;
    recorded.generation = transaction.generation;
    return recorded;
}

void EncodeHeader(WrittenLine& line, const RecordHeader& header) {
    line["record"] = kRecordKind;
    line["format"] = kRecordFormat;
    line["program"] = TextValue(header.program);
    line["firmware"] = TextValue(header.firmware);
    line["firmwareSource"] = TextValue(header.firmwareSource);
    line["guid"] = HexNumber(header.guid, 16);
    line["serial"] = TextValue(header.serial);
    line["softwareVersion"] = HexNumber(header.softwareVersion, 8);
    line["productRevision"] = HexNumber(header.productRevision, 8);
    line["kernel"] = TextValue(header.kernel);
    line["backend"] = TextValue(header.backend);
    line["device"] = TextValue(header.device);
    line["driver"] = TextValue(header.driver);
}

void EncodeTransaction(WrittenLine& line, const RecordedTransaction& transaction) {
    line["op"] = kaplatform::BusOperationName(transaction.operation);
    const bool transfer = kaplatform::MovesData(transaction.operation);
    if (transfer) {
        line["address"] = HexNumber(transaction.address, 12);
        line["length"] = transaction.length;
        line["moved"] = transaction.moved;
    }
    if (transaction.operation == BusOperation::WriteBlock) {
        line["digest"] = transaction.digest;
    } else if (transaction.operation == BusOperation::ReadBlock) {
        line["bytes"] = HexDigits(transaction.bytes);
    } else if (transfer || transaction.operation == BusOperation::GetGeneration) {
        line["value"] = HexNumber(transaction.value, 8);
    }
    line["status"] = transaction.status;
    line["generation"] = transaction.generation;
}

void EncodeBusEvent(WrittenLine& line, const RecordedBusEvent& event) {
    line["event"] = TextValue(event.what);
}

void EncodeRestart(WrittenLine& line, const RecordedRestart& restart) {
    line["restart"] = TextValue(restart.image);
    line["start"] = restart.start;
}

void EncodeImageOutcome(WrittenLine& line, const RecordedImageOutcome& outcome) {
    line["image"] = TextValue(outcome.image);
    line["status"] = outcome.status;
    line["installed"] = outcome.installed;
}

void EncodeEnd(WrittenLine& line, const RecordedEnd& end) {
    line["outcome"] = end.outcome.bothInstalled ? "installed" : "failed";
    line["firstFailure"] = end.outcome.firstFailure;
    line["description"] = TextValue(end.description);
}

std::int64_t DecodeInteger(const ReadLine& line, const char* key, std::int64_t least,
                           std::uint64_t most) {
    const ReadLine& value = Field(line, key);
    const std::string range = std::string("'") + key + "' is not an integer from " +
                              std::to_string(least) + " to " + std::to_string(most);
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > most) {
            throw RecordFieldFault(range);
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < least || (number >= 0 && static_cast<std::uint64_t>(number) > most)) {
            throw RecordFieldFault(range);
        }
        return number;
    }
    throw RecordFieldFault(range);
}

ReadLine ParseRecordLine(std::string_view text) {
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        throw RecordFieldFault("holds a NUL byte at byte " + std::to_string(nul + 1));
    }
    // The keys seen in each object open around the parser's position.
    std::vector<std::set<std::string>> open;
    std::optional<std::string> twice;
    ReadLine line =
        ReadLine::parse(text, [&](int, ReadLine::parse_event_t event, ReadLine& parsed) {
            if (event == ReadLine::parse_event_t::object_start) {
                open.emplace_back();
            } else if (event == ReadLine::parse_event_t::object_end && !open.empty()) {
                open.pop_back();
            } else if (event == ReadLine::parse_event_t::key && !open.empty() && !twice &&
                       parsed.is_string() &&
                       !open.back().insert(parsed.get_ref<const std::string&>()).second) {
                twice = parsed.get<std::string>();
            }
            return true;
        });
    if (twice) {
        throw RecordFieldFault("gives the key '" + TerminalText(*twice) + "' twice");
    }
    return line;
}

// JSON strings must be UTF-8; other text is kept as its bytes.
WrittenLine EncodeText(std::string_view text) {
    if (IsUtf8(text)) {
        return WrittenLine(text);
    }
    WrittenLine bytes = WrittenLine::object();
    bytes["bytes"] = HexDigits(std::vector<std::uint8_t>(text.begin(), text.end()));
    return bytes;
}

void CheckRecordKind(const ReadLine& line) {
    const auto kind = line.find("record");
    if (kind == line.end() || *kind != kRecordKind) {
        throw RecordFieldFault("is not an update record's header");
    }
    if (DecodeInteger(line, "format", 0, std::numeric_limits<std::int64_t>::max()) !=
        kRecordFormat) {
        throw RecordFieldFault("names a format this program does not know");
    }
}

RecordHeader DecodeHeader(const ReadLine& line) {
    RecordHeader header;
    header.program = TextIfPresent(line, "program");
    header.firmware = TextIfPresent(line, "firmware");
    header.firmwareSource = TextIfPresent(line, "firmwareSource");
    header.kernel = TextIfPresent(line, "kernel");
    header.backend = TextIfPresent(line, "backend");
    header.device = TextIfPresent(line, "device");
    header.guid = HexField(line, "guid", 16);
    header.softwareVersion = static_cast<std::uint32_t>(HexField(line, "softwareVersion", 8));
    header.productRevision = static_cast<std::uint32_t>(HexField(line, "productRevision", 8));
    header.serial = Text(line, "serial");
    if (header.serial.size() > kLongestSerialNumber ||
        header.serial.find('\0') != std::string::npos) {
        throw RecordFieldFault("'serial' is not at most " + std::to_string(kLongestSerialNumber) +
                               " bytes without a NUL");
    }
    header.driver = TextIfPresent(line, "driver");
    return header;
}

RecordedTransaction DecodeTransaction(const ReadLine& line) {
    RecordedTransaction transaction;
    const std::optional<BusOperation> operation =
        kaplatform::BusOperationFromName(String(line, "op"));
    // The lookup and making a device interface are the backend's, never the record's.
    if (!operation || *operation == BusOperation::Find ||
        *operation == BusOperation::CreateDevice) {
        throw RecordFieldFault("'op' is not one of the device interface's calls");
    }
    transaction.operation = *operation;
    transaction.status = Status(line, "status");
    transaction.generation = Unsigned32(line, "generation");
    if (kaplatform::MovesData(transaction.operation)) {
        transaction.address = HexField(line, "address", 16);
        transaction.length = Unsigned32(line, "length");
        transaction.moved = Unsigned32(line, "moved");
        if (transaction.moved > transaction.length) {
            throw RecordFieldFault("'moved' is more than 'length'");
        }
    }
    if (transaction.operation == BusOperation::WriteBlock) {
        const std::string& digest = String(line, "digest");
        if (digest.size() != 24 || !digest.starts_with("fnv1a64:") ||
            !BytesFromHex(std::string_view(digest).substr(8))) {
            throw RecordFieldFault("'digest' is not \"fnv1a64:\" and 16 hex digits");
        }
        transaction.digest = digest;
    } else if (transaction.operation == BusOperation::ReadBlock) {
        transaction.bytes = HexBytes(line, "bytes");
        if (transaction.bytes.size() > transaction.length) {
            throw RecordFieldFault("'bytes' holds more than 'length' bytes");
        }
    } else if (transaction.operation != BusOperation::Open &&
               transaction.operation != BusOperation::Close) {
        transaction.value = static_cast<std::uint32_t>(HexField(line, "value", 8));
    }
    return transaction;
}

RecordedBusEvent DecodeBusEvent(const ReadLine& line) {
    return RecordedBusEvent{Text(line, "event")};
}

RecordedImageOutcome DecodeImageOutcome(const ReadLine& line) {
    RecordedImageOutcome outcome;
    outcome.image = String(line, "image");
    if (outcome.image != "xilinx" && outcome.image != "mcore") {
        throw RecordFieldFault("'image' is neither \"xilinx\" nor \"mcore\"");
    }
    outcome.status = Status(line, "status");
    const ReadLine& installed = Field(line, "installed");
    if (!installed.is_boolean()) {
        throw RecordFieldFault("'installed' is neither true nor false");
    }
    outcome.installed = installed.get<bool>();
    return outcome;
}

RecordedEnd DecodeEnd(const ReadLine& line) {
    RecordedEnd end;
    const std::string& outcome = String(line, "outcome");
    if (outcome != "installed" && outcome != "failed") {
        throw RecordFieldFault("'outcome' is neither \"installed\" nor \"failed\"");
    }
    end.description = Text(line, "description");
    end.outcome = RecordedOutcome{outcome == "installed", Status(line, "firstFailure")};
    return end;
}

}  // namespace karecord
