// Whether this user may open the device files of the units discovery matches. The kernel
// finds a unit whatever the device file's permissions are; without the udev rule, or from a
// session that is not the active seat, opening /dev/fwN fails with EACCES and the unit is
// out of reach. The user is told once when that starts and once when it ends, not on every
// discovery pass, and the desktop can ask for the state at any time.
#ifndef KA_PLATFORM_LINUX_DEVICEFILEACCESS_H
#define KA_PLATFORM_LINUX_DEVICEFILEACCESS_H

#include <IOKit/IOReturn.h>

#include <mutex>
#include <optional>
#include <string>

namespace kaplatform {

class DeviceFileAccess {
  public:
    // An open of a matched unit's device file was refused for lack of permission.
    void Refused(const std::string& devicePath);
    // A matched unit's device file was opened, or discovery found no matching unit: either
    // way nothing stands between the user and a Ka any more.
    void Cleared();

    // kIOReturnNotPermitted while the last attempt to open a matched unit was refused,
    // else kIOReturnSuccess.
    IOReturn Status() const;

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> refusedPath_;
};

}  // namespace kaplatform

#endif
