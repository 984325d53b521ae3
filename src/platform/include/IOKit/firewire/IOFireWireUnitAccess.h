// Whether this user may reach the FireWire units that lookups match. A unit on the bus whose
// device this user may not open, or that another program holds open exclusively, is not
// handed out by IOServiceGetMatchingService's callers (opening it fails), so without this a
// missing permission or a busy unit looks like a missing unit.
#ifndef KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREUNITACCESS_H
#define KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREUNITACCESS_H

#include <IOKit/IOReturn.h>

// kIOReturnNotPermitted while attempts to open a matched FireWire unit have been refused for
// lack of permission for a while and the unit is still on the bus; kIOReturnExclusiveAccess
// while the last attempt found it held by another program; kIOReturnSuccess otherwise.
IOReturn IOFireWireGetUnitAccessStatus();

#endif
