// One JSON object a line, written and flushed line by line: a program killed in the middle
// of an update leaves every line up to the kill readable.
#include "UpdateRecorder.h"

#include "RecordCodec.h"
#include "UpdateRecord.h"

#include "FireWireBackend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace karecord {
namespace {

using Json = WrittenLine;

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

constexpr const char* kRecordNamePrefix = "update-";
constexpr const char* kRecordNameSuffix = ".jsonl";
// Enough for any header the program writes; a file whose first line is longer is not ours.
constexpr std::size_t kLongestHeaderRead = std::size_t{64} * 1024;

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
    std::snprintf(name, sizeof name, "%s%s.%06lldZ-%d-%u%s", kRecordNamePrefix, stamp,
                  static_cast<long long>(micros), static_cast<int>(getpid()), attempt,
                  kRecordNameSuffix);
    return name;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits) {
    int value = 0;
    for (const char digit : digits) {
        value = value * 10 + (digit - '0');
    }
    return value;
}

// The start a record's name gives, in microseconds since 1970 UTC, when the name is one
// RecordFileName makes.
std::optional<std::int64_t> StartInName(std::string_view name) {
    // update-YYYYMMDDTHHMMSS.uuuuuuZ-<pid>-<n>.jsonl
    constexpr std::size_t kStampLength = 8 + 1 + 6 + 1 + 6 + 1;
    const std::string_view prefix = kRecordNamePrefix;
    const std::string_view suffix = kRecordNameSuffix;
    if (!name.starts_with(prefix) || !name.ends_with(suffix) ||
        name.size() < prefix.size() + kStampLength + suffix.size()) {
        return std::nullopt;
    }
    const std::string_view stamp = name.substr(prefix.size(), kStampLength);
    const std::string_view rest = name.substr(
        prefix.size() + kStampLength, name.size() - prefix.size() - kStampLength - suffix.size());
    const std::size_t dash = rest.rfind('-');
    if (!AllDigits(stamp.substr(0, 8)) || stamp[8] != 'T' || !AllDigits(stamp.substr(9, 6)) ||
        stamp[15] != '.' || !AllDigits(stamp.substr(16, 6)) || stamp[22] != 'Z' ||
        !rest.starts_with('-') || dash == 0 || dash == std::string_view::npos ||
        !AllDigits(rest.substr(1, dash - 1)) || !AllDigits(rest.substr(dash + 1)) ||
        rest.size() > 24) {
        return std::nullopt;
    }
    std::tm utc{};
    utc.tm_year = Number(stamp.substr(0, 4)) - 1900;
    utc.tm_mon = Number(stamp.substr(4, 2)) - 1;
    utc.tm_mday = Number(stamp.substr(6, 2));
    utc.tm_hour = Number(stamp.substr(9, 2));
    utc.tm_min = Number(stamp.substr(11, 2));
    utc.tm_sec = Number(stamp.substr(13, 2));
    const std::time_t seconds = timegm(&utc);
    return static_cast<std::int64_t>(seconds) * 1000000 + Number(stamp.substr(16, 6));
}

// Whether the regular file name in folder (not a link, not a device, not a pipe) begins with
// a record's header line: only such files are the program's to remove.
bool HoldsRecordHeader(int folder, const std::string& name) {
    const int file = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    struct stat status {};
    std::string text(kLongestHeaderRead, '\0');
    std::size_t filled = 0;
    bool regular = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    while (regular && filled < text.size()) {
        const ssize_t count = ::read(file, text.data() + filled, text.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            regular = count == 0;
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    ::close(file);
    const std::size_t end = text.find('\n');
    if (!regular || end == std::string::npos || end >= filled) {
        return false;
    }
    const Json header =
        Json::parse(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
    const auto record = header.is_object() ? header.find("record") : header.end();
    return record != header.end() && record->is_string() && *record == kRecordKind;
}

// Keeps the newest records, counting the one about to be written. Newest by the start in
// the name; a record that says it started later than now was written under a clock that
// was ahead, or copied in, and goes first rather than push out the records of real updates.
void RemoveOldRecords(const std::filesystem::path& folder) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::error_code error;
    std::vector<std::pair<std::int64_t, std::string>> records;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const std::optional<std::int64_t> start = StartInName(name);
        if (start && entry.symlink_status(error).type() == std::filesystem::file_type::regular &&
            HoldsRecordHeader(descriptor, name)) {
            records.emplace_back(*start > now ? std::numeric_limits<std::int64_t>::min() : *start,
                                 name);
        }
    }
    if (records.size() >= kKeptUpdateRecords) {
        std::sort(records.begin(), records.end());
        const std::size_t surplus = records.size() - (kKeptUpdateRecords - 1);
        for (std::size_t index = 0; index < surplus; ++index) {
            // By name within the folder opened: a link put in its place is removed, not
            // followed.
            ::unlinkat(descriptor, records[index].second.c_str(), 0);
        }
    }
    ::close(descriptor);
}

// Makes folder and what is missing above it, each only its owner's to enter, as the
// state folders of a user's session are. A folder the program made before with wider
// permissions is narrowed; one that is a link is the owner's choice and is left alone.
bool MakePrivateFolder(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& component : folder) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) {
        return false;
    }
    if (S_ISDIR(status.st_mode) && status.st_uid == ::getuid() && (status.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), 0700);
    }
    return true;
}

