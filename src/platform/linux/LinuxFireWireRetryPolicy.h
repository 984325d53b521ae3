// How the Linux backend rides out what a real bus does to a transfer: how often a request
// goes again and how long anything is waited for. One value, handed to the backend when it
// is made (MakeLinuxFireWireBackend); the default below is the one the program runs with, and
// the tests and the fuzz oracle read their bounds from it. Whatever the numbers, a write the
// unit may have taken is never sent again: these bound only the resends that are safe.
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIRERETRYPOLICY_H
#define KA_PLATFORM_LINUX_LINUXFIREWIRERETRYPOLICY_H

#include <chrono>

namespace kaplatform {

struct LinuxFireWireRetryPolicy {
    // ---- a unit that answers busy (it did not take the packet: safe to send again)

    // Sends of one request at most while the unit answers busy: with the pauses below about
    // 65 ms in all, longer than a unit writing its flash stays busy, short enough that a
    // unit stuck busy is reported soon.
    int busyTries = 10;
    // The pause before the second send. The link's own retries last microseconds; a unit
    // writing its flash needs milliseconds, so the pauses start short and grow.
    std::chrono::milliseconds busyFirstPause{1};
    // Each further pause doubles, up to this: a unit still busy after 15 ms is asked every
    // 10 ms, not ever more rarely.
    std::chrono::milliseconds busyLongestPause{10};

    // ---- a request the kernel could not send (RCODE_SEND_ERROR: nothing left)

    // Sends of one request at most: the kernel runs out of transaction labels or its driver
    // refuses a packet only for a moment; a third refusal in a row is a fault.
    int sendErrorTries = 3;
    // The pause before each further send: enough for the requests ahead of it to end and
    // give their labels back.
    std::chrono::milliseconds sendErrorPause{5};

    // ---- a read that came back damaged (RCODE_DATA_ERROR; a write is never sent again)

    // Sends of one read after the first: a link that damages four reads in a row is broken,
    // and saying so beats hiding it.
    int damagedReadResends = 3;

    // ---- bus resets (failOnReset false)

    // How long after the first bus reset that hit a transfer it may still be sent again. A
    // reset settles in well under a millisecond and the kernel takes up to its split
    // time-out (at most 3 s) to report a lost answer; a bus still resetting after that is
    // not going to let an update through.
    std::chrono::milliseconds resetDeadline{3000};
    // How often GET_INFO is asked while waiting for the generation after a reset: the
    // kernel queues a bus-reset event once it knows it, and asking every few milliseconds
    // covers a client that missed it without keeping the processor busy.
    std::chrono::milliseconds generationQueryInterval{5};

    // How long past resetDeadline a generation that stood still (the device the kernel
    // marked gone when its node left) is waited for: the kernel revives the device when the
    // node comes back with the same ROM, read half a second after its reset and 3 s later
    // for each read that fails, and shuts it down once the bus has been free of resets for
    // 2 s. Either ends the wait: a newer generation, or ENODEV and the search below.
    std::chrono::milliseconds goneNodeDeadline{5000};

    // ---- a node the kernel makes anew (failOnReset false)

    // How long a transfer whose node went away looks for the unit's GUID to come back. The
    // kernel makes the new device only once it has read the node's configuration ROM again,
    // and may have to read it more than once; past a few seconds the unit is taken for gone.
    std::chrono::milliseconds nodeSearchDeadline{5000};
    // How often sysfs is looked at meanwhile: the kernel announces the node there, and
    // nothing else can be waited on.
    std::chrono::milliseconds nodeSearchInterval{50};
    // Times one transfer may follow its node to a new device file: a node that keeps being
    // made anew is a bus that will not hold still for an update.
    int nodeSearchesPerTransfer = 3;

    // ---- answers

    // How long a transfer waits for its response event. The kernel gives up on a silent
    // node after its split time-out (2 s by default, at most 3 s, counted from the ack) and
    // reports that as an event; waiting longer than the kernel's longest means its answer
    // always comes first, so that we never leave a transaction behind for close() to wait
    // on. It only guards against an event that never comes. Kept descriptors are closed
    // after it too, whatever was heard (OutstandingRequests.h).
    std::chrono::milliseconds answerDeadline{5000};
    // The same for a device interface that fails fast (FireWireDevice::FailFast: discovery,
    // on the window's thread). A unit answers its registers within microseconds; one that
    // acked pending and stays silent is left to the kernel's split time-out, and its device
    // interface sends nothing more. The window's timer ticks every 500 ms: a pass must stay
    // well inside that.
    std::chrono::milliseconds failFastAnswerDeadline{50};
    // Sends of one transfer at most, whatever the bus does: a backstop behind the reset
    // deadline (a reset takes a good part of a millisecond at least) for a clock that does
    // not move.
    int mostSendsPerTransfer = 10000;
};

// The policy the program runs with.
inline constexpr LinuxFireWireRetryPolicy kDefaultLinuxFireWireRetryPolicy{};

}  // namespace kaplatform

#endif
