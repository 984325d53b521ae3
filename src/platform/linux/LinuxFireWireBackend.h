// The FireWire backend over the Linux kernel's firewire-cdev interface: units are found in
// sysfs, their node's /dev/fwN carries the transactions.
//
// Behaviour worth knowing from above:
// - Transfers always address the unit's current node; the kernel offers no way to name
//   another node through a device file, so a target that is not relative to the device
//   gives kIOReturnUnsupported.
// - failOnReset false: the newest bus generation known to the device is sent, not the
//   caller's number, and a transfer that a bus reset flushed, or that the kernel turned away
//   for a stale generation, is sent again once the kernel reports a newer generation; a bus
//   that keeps resetting ends the transfer with kIOFireWireBusReset after
//   kLinuxFireWireResetDeadline. failOnReset true: the caller's generation is sent and a
//   stale one fails with kIOFireWireBusReset.
// - A unit that answers busy is asked again, after a short pause, up to
//   kLinuxFireWireBusyTries times in all; then kIOReturnBusy.
// - Each such retry writes one line on standard output.
// - A split-transaction time-out reported by the kernel, like our own wait for the
//   response running out, gives kIOReturnTimeout.
// - Four-byte Read and Write travel as quadlet requests.
// - A failed read or write reports 0 bytes moved.
// - Open locks the device file (flock, exclusive): a unit another program holds open gives
//   kIOReturnExclusiveAccess. Close lets it go.
// - A matched unit whose device file this user may not open is reported once on standard
//   error when that starts and once when it ends, and by UnitAccessStatus meanwhile.
// - GetBusGeneration works on a closed device too (it opens the node briefly, unlocked).
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H
#define KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H

#include "FireWireBackend.h"

#include <chrono>
#include <memory>

namespace kaplatform {

class LinuxSystem;  // LinuxSystem.h: the system-call seam

// How long a transfer waits for its response event. The kernel gives up on a silent node
// after its split time-out (2 s by default, at most 3 s, counted from the ack) and reports
// that as an event; waiting longer than the kernel's longest means its answer always comes
// first, so that we never leave a transaction behind for close() to wait on. This bound only
// guards against an event that never comes.
inline constexpr std::chrono::milliseconds kLinuxFireWireResponseTimeout{5000};

// How long after the first bus reset that hit a transfer it may still be sent again.
inline constexpr std::chrono::milliseconds kLinuxFireWireResetDeadline{3000};

// Sends of one request at most while the unit answers busy.
inline constexpr int kLinuxFireWireBusyTries = 10;

// The backend on the running kernel.
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend();

// The backend on the given system calls (tests pass a fake kernel).
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(std::shared_ptr<LinuxSystem> system);

}  // namespace kaplatform

#endif
