// One JSON object a line, written and flushed line by line: a program killed in the middle
// of an update leaves every line up to the kill readable.
#include "UpdateRecorder.h"

#include <UpdateRecord.h>

#include "FireWireBackend.h"

#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <system_error>

namespace kaplatform {
namespace {

using Json = nlohmann::ordered_json;

std::string KernelName() {
    utsname name{};
    if (uname(&name) != 0) {
        return "unknown";
    }
    return std::string(name.sysname) + " " + name.release;
}

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

// Names sort in the order the records were started: UTC time to the microsecond, then the
// process, then a count for two records started within one microsecond.
std::string RecordFileName(std::chrono::system_clock::time_point now, unsigned attempt) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    char name[96];
    std::snprintf(name, sizeof name, "update-%s.%06lldZ-%d-%u.jsonl", stamp,
                  static_cast<long long>(micros), static_cast<int>(getpid()), attempt);
    return name;
}

// Keeps the newest records, counting the one about to be written.
void RemoveOldRecords(const std::filesystem::path& folder) {
    std::error_code error;
    std::vector<std::filesystem::path> records;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(error) && name.starts_with("update-") &&
            name.ends_with(".jsonl")) {
            records.push_back(entry.path());
        }
    }
    if (records.size() < kKeptUpdateRecords) {
        return;
    }
    std::sort(records.begin(), records.end());
    const std::size_t surplus = records.size() - (kKeptUpdateRecords - 1);
    for (std::size_t index = 0; index < surplus; ++index) {
        std::filesystem::remove(records[index], error);
    }
}

class Recorder {
  public:
    static Recorder& Instance() {
        static Recorder recorder;
        return recorder;
    }

    IOReturn Begin(const UpdateRecordFacts& facts) {
        std::scoped_lock lock(mutex_);
        CloseLocked();
        underway_ = true;
        const std::filesystem::path folder = UpdateRecordFolder();
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (!error) {
            RemoveOldRecords(folder);
            const auto now = std::chrono::system_clock::now();
            for (unsigned attempt = 0; attempt < 100 && !out_.is_open(); ++attempt) {
                const std::filesystem::path candidate = folder / RecordFileName(now, attempt);
                if (!std::filesystem::exists(candidate, error)) {
                    out_.open(candidate, std::ios::out | std::ios::trunc);
                    file_ = candidate;
                }
            }
        }
        if (!out_.is_open()) {
            std::cerr << "No record of this update is kept: the folder " << folder
                      << " cannot be written.\n";
            file_.clear();
            return kIOReturnNotWritable;
        }
        start_ = std::chrono::steady_clock::now();
        sequence_ = 0;
        const auto backend = GetFireWireBackend();
        Json header;
        header["record"] = "ka-update";
        header["format"] = 1;
        header["program"] = Text(facts.programVersion);
        header["firmware"] = Text(facts.firmwareVersion);
        header["firmwareSource"] = Text(facts.firmwareSource);
        header["guid"] = HexNumber(facts.guid, 16);
        header["serial"] = Text(facts.serialNumber);
        header["softwareVersion"] = HexNumber(facts.softwareVersion, 8);
        header["productRevision"] = HexNumber(facts.productRevision, 8);
        header["kernel"] = KernelName();
        header["backend"] = backend ? backend->Name() : std::string("none");
        header["device"] = deviceFile_;
        WriteLocked(header);
        return kIOReturnSuccess;
    }

    void Transaction(const RecordedTransaction& transaction) {
        std::scoped_lock lock(mutex_);
        if (!out_.is_open()) {
            return;
        }
        Json line = StampedLocked();
        line["op"] = transaction.operation;
        const bool transfer = transaction.operation.find("quadlet") != std::string::npos ||
                              transaction.operation.find("block") != std::string::npos;
        if (transfer) {
            line["address"] = HexNumber(transaction.address, 12);
            line["length"] = transaction.length;
            line["moved"] = transaction.moved;
        }
        if (transaction.operation == "write-block") {
            line["digest"] = BlockDigest(transaction.bytes);
        } else if (transaction.operation == "read-block") {
            line["bytes"] = HexDigits(transaction.bytes);
        } else if (transfer || transaction.operation == "get-generation") {
            line["value"] = HexNumber(transaction.value, 8);
        }
        line["status"] = transaction.status;
        line["generation"] = transaction.generation;
        WriteLocked(line);
    }

