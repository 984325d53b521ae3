// What the firewire-cdev interface's answers mean to the IOKit stand-in: errno values of
// its calls and the response codes of its transactions as IOReturn, and the ABI's way of
// passing a buffer.
#ifndef KA_PLATFORM_LINUX_FIREWIRECDEV_H
#define KA_PLATFORM_LINUX_FIREWIRECDEV_H

#include <IOKit/IOReturn.h>

#include <cstdint>

namespace kaplatform {

// open(2) of a device file.
IOReturn StatusOfOpenError(int error);
// The ioctls, read and poll.
IOReturn StatusOfCallError(int error);
// A response event's rcode.
IOReturn StatusOfResponseCode(std::uint32_t responseCode);

// A pointer as the ABI's 64-bit fields carry it.
std::uint64_t UserPointer(const void* pointer);

}  // namespace kaplatform

#endif
