// Playing back an update record: a simulated unit that answers the update's requests as the
// record says, and stops the replay at the first request that differs from the recorded one.
// Before the update is accepted, a simulated unit with the recorded identity answers
// discovery.
#ifndef KA_SIM_APP_UPDATERECORDREPLAY_H
#define KA_SIM_APP_UPDATERECORDREPLAY_H

#include "FireWireBackend.h"
#include "record/UpdateRecordReader.h"

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

// How a request the updater made is shown next to the recorded one.
std::string DescribeRequest(const karecord::RecordedTransaction& request);

// What a replay does when the updater's request differs from the record, or comes after
// its end: given the sentence that says so. The simulator ends with status 3.
using ReplayMismatch = std::function<void(const std::string&)>;

// The longest wait between two answers of a replay: the erase of an image, polled for a
// minute at most, is the longest step of an update.
inline constexpr std::chrono::microseconds kLongestReplayWait = std::chrono::minutes(1);

// All the waits of one replay together: a few times an update's own length. A record's times
// are whatever its file says, and a replay held for hours shows nothing but "0%".
inline constexpr std::chrono::microseconds kLongestReplayWaits = std::chrono::minutes(5);

// keepPauses: answers wait for the recorded time after the one before, at most longestWait
// each and longestWaits in all; each wait cut short is said on standard output.
std::shared_ptr<kaplatform::FireWireBackend> MakeReplayBackend(
    karecord::UpdateRecordFile record, bool keepPauses, ReplayMismatch mismatch,
    std::chrono::microseconds longestWait = kLongestReplayWait,
    std::chrono::microseconds longestWaits = kLongestReplayWaits);

// Whether every recorded request has been made; replay is what MakeReplayBackend made.
bool ReplayFinished(const kaplatform::FireWireBackend& replay);

// The simulator's trace of a replay: every transaction of the replayed unit, in order, one
// line each as the trace writes a transaction (SimulatorTrace.h): discovery's, which the
// unit with the record's identity answered, and the recorded ones that answered the update,
// each with the record's line it came from ("recordLine"). No flash lines: what a replayed
// unit's flash holds is not in its record.
void WriteReplayTrace(std::ostream& out, const kaplatform::FireWireBackend& replay);

}  // namespace kasim

#endif
