// A record is read whole and line by line; the first fault ends the reading with the line
// it is on.
#include "UpdateRecordReader.h"

#include "RecordCodec.h"
#include "RecordText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace karecord {
namespace {

using Json = ReadLine;
using LineFault = RecordFieldFault;

constexpr std::uint64_t kLatestTime = std::uint64_t{1} << 53;

// Which of the kinds of line this is; none for a kind a later program may write (or one
// the replay does without, an image started again), which is passed over.
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
            line = ParseRecordLine(text);
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
        if (DecodeInteger(line, "seq", 1, std::numeric_limits<std::int64_t>::max()) !=
            static_cast<std::int64_t>(number - 1)) {
            throw LineFault("'seq' is not " + std::to_string(number - 1));
        }
        const auto time = static_cast<std::uint64_t>(DecodeInteger(line, "t", 0, kLatestTime));
        if (time < lastTime_) {
            throw LineFault("its time " + std::to_string(time) + " comes before the line above's " +
                            std::to_string(lastTime_));
        }
        lastTime_ = time;
        Body(line, number, text, time);
        return true;
    }

    void Header(const Json& line) {
        CheckRecordKind(line);
        // From here a fault is the line's: the file is a record, one that cannot be read.
        headerRead_ = true;
        record_.header = DecodeHeader(line);
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
            step.transaction = DecodeTransaction(line);
            record_.steps.push_back(std::move(step));
        } else if (which == "event") {
            step.event = DecodeBusEvent(line);
            record_.steps.push_back(std::move(step));
        } else if (which == "image") {
            static_cast<void>(DecodeImageOutcome(line));
        } else {
            record_.outcome = DecodeEnd(line).outcome;
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

std::optional<UpdateRecordFile> ReadUpdateRecord(const std::filesystem::path& file,
                                                 std::string& error) {
    // Built piece by piece: GCC 12 at -O3 takes "'" + std::string&& for an overlapping copy
    // (-Wrestrict) and the benchmark build stops.
    std::string name = "'";
    name += TerminalText(file.string());
    name += "'";
    std::string text;
    if (std::string defect = ReadUntrustedFile(file, kLargestUpdateRecord, text); !defect.empty()) {
        error = name + " " + defect;
        return std::nullopt;
    }
    std::optional<UpdateRecordFile> record = ParseUpdateRecord(text, error);
    if (!record) {
        error = name + ": " + error;
    }
    return record;
}

std::string ReadUntrustedFile(const std::filesystem::path& file, std::size_t largest,
                              std::string& text) {
    text.clear();
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::string("cannot be opened: ") + std::strerror(errno);
    }
    struct stat status {};
    std::string defect;
    if (::fstat(descriptor, &status) != 0) {
        defect = std::string("cannot be examined: ") + std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        defect = "is a folder";
    } else if (!S_ISREG(status.st_mode)) {
        defect = "is not a regular file";
    } else if (static_cast<std::uintmax_t>(status.st_size) > largest) {
        defect = "has more than " + std::to_string(largest) + " bytes";
    }
    char chunk[65536];
    while (defect.empty()) {
        const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            defect = std::string("cannot be read: ") + std::strerror(errno);
        } else if (count == 0) {
            break;
        } else if (text.size() + static_cast<std::size_t>(count) > largest) {
            // Grown since it was looked at.
            defect = "has more than " + std::to_string(largest) + " bytes";
        } else {
            text.append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(descriptor);
    if (!defect.empty()) {
        text.clear();
    }
    return defect;
}

}  // namespace karecord
