#include "Process.h"

const ProcessSerialNumber kMyProcess = {0, 0};

namespace {

ProcessInfoRec EmptyInfoRecord() {
    ProcessInfoRec info{};
    info.processInfoLength = sizeof(ProcessInfoRec);
    info.processName = nullptr;
    info.processAppSpec = nullptr;
    return info;
}

}  // namespace

TProcess::TProcess(ProcessSerialNumber theNum)
    : fProcessID(theNum),
      fMyProcessID{0, 0},
      fFirstPSN{0, 0},
      fFirstTime(true),
      fLast(false),
      fState(false),
      fError(noErr) {
    fError = GetCurrentProcess(&fMyProcessID);
    // The walk's first step waits for the first question: the dialog makes a walker on every
    // tick but asks it something only while a unit is there, and a step reads the whole list.
    fFirstPSN = fProcessID;
}

// The constructor's step, taken when the walk is first asked about.
void TProcess::TakeFirstStep() {
    if (!fFirstTime) {
        return;
    }
    fProcessID = fFirstPSN;
    fState = IProcess();
    fFirstPSN = fProcessID;
    fFirstTime = false;
}

TProcess::~TProcess() {}

Boolean TProcess::IProcess() {
    fError = GetNextProcess(&fProcessID);
    if (fError == noErr) {
        return true;
    }
    if (!fFirstTime) {
        fLast = true;
        First();
    }
    return false;
}

void TProcess::Next() {
    TakeFirstStep();
    IProcess();
}

Boolean TProcess::Last() {
    TakeFirstStep();
    return fLast;
}

void TProcess::First() {
    TakeFirstStep();
    fProcessID = fFirstPSN;
}

ProcessSerialNumber TProcess::GetProcessID() const {
    if (fFirstTime) {
        // Where the first step will land; the walk itself takes it at its next question.
        ProcessSerialNumber first = fFirstPSN;
        return GetNextProcess(&first) == noErr ? first : fProcessID;
    }
    return fProcessID;
}

ProcessSerialNumber TProcess::GetMyProcessID() const {
    return fMyProcessID;
}

SInt16 TProcess::GetNumProcesses() {
    TakeFirstStep();
    ProcessSerialNumber process = {0, 0};
    SInt16 count = 0;
    while (GetNextProcess(&process) == noErr) {
        ++count;
    }
    return count;
}

ProcessInfoRec TProcess::GetProcessInfoRec() {
    TakeFirstStep();
    ProcessInfoRec info = EmptyInfoRecord();
    fError = GetProcessInformation(&fProcessID, &info);
    return info;
}

UInt32 TProcess::GetProcessSize() {
    return GetProcessInfoRec().processSize;
}

UInt32 TProcess::GetFreeMem() {
    return GetProcessInfoRec().processFreeMem;
}

UInt32 TProcess::GetLaunchDate() {
    return GetProcessInfoRec().processLaunchDate;
}

// The whole list is searched, whatever the walk's position; the platform looks the signature
// up in what it knows instead of describing every process in turn.
Boolean TProcess::FindProcess(UInt32 signature) {
    TakeFirstStep();
    ProcessSerialNumber found = {0, 0};
    if (FindProcessWithSignature(signature, &found) == noErr) {
        fProcessID = found;
        return true;
    }
    fProcessID = {0, 0};
    return false;
}

Boolean TProcess::KillApplication(ProcessSerialNumber* thePSN) {
    AEAddressDesc target = {typeNull, nullptr};
    fError = AECreateDesc(typeProcessSerialNumber, thePSN, sizeof(ProcessSerialNumber), &target);
    if (fError != noErr) {
        return false;
    }
    AppleEvent quitEvent = {typeNull, nullptr};
    fError = AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, &target, kAutoGenerateReturnID,
                                kAnyTransactionID, &quitEvent);
    if (fError != noErr) {
        AEDisposeDesc(&target);
        return false;
    }
    AppleEvent reply = {typeNull, nullptr};
    fError =
        AESend(&quitEvent, &reply, kAENoReply, kAENormalPriority, kNoTimeOut, nullptr, nullptr);
    AEDisposeDesc(&target);
    AEDisposeDesc(&quitEvent);
    return fError == noErr;
}
