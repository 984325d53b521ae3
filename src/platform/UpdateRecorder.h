// The platform's side of the update record: what the device interface and the backends hand
// to it, and what the simulator's replay and the tests read back.
#ifndef KA_PLATFORM_UPDATERECORDER_H
#define KA_PLATFORM_UPDATERECORDER_H

#include <IOKit/IOReturn.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kaplatform {

// How many records are kept; the oldest go when a new one starts.
inline constexpr std::size_t kKeptUpdateRecords = 20;
// The hardware program's folder of records in the state folder. Another executable keeps
// its records in a folder of its own, so that trying it never costs the record of a real
// update.
inline constexpr const char* kUpdateRecordFolderName = "ka-firmware-updater";

// One call through the device interface. For block writes only a digest of the bytes is
// kept; block reads keep the bytes, since a replay has to give them back.
struct RecordedTransaction {
    std::string operation;  // as in the simulator's trace: "read-quadlet", "write-block", ...
    std::uint64_t address = 0;
    std::uint32_t length = 0;
    std::uint32_t moved = 0;
    std::uint32_t value = 0;
    std::vector<std::uint8_t> bytes;
    IOReturn status = kIOReturnSuccess;
    std::uint32_t generation = 0;
};

// Whether an update is being recorded now.
bool IsUpdateRecording();
// Whether an accepted update is under way (recorded or not): from UpdateRecordBegin to
// UpdateRecordEnd.
bool IsUpdateUnderway();
void RecordTransaction(const RecordedTransaction& transaction);
// One of the backend's bus event lines (resets, busy answers, re-sends, a node made anew).
void RecordBusEvent(std::string_view what);
// The device file the unit was last opened through, for the next record's header.
void NoteUnitDeviceFile(std::string_view path);
// The kernel drivers bound to the unit's node ("fw1.0: name", comma-separated; empty for
// none), for the next record's header.
void NoteUnitKernelDrivers(std::string_view drivers);

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
// "installed" or "failed" and the first failure, as the last finished record ends.
struct RecordedOutcome {
    bool bothInstalled = false;
    IOReturn firstFailure = kIOReturnSuccess;
    bool operator==(const RecordedOutcome&) const = default;
};
std::optional<RecordedOutcome> LastRecordedOutcome();

// Numbers and bytes as the record and the simulator's trace write them: "0x" and digits
// lower-case hex digits; two hex digits a byte.
std::string HexNumber(std::uint64_t value, int digits);
std::string HexDigits(const std::vector<std::uint8_t>& bytes);

// Reads a file that may hold anything, whole: only a regular file, opened without waiting
// (a named pipe is refused, not waited on), at most largest bytes. Empty, or what is wrong
// with the file as words that follow its name ("is a folder").
std::string ReadUntrustedFile(const std::filesystem::path& file, std::size_t largest,
                              std::string& text);

// The 64-bit FNV-1a digest a block write is recorded by, as "fnv1a64:" and 16 hex digits.
std::string BlockDigest(const std::vector<std::uint8_t>& bytes);

}  // namespace kaplatform

#endif
