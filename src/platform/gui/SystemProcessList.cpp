// The system's processes from /proc, kept up to date at the cost of a few reads per tick
// however many processes run: the list is read again only when a process started or ended,
// and only new pids are read in full.
#include "GuiInternals.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace {

using kaplatform::ProcessTable;
using kaplatform::gui::kSystemProcessHigh;

// A tick's walks (the walker's first step, then the search) and the processes they describe
// follow each other well within this; they share one look at the table, and the next tick,
// half a second on, looks again.
constexpr std::chrono::milliseconds kLookReuse{100};

// Executables whose signature matters to the program. The kernel keeps at most 15 bytes of
// an executable's name, so names are compared on that much.
struct KnownExecutable {
    const char* name;
    OSType signature;
};
constexpr KnownExecutable kKnownExecutables[] = {
    {"Final Cut Pro", 'KeyG'},
    {"FinalCutPro", 'KeyG'},
    {"finalcutpro", 'KeyG'},
    {"virorividizezuzu", 'kaUD'},
};

OSType SignatureForExecutable(const std::string& name) {
    for (const KnownExecutable& known : kKnownExecutables) {
        if (std::string(known.name).substr(0, 15) == name.substr(0, 15)) {
            return known.signature;
        }
    }
    return '\?\?\?\?';
}

// Reads a small file of /proc whole; false when it cannot.
bool ReadSmallFile(const char* path, char* buffer, std::size_t size) {
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const ssize_t length = read(descriptor, buffer, size - 1);
    close(descriptor);
    if (length <= 0) {
        return false;
    }
    buffer[length] = '\0';
    return true;
}

class ProcFileSystemTable final : public ProcessTable {
  public:
    // /proc/loadavg ends in the last pid handed out (proc(5)). Only the kernel's own file
    // says so at once; a stand-in mounted over it (a container's, refreshed every few
    // seconds) does not.
    // It is read every tick, so it stays open: one pread instead of an open, a read and a
    // close.
    std::optional<UInt32> LastPid() override {
        char buffer[128];
        if (!KernelsOwnLoadFile() || !ReadLoadFile(buffer, sizeof buffer)) {
            return std::nullopt;
        }
        const char* blank = std::strrchr(buffer, ' ');
        if (blank == nullptr) {
            return std::nullopt;
        }
        char* end = nullptr;
        const unsigned long lastPid = std::strtoul(blank + 1, &end, 10);
        if (end == blank + 1 || (*end != '\n' && *end != '\0') || lastPid > 0xFFFFFFFFul) {
            return std::nullopt;
        }
        return static_cast<UInt32>(lastPid);
    }