// A line that did not reach the file; the record ends there with one line, the update
// goes on.
class RecordError final : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Recorder {
  public:
    static Recorder& Instance() {
        static Recorder recorder;
        return recorder;
    }

    IOReturn Begin(const UpdateRecordFacts& facts) {
        std::scoped_lock lock(mutex_);
        CloseLocked();
        file_.clear();
        underway_ = true;
        if (!enabled_) {
            return kIOReturnNotWritable;
        }
        try {
            return BeginLocked(facts);
        } catch (const std::exception&) {
            // Out of memory, say: the update goes on without its record.
            std::clog << "No record of this update is kept: it could not be started.\n";
            CloseLocked();
            file_.clear();
            return kIOReturnNotWritable;
        }
    }

    // One line after the header, its fields put in by encode.
    template <typename Encode>
    void Append(Encode encode) {
        std::scoped_lock lock(mutex_);
        AppendLocked(encode);
    }

    // A transaction is copied (and a block write's bytes digested) only while a record is
    // open: discovery's calls are many and go nowhere.
    void Transaction(const kaplatform::BusTransaction& transaction) {
        std::scoped_lock lock(mutex_);
        if (out_ >= 0) {
            AppendLocked([&](Json& line) { EncodeTransaction(line, RecordedFrom(transaction)); });
        }
    }

    void End(bool bothInstalled, IOReturn firstFailure, const char* description) {
        std::scoped_lock lock(mutex_);
        underway_ = false;
        lastOutcome_ = RecordedOutcome{bothInstalled, firstFailure};
        AppendLocked([&](Json& line) {
            EncodeEnd(line, RecordedEnd{*lastOutcome_, Text(description)});
        });
        CloseLocked();
    }

    bool Recording() {
        std::scoped_lock lock(mutex_);
        return out_ >= 0;
    }

    bool Underway() {
        std::scoped_lock lock(mutex_);
        return underway_;
    }

    void NoteDevice(std::string_view path) {
        std::scoped_lock lock(mutex_);
        deviceFile_ = path;
    }

    void NoteDrivers(std::string_view drivers) {
        std::scoped_lock lock(mutex_);
        kernelDrivers_ = drivers;
    }

    void Enable(bool enabled) {
        std::scoped_lock lock(mutex_);
        enabled_ = enabled;
    }

    void UseFolderName(std::string name) {
        std::scoped_lock lock(mutex_);
        folderName_ = std::move(name);
    }

    std::filesystem::path Folder() {
        std::scoped_lock lock(mutex_);
        return FolderLocked();
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
    IOReturn BeginLocked(const UpdateRecordFacts& given) {
        const std::filesystem::path folder = FolderLocked();
        if (folder.empty()) {
            // Lines for the user go on std::clog: every front end lets them through.
            std::clog << "No record of this update is kept: neither XDG_STATE_HOME nor HOME "
                         "names a folder.\n";
            return kIOReturnNotWritable;
        }
        if (MakePrivateFolder(folder)) {
            RemoveOldRecords(folder);
            const auto now = std::chrono::system_clock::now();
            for (unsigned attempt = 0; attempt < 100 && out_ < 0; ++attempt) {
                const std::filesystem::path candidate = folder / RecordFileName(now, attempt);
                // Never over a file that is there: the name of another record, or the
                // owner's own file.
                out_ = ::open(candidate.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
                if (out_ >= 0) {
                    file_ = candidate;
                } else if (errno != EEXIST) {
                    break;
                }
            }
        }
        if (out_ < 0) {
            std::clog << "No record of this update is kept: the folder " << folder
                      << " cannot be written.\n";
            file_.clear();
            return kIOReturnNotWritable;
        }
        start_ = std::chrono::steady_clock::now();
        sequence_ = 0;
        const auto backend = kaplatform::GetFireWireBackend();
        RecordHeader facts;
        facts.program = Text(given.programVersion);
        facts.firmware = Text(given.firmwareVersion);
        facts.firmwareSource = Text(given.firmwareSource);
        facts.guid = given.guid;
        facts.serial = Text(given.serialNumber);
        facts.softwareVersion = given.softwareVersion;
        facts.productRevision = given.productRevision;
        facts.kernel = KernelName();
        facts.backend = backend ? backend->Name() : std::string("none");
        facts.device = deviceFile_;
        facts.driver = kernelDrivers_;
        Json header;
        EncodeHeader(header, facts);
        GuardedLocked([&] { WriteLocked(header); });
        return kIOReturnSuccess;
    }

    template <typename Encode>
    void AppendLocked(Encode encode) {
        GuardedLocked([&] {
            Json line = StampedLocked();
            encode(line);
            WriteLocked(line);
        });
    }

    // Runs a write on the open record; any failure closes it with one line.
    template <typename Write>
    void GuardedLocked(Write write) {
        if (out_ < 0) {
            return;
        }
        try {
            write();
        } catch (const std::exception&) {
            std::clog << "The record of this update could not be written on; it ends here.\n";
            CloseLocked();
        }
    }

    std::filesystem::path FolderLocked() const {
        const char* state = std::getenv("XDG_STATE_HOME");
        if (state != nullptr && state[0] == '/') {
            return std::filesystem::path(state) / folderName_;
        }
        // Relative or missing, the variables name no folder of this user's: a record in
        // whatever folder the program was started from would be lost or seen by others.
        const char* home = std::getenv("HOME");
        if (home != nullptr && home[0] == '/') {
            return std::filesystem::path(home) / ".local/state" / folderName_;
        }
        return {};
    }

    Json StampedLocked() {
        Json line;
        line["seq"] = ++sequence_;
        line["t"] = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
        return line;
    }

    // One line in one write, so that a kill leaves whole lines and at most one cut short.
    void WriteLocked(const Json& line) {
        const std::string text = line.dump() + '\n';
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t count = ::write(out_, text.data() + written, text.size() - written);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                // A full disk, say: the update goes on without its record.
                throw RecordError("the record cannot be written on");
            }
            written += static_cast<std::size_t>(count);
        }
    }

