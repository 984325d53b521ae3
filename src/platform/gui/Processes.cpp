// The Process Manager over /proc (or a source tests install), and the one Apple event the
// program can send: a quit request to a process.
#include "GuiInternals.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using KaPlatform::ProcessListSource;
using KaPlatform::RunningProcess;

bool SameProcess(const ProcessSerialNumber& first, const ProcessSerialNumber& second) {
    return first.highLongOfPSN == second.highLongOfPSN && first.lowLongOfPSN == second.lowLongOfPSN;
}

constexpr UInt32 kSystemHigh = 1;   // {1, pid}: a process of the system
constexpr UInt32 kPretendHigh = 2;  // {2, n}: a pretend process

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

// One /proc/<pid>/stat read gives the name, the flags, the start time and the size.
bool ReadProcess(long pid, RunningProcess& process) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    char buffer[1024];
    ssize_t length = read(descriptor, buffer, sizeof buffer - 1);
    close(descriptor);
    if (length <= 0) {
        return false;
    }
    buffer[length] = '\0';
    // The name is in parentheses and may itself hold blanks and parentheses.
    char* nameStart = std::strchr(buffer, '(');
    char* nameEnd = std::strrchr(buffer, ')');
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
    if (values[9 - 3] & kKernelThread) {
        return false;
    }
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    process.serialNumber = {kSystemHigh, static_cast<UInt32>(pid)};
    process.name.assign(nameStart + 1, nameEnd);
    process.signature = SignatureForExecutable(process.name);
    process.launchDate = static_cast<UInt32>(values[22 - 3] * 60 / ticksPerSecond);
    process.size = static_cast<UInt32>(std::min<unsigned long long>(values[23 - 3], 0xFFFFFFFFu));
    return true;
}

class ProcFileSystemList : public ProcessListSource {
  public:
    // Reading /proc costs about a millisecond; a walk that starts again within a tenth of a
    // second (the walker's constructor, then FindProcess) sees the same list.
    std::vector<RunningProcess> RunningProcesses() override {
        std::lock_guard lock(_mutex);
        auto now = std::chrono::steady_clock::now();
        if (!_readOnce || now - _readAt > std::chrono::milliseconds(100)) {
            _processes = ReadAll();
            _readAt = now;
            _readOnce = true;
        }
        return _processes;
    }

    OSErr RequestQuit(const ProcessSerialNumber& process) override {
        if (process.highLongOfPSN != kSystemHigh || process.lowLongOfPSN == 0) {
            return procNotFound;
        }
        if (kill(static_cast<pid_t>(process.lowLongOfPSN), SIGTERM) != 0) {
            return errno == ESRCH ? procNotFound : paramErr;
        }
        return noErr;
    }

  private:
    static std::vector<RunningProcess> ReadAll() {
        std::vector<RunningProcess> processes;
        DIR* directory = opendir("/proc");
        if (directory == nullptr) {
            return processes;
        }
        while (dirent* entry = readdir(directory)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || end == entry->d_name || *end != '\0') {
                continue;
            }
            RunningProcess process;
            if (ReadProcess(pid, process)) {
                processes.push_back(std::move(process));
            }
        }
        closedir(directory);
        std::sort(processes.begin(), processes.end(), [](const auto& first, const auto& second) {
            return first.serialNumber.lowLongOfPSN < second.serialNumber.lowLongOfPSN;
        });
        return processes;
    }

    std::mutex _mutex;
    std::vector<RunningProcess> _processes;
    std::chrono::steady_clock::time_point _readAt;
    bool _readOnce = false;
};

struct ProcessState {
    ProcessListSource* source = nullptr;
    // The list as the current walk sees it; a walk starts from {0, 0} and reads it afresh.
    std::vector<RunningProcess> snapshot;
};

ProcessState& State() {
    static ProcessState* state = new ProcessState;
    return *state;
}

ProcessListSource& Source() {
    ProcessState& state = State();
    return state.source != nullptr ? *state.source : KaPlatform::SystemProcessList();
}

const RunningProcess* FindInSnapshot(const ProcessSerialNumber& psn) {
    for (const RunningProcess& process : State().snapshot) {
        if (SameProcess(process.serialNumber, psn)) {
            return &process;
        }
    }
    return nullptr;
}

// A quit event's data: the target process.
struct AppleEventData {
    ProcessSerialNumber target{0, 0};
    AEEventClass eventClass = 0;
    AEEventID eventID = 0;
};

}  // namespace

struct OpaqueAEDataStorageType {
    std::vector<unsigned char> bytes;
    AppleEventData event;
};

