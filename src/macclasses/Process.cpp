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
    IProcess();
}

Boolean TProcess::Last() {
    return fLast;
}

void TProcess::First() {
    fProcessID = fFirstPSN;
}

ProcessSerialNumber TProcess::GetProcessID() const {
    return fProcessID;
}

ProcessSerialNumber TProcess::GetMyProcessID() const {
    return fMyProcessID;
}

SInt16 TProcess::GetNumProcesses() {
    ProcessSerialNumber process = {0, 0};
    SInt16 count = 0;
    while (GetNextProcess(&process) == noErr) {
        ++count;
    }
    return count;
}

ProcessInfoRec TProcess::GetProcessInfoRec() {
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

Boolean TProcess::FindProcess(UInt32 signature) {
    fProcessID = {0, 0};
    ProcessInfoRec info = EmptyInfoRecord();
    while (GetNextProcess(&fProcessID) == noErr) {
        if (GetProcessInformation(&fProcessID, &info) == noErr &&
            info.processSignature == signature) {
            return true;
        }
    }
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
