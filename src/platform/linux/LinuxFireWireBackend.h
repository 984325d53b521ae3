// The FireWire backend over the Linux kernel's firewire-cdev interface: units are found in
// sysfs, their node's /dev/fwN carries the transactions.
//
// Behaviour worth knowing from above (the bounds named are members of the retry policy the
// backend is made with, LinuxFireWireRetryPolicy.h):
// - Transfers always address the unit's current node; the kernel offers no way to name
//   another node through a device file, so a target that is not relative to the device
//   gives kIOReturnUnsupported.
// - A write goes again only when the unit cannot have taken it: a busy answer, a request
//   the kernel refused or a reset flushed before the wire (RCODE_GENERATION), a send the
//   kernel could not make (RCODE_SEND_ERROR, or ENODEV from the send itself). A write whose
//   answer was lost (RCODE_CANCELLED: the unit had acked it "pending"), that came back as a
//   data error (a damaged packet and the unit's own refusal look the same), that had no ack
//   (RCODE_NO_ACK: only the ack may have been lost), whose answer did not come within
//   answerDeadline, that was outstanding when its node went away, or whose flush was its
//   node's leaving the bus after other writes since Open (the generation stood still until
//   the node was revived or shut down: a unit that comes back has lost what it was given),
//   is sent once only and gives
//   kIOFireWireWriteMayHaveBeenTaken, with one line on standard output; what to do about
//   it (start the image again) is the caller's. Reads go again in all these cases.
// - failOnReset false: the newest bus generation known to the device is sent, not the
//   caller's number, and a transfer that a bus reset flushed, or that the kernel turned away
//   for a stale generation, is sent again once the kernel reports a newer generation; a bus
//   that keeps resetting ends the transfer with kIOFireWireBusReset after resetDeadline. A
//   generation that stood still through it (a device the kernel marked gone, not yet revived
//   or shut down) is waited for up to goneNodeDeadline more.
//   failOnReset true: the caller's generation is sent and a stale one fails with
//   kIOFireWireBusReset.
//   A read the kernel's split time-out ended (RCODE_CANCELLED) while a bus reset lost the
//   unit's answer (the kernel reports a newer generation than it was sent in) is sent
//   again under the same deadline; without a newer generation it stays kIOReturnTimeout.
// - failOnReset false: a node the kernel marked gone and revived (the unit back within its
//   2 s shutdown delay) lives on under its descriptor, in a newer generation. When the node
//   goes for good (the kernel shuts its device down and makes it anew, most often under the
//   same /dev/fwN, as it gives the lowest free number), every node with the same GUID is
//   tried, lowest number first, for up to nodeSearchDeadline; one that still reports the
//   generation the node was lost in is the lost device and is passed over. The first that
//   opens and locks takes the transfer, sent again there (a write only if it never reached
//   the old node), nodeSearchesPerTransfer times at most; then kIOReturnNoDevice. The old
//   node's lock is held until the new one is locked.
// - A unit that answers busy is asked again, after a short pause (busyFirstPause, doubling
//   up to busyLongestPause), up to busyTries times in all; then kIOReturnBusy.
// - A request the kernel could not send is sent again, after sendErrorPause, up to
//   sendErrorTries times in all; then kIOReturnIOError.
// - A read that comes back damaged (RCODE_DATA_ERROR) or without an ack (RCODE_NO_ACK) is
//   sent again up to damagedReadResends times in all; then it is final.
// - Each such retry writes one line on standard output and tells the backend's observer
//   (BusEventLog.h).
// - A split-transaction time-out the kernel reports for a read, like our own wait for any
//   response running out, gives kIOReturnTimeout.
// - A kernel driver bound to one of the Ka's node's units (it may talk to the unit too) is
//   named on standard error when FindUnit first finds it so, and told to the backend's
//   observer (for the next update record's header).
// - Four-byte Read and Write travel as quadlet requests.
// - A failed read or write reports 0 bytes moved.
// - Open locks the device file (flock, exclusive): a unit another program holds open gives
//   kIOReturnExclusiveAccess, is reported once on standard error (with the holder, when
//   /proc/locks tells it) and by UnitAccessStatus meanwhile. Close ends the caller's use
//   only: the descriptor and its lock are kept until the device object goes, so that one
//   device interface holds the unit through all the images of an update.
// - A matched unit whose device file this user may not open, for kLinuxFireWireRefusalGrace
//   at least, is reported once on standard error when that starts and once when it ends,
//   and by UnitAccessStatus meanwhile.
// - GetBusGeneration works on a closed device too (it opens the node briefly, unlocked).
// - A device interface made to fail fast (discovery, on the window's thread) sends each
//   transfer once and waits failFastAnswerDeadline for its answer: a reset, busy or
//   damaged answer is final, a request refused for a stale generation goes once
//   more only when the kernel already knows a newer one, nothing waits for a generation or
//   looks for a node made anew, and after one unanswered request the rest fail at once.
// - A descriptor given back with a request the kernel has not ended is kept, unlocked, and
//   closed by a later lookup once the kernel has answered or cancelled the request: the
//   kernel's close would wait for it, up to the split time-out.
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H
#define KA_PLATFORM_LINUX_LINUXFIREWIREBACKEND_H

#include "FireWireBackend.h"
#include "LinuxFireWireRetryPolicy.h"

#include <memory>

namespace kaplatform {

class LinuxSystem;  // LinuxSystem.h: the system-call seam

// The backend on the running kernel.
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(
    const LinuxFireWireRetryPolicy& policy = kDefaultLinuxFireWireRetryPolicy);

// The backend on the given system calls (tests pass a fake kernel).
std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(
    std::shared_ptr<LinuxSystem> system,
    const LinuxFireWireRetryPolicy& policy = kDefaultLinuxFireWireRetryPolicy);

}  // namespace kaplatform

#endif