    std::vector<Entry> List() override {
        std::vector<Entry> entries;
        DIR* directory = opendir("/proc");
        if (directory == nullptr) {
            return entries;
        }
        while (const dirent* entry = readdir(directory)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || end == entry->d_name || *end != '\0' || pid > 0xFFFFFFFFL) {
                continue;
            }
            entries.push_back({static_cast<UInt32>(pid), entry->d_ino});
        }
        closedir(directory);
        return entries;
    }

    // /proc/<pid> answers for a thread's id as well, though a listing never shows it: only
    // the leader of its thread group is a process. Its status file tells, and gives the
    // rest in the same read.
    bool Probe(UInt32 pid, Entry& entry, Details& details) override {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%u", static_cast<unsigned>(pid));
        struct stat directory {};
        if (stat(path, &directory) != 0) {
            return false;
        }
        std::snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(pid));
        char buffer[2048];
        if (!ReadSmallFile(path, buffer, sizeof buffer)) {
            return false;
        }
        const auto field = [&buffer](const char* name) -> const char* {
            const char* found = std::strstr(buffer, name);
            return found != nullptr ? found + std::strlen(name) : nullptr;
        };
        const char* group = field("\nTgid:");
        const char* name = std::strncmp(buffer, "Name:\t", 6) == 0 ? buffer + 6 : nullptr;
        if (group == nullptr || name == nullptr || std::strtoul(group, nullptr, 10) != pid) {
            return false;
        }
        const char* nameEnd = std::strchr(name, '\n');
        details.name.assign(name, nameEnd != nullptr ? nameEnd : name + std::strlen(name));
        // A process of its own has memory; a kernel thread has none, and kthreadd for parent.
        const char* parent = field("\nPPid:");
        const char* size = field("\nVmSize:");
        details.kernelThread =
            size == nullptr &&
            (pid == 2 || (parent != nullptr && std::strtoul(parent, nullptr, 10) == 2));
        const unsigned long long kilobytes = size != nullptr ? std::strtoull(size, nullptr, 10) : 0;
        details.size =
            static_cast<UInt32>(std::min<unsigned long long>(kilobytes * 1024, 0xFFFFFFFFu));
        details.startedAfterBoot.reset();
        if (const std::optional<Clock::duration> upTime = SinceBoot()) {
            details.launchDate = static_cast<UInt32>(
                std::chrono::duration_cast<std::chrono::milliseconds>(*upTime).count() * 60 / 1000);
        }
        entry = {pid, directory.st_ino};
        return true;
    }

    // One /proc/<pid>/stat read gives the name, the flags, the start time and the size.
    bool Read(UInt32 pid, Details& details) override {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
        char buffer[1024];
        if (!ReadSmallFile(path, buffer, sizeof buffer)) {
            return false;
        }
        // The name is in parentheses and may itself hold blanks and parentheses.
        const char* nameStart = std::strchr(buffer, '(');
        const char* nameEnd = std::strrchr(buffer, ')');
        if (nameStart == nullptr || nameEnd == nullptr || nameEnd < nameStart) {
            return false;
        }
        // Fields from the third on, after the name: values[i] is field i + 3.
        unsigned long long values[21] = {};
        const char* cursor = nameEnd + 1;
        for (unsigned long long& value : values) {
            while (*cursor == ' ') {
                ++cursor;
            }
            if (*cursor == '\0') {
                break;
            }
            char* end = nullptr;
            value = std::strtoull(cursor, &end, 10);
            // The state field is a letter: skip it.
            cursor = end != cursor ? end : std::strchr(cursor, ' ');
            if (cursor == nullptr) {
                break;
            }
        }
        constexpr unsigned long long kKernelThread = 0x00200000;
        static const long ticksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
        details.name.assign(nameStart + 1, nameEnd);
        details.kernelThread = (values[9 - 3] & kKernelThread) != 0;
        details.launchDate = static_cast<UInt32>(values[22 - 3] * 60 / ticksPerSecond);
        details.startedAfterBoot =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                static_cast<double>(values[22 - 3]) / static_cast<double>(ticksPerSecond)));
        details.size =
            static_cast<UInt32>(std::min<unsigned long long>(values[23 - 3], 0xFFFFFFFFu));
        return true;
    }

    // The name file of a process, kept open, is read again with one call; it fails once that
    // process has ended, whoever has the pid by then. Open files are limited to a quarter of
    // what the program may open; beyond that a name costs an open and a close as well.
    bool ReadName(UInt32 pid, std::string& name) override {
        auto kept = _nameFiles.find(pid);
        int descriptor = kept != _nameFiles.end() ? kept->second : -1;
        const bool keep = descriptor >= 0 || _nameFiles.size() < KeptFileLimit();
        if (descriptor < 0) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%u/comm", static_cast<unsigned>(pid));
            descriptor = open(path, O_RDONLY | O_CLOEXEC);
            if (descriptor < 0) {
                return false;
            }
            if (keep) {
                kept = _nameFiles.emplace(pid, descriptor).first;
            }
        }
        char buffer[64];
        const ssize_t length = pread(descriptor, buffer, sizeof buffer, 0);
        if (!keep) {
            close(descriptor);
        }
        if (length <= 0) {
            if (keep) {
                Forget(pid);
            }
            return false;
        }
        const auto end = length > 0 && buffer[length - 1] == '\n' ? length - 1 : length;
        name.assign(buffer, static_cast<std::size_t>(end));
        return true;
    }

    void Forget(UInt32 pid) override {
        if (auto kept = _nameFiles.find(pid); kept != _nameFiles.end()) {
            close(kept->second);
            _nameFiles.erase(kept);
        }
    }

    Clock::time_point Now() override { return Clock::now(); }

    // The start times in /proc/<pid>/stat count on the boot-time clock (proc(5)), which goes
    // on during suspend as the monotonic clock does not.
    std::optional<Clock::duration> SinceBoot() override {
        timespec upTime{};
        if (clock_gettime(CLOCK_BOOTTIME, &upTime) != 0) {
            return std::nullopt;
        }
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::seconds{upTime.tv_sec} + std::chrono::nanoseconds{upTime.tv_nsec});
    }

    ~ProcFileSystemTable() override {
        for (const auto& [pid, descriptor] : _nameFiles) {
            close(descriptor);
        }
        if (_loadFile >= 0) {
            close(_loadFile);
        }
    }

  private:
    bool ReadLoadFile(char* buffer, std::size_t size) {
        if (_loadFile < 0) {
            _loadFile = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
            if (_loadFile < 0) {
                return false;
            }
        }
        const ssize_t length = pread(_loadFile, buffer, size - 1, 0);
        if (length <= 0) {
            close(_loadFile);
            _loadFile = -1;
            return false;
        }
        buffer[length] = '\0';
        return true;
    }

    std::size_t KeptFileLimit() {
        if (_keptFileLimit == 0) {
            rlimit limit{};
            const rlim_t openFiles =
                getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : rlim_t{1024};
            _keptFileLimit = static_cast<std::size_t>(std::min<rlim_t>(openFiles / 4, 1024));
        }
        return _keptFileLimit;
    }

    bool KernelsOwnLoadFile() {
        if (!_loadFileChecked) {
            struct statfs fileSystem {};
            _loadFileIsKernels =
                statfs("/proc/loadavg", &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
            _loadFileChecked = true;
        }
        return _loadFileIsKernels;
    }

    std::unordered_map<UInt32, int> _nameFiles;
    int _loadFile = -1;
    std::size_t _keptFileLimit = 0;
    bool _loadFileChecked = false;
    bool _loadFileIsKernels = false;
};

