#include "DeviceFileAccess.h"

#include <iostream>

namespace kaplatform {

void DeviceFileAccess::Refused(const std::string& devicePath) {
    const std::lock_guard lock(mutex_);
    if (refusedPath_ == devicePath) {
        return;
    }
    refusedPath_ = devicePath;
    std::cerr << "FireWire: permission denied opening " << devicePath
              << ", the Ka's device file: install the updater's udev rule (see the README) and "
                 "use the desktop session\n";
}

void DeviceFileAccess::Cleared() {
    const std::lock_guard lock(mutex_);
    if (refusedPath_) {
        std::cerr << "FireWire: " << *refusedPath_ << " is no longer refused\n";
        refusedPath_.reset();
    }
}

IOReturn DeviceFileAccess::Status() const {
    const std::lock_guard lock(mutex_);
    return refusedPath_ ? kIOReturnNotPermitted : kIOReturnSuccess;
}

}  // namespace kaplatform
