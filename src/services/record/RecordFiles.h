// What makes a file in the folder of records one of the program's records: its name, and the
// header its first line holds. Pruning removes only such files.
#ifndef KA_SERVICES_RECORD_RECORDFILES_H
#define KA_SERVICES_RECORD_RECORDFILES_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karecord {

// Enough for any header the program writes; a file whose first line is longer is not ours.
inline constexpr std::size_t kLongestHeaderRead = std::size_t{64} * 1024;

// update-<UTC start, to the microsecond>Z-<process>-<attempt>.jsonl: names sort in the order
// the records were started, and two records started within one microsecond differ by their
// attempt.
std::string RecordFileName(std::chrono::system_clock::time_point now, int process,
                           unsigned attempt);

// The start a record's name gives, in microseconds since 1970 UTC, when the name is one
// RecordFileName makes (a date and time that exist, the numbers of sizes it writes).
std::optional<std::int64_t> StartInRecordFileName(std::string_view name);

// Whether text, a file's first bytes (at most kLongestHeaderRead), begins with a whole line
// that is a record's header as the reader reads one.
bool IsRecordHeaderText(std::string_view text);

}  // namespace karecord

#endif