    void Event(std::string_view what) {
        std::scoped_lock lock(mutex_);
        if (!out_.is_open()) {
            return;
        }
        Json line = StampedLocked();
        line["event"] = what;
        WriteLocked(line);
    }

    void Image(const char* image, IOReturn status) {
        std::scoped_lock lock(mutex_);
        if (!out_.is_open()) {
            return;
        }
        Json line = StampedLocked();
        line["image"] = Text(image);
        line["status"] = status;
        line["installed"] = status == kIOReturnSuccess;
        WriteLocked(line);
    }

    void End(bool bothInstalled, IOReturn firstFailure, const char* description) {
        std::scoped_lock lock(mutex_);
        underway_ = false;
        lastOutcome_ = RecordedOutcome{bothInstalled, firstFailure};
        if (!out_.is_open()) {
            return;
        }
        Json line = StampedLocked();
        line["outcome"] = bothInstalled ? "installed" : "failed";
        line["firstFailure"] = firstFailure;
        line["description"] = Text(description);
        WriteLocked(line);
        CloseLocked();
    }

    bool Recording() {
        std::scoped_lock lock(mutex_);
        return out_.is_open();
    }

    bool Underway() {
        std::scoped_lock lock(mutex_);
        return underway_;
    }

    void NoteDevice(std::string_view path) {
        std::scoped_lock lock(mutex_);
        deviceFile_ = path;
    }

    std::filesystem::path File() {
        std::scoped_lock lock(mutex_);
        return file_;
    }

    std::optional<RecordedOutcome> Outcome() {
        std::scoped_lock lock(mutex_);
        return lastOutcome_;
    }

  private:
    Json StampedLocked() {
        Json line;
        line["seq"] = ++sequence_;
        line["t"] = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
        return line;
    }

    void WriteLocked(const Json& line) {
        out_ << line.dump() << '\n';
        out_.flush();
        if (!out_) {
            // A full disk, say: the update goes on without its record.
            std::cerr << "The record of this update could not be written on; it ends here.\n";
            CloseLocked();
        }
    }

    void CloseLocked() {
        if (out_.is_open()) {
            out_.close();
        }
        out_.clear();
    }

    std::mutex mutex_;
    std::ofstream out_;
    std::filesystem::path file_;
    std::string deviceFile_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t sequence_ = 0;
    std::optional<RecordedOutcome> lastOutcome_;
    bool underway_ = false;
};

}  // namespace

bool IsUpdateRecording() {
    return Recorder::Instance().Recording();
}

bool IsUpdateUnderway() {
    return Recorder::Instance().Underway();
}

void RecordTransaction(const RecordedTransaction& transaction) {
    Recorder::Instance().Transaction(transaction);
}

void RecordBusEvent(std::string_view what) {
    Recorder::Instance().Event(what);
}

void NoteUnitDeviceFile(std::string_view path) {
    Recorder::Instance().NoteDevice(path);
}

std::filesystem::path UpdateRecordFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::filesystem::path(state) / "ka-firmware-updater";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "") / ".local/state/ka-firmware-updater";
}

std::filesystem::path CurrentUpdateRecordFile() {
    return Recorder::Instance().File();
}

std::optional<RecordedOutcome> LastRecordedOutcome() {
    return Recorder::Instance().Outcome();
}

std::string HexNumber(std::uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexDigits(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

std::string BlockDigest(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace kaplatform

IOReturn UpdateRecordBegin(const UpdateRecordFacts* facts) {
    if (facts == nullptr) {
        return kIOReturnBadArgument;
    }
    return kaplatform::Recorder::Instance().Begin(*facts);
}

void UpdateRecordImageOutcome(const char* image, IOReturn status) {
    kaplatform::Recorder::Instance().Image(image, status);
}

void UpdateRecordEnd(Boolean bothInstalled, IOReturn firstFailure, const char* description) {
    kaplatform::Recorder::Instance().End(bothInstalled != 0, firstFailure, description);
}

CFStringRef UpdateRecordCopyFolderPath() {
    return CFStringCreateWithCString(nullptr, kaplatform::UpdateRecordFolder().c_str(),
                                     kCFStringEncodingUTF8);
}

CFStringRef UpdateRecordCopyFilePath() {
    const std::filesystem::path file = kaplatform::CurrentUpdateRecordFile();
    if (file.empty()) {
        return nullptr;
    }
    return CFStringCreateWithCString(nullptr, file.c_str(), kCFStringEncodingUTF8);
}
