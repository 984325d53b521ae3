// Whether the units discovery matches can be had. The kernel finds a unit whatever the
// device file's permissions are; without the udev rule, or from a session that is not the
// active seat, opening /dev/fwN fails with EACCES and the unit is out of reach. Another
// program holding the unit's lock keeps it out of reach too. The user is told once when
// either starts (and once when a refusal ends), not on every discovery pass, and the desktop
// can ask for the state at any time.
#ifndef KA_PLATFORM_LINUX_DEVICEFILEACCESS_H
#define KA_PLATFORM_LINUX_DEVICEFILEACCESS_H

#include <IOKit/IOReturn.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace kaplatform {

class LinuxSystem;

// How long opens must keep being refused before the refusal counts: the kernel announces a
// new node (and udev starts setting its access list) before its units exist, so a unit
// plugged in a moment ago may be refused at first.
inline constexpr std::chrono::milliseconds kLinuxFireWireRefusalGrace{2000};

class DeviceFileAccess {
  public:
    // An open of a matched unit's device file was refused for lack of permission, now.
    void Refused(const std::string& devicePath, std::chrono::steady_clock::time_point now);
    // A matched unit's device file is locked by another program; /proc/locks (through
    // system) may tell which.
    void HeldElsewhere(const std::string& devicePath, LinuxSystem& system);
    // Opening a matched unit's device file failed for another reason (it went away): nobody
    // is known to hold it.
    void OpenFailed();
    // A matched unit's device file was opened: no refusal any more (its lock may still be
    // another program's).
    void Opened();
    // A matched unit's device file was opened and locked, or discovery found no matching
    // unit: either way nothing stands between the user and a Ka any more.
    void Cleared();

    // kIOReturnNotPermitted while the refusal counts, kIOReturnExclusiveAccess while another
    // program holds the unit, else kIOReturnSuccess.
    IOReturn Status() const;

  private:
    struct Refusal {
        std::string devicePath;
        std::chrono::steady_clock::time_point since;
        bool told = false;
    };

    // With mutex_ held.
    void EndRefusal();

    mutable std::mutex mutex_;
    std::optional<Refusal> refusal_;
    std::optional<std::string> heldPath_;
};

// "program (pid N)" of the process that holds devicePath's flock, from /proc/locks, or
// nothing when it cannot be told.
std::optional<std::string> LockHolder(const std::string& devicePath, LinuxSystem& system);

}  // namespace kaplatform

#endif
