// Whether this user may reach the FireWire units that lookups match. A unit on the bus whose
// device this user may not open is not handed out by IOServiceGetMatchingService's callers
// (opening it fails), so without this a missing permission looks like a missing unit.
#ifndef KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREUNITACCESS_H
#define KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREUNITACCESS_H

#include <IOKit/IOReturn.h>

// kIOReturnNotPermitted while the last attempt to open a matched FireWire unit was refused
// for lack of permission and the unit is still on the bus; kIOReturnSuccess otherwise.
IOReturn IOFireWireGetUnitAccessStatus();

#endif
