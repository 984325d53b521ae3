// Keeping the machine up during an update with a systemd-logind inhibitor lock, taken over the
// system bus. This is our policy for what "keep the system up" means here: the lock blocks
// shutdown, sleep and idle, and the power, suspend and hibernate keys and the lid switch
// (whose own handling logind would otherwise carry out even with the first three held); the
// request waits at most kSleepInhibitorLimit in all. The executable hands it to the power
// assertions of the desktop platform layer (IOPMLib), which hold one lock per assertion.
#ifndef KA_SERVICES_SLEEPINHIBITOR_SLEEPINHIBITOR_H
#define KA_SERVICES_SLEEPINHIBITOR_SLEEPINHIBITOR_H

#include <kaplatform/PlatformSeams.h>

#include <chrono>
#include <memory>

namespace kasleepinhibitor {

// The user's click waits for the answer. Connecting, authenticating, greeting the bus and
// logind's answer all share this one limit: a bus that accepts and never answers must cost the
// click no more than this, and must leave nothing behind that waits on it.
inline constexpr std::chrono::milliseconds kSleepInhibitorLimit{4000};

// Asks logind on the system bus named by $DBUS_SYSTEM_BUS_ADDRESS when each block is asked
// for (the system's own socket when it is unset), on a connection of the request's own. A block
// lasts as long as the lock logind hands back. kIOReturnNotPermitted when logind refuses it,
// kIOReturnNotResponding when nobody answers within the limit.
std::shared_ptr<kaplatform::SystemSleepBlocker> MakeLogindSleepInhibitor();

}  // namespace kasleepinhibitor

#endif
