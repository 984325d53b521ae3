// Playing back an update record: a simulated unit that answers the update's requests as the
// record says, and stops the replay at the first request that differs from the recorded one.
// Before the update is accepted, a simulated unit with the recorded identity answers
// discovery.
#ifndef KA_SIM_APP_UPDATERECORDREPLAY_H
#define KA_SIM_APP_UPDATERECORDREPLAY_H

#include "SimulatedKa.h"
#include "UpdateRecorder.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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
    std::size_t lines = 0;
};

// Reads a record; a line cut short by a kill ends it. Nothing on error, and error says why.
std::optional<UpdateRecordFile> ReadUpdateRecord(const std::filesystem::path& file,
                                                 std::string& error);

// How a request the updater made is shown next to the recorded one.
std::string DescribeRequest(const kaplatform::RecordedTransaction& request,
                            const std::string& digest);

// What a replay does when the updater's request differs from the record, or comes after
// its end: given the sentence that says so. The simulator ends with status 3.
using ReplayMismatch = std::function<void(const std::string&)>;

// keepPauses: answers wait for the recorded time since the first replayed request.
std::shared_ptr<kaplatform::FireWireBackend> MakeReplayBackend(UpdateRecordFile record,
                                                               bool keepPauses,
                                                               ReplayMismatch mismatch);

// Whether every recorded request has been made; replay is what MakeReplayBackend made.
bool ReplayFinished(const kaplatform::FireWireBackend& replay);

}  // namespace kasim

#endif
