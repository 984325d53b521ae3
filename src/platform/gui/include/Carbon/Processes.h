// The Process Manager and Apple Event Manager subset: walking the running applications with
// their four-character signatures, and asking one of them to quit.
#ifndef KA_PLATFORM_CARBON_PROCESSES_H
#define KA_PLATFORM_CARBON_PROCESSES_H

#include <Carbon/CarbonCore.h>

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
enum : UInt32 {
    kNoProcess = 0,
    kSystemProcess = 1,
    kCurrentProcess = 2,
};

struct FSSpec;
struct ProcessInfoRec {
    UInt32 processInfoLength;
    StringPtr processName;
    ProcessSerialNumber processNumber;
    UInt32 processType;
    OSType processSignature;
    UInt32 processMode;
    Ptr processLocation;
    UInt32 processSize;
    UInt32 processFreeMem;
    ProcessSerialNumber processLauncher;
    UInt32 processLaunchDate;
    UInt32 processActiveTime;
    FSSpec* processAppSpec;
};

OSErr GetCurrentProcess(ProcessSerialNumber* psn);
// {kNoProcess, kNoProcess} gives the first process; procNotFound after the last one.
OSErr GetNextProcess(ProcessSerialNumber* psn);
// processInfoLength must be sizeof(ProcessInfoRec) (paramErr otherwise). A non-null
// processName receives the name as a length-prefixed string (at most 31 bytes).
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);
// Ours: the list is kept up to date between walks at little cost, and may lag a process's
// exec or end by a few seconds. Before a step that must not rest on anything learnt earlier
// (an update about to start), this makes the next walk look at every process afresh.
void RefreshProcessList();
// Ours: the first running process with the signature (procNotFound when none), looked up in
// what the list knows rather than described one by one.
OSErr FindProcessWithSignature(OSType signature, ProcessSerialNumber* psn);

// Apple events ----------------------------------------------------------------------------------
struct OpaqueAEDataStorageType;
using AEDataStorage = OpaqueAEDataStorageType*;
struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
};
using AEAddressDesc = AEDesc;
using AppleEvent = AEDesc;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using AEReturnID = SInt16;
using AETransactionID = SInt32;
using AESendMode = SInt32;
using AESendPriority = SInt16;

enum : DescType {
    typeNull = 'null',
    typeProcessSerialNumber = 'psn ',
    typeAppleEvent = 'aevt',
};
enum : AEEventClass { kCoreEventClass = 'aevt' };
enum : AEEventID { kAEQuitApplication = 'quit' };
enum : AEReturnID { kAutoGenerateReturnID = -1 };
enum : AETransactionID { kAnyTransactionID = 0 };
enum : AESendMode {
    kAENoReply = 0x00000001,
    kAEQueueReply = 0x00000002,
    kAEWaitReply = 0x00000003,
};
enum : AESendPriority { kAENormalPriority = 0 };
enum : SInt32 {
    kAEDefaultTimeout = -1,
    kNoTimeOut = -2,
};
enum : OSErr {
    errAEEventNotHandled = -1708,
    errAEWrongDataType = -1703,
};

using AEIdleProcPtr = Boolean (*)(void* theEvent, SInt32* sleepTime, void** mouseRgn);
using AEIdleUPP = AEIdleProcPtr;
using AEFilterProcPtr = Boolean (*)(void* theEvent, SInt32 returnID, SInt32 transactionID,
                                    const AEAddressDesc* sender);
using AEFilterUPP = AEFilterProcPtr;

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, AEReturnID returnID,
                         AETransactionID transactionID, AppleEvent* result);
// Only the quit request to a process is delivered; the reply is always a null descriptor.
OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, AESendMode sendMode,
             AESendPriority sendPriority, SInt32 timeOutInTicks, AEIdleUPP idleProc,
             AEFilterUPP filterProc);
OSErr AEDisposeDesc(AEDesc* theAEDesc);

#endif
