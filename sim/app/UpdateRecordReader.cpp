// The strict reader of update records. A record comes back with an owner's report and is
// read by a developer who did not write it: every line is checked for its fields' types and
// ranges before anything of it answers the updater, and what cannot be read is refused
// with the line it is on.
#include "UpdateRecordReplay.h"

#include "RecordText.h"

#include <nlohmann/json.hpp>

#include <array>
#include <limits>

namespace kasim {
namespace {

using Json = nlohmann::json;

constexpr std::uint64_t kLatestTime = std::uint64_t{1} << 53;

// Why a line is refused: the sentence after "line N: ".
class LineFault {
  public:
    explicit LineFault(std::string why) : why_(std::move(why)) {}
    const std::string& Why() const { return why_; }

  private:
    std::string why_;
};

const Json& Field(const Json& line, const char* key) {
    const auto found = line.find(key);
    if (found == line.end()) {
        throw LineFault(std::string("has no '") + key + "'");
    }
    return *found;
}

std::int64_t Integer(const Json& line, const char* key, std::int64_t least, std::uint64_t most) {
    const Json& value = Field(line, key);
    const std::string range = std::string("'") + key + "' is not an integer from " +
                              std::to_string(least) + " to " + std::to_string(most);
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > most) {
            throw LineFault(range);
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < least || (number >= 0 && static_cast<std::uint64_t>(number) > most)) {
            throw LineFault(range);
        }
        return number;
    }
    throw LineFault(range);
}

IOReturn Status(const Json& line, const char* key) {
    return static_cast<IOReturn>(Integer(line, key, std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max()));
}

