// The Process Manager over the system's process list (or a source tests install), and the one Apple
// event the program can send: a quit request to a process.
#include "GuiInternals.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

using kaplatform::ProcessListSource;
using kaplatform::RunningProcess;

using kaplatform::gui::kPretendProcessHigh;
using kaplatform::gui::kSystemProcessHigh;

bool SameProcess(const ProcessSerialNumber& first, const ProcessSerialNumber& second) {
    return first.highLongOfPSN == second.highLongOfPSN && first.lowLongOfPSN == second.lowLongOfPSN;
}

struct ProcessState {
    ProcessListSource* source = nullptr;
    // The serial numbers as the current walk sees them; a walk starts from {0, 0} and takes
    // them afresh.
    std::vector<ProcessSerialNumber> snapshot;
    // Where the last step of the walk landed, so the next step need not search.
    std::size_t position = 0;
};

ProcessState& State() {
    static ProcessState* state = new ProcessState;
    return *state;
}

ProcessListSource& Source() {
    ProcessState& state = State();
    return state.source != nullptr ? *state.source : kaplatform::SystemProcessList();
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

namespace kaplatform {

bool ProcessListSource::FindSignature(OSType signature, ProcessSerialNumber& found) {
    RunningProcess description;
    for (const ProcessSerialNumber& process : RunningProcesses()) {
        if (DescribeProcess(process, description) && description.signature == signature) {
            found = process;
            return true;
        }
    }
    return false;
}

void SetProcessListSource(ProcessListSource* source) {
    State().source = source;
    State().snapshot.clear();
    State().position = 0;
}

PretendProcessList::PretendProcessList(ProcessListSource* underlying) : _underlying(underlying) {}

ProcessSerialNumber PretendProcessList::Add(OSType signature, const std::string& name) {
    std::lock_guard lock(_mutex);
    RunningProcess process;
    process.serialNumber = {kPretendProcessHigh, _nextNumber++};
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

std::vector<ProcessSerialNumber> PretendProcessList::RunningProcesses() {
    std::vector<ProcessSerialNumber> processes;
    if (_underlying != nullptr) {
        processes = _underlying->RunningProcesses();
    }
    std::lock_guard lock(_mutex);
    for (const RunningProcess& process : _pretend) {
        processes.push_back(process.serialNumber);
    }
    return processes;
}

bool PretendProcessList::DescribeProcess(const ProcessSerialNumber& process,
                                         RunningProcess& description) {
    if (process.highLongOfPSN != kPretendProcessHigh) {
        return _underlying != nullptr && _underlying->DescribeProcess(process, description);
    }
    std::lock_guard lock(_mutex);
    auto found = std::find_if(_pretend.begin(), _pretend.end(), [&](const RunningProcess& entry) {
        return SameProcess(entry.serialNumber, process);
    });
    if (found == _pretend.end()) {
        return false;
    }
    description = *found;
    return true;
}

void PretendProcessList::LookAfresh() {
    if (_underlying != nullptr) {
        _underlying->LookAfresh();
    }
}

bool PretendProcessList::FindSignature(OSType signature, ProcessSerialNumber& found) {
    if (_underlying != nullptr && _underlying->FindSignature(signature, found)) {
        return true;
    }
    std::lock_guard lock(_mutex);
    auto match = std::find_if(_pretend.begin(), _pretend.end(), [&](const RunningProcess& entry) {
        return entry.signature == signature;
    });
    if (match == _pretend.end()) {
        return false;
    }
    found = match->serialNumber;
    return true;
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

}  // namespace kaplatform

OSErr GetCurrentProcess(ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    *psn = {kSystemProcessHigh, static_cast<UInt32>(getpid())};
    return noErr;
}

OSErr GetNextProcess(ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    ProcessState& state = State();
    if (psn->highLongOfPSN == kNoProcess && psn->lowLongOfPSN == kNoProcess) {
        state.snapshot = Source().RunningProcesses();
        state.position = 0;
        if (state.snapshot.empty()) {
            return procNotFound;
        }
        *psn = state.snapshot.front();
        return noErr;
    }
    std::size_t current = state.position;
    if (current >= state.snapshot.size() || !SameProcess(state.snapshot[current], *psn)) {
        current = static_cast<std::size_t>(
            std::find_if(state.snapshot.begin(), state.snapshot.end(),
                         [&](const auto& entry) { return SameProcess(entry, *psn); }) -
            state.snapshot.begin());
    }
    if (current + 1 >= state.snapshot.size()) {
        return procNotFound;
    }
    state.position = current + 1;
    *psn = state.snapshot[state.position];
    return noErr;
}

void RefreshProcessList() {
    Source().LookAfresh();
}

OSErr FindProcessWithSignature(OSType signature, ProcessSerialNumber* psn) {
    if (psn == nullptr) {
        return paramErr;
    }
    return Source().FindSignature(signature, *psn) ? OSErr(noErr) : OSErr(procNotFound);
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) {
    if (psn == nullptr || info == nullptr || info->processInfoLength != sizeof(ProcessInfoRec)) {
        return paramErr;
    }
    RunningProcess process;
    if (!Source().DescribeProcess(*psn, process)) {
        return procNotFound;
    }
    if (info->processName != nullptr) {
        std::size_t length = std::min<std::size_t>(process.name.size(), 31);
        info->processName[0] = static_cast<unsigned char>(length);
        std::memcpy(info->processName + 1, process.name.data(), length);
    }
    info->processNumber = process.serialNumber;
    info->processType = 'APPL';
    info->processSignature = process.signature;
    info->processMode = 0;
    info->processLocation = nullptr;
    info->processSize = process.size;
    info->processFreeMem = 0;
    info->processLauncher = {kNoProcess, kNoProcess};
    info->processLaunchDate = process.launchDate;
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