// When a process's details are next due for a check: on a grid of the period shifted by the
// pid, so processes first read together fall due spread over the period, not all on one
// tick, and each keeps its place on the grid however late the checks come.
ProcessTable::Clock::time_point NextCheckAfter(UInt32 pid, ProcessTable::Clock::time_point now,
                                               ProcessTable::Clock::duration recheckPeriod) {
    using std::chrono::nanoseconds;
    const std::int64_t period = std::chrono::duration_cast<nanoseconds>(recheckPeriod).count();
    const std::uint32_t spread = pid * 2654435761u;  // Knuth's multiplicative hash
    const auto phase = static_cast<std::int64_t>(
        (std::uint64_t{spread} * static_cast<std::uint64_t>(period)) >> 32);
    const std::int64_t sincePhase =
        std::chrono::duration_cast<nanoseconds>(now.time_since_epoch()).count() - phase;
    std::int64_t cycles = sincePhase / period;
    if (sincePhase < 0 && sincePhase % period != 0) {
        --cycles;
    }
    return ProcessTable::Clock::time_point(
        std::chrono::duration_cast<ProcessTable::Clock::duration>(
            nanoseconds(phase + (cycles + 1) * period)));
}

}  // namespace

namespace kaplatform {

ProcessTable& KernelProcessTable() {
    static ProcFileSystemTable* table = new ProcFileSystemTable;
    return *table;
}

ProcessListSource& SystemProcessList() {
    static KernelProcessList* list = new KernelProcessList(KernelProcessTable());
    return *list;
}

KernelProcessList::KernelProcessList(ProcessTable& table) : _table(table) {}

bool KernelProcessList::LookDue(ProcessTable::Clock::time_point now) const {
    return !_listed || _freshLookWanted || now - _lookedAt >= kLookReuse;
}

std::vector<ProcessSerialNumber> KernelProcessList::RunningProcesses() {
    std::lock_guard lock(_mutex);
    if (const auto now = _table.Now(); LookDue(now)) {
        Refresh(now);
    }
    UpdateIndexes();
    return _shown;
}

bool KernelProcessList::DescribeProcess(const ProcessSerialNumber& process,
                                        RunningProcess& description) {
    if (process.highLongOfPSN != kSystemProcessHigh) {
        return false;
    }
    std::lock_guard lock(_mutex);
    const ProcessTable::Clock::time_point now = _table.Now();
    // A process asked about on its own, not just after a walk's start, gets a look of its own,
    // so a pid that has passed to another process is not described as the old one.
    const bool inWalk = !LookDue(now);
    if (!inWalk) {
        Refresh(now);
    }
    Known* known = Find(process.lowLongOfPSN);
    if (known == nullptr && inWalk) {
        // Not in the last look: perhaps it started since.
        Refresh(now);
        known = Find(process.lowLongOfPSN);
    }
    if (known == nullptr || !known->shown) {
        return false;
    }
    // The list may lag an end or an exec by a few seconds; not for a process whose signature
    // the program asks after, nor for one asked about on its own.
    const bool checkNow =
        now >= known->nextCheck || !inWalk || known->description.signature != OSType('\?\?\?\?');
    if (checkNow && !CheckName(*known, now)) {
        return false;
    }
    description = known->description;
    return true;
}

OSErr KernelProcessList::RequestQuit(const ProcessSerialNumber& process) {
    if (process.highLongOfPSN != kSystemProcessHigh || process.lowLongOfPSN == 0 ||
        process.lowLongOfPSN > 0x7FFFFFFFu) {
        return procNotFound;
    }
    if (kill(static_cast<pid_t>(process.lowLongOfPSN), SIGTERM) != 0) {
        return errno == ESRCH ? procNotFound : paramErr;
    }
    return noErr;
}

bool KernelProcessList::FindSignature(OSType signature, ProcessSerialNumber& found) {
    std::lock_guard lock(_mutex);
    const ProcessTable::Clock::time_point now = _table.Now();
    if (LookDue(now)) {
        Refresh(now);
    }
    while (!_due.empty() && _due.top().when <= now) {
        const DueCheck due = _due.top();
        _due.pop();
        Known* known = Find(due.pid);
        if (known != nullptr && known->shown && known->nextCheck == due.when) {
            CheckName(*known, now);
        }
    }
    UpdateIndexes();
    // A process with the signature is checked before it is taken for running.
    for (const UInt32 pid : _withSignature) {
        Known* known = Find(pid);
        if (known == nullptr || !known->shown || known->description.signature != signature) {
            continue;
        }
        if (CheckName(*known, now) && known->description.signature == signature) {
            found = {kSystemProcessHigh, known->pid};
            return true;
        }
    }
    return false;
}

void KernelProcessList::ScheduleCheck(Known& known, ProcessTable::Clock::time_point now) {
    known.nextCheck = NextCheckAfter(known.pid, now, RecheckPeriod(known, now));
    _due.push({known.nextCheck, known.pid});
}

// Entries left behind by checks made early (a process described on its own, a fresh look)
// and by processes that ended are dropped when reached; a queue grown far beyond the list
// is made anew.
void KernelProcessList::TrimDueChecks() {
    if (_due.size() <= 4 * _known.size() + 64) {
        return;
    }
    _due = {};
    for (const Known& known : _known) {
        if (known.shown) {
            _due.push({known.nextCheck, known.pid});
        }
    }
}

void KernelProcessList::UpdateIndexes() {
    if (!_indexesStale) {
        return;
    }
    _shown.clear();
    _withSignature.clear();
    for (const Known& known : _known) {
        if (!known.shown) {
            continue;
        }
        _shown.push_back({kSystemProcessHigh, known.pid});
        if (known.description.signature != OSType('\?\?\?\?')) {
            _withSignature.push_back(known.pid);
        }
    }
    _indexesStale = false;
}

void KernelProcessList::LookAfresh() {
    std::lock_guard lock(_mutex);
    _freshLookWanted = true;
}

// The pid counter tells of every process that started since the last look. A listing costs a
// read of every entry of the table, so it is left for what the counter cannot tell: the ends
// (a process ended is harmless to a walk for a while, since one the program asks after is
// checked whenever described) and a counter that wrapped.
void KernelProcessList::Refresh(ProcessTable::Clock::time_point now) {
    const std::optional<UInt32> lastPid = _table.LastPid();
    _lookedAt = now;
    const std::optional<ProcessTable::Clock::duration> sinceBoot = _table.SinceBoot();
    const bool listNow = !_listed || _freshLookWanted || !lastPid || !_lastPid ||
                         *lastPid < *_lastPid ||  // the counter wrapped
                         *lastPid - *_lastPid > kMostProbes || now - _listedAt >= kListPeriod;
    if (listNow) {
        ListAll(now, sinceBoot);
    } else if (*lastPid != *_lastPid) {
        ProbeNew(*_lastPid, *lastPid, now);
    }
    _lastPid = lastPid;
    TrimDueChecks();
}

void KernelProcessList::ListAll(ProcessTable::Clock::time_point now,
                                std::optional<ProcessTable::Clock::duration> sinceBoot) {
    const bool fresh = _freshLookWanted;
    std::vector<ProcessTable::Entry> entries = _table.List();
    std::sort(entries.begin(), entries.end(),
              [](const auto& first, const auto& second) { return first.pid < second.pid; });
    std::vector<Known> known;
    known.reserve(entries.size());
    auto old = _known.begin();
    for (const ProcessTable::Entry& entry : entries) {
        if (!known.empty() && known.back().pid == entry.pid) {
            continue;
        }
        while (old != _known.end() && old->pid < entry.pid) {
            _table.Forget(old->pid);  // ended
            ++old;
        }
        if (old != _known.end() && old->pid == entry.pid) {
            const auto previous = old++;
            if (previous->identity == entry.identity) {
                known.push_back(std::move(*previous));
                Known& kept = known.back();
                if (kept.kernelThread) {
                    continue;
                }
                // One that could not be read is tried again at each listing (most such have
                // ended, and the listing drops them); on a fresh look every one is looked at.
                if (!kept.shown) {
                    ReadInto(kept, now, sinceBoot);
                } else if (fresh) {
                    CheckName(kept, now);
                }
                continue;
            }
            _table.Forget(entry.pid);
        }
        // A new pid, or the pid of a process that has ended passed to another: read it whole.
        // (A changed identity of the same process costs only this read.)
        Known& added = known.emplace_back();
        added.pid = entry.pid;
        added.identity = entry.identity;
        added.started = now;
        ReadInto(added, now, sinceBoot);
    }
    for (; old != _known.end(); ++old) {
        _table.Forget(old->pid);
    }
    _known = std::move(known);
    _indexesStale = true;
    _listed = true;
    _listedAt = now;
    _freshLookWanted = false;
}

// The pids handed out since the last look, in (after, upTo]: most are threads' or have ended
// already, and cost one failed lookup each.
void KernelProcessList::ProbeNew(UInt32 after, UInt32 upTo, ProcessTable::Clock::time_point now) {
    for (UInt32 pid = after + 1; pid != upTo + 1 && pid != 0; ++pid) {
        ProcessTable::Entry entry;
        ProcessTable::Details details;
        if (!_table.Probe(pid, entry, details)) {
            continue;
        }
        auto place =
            std::lower_bound(_known.begin(), _known.end(), pid,
                             [](const Known& known, UInt32 wanted) { return known.pid < wanted; });
        if (place != _known.end() && place->pid == pid) {
            if (place->identity == entry.identity) {
                continue;
            }
            // The pid passed on since the last look: what was known of it is another's.
            _table.Forget(pid);
            *place = Known{};
        } else {
            place = _known.insert(place, Known{});
        }
        place->pid = pid;
        place->identity = entry.identity;
        place->started = now;  // since the last look
        Describe(*place, details, now);
    }
}

// Programs that exec another one (launchers, shells, crash handlers) mostly do it soon after
// they start; one that has run a minute unchanged is checked less often. Its age is its own,
// not the list's: at the program's start every process is new to the list, and a busy
// desktop's hundreds of them checked as often as newcomers would cost the window's first
// minute about twice what it costs later.
ProcessTable::Clock::duration KernelProcessList::RecheckPeriod(
    const Known& known, ProcessTable::Clock::time_point now) {
    return now - known.started >= kSettledAfter ? kSettledRecheckPeriod : kRecheckPeriod;
}

KernelProcessList::Known* KernelProcessList::Find(UInt32 pid) {
    auto found =
        std::lower_bound(_known.begin(), _known.end(), pid,
                         [](const Known& known, UInt32 wanted) { return known.pid < wanted; });
    return found != _known.end() && found->pid == pid ? &*found : nullptr;
}

// An executable changed under the pid shows as a changed name; the rest of what was read
// stays as it was at launch.
bool KernelProcessList::CheckName(Known& known, ProcessTable::Clock::time_point now) {
    std::string name;
    if (!_table.ReadName(known.pid, name)) {
        known.shown = false;
        _indexesStale = true;
        return false;
    }
    ScheduleCheck(known, now);
    if (name != known.description.name) {
        known.description.signature = SignatureForExecutable(name);
        known.description.name = std::move(name);
        _indexesStale = true;
    }
    return true;
}

// Everything known of the process comes from one read.
bool KernelProcessList::ReadInto(Known& known, ProcessTable::Clock::time_point now,
                                 std::optional<ProcessTable::Clock::duration> sinceBoot) {
    ProcessTable::Details details;
    const bool read = _table.Read(known.pid, details);
    if (read && details.startedAfterBoot && sinceBoot) {
        // Not before the system started, nor after now, whatever the table says.
        const auto age = std::clamp(*sinceBoot - *details.startedAfterBoot,
                                    ProcessTable::Clock::duration::zero(), *sinceBoot);
        known.started = now - age;
    }
    if (!read) {
        known.shown = false;
        _indexesStale = true;
        return false;
    }
    Describe(known, details, now);
    return true;
}

void KernelProcessList::Describe(Known& known, ProcessTable::Details& details,
                                 ProcessTable::Clock::time_point now) {
    known.kernelThread = details.kernelThread;
    known.shown = !details.kernelThread;
    _indexesStale = true;
    // Only a process shown is ever checked: one hidden is read whole again at a listing.
    if (known.shown) {
        ScheduleCheck(known, now);
    }
    RunningProcess& description = known.description;
    description.serialNumber = {kSystemProcessHigh, known.pid};
    description.signature = SignatureForExecutable(details.name);
    description.name = std::move(details.name);
    description.size = details.size;
    description.launchDate = details.launchDate;
}

}  // namespace kaplatform
