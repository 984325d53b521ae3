// What pruning takes for one of the program's records: a name is taken only when it is one the
// program writes for the start it gives, and a first line only when the reader would read it
// as a record's header line. Never a crash, whatever the folder holds.
#include "record/RecordFiles.h"
#include "record/UpdateRecordReader.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The name up to the first NUL (as a folder's entry ends), the file's bytes after it.
    const std::size_t nul = input.find('\0');
    const std::string_view name = input.substr(0, nul);
    const std::string_view file =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    if (const std::optional<std::int64_t> start = karecord::StartInRecordFileName(name)) {
        // The name the program would give a record started then, by the same process and
        // attempt, is this very name.
        const std::string_view tail = name.substr(30, name.size() - 30 - 6);
        const std::size_t dash = tail.rfind('-');
        const std::string process(tail.substr(1, dash - 1));
        const std::string attempt(tail.substr(dash + 1));
        // The clock's own range ends in 2262.
        const bool onTheClock = *start < std::numeric_limits<std::int64_t>::max() / 1000;
        if (process.size() <= 9 && attempt.size() <= 9 && onTheClock) {
            const std::chrono::system_clock::time_point when{std::chrono::microseconds(*start)};
            const std::string again = karecord::RecordFileName(
                when, std::stoi(process), static_cast<unsigned>(std::stoul(attempt)));
            const bool padded = process.size() > 1 && process.front() == '0';
            const bool paddedAttempt = attempt.size() > 1 && attempt.front() == '0';
            if (!padded && !paddedAttempt && again != name) {
                std::abort();
            }
        }
    }

    if (karecord::IsRecordHeaderText(file)) {
        // A header pruning takes, the reader takes as a record's first line; it may still
        // lack a field a replay needs, but never holds what the reader refuses outright.
        const std::string_view line = file.substr(0, file.find('\n'));
        if (line.find('\0') != std::string_view::npos ||
            line.size() >= karecord::kLongestHeaderRead) {
            std::abort();
        }
        std::string error;
        static_cast<void>(karecord::ParseUpdateRecord(std::string(line) + "\n", error));
        if (error.find("not an update record: its first line is not a JSON object") == 0 ||
            error.find("' twice") != std::string::npos ||
            error.find("holds a NUL byte") != std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
