// The FireWire backend over the Linux kernel's firewire-cdev interface: units are found in
// sysfs, their node's /dev/fwN carries the transactions.
//
// Behaviour worth knowing from above:
// - Transfers always address the unit's current node; the kernel offers no way to name
//   another node through a device file, so a target that is not relative to the device
//   gives kIOReturnUnsupported.
// - failOnReset false: the newest bus generation known to the device is sent, not the
//   caller's number, and a transfer the kernel turns away for a stale generation (it never
//   reached the wire) is sent once more after fetching the generation afresh. failOnReset
//   true: the caller's generation is sent and a stale one fails with kIOFireWireBusReset.
// - A split-transaction time-out reported by the kernel, like our own wait for the
//   response running out, gives kIOReturnTimeout.
// - A failed read or write reports 0 bytes moved.
// - GetBusGeneration works on a closed device too (it opens the node briefly).
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H
#define KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H

#include "FireWireBackend.h"

#include <chrono>
#include <memory>

namespace kaplatform {

class LinuxSystem;  // LinuxSystem.h: the system-call seam

// How long a transfer waits for its response event. The kernel gives up on a silent node
// after its split time-out (2 s unless the bus changed it) and reports that as an event;
// this bound only guards against an event that never comes.
inline constexpr std::chrono::milliseconds kLinuxFireWireResponseTimeout{3000};

// The backend on the running kernel.
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend();

// The backend on the given system calls (tests pass a fake kernel).
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(std::shared_ptr<LinuxSystem> system);

}  // namespace kaplatform

#endif
