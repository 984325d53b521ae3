// Our own FireWire statuses, not ones the Mac gives, that the bus backends return beside the
// FireWire family's (IOKit/firewire/IOFireWireFamilyCommon.h).
#ifndef KA_PLATFORM_FIREWIRESTATUS_H
#define KA_PLATFORM_FIREWIRESTATUS_H

#include <IOKit/firewire/IOFireWireFamilyCommon.h>

// Our own status, not one the Mac gives: a write that the unit may have carried out although
// it did not answer "complete" (its answer was lost, it came back as a data error, which may
// be the unit's own refusal, or the node went away while it was outstanding). The device
// interface never sends such a write again: the unit appends what reaches its data window,
// so a second copy would shift the rest of an image.
inline constexpr IOReturn kIOFireWireWriteMayHaveBeenTaken = iokit_fw_err(0x200);

#endif
