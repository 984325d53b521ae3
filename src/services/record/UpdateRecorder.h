// The writer of update records: the program's calls (UpdateRecord.h) begin and end a
// record, and the observer the executable hands the FireWire backend puts the update's
// transactions and bus events into it.
#ifndef KA_SERVICES_RECORD_UPDATERECORDER_H
#define KA_SERVICES_RECORD_UPDATERECORDER_H

#include "BusObserver.h"
#include "RecordSchema.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace karecord {

// How many records are kept; the oldest go when a new one starts.
inline constexpr std::size_t kKeptUpdateRecords = 20;
// The hardware program's folder of records in the state folder. Another executable keeps
// its records in a folder of its own, so that trying it never costs the record of a real
// update.
inline constexpr const char* kUpdateRecordFolderName = "ka-firmware-updater";

// What the executable hands the backend (FireWireBackend::SetBusObserver): while a record
// is open, every call through a device interface and every bus event goes into it; the
// device file a unit was opened through and the drivers bound to its node go into the next
// record's header.
kaplatform::BusObserver& UpdateRecordObserver();

// Whether an update is being recorded now.
bool IsUpdateRecording();
// Whether an accepted update is under way (recorded or not): from UpdateRecordBegin to
// UpdateRecordEnd.
bool IsUpdateUnderway();

// Set once at start: the folder's name in the state folder (kUpdateRecordFolderName unless
// set), and whether accepted updates leave records at all (a replay writes none of its own;
// it is still IsUpdateUnderway from begin to end).
void SetUpdateRecordFolderName(std::string name);
void KeepUpdateRecords(bool keep);

// $XDG_STATE_HOME/<name>, or ~/.local/state/<name>; empty when neither variable names an
// absolute folder.
std::filesystem::path UpdateRecordFolder();
// The file of the record being written or last written; empty when there was none.
std::filesystem::path CurrentUpdateRecordFile();
// How the last finished record ended.
std::optional<RecordedOutcome> LastRecordedOutcome();

}  // namespace karecord

#endif
