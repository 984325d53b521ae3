// The device's node: opening and holding its device file, the kernel's view of the bus, and
// finding the node again when the kernel makes it anew.
#include "LinuxFireWireDevice.h"

#include "BusEventLog.h"
#include "DeviceFileAccess.h"
#include "FireWireCdev.h"
#include "OutstandingRequests.h"
#include "SysfsFireWire.h"

#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <sys/file.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

namespace kaplatform {
namespace {

// The ABI we are written for: plain RESPONSE events (no time stamps), bus-reset events
// that carry the bus manager's node.
constexpr std::uint32_t kCdevAbiVersion = 4;

// The bus-information block: header, "1394", capabilities, then the GUID's two halves.
constexpr std::size_t kBusInfoQuadlets = 5;

using Clock = std::chrono::steady_clock;

}  // namespace

LinuxFireWireDevice::LinuxFireWireDevice(std::shared_ptr<LinuxSystem> system,
                                         std::string devicePath, std::uint64_t guid,
                                         const LinuxFireWireRetryPolicy& policy,
                                         std::shared_ptr<DeviceFileAccess> access,
                                         std::shared_ptr<OutstandingRequests> outstanding)
    : system_(std::move(system)),
      devicePath_(std::move(devicePath)),
      guid_(guid),
      policy_(policy),
      access_(std::move(access)),
      outstanding_(std::move(outstanding)) {}

LinuxFireWireDevice::~LinuxFireWireDevice() {
    ReleaseDescriptor();
}

IOReturn LinuxFireWireDevice::OpenDescriptor(const std::string& path, int& fileDescriptor) {
    const int result =
        RetryWhileInterrupted([&] { return system_->Open(path.c_str(), O_RDWR | O_CLOEXEC); });
    if (result < 0) {
        const IOReturn status = StatusOfOpenError(-result);
        if (access_ && status == kIOReturnNotPermitted) {
            access_->Refused(path, system_->Now());
        } else if (access_) {
            access_->OpenFailed();
        }
        return status;
    }
    if (access_) {
        access_->Opened();
    }
    const IOReturn status = QueryBusInfo(result, true);
    if (status != kIOReturnSuccess) {
        system_->Close(result);
        return status;
    }
    fileDescriptor = result;
    return kIOReturnSuccess;
}

IOReturn LinuxFireWireDevice::OpenLocked(const std::string& path, int& fileDescriptor,
                                         std::optional<std::uint32_t> lostGeneration) {
    int opened = -1;
    const IOReturn status = OpenDescriptor(path, opened);
    if (status != kIOReturnSuccess) {
        return status;
    }
    if (lostGeneration && generation_ == *lostGeneration) {
        // A device the kernel has marked gone still opens, and keeps reporting the generation
        // it was lost in until the kernel revives it or shuts it down: nothing to lock yet.
        // Its descriptor may be the one we hold, whose lock would look like another program's.
        system_->Close(opened);
        return kIOReturnNoDevice;
    }
    // The kernel lets any number of programs drive a node at once; the Mac's Open is
    // exclusive, and two updaters interleaving their blocks would ruin the flash.
    const int result =
        RetryWhileInterrupted([&] { return system_->Flock(opened, LOCK_EX | LOCK_NB); });
    if (result < 0) {
        system_->Close(opened);
        if (result == -EWOULDBLOCK) {
            if (access_) {
                access_->HeldElsewhere(path, *system_);
            }
            return kIOReturnExclusiveAccess;
        }
        return StatusOfCallError(-result);
    }
    if (access_) {
        access_->Cleared();
    }
    fileDescriptor = opened;
    return kIOReturnSuccess;
}

void LinuxFireWireDevice::ReleaseDescriptor() {
    if (fileDescriptor_ < 0) {
        return;
    }
    // Closing drops the lock too; saying so keeps the order plain, and a descriptor kept for
    // its outstanding requests must not keep the unit from the next device interface.
    system_->Flock(fileDescriptor_, LOCK_UN);
    if (!unanswered_.empty() && outstanding_) {
        outstanding_->Keep(fileDescriptor_, std::move(unanswered_));
        unanswered_.clear();
    } else {
        // Not repeated on EINTR: Linux releases the descriptor whatever close reports.
        system_->Close(fileDescriptor_);
    }
    fileDescriptor_ = -1;
    busResetSeen_ = false;
}

IOReturn LinuxFireWireDevice::FindNodeAgain() {
    const std::string lostPath = devicePath_;
    // What the lost device last reported: a device file that still reports it leads to the
    // lost device itself, which answers nothing.
    const std::uint32_t lostGeneration = generation_;
    const Clock::time_point deadline = system_->Now() + policy_.nodeSearchDeadline;
    for (;;) {
        // Only the same GUID counts: whatever else turns up is not the unit being updated.
        // The lost name is tried too: once the kernel has shut the lost device down, it gives
        // the unit's new device the lowest free number, most often the same one.
        for (const std::string& node : sysfs::NodesWithGuid(system_->SysfsRoot(), guid_)) {
            const std::string path = "/dev/" + node;
            int fileDescriptor = -1;
            if (OpenLocked(path, fileDescriptor, lostGeneration) != kIOReturnSuccess) {
                continue;
            }
            // Let go of the old node only once the new one is locked: the unit is never
            // without our lock, so no other program can slip in between.
            ReleaseDescriptor();
            fileDescriptor_ = fileDescriptor;
            devicePath_ = path;
            std::string event = "node ";
            event += lostPath;
            event += " went away; the unit is back as ";
            event += path;
            LogBusEvent(event);
            return kIOReturnSuccess;
        }
        const Clock::time_point now = system_->Now();
        if (now >= deadline) {
            return kIOReturnNoDevice;
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        // Nothing to wait on but time: the kernel announces the new node in sysfs.
        system_->Poll(nullptr, 0,
                      static_cast<int>(std::min(policy_.nodeSearchInterval, remaining).count()));
    }
}

IOReturn LinuxFireWireDevice::Open() {
    if (open_) {
        return kIOReturnExclusiveAccess;
    }
    wroteSinceOpen_ = false;
    if (fileDescriptor_ >= 0) {
        // Still held from an earlier Open: the node behind it must still be ours.
        IOReturn status = QueryBusInfo(fileDescriptor_, true);
        if (status == kIOReturnNoDevice && !failFast_) {
            status = FindNodeAgain();
        }
        if (status != kIOReturnSuccess) {
            return status;
        }
        open_ = true;
        return kIOReturnSuccess;
    }
    int fileDescriptor = -1;
    const IOReturn status = OpenLocked(devicePath_, fileDescriptor);
    if (status != kIOReturnSuccess) {
        return status;
    }
    fileDescriptor_ = fileDescriptor;
    open_ = true;
    return kIOReturnSuccess;
}

void LinuxFireWireDevice::Close() {
    open_ = false;
}

IOReturn LinuxFireWireDevice::GetBusGeneration(std::uint32_t& generation) {
    IOReturn status;
    if (fileDescriptor_ >= 0) {
        status = QueryBusInfo(fileDescriptor_, false);
        if (status == kIOReturnNoDevice && !failFast_) {
            status = FindNodeAgain();
        }
    } else {
        // Asked before Open: look at the bus through a descriptor of our own, without
        // the lock, which is for the transfers.
        int fileDescriptor = -1;
        status = OpenDescriptor(devicePath_, fileDescriptor);
        if (status == kIOReturnSuccess) {
            system_->Close(fileDescriptor);
        }
    }
    if (status == kIOReturnSuccess) {
        generation = generation_;
    }
    return status;
}

IOReturn LinuxFireWireDevice::QueryBusInfo(int fileDescriptor, bool checkIdentity) {
    fw_cdev_event_bus_reset busReset{};
    std::array<std::uint32_t, kBusInfoQuadlets> busInfo{};
    fw_cdev_get_info info{};
    info.version = kCdevAbiVersion;
    if (checkIdentity) {
        info.rom_length = sizeof busInfo;
        info.rom = UserPointer(busInfo.data());
    }
    info.bus_reset = UserPointer(&busReset);
    const int result = RetryWhileInterrupted(
        [&] { return system_->Ioctl(fileDescriptor, FW_CDEV_IOC_GET_INFO, &info); });
    if (result < 0) {
        return StatusOfCallError(-result);
    }
    if (checkIdentity) {
        // The kernel reports the whole ROM's length and copies what fits; the ROM holds
        // host-order quadlets.
        const std::uint64_t guid = (std::uint64_t{busInfo[3]} << 32) | busInfo[4];
        if (info.rom_length < sizeof busInfo || guid != guid_) {
            return kIOReturnNoDevice;
        }
    }
    generation_ = busReset.generation;
    busResetSeen_ = false;
    return kIOReturnSuccess;
}

}  // namespace kaplatform
