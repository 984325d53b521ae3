// The strict reader of update records. A record comes back with an owner's report and is
// read by a developer who did not write it: every line is checked for its fields' types and
// ranges before anything of it is used, and what cannot be read is refused with the line
// it is on.
#ifndef KA_SERVICES_RECORD_UPDATERECORDREADER_H
#define KA_SERVICES_RECORD_UPDATERECORDREADER_H

#include "RecordSchema.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karecord {

// One line of a record after its header that a replay plays: a transaction or a bus event.
struct RecordStep {
    std::size_t line = 0;  // counted from 1, the header being line 1
    std::string text;      // the line as written
    std::uint64_t microseconds = 0;
    std::optional<RecordedBusEvent> event;  // a bus event; none for a transaction
    RecordedTransaction transaction;
};

struct UpdateRecordFile {
    RecordHeader header;
    std::vector<RecordStep> steps;  // transactions and events, in order
    std::optional<RecordedOutcome> outcome;
    std::size_t lines = 0;  // the whole lines
    // The last line, when a kill cut it short; it is left out.
    std::optional<std::size_t> cutLine;
};

// Far more than a record of an update that polled the erase for its whole minute; a file
// or a line beyond these is refused before it is read whole.
inline constexpr std::size_t kLargestUpdateRecord = std::size_t{64} << 20;
inline constexpr std::size_t kLongestUpdateRecordLine = std::size_t{1} << 20;

// A record's text, checked line by line. Nothing on error, and error says why: "not an
// update record: ..." when the first line is no header of a format this program knows,
// "line N: ..." when a later line has a field missing, of another type or out of its range.
std::optional<UpdateRecordFile> ParseUpdateRecord(std::string_view text, std::string& error);

// Reads and parses a record: only a regular file, opened without waiting on it. error
// names the file.
std::optional<UpdateRecordFile> ReadUpdateRecord(const std::filesystem::path& file,
                                                 std::string& error);

// Reads a file that may hold anything, whole: only a regular file, opened without waiting
// (a named pipe is refused, not waited on), at most largest bytes. Empty, or what is wrong
// with the file as words that follow its name ("is a folder").
std::string ReadUntrustedFile(const std::filesystem::path& file, std::size_t largest,
                              std::string& text);

}  // namespace karecord

#endif
