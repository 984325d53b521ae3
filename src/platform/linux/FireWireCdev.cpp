#include "FireWireCdev.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <linux/firewire-constants.h>

#include <cerrno>

namespace kaplatform {

IOReturn StatusOfOpenError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        case EBUSY:
            return kIOReturnExclusiveAccess;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kIOReturnNoDevice;
        default:
            return kIOReturnError;
    }
}

IOReturn StatusOfCallError(int error) {
    switch (error) {
        case ENODEV:
            return kIOReturnNoDevice;
        case EINVAL:
            return kIOReturnBadArgument;
        case ENOMEM:
            return kIOReturnNoMemory;
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        default:
            return kIOReturnError;
    }
}

IOReturn StatusOfResponseCode(std::uint32_t responseCode) {
    switch (responseCode) {
        case RCODE_COMPLETE:
            return kIOReturnSuccess;
        case RCODE_CONFLICT_ERROR:
        case RCODE_DATA_ERROR:
        case RCODE_TYPE_ERROR:
        case RCODE_ADDRESS_ERROR:
            return kIOFireWireResponseBase + static_cast<IOReturn>(responseCode);
        case RCODE_BUSY:
            return kIOReturnBusy;
        case RCODE_NO_ACK:
            return kIOReturnNotResponding;
        case RCODE_CANCELLED:
            // The kernel's split time-out: the node acknowledged but never answered.
            return kIOReturnTimeout;
        case RCODE_SEND_ERROR:
            return kIOReturnIOError;
        case RCODE_GENERATION:
            return kIOFireWireBusReset;
        default:
            return kIOReturnIOError;
    }
}

std::uint64_t UserPointer(const void* pointer) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace kaplatform