namespace KaPlatform {

ProcessListSource& SystemProcessList() {
    static ProcFileSystemList* list = new ProcFileSystemList;
    return *list;
}

void SetProcessListSource(ProcessListSource* source) {
    State().source = source;
    State().snapshot.clear();
}

PretendProcessList::PretendProcessList(ProcessListSource* underlying) : _underlying(underlying) {}

ProcessSerialNumber PretendProcessList::Add(OSType signature, const std::string& name) {
    std::lock_guard lock(_mutex);
    RunningProcess process;
    process.serialNumber = {kPretendHigh, _nextNumber++};
    process.signature = signature;
    process.name = name;
    _pretend.push_back(process);
    return process.serialNumber;
}

void PretendProcessList::Remove(const ProcessSerialNumber& process) {
    std::lock_guard lock(_mutex);
    std::erase_if(_pretend, [&](const RunningProcess& entry) {
        return SameProcess(entry.serialNumber, process);
    });
}

void PretendProcessList::RemoveAll() {
    std::lock_guard lock(_mutex);
    _pretend.clear();
}

std::vector<RunningProcess> PretendProcessList::RunningProcesses() {
    std::vector<RunningProcess> processes;
    if (_underlying != nullptr) {
        processes = _underlying->RunningProcesses();
    }
    std::lock_guard lock(_mutex);
    processes.insert(processes.end(), _pretend.begin(), _pretend.end());
    return processes;
}

OSErr PretendProcessList::RequestQuit(const ProcessSerialNumber& process) {
    {
        std::lock_guard lock(_mutex);
        auto found = std::find_if(
            _pretend.begin(), _pretend.end(),
            [&](const RunningProcess& entry) { return SameProcess(entry.serialNumber, process); });
        if (found != _pretend.end()) {
            _pretend.erase(found);
            return noErr;
        }
    }
    return _underlying != nullptr ? _underlying->RequestQuit(process) : OSErr(procNotFound);
}

}  // namespace KaPlatform

OSErr GetCurrentProcess(ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    *psn = {kSystemHigh, static_cast<UInt32>(getpid())};
    return noErr;
}

OSErr GetNextProcess(ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    ProcessState& state = State();
    if (psn->highLongOfPSN == kNoProcess && psn->lowLongOfPSN == kNoProcess) {
        state.snapshot = Source().RunningProcesses();
        if (state.snapshot.empty()) {
            return procNotFound;
        }
        *psn = state.snapshot.front().serialNumber;
        return noErr;
    }
    auto current =
        std::find_if(state.snapshot.begin(), state.snapshot.end(),
                     [&](const auto& entry) { return SameProcess(entry.serialNumber, *psn); });
    if (current == state.snapshot.end() || std::next(current) == state.snapshot.end()) {
        return procNotFound;
    }
    *psn = std::next(current)->serialNumber;
    return noErr;
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) {
    if (psn == nullptr || info == nullptr || info->processInfoLength != sizeof(ProcessInfoRec)) {
        return paramErr;
    }
    const RunningProcess* process = FindInSnapshot(*psn);
    if (process == nullptr) {
        // Not part of the current walk (or no walk yet): look at the list as it is now.
        State().snapshot = Source().RunningProcesses();
        process = FindInSnapshot(*psn);
    }
    if (process == nullptr) {
        return procNotFound;
    }
    if (info->processName != nullptr) {
        std::size_t length = std::min<std::size_t>(process->name.size(), 31);
        info->processName[0] = static_cast<unsigned char>(length);
        std::memcpy(info->processName + 1, process->name.data(), length);
    }
    info->processNumber = process->serialNumber;
    info->processType = 'APPL';
    info->processSignature = process->signature;
    info->processMode = 0;
    info->processLocation = nullptr;
    info->processSize = process->size;
    info->processFreeMem = 0;
    info->processLauncher = {kNoProcess, kNoProcess};
    info->processLaunchDate = process->launchDate;
    info->processActiveTime = 0;
    return noErr;
}

// Apple events -----------------------------------------------------------------------------------

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result) {
    if (result == nullptr || dataSize < 0 || (dataPtr == nullptr && dataSize > 0)) {
        return paramErr;
    }
    auto storage = std::make_unique<OpaqueAEDataStorageType>();
    const auto* bytes = static_cast<const unsigned char*>(dataPtr);
    storage->bytes.assign(bytes, bytes + dataSize);
    result->descriptorType = typeCode;
    result->dataHandle = storage.release();
    return noErr;
}

OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID, AETransactionID,
                         AppleEvent* result) {
    if (target == nullptr || result == nullptr || target->dataHandle == nullptr) {
        return paramErr;
    }
    if (target->descriptorType != typeProcessSerialNumber ||
        target->dataHandle->bytes.size() != sizeof(ProcessSerialNumber)) {
        return errAEWrongDataType;
    }
    auto storage = std::make_unique<OpaqueAEDataStorageType>();
    std::memcpy(&storage->event.target, target->dataHandle->bytes.data(),
                sizeof(ProcessSerialNumber));
    storage->event.eventClass = theAEEventClass;
    storage->event.eventID = theAEEventID;
    result->descriptorType = typeAppleEvent;
    result->dataHandle = storage.release();
    return noErr;
}

OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, AESendMode, AESendPriority, SInt32,
             AEIdleUPP, AEFilterUPP) {
    if (reply != nullptr) {
        *reply = {typeNull, nullptr};
    }
    if (theAppleEvent == nullptr || theAppleEvent->descriptorType != typeAppleEvent ||
        theAppleEvent->dataHandle == nullptr) {
        return paramErr;
    }
    const AppleEventData& event = theAppleEvent->dataHandle->event;
    if (event.eventClass != kCoreEventClass || event.eventID != kAEQuitApplication) {
        return errAEEventNotHandled;
    }
    return Source().RequestQuit(event.target);
}

OSErr AEDisposeDesc(AEDesc* theAEDesc) {
    if (theAEDesc == nullptr) {
        return paramErr;
    }
    delete theAEDesc->dataHandle;
    *theAEDesc = {typeNull, nullptr};
    return noErr;
}
