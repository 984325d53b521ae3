// What an update record holds, line by line (docs/update-record.md): the types the writer
// fills and the reader gives back. RecordCodec.h turns each into its line and back.
#ifndef KA_SERVICES_RECORD_RECORDSCHEMA_H
#define KA_SERVICES_RECORD_RECORDSCHEMA_H

#include "BusObserver.h"

#include <IOKit/IOReturn.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace karecord {

// The "record" and "format" a header line names; a reader takes no other format.
inline constexpr const char* kRecordKind = "ka-update";
inline constexpr int kRecordFormat = 1;
// The unit's serial-number register; the updater reads its bytes up to the first NUL.
inline constexpr std::size_t kLongestSerialNumber = 8;

// Line 1: what the program knew of the unit and of itself when the update was accepted,
// and what reached the bus.
struct RecordHeader {
    std::string program;
    std::string firmware;
    std::string firmwareSource;
    std::uint64_t guid = 0;
    std::string serial;
    std::uint32_t softwareVersion = 0;
    std::uint32_t productRevision = 0;
    std::string kernel;
    std::string backend;
    std::string device;
    std::string driver;
};

// One call through the device interface. Of a block write only a digest of the bytes asked
// to go is kept; a block read keeps its bytes, since a replay has to give them back.
struct RecordedTransaction {
    kaplatform::BusOperation operation = kaplatform::BusOperation::Open;
    std::uint64_t address = 0;
    std::uint32_t length = 0;
    std::uint32_t moved = 0;
    std::uint32_t value = 0;
    std::vector<std::uint8_t> bytes;  // read-block only
    std::string digest;               // write-block only: BlockDigest of the bytes
    IOReturn status = kIOReturnSuccess;
    std::uint32_t generation = 0;
};

// The transaction as a record keeps it.
RecordedTransaction RecordedFrom(const kaplatform::BusTransaction& transaction);

// One of the backend's bus event lines (resets, busy answers, re-sends, a node made anew).
struct RecordedBusEvent {
    std::string what;
};

// An image ("xilinx", "mcore") started again from its beginning; start counts from 1.
struct RecordedRestart {
    std::string image;
    int start = 0;
};

// How one image ended.
struct RecordedImageOutcome {
    std::string image;
    IOReturn status = kIOReturnSuccess;
    bool installed = false;
};

// "installed" or "failed" and the first failure, as the update ended.
struct RecordedOutcome {
    bool bothInstalled = false;
    IOReturn firstFailure = kIOReturnSuccess;
    bool operator==(const RecordedOutcome&) const = default;
};

// The last line: the outcome and the sentence the user was shown.
struct RecordedEnd {
    RecordedOutcome outcome;
    std::string description;
};

}  // namespace karecord

#endif
