// Playing back an update record: a simulated unit that answers the update's requests as the
// record says, and stops the replay at the first request that differs from the recorded one.
// Before the update is accepted, a simulated unit with the recorded identity answers
// discovery.
#ifndef KA_SIM_APP_UPDATERECORDREPLAY_H
#define KA_SIM_APP_UPDATERECORDREPLAY_H

#include "SimulatedKa.h"
#include "UpdateRecorder.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kasim {

// One line of a record after its header: a transaction, a bus event, an image's or the
// update's outcome.
struct RecordStep {
    std::size_t line = 0;  // counted from 1, the header being line 1
    std::string text;      // the line as written
    std::uint64_t microseconds = 0;
    std::string event;  // a bus event's words; empty for a transaction
    kaplatform::RecordedTransaction transaction;
    std::string digest;  // write-block only
};

struct UpdateRecordFile {
    SimulatedKaConfig unit;
    std::vector<RecordStep> steps;  // transactions and events, in order
    std::optional<kaplatform::RecordedOutcome> outcome;
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

// How a request the updater made is shown next to the recorded one.
std::string DescribeRequest(const kaplatform::RecordedTransaction& request,
                            const std::string& digest);

// What a replay does when the updater's request differs from the record, or comes after
// its end: given the sentence that says so. The simulator ends with status 3.
using ReplayMismatch = std::function<void(const std::string&)>;

// The longest wait between two answers of a replay: the erase of an image, polled for a
// minute at most, is the longest step of an update.
inline constexpr std::chrono::microseconds kLongestReplayWait = std::chrono::minutes(1);

// keepPauses: answers wait for the recorded time after the one before, at most longestWait
// each.
std::shared_ptr<kaplatform::FireWireBackend> MakeReplayBackend(
    UpdateRecordFile record, bool keepPauses, ReplayMismatch mismatch,
    std::chrono::microseconds longestWait = kLongestReplayWait);

// Whether every recorded request has been made; replay is what MakeReplayBackend made.
bool ReplayFinished(const kaplatform::FireWireBackend& replay);

// The simulator's trace of a replay: the recorded transactions that answered the updater,
// one line each as the trace writes a transaction, with the record's line they came from.
// No flash lines: what a replayed unit's flash holds is not in its record.
void WriteReplayTrace(std::ostream& out, const kaplatform::FireWireBackend& replay);

}  // namespace kasim

#endif
