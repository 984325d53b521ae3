// IOKit status codes, with the values the Mac gives them: 0 for success, otherwise
// 0xE00002xx for the common codes. They travel up through the program unchanged.
#ifndef KA_PLATFORM_IOKIT_IORETURN_H
#define KA_PLATFORM_IOKIT_IORETURN_H

#include <MacTypes.h>
#include <mach/kern_return.h>

using IOReturn = kern_return_t;

#define iokit_common_err(return_code) (static_cast<IOReturn>(0xE0000000u | (return_code)))
#define iokit_family_err(sub, return_code) \
    (static_cast<IOReturn>(0xE0000000u | (((sub) & 0xFFFu) << 14) | (return_code)))

inline constexpr IOReturn kIOReturnSuccess = KERN_SUCCESS;
inline constexpr IOReturn kIOReturnError = iokit_common_err(0x2bc);
inline constexpr IOReturn kIOReturnNoMemory = iokit_common_err(0x2bd);
inline constexpr IOReturn kIOReturnNoResources = iokit_common_err(0x2be);
inline constexpr IOReturn kIOReturnNoDevice = iokit_common_err(0x2c0);
inline constexpr IOReturn kIOReturnNotPrivileged = iokit_common_err(0x2c1);
inline constexpr IOReturn kIOReturnBadArgument = iokit_common_err(0x2c2);
inline constexpr IOReturn kIOReturnExclusiveAccess = iokit_common_err(0x2c5);
inline constexpr IOReturn kIOReturnUnsupported = iokit_common_err(0x2c7);
inline constexpr IOReturn kIOReturnInternalError = iokit_common_err(0x2c9);
inline constexpr IOReturn kIOReturnIOError = iokit_common_err(0x2ca);
inline constexpr IOReturn kIOReturnNotOpen = iokit_common_err(0x2cd);
inline constexpr IOReturn kIOReturnNotReadable = iokit_common_err(0x2ce);
inline constexpr IOReturn kIOReturnNotWritable = iokit_common_err(0x2cf);
inline constexpr IOReturn kIOReturnNotAligned = iokit_common_err(0x2d0);
inline constexpr IOReturn kIOReturnStillOpen = iokit_common_err(0x2d2);
inline constexpr IOReturn kIOReturnBusy = iokit_common_err(0x2d5);
inline constexpr IOReturn kIOReturnTimeout = iokit_common_err(0x2d6);
inline constexpr IOReturn kIOReturnOffline = iokit_common_err(0x2d7);
inline constexpr IOReturn kIOReturnNotReady = iokit_common_err(0x2d8);
inline constexpr IOReturn kIOReturnNotAttached = iokit_common_err(0x2d9);
inline constexpr IOReturn kIOReturnNotPermitted = iokit_common_err(0x2e2);
inline constexpr IOReturn kIOReturnDeviceError = iokit_common_err(0x2e9);
inline constexpr IOReturn kIOReturnAborted = iokit_common_err(0x2eb);
inline constexpr IOReturn kIOReturnNotResponding = iokit_common_err(0x2ed);
inline constexpr IOReturn kIOReturnNotFound = iokit_common_err(0x2f0);

#endif