    void CloseLocked() {
        if (out_ >= 0) {
            ::close(out_);
        }
        out_ = -1;
    }

    std::mutex mutex_;
    int out_ = -1;
    std::filesystem::path file_;
    std::string deviceFile_;
    std::string kernelDrivers_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t sequence_ = 0;
    std::optional<RecordedOutcome> lastOutcome_;
    bool underway_ = false;
    bool enabled_ = true;
    std::string folderName_ = kUpdateRecordFolderName;
};

// The observer holds nothing of its own: an executable may hand it to one backend after
// another.
class RecordingObserver final : public kaplatform::BusObserver {
  public:
    void Transaction(const kaplatform::BusTransaction& transaction) override {
        Recorder::Instance().Transaction(transaction);
    }
    void BusEvent(std::string_view what) override {
        Recorder::Instance().Append(
            [&](Json& line) { EncodeBusEvent(line, RecordedBusEvent{std::string(what)}); });
    }
    void UnitOpened(std::string_view deviceFile) override {
        Recorder::Instance().NoteDevice(deviceFile);
    }
    void UnitDriversFound(std::string_view drivers) override {
        Recorder::Instance().NoteDrivers(drivers);
    }
};

}  // namespace

kaplatform::BusObserver& UpdateRecordObserver() {
    static RecordingObserver observer;
    return observer;
}

bool IsUpdateRecording() {
    return Recorder::Instance().Recording();
}

bool IsUpdateUnderway() {
    return Recorder::Instance().Underway();
}

void KeepUpdateRecords(bool keep) {
    Recorder::Instance().Enable(keep);
}

void SetUpdateRecordFolderName(std::string name) {
    Recorder::Instance().UseFolderName(std::move(name));
}

std::filesystem::path UpdateRecordFolder() {
    return Recorder::Instance().Folder();
}

std::filesystem::path CurrentUpdateRecordFile() {
    return Recorder::Instance().File();
}

std::optional<RecordedOutcome> LastRecordedOutcome() {
    return Recorder::Instance().Outcome();
}

}  // namespace karecord

namespace {
using karecord::Recorder;
}  // namespace

IOReturn UpdateRecordBegin(const UpdateRecordFacts* facts) {
    if (facts == nullptr) {
        return kIOReturnBadArgument;
    }
    return Recorder::Instance().Begin(*facts);
}

void UpdateRecordImageOutcome(const char* image, IOReturn status) {
    Recorder::Instance().Append([&](karecord::WrittenLine& line) {
        EncodeImageOutcome(line, karecord::RecordedImageOutcome{karecord::Text(image), status,
                                                                status == kIOReturnSuccess});
    });
}

void UpdateRecordImageRestart(const char* image, int start) {
    Recorder::Instance().Append([&](karecord::WrittenLine& line) {
        EncodeRestart(line, karecord::RecordedRestart{karecord::Text(image), start});
    });
}

void UpdateRecordEnd(Boolean bothInstalled, IOReturn firstFailure, const char* description) {
    Recorder::Instance().End(bothInstalled != 0, firstFailure, description);
}

CFStringRef UpdateRecordCopyFolderPath() {
    return CFStringCreateWithCString(nullptr, karecord::UpdateRecordFolder().c_str(),
                                     kCFStringEncodingUTF8);
}

CFStringRef UpdateRecordCopyFilePath() {
    const std::filesystem::path file = karecord::CurrentUpdateRecordFile();
    if (file.empty()) {
        return nullptr;
    }
    return CFStringCreateWithCString(nullptr, file.c_str(), kCFStringEncodingUTF8);
}
