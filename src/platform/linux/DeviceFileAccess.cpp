#include "DeviceFileAccess.h"

#include "LinuxSystem.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <iostream>
#include <sstream>

namespace kaplatform {

void DeviceFileAccess::Refused(const std::string& devicePath,
                               std::chrono::steady_clock::time_point now) {
    const std::lock_guard lock(mutex_);
    heldPath_.reset();
    if (!refusal_ || refusal_->devicePath != devicePath) {
        refusal_ = Refusal{devicePath, now};
    }
    if (refusal_->told || now - refusal_->since < kLinuxFireWireRefusalGrace) {
        return;
    }
    refusal_->told = true;
    std::cerr << "FireWire: permission denied opening " << devicePath
              << ", the Ka's device file: install the updater's udev rule (see the README) and "
                 "use the desktop session\n";
}

void DeviceFileAccess::HeldElsewhere(const std::string& devicePath, LinuxSystem& system) {
    const std::lock_guard lock(mutex_);
    refusal_.reset();
    if (heldPath_ == devicePath) {
        return;
    }
    heldPath_ = devicePath;
    const auto holder = LockHolder(devicePath, system);
    std::cerr << "FireWire: " << devicePath << ", the Ka's device file, is in use by "
              << (holder ? *holder : "another program") << ": quit it to update the Ka\n";
}

void DeviceFileAccess::OpenFailed() {
    const std::lock_guard lock(mutex_);
    heldPath_.reset();
}

void DeviceFileAccess::Opened() {
    const std::lock_guard lock(mutex_);
    EndRefusal();
}

void DeviceFileAccess::Cleared() {
    const std::lock_guard lock(mutex_);
    EndRefusal();
    heldPath_.reset();
}

void DeviceFileAccess::EndRefusal() {
    if (refusal_ && refusal_->told) {
        std::cerr << "FireWire: " << refusal_->devicePath << " is no longer refused\n";
    }
    refusal_.reset();
}

IOReturn DeviceFileAccess::Status() const {
    const std::lock_guard lock(mutex_);
    if (refusal_ && refusal_->told) {
        return kIOReturnNotPermitted;
    }
    return heldPath_ ? kIOReturnExclusiveAccess : kIOReturnSuccess;
}

std::optional<std::string> LockHolder(const std::string& devicePath, LinuxSystem& system) {
    struct stat status {};
    if (system.Stat(devicePath.c_str(), status) != 0) {
        return std::nullopt;
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:1043 0 EOF": the lock's kind, then the holder's
    // pid and the file as major:minor (hex) of its file system and inode number.
    std::ostringstream fileText;
    fileText << std::hex;
    fileText.width(2);
    fileText.fill('0');
    fileText << major(status.st_dev) << ':';
    fileText.width(2);
    fileText << minor(status.st_dev) << ':' << std::dec << status.st_ino;
    const std::string file = fileText.str();

    std::ifstream locks(system.ProcRoot() / "locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number;
        std::string kind;
        std::string mode;
        std::string access;
        std::string pid;
        std::string lockedFile;
        if (!(fields >> number >> kind >> mode >> access >> pid >> lockedFile)) {
            continue;
        }
        if (kind != "FLOCK" || lockedFile != file ||
            pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream commandFile(system.ProcRoot() / pid / "comm");
        std::string command;
        if (std::getline(commandFile, command) && !command.empty()) {
            return command.append(" (pid ").append(pid).append(")");
        }
        return "pid " + pid;
    }
    return std::nullopt;
}

}  // namespace kaplatform