std::uint32_t Unsigned32(const Json& line, const char* key) {
    return static_cast<std::uint32_t>(
        Integer(line, key, 0, std::numeric_limits<std::uint32_t>::max()));
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

const std::string& String(const Json& line, const char* key) {
    const Json& value = Field(line, key);
    if (!value.is_string()) {
        throw LineFault(std::string("'") + key + "' is not a string");
    }
    return value.get_ref<const std::string&>();
}

// "0x" and 1 to digits hex digits, the whole string.
std::uint64_t HexNumber(const Json& line, const char* key, int digits) {
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
    throw LineFault(std::string("'") + key + "' is not \"0x\" and at most " +
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

std::vector<std::uint8_t> HexBytes(const Json& line, const char* key) {
    std::optional<std::vector<std::uint8_t>> bytes = BytesFromHex(String(line, key));
    if (!bytes) {
        throw LineFault(std::string("'") + key + "' is not an even number of hex digits");
    }
    return std::move(*bytes);
}

// A text field: a string, or {"bytes": hex} for text that is not UTF-8.
std::string Text(const Json& line, const char* key) {
    const Json& value = Field(line, key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_object() && value.size() == 1 && value.contains("bytes")) {
        const std::vector<std::uint8_t> bytes = HexBytes(value, "bytes");
        return {bytes.begin(), bytes.end()};
    }
    throw LineFault(std::string("'") + key + "' is neither a string nor {\"bytes\": hex}");
}

void TextIfPresent(const Json& line, const char* key) {
    if (line.contains(key)) {
        static_cast<void>(Text(line, key));
    }
}

SimulatedKaConfig UnitOf(const Json& header) {
    for (const char* key :
         {"program", "firmware", "firmwareSource", "kernel", "backend", "device"}) {
        TextIfPresent(header, key);
    }
    SimulatedKaConfig unit;
    unit.guid = HexNumber(header, "guid", 16);
    unit.softwareVersion = static_cast<std::uint32_t>(HexNumber(header, "softwareVersion", 8));
    unit.productRevision = static_cast<std::uint32_t>(HexNumber(header, "productRevision", 8));
    // As the updater reads it: the register's bytes up to the first NUL.
    const std::string serial = Text(header, "serial");
    if (serial.size() > kSerialNumberBytes || serial.find('\0') != std::string::npos) {
        throw LineFault("'serial' is not at most " + std::to_string(kSerialNumberBytes) +
                        " bytes without a NUL");
    }
    unit.serialNumber = SerialNumberFromText(serial);
    return unit;
}

bool IsTransfer(std::string_view operation) {
    return operation.ends_with("-quadlet") || operation.ends_with("-block");
}

RecordStep TransactionOf(const Json& line, RecordStep step) {
    static constexpr std::array<std::string_view, 7> kOperations = {
        "open",          "close",      "get-generation", "read-quadlet",
        "write-quadlet", "read-block", "write-block"};
    kaplatform::RecordedTransaction& transaction = step.transaction;
    transaction.operation = String(line, "op");
    if (std::find(kOperations.begin(), kOperations.end(), transaction.operation) ==
        kOperations.end()) {
        throw LineFault("'op' is not one of the device interface's calls");
    }
    transaction.status = Status(line, "status");
    transaction.generation = Unsigned32(line, "generation");
    if (IsTransfer(transaction.operation)) {
        transaction.address = HexNumber(line, "address", 16);
        transaction.length = Unsigned32(line, "length");
        transaction.moved = Unsigned32(line, "moved");
        if (transaction.moved > transaction.length) {
            throw LineFault("'moved' is more than 'length'");
        }
    }
    if (transaction.operation == "write-block") {
        const std::string& digest = String(line, "digest");
        if (digest.size() != 24 || !digest.starts_with("fnv1a64:") ||
            !BytesFromHex(std::string_view(digest).substr(8))) {
            throw LineFault("'digest' is not \"fnv1a64:\" and 16 hex digits");
        }
        step.digest = digest;
    } else if (transaction.operation == "read-block") {
        transaction.bytes = HexBytes(line, "bytes");
        if (transaction.bytes.size() > transaction.length) {
            throw LineFault("'bytes' holds more than 'length' bytes");
        }
    } else if (transaction.operation != "open" && transaction.operation != "close") {
        transaction.value = static_cast<std::uint32_t>(HexNumber(line, "value", 8));
    }
    return step;
}

// Which of the kinds of line this is; none for a kind a later program may write, which is
// passed over.
const char* KindOf(const Json& line) {
    const char* kind = nullptr;
    for (const char* key : {"op", "event", "image", "outcome"}) {
        if (line.contains(key)) {
            if (kind != nullptr) {
                throw LineFault(std::string("holds both '") + kind + "' and '" + key + "'");
            }
            kind = key;
        }
    }
    return kind;
}

class Reader {
  public:
    std::optional<UpdateRecordFile> Read(std::string_view text, std::string& error) {
        if (text.size() > kLargestUpdateRecord) {
            error = "not an update record: it has more than " +
                    std::to_string(kLargestUpdateRecord) + " bytes";
            return std::nullopt;
        }
        std::size_t number = 0;
        std::size_t start = 0;
        try {
            while (start < text.size()) {
                ++number;
                const std::size_t end = text.find('\n', start);
                const bool last = end == std::string_view::npos;
                const std::string_view line =
                    text.substr(start, last ? std::string_view::npos : end - start);
                start = last ? text.size() : end + 1;
                if (line.size() > kLongestUpdateRecordLine) {
                    throw LineFault("is longer than " + std::to_string(kLongestUpdateRecordLine) +
                                    " bytes");
                }
                if (!Take(line, number, last)) {
                    record_.cutLine = number;
                    --number;
                }
            }
        } catch (const LineFault& fault) {
            error = number == 1 && !headerRead_
                        ? "not an update record: its first line " + fault.Why()
                        : "line " + std::to_string(number) + ": " + fault.Why();
            return std::nullopt;
        }
        if (!headerRead_) {
            error = "not an update record: it is empty";
            return std::nullopt;
        }
        record_.lines = number;
        return std::move(record_);
    }

  private:
    // False for a last line cut short by a kill, which is left out.
    bool Take(std::string_view text, std::size_t number, bool last) {
        Json line;
        try {
            line = Json::parse(text);
        } catch (const Json::parse_error& fault) {
            // Only the very last line may end early, and only where a whole line would go on.
            const bool prefix = fault.byte == text.size() + 1 && text.starts_with('{');
            if (last && prefix && headerRead_) {
                return false;
            }
            throw LineFault("is not a JSON object");
        } catch (const Json::exception&) {
            // A number past a double's range: 1e400.
            throw LineFault("holds a number beyond every field's range");
        }
        if (!line.is_object()) {
            throw LineFault("is not a JSON object");
        }
        if (!headerRead_) {
            Header(line);
            return true;
        }
        if (outcomeRead_) {
            throw LineFault("follows the update's outcome");
        }
        if (Integer(line, "seq", 1, std::numeric_limits<std::int64_t>::max()) !=
            static_cast<std::int64_t>(number - 1)) {
            throw LineFault("'seq' is not " + std::to_string(number - 1));
        }
        const auto time = static_cast<std::uint64_t>(Integer(line, "t", 0, kLatestTime));
        if (time < lastTime_) {
            throw LineFault("its time " + std::to_string(time) + " comes before the line above's " +
                            std::to_string(lastTime_));
        }
        lastTime_ = time;
        Body(line, number, text, time);
        return true;
    }

    void Header(const Json& line) {
        const auto record = line.find("record");
        if (record == line.end() || *record != "ka-update") {
            throw LineFault("is not an update record's header");
        }
        if (Integer(line, "format", 0, std::numeric_limits<std::int64_t>::max()) != 1) {
            throw LineFault("names a format this program does not know");
        }
        headerRead_ = true;
        record_.unit = UnitOf(line);
    }

    void Body(const Json& line, std::size_t number, std::string_view text, std::uint64_t time) {
        const char* kind = KindOf(line);
        if (kind == nullptr) {
            return;
        }
        const std::string_view which = kind;
        RecordStep step;
        step.line = number;
        step.text = text;
        step.microseconds = time;
        if (which == "op") {
            record_.steps.push_back(TransactionOf(line, std::move(step)));
        } else if (which == "event") {
            step.event = Text(line, "event");
            record_.steps.push_back(std::move(step));
        } else if (which == "image") {
            const std::string& image = String(line, "image");
            if (image != "xilinx" && image != "mcore") {
                throw LineFault("'image' is neither \"xilinx\" nor \"mcore\"");
            }
            static_cast<void>(Status(line, "status"));
            if (!Field(line, "installed").is_boolean()) {
                throw LineFault("'installed' is neither true nor false");
            }
        } else {
            const std::string& outcome = String(line, "outcome");
            if (outcome != "installed" && outcome != "failed") {
                throw LineFault("'outcome' is neither \"installed\" nor \"failed\"");
            }
            static_cast<void>(Text(line, "description"));
            record_.outcome =
                kaplatform::RecordedOutcome{outcome == "installed", Status(line, "firstFailure")};
            outcomeRead_ = true;
        }
    }

    UpdateRecordFile record_;
    bool headerRead_ = false;
    bool outcomeRead_ = false;
    std::uint64_t lastTime_ = 0;
};

}  // namespace

std::optional<UpdateRecordFile> ParseUpdateRecord(std::string_view text, std::string& error) {
    return Reader().Read(text, error);
}

}  // namespace kasim
