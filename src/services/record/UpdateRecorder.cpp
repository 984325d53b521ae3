// One JSON object a line, written and flushed line by line: a program killed in the middle
// of an update leaves every line up to the kill readable.
#include "UpdateRecorder.h"

#include "RecordCodec.h"
#include "RecordFiles.h"
#include "UpdateRecord.h"

#include "FireWireBackend.h"

#include <dirent.h>
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

// Whether the regular file name in folder (not a link, not a device, not a pipe), the user's
// own, begins with a record's header line: only such files are the program's to remove.
bool HoldsRecordHeader(int folder, const std::string& name) {
    const int file = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    struct stat status {};
    std::string text(kLongestHeaderRead, '\0');
    std::size_t filled = 0;
    bool regular =
        ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::getuid();
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
    text.resize(filled);
    return regular && IsRecordHeaderText(text);
}

// Keeps the newest records, counting the one about to be written. Newest by the start in
// the name; a record that says it started later than now was written under a clock that
// was ahead, or copied in, and goes first rather than push out the records of real updates.
// Everything happens within the folder as opened: nothing put in its place is followed.
void RemoveOldRecords(int folder) {
    const int listed = ::dup(folder);
    DIR* entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (entries == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return;
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::vector<std::pair<std::int64_t, std::string>> records;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        const std::optional<std::int64_t> start = StartInRecordFileName(name);
        // Looked at before it is opened: opening a device may already do something.
        struct stat status {};
        if (start && ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == ::getuid() &&
            HoldsRecordHeader(folder, name)) {
            records.emplace_back(*start > now ? std::numeric_limits<std::int64_t>::min() : *start,
                                 name);
        }
    }
    ::closedir(entries);
    if (records.size() >= kKeptUpdateRecords) {
        std::sort(records.begin(), records.end());
        const std::size_t surplus = records.size() - (kKeptUpdateRecords - 1);
        for (std::size_t index = 0; index < surplus; ++index) {
            ::unlinkat(folder, records[index].second.c_str(), 0);
        }
    }
}

std::string Quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

struct FolderDescriptor {
    explicit FolderDescriptor(int opened) : descriptor(opened) {}
    ~FolderDescriptor() {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    FolderDescriptor(const FolderDescriptor&) = delete;
    FolderDescriptor& operator=(const FolderDescriptor&) = delete;
    int descriptor;
};

// The folder of records, opened: made with what is missing above it, each only its owner's
// to enter, as the state folders of a user's session are. The folder itself must be a
// folder, not a link to one, the user's own and written by nobody else; one the program
// made before with wider permissions, the others only reading it, is narrowed. Descriptor,
// or -1 with why set to the words that follow the folder's name.
int OpenPrivateFolder(const std::filesystem::path& folder, std::string& why) {
    std::filesystem::path partial;
    for (const auto& component : folder) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot be made: " + std::string(std::strerror(errno));
            return -1;
        }
    }
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        struct stat status {};
        if (::lstat(folder.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            why = "is a symbolic link";
        } else if (error == ENOTDIR) {
            why = "is not a folder";
        } else {
            why = "cannot be opened: " + std::string(std::strerror(error));
        }
        return -1;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        why = "cannot be examined: " + std::string(std::strerror(errno));
    } else if (status.st_uid != ::getuid()) {
        why = "belongs to user " + std::to_string(status.st_uid) + ", not to this one";
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "may be written by users other than its owner";
    } else if ((status.st_mode & 077) != 0 && ::fchmod(descriptor, 0700) != 0) {
        why = "cannot be made private: " + std::string(std::strerror(errno));
    }
    if (!why.empty()) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// A line that did not reach the file; the record ends there with one line, the update
// goes on.
class RecordError final : public std::runtime_error {
  public:
    explicit RecordError(int error)
        : std::runtime_error("the record cannot be written on"), error_(error) {}
    int Error() const { return error_; }

  private:
    int error_;
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
        std::string why;
        const FolderDescriptor held(OpenPrivateFolder(folder, why));
        const int opened = held.descriptor;
        if (opened < 0) {
            std::clog << "No record of this update is kept: the folder " << Quoted(folder) << " "
                      << why << ".\n";
            return kIOReturnNotWritable;
        }
        RemoveOldRecords(opened);
        const auto now = std::chrono::system_clock::now();
        std::string name;
        int error = EEXIST;
        for (unsigned attempt = 0; attempt < 100 && out_ < 0 && error == EEXIST; ++attempt) {
            name = RecordFileName(now, static_cast<int>(::getpid()), attempt);
            // Never over a file that is there: the name of another record, or the owner's
            // own file.
            out_ = ::openat(opened, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            error = out_ < 0 ? errno : 0;
        }
        if (out_ < 0) {
            std::clog << "No record of this update is kept: "
                      << (error == EEXIST
                              ? "every name for it is taken in the folder " + Quoted(folder)
                              : "no file can be made in the folder " + Quoted(folder) + ": " +
                                    std::strerror(error))
                      << ".\n";
            return kIOReturnNotWritable;
        }
        file_ = folder / name;
        start_ = std::chrono::steady_clock::now();
        sequence_ = 0;
        int failure = 0;
        try {
            WriteLocked(HeaderLocked(given));
        } catch (const RecordError& fault) {
            failure = fault.Error();
        } catch (const std::exception&) {
            failure = ENOMEM;
        }
        if (failure != 0) {
            // A file without its header is nobody's record: pruning would never remove it,
            // and nobody could read it.
            CloseLocked();
            ::unlinkat(opened, name.c_str(), 0);
            file_.clear();
            std::clog << "No record of this update is kept: its first line cannot be written in "
                         "the folder "
                      << Quoted(folder) << ": " << std::strerror(failure) << ".\n";
            return kIOReturnNotWritable;
        }
        return kIOReturnSuccess;
    }

    // The first line: the facts the program gives, and what it knows of the bus.
    Json HeaderLocked(const UpdateRecordFacts& given) const {
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
        return header;
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
                throw RecordError(count < 0 ? errno : ENOSPC);
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
    // Only a record that is there: the owner may have removed it while the update ran.
    std::error_code error;
    if (file.empty() ||
        !std::filesystem::is_regular_file(std::filesystem::symlink_status(file, error))) {
        return nullptr;
    }
    return CFStringCreateWithCString(nullptr, file.c_str(), kCFStringEncodingUTF8);
}
