// IOKit's plug-in interfaces: a COM-style object reached through a pointer to a pointer to a
// table of functions, each taking the object as its first argument.
#ifndef KA_PLATFORM_IOKIT_IOCFPLUGIN_H
#define KA_PLATFORM_IOKIT_IOCFPLUGIN_H

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

using HRESULT = SInt32;
using ULONG = UInt32;
using LPVOID = void*;
using REFIID = CFUUIDBytes;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);

#define IUNKNOWN_C_GUTS                                                   \
    void* _reserved;                                                      \
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
    ULONG (*AddRef)(void* thisPointer);                                   \
    ULONG (*Release)(void* thisPointer)

struct IOCFPlugInInterfaceStruct {
    IUNKNOWN_C_GUTS;
    UInt16 version;
    UInt16 revision;
};
using IOCFPlugInInterface = IOCFPlugInInterfaceStruct;

// C244E858-109C-11D4-91D4-0050E4C6426F
#define kIOCFPlugInInterfaceID                                                               \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, \
                                   0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F)

// Creates the plug-in of pluginType for the service and returns its interfaceType
// interface in *theInterface (reference count one). Fails with a non-zero status and leaves
// *theInterface untouched when the service has no such plug-in.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);
// Releases the plug-in made by IOCreatePlugInInterfaceForService.
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

#endif
