// Whether this user may reach the Ka units that lookups match. A unit on the bus whose device
// this user may not open, or that another program holds open exclusively, is not handed out
// by IOServiceGetMatchingService's callers (opening it fails), so without this report a
// missing permission or a busy unit looks like a missing unit. The bus backend in use keeps
// the state; this room only asks it, so the program needs nothing of the backend.
#ifndef KA_SERVICES_UNITACCESS_UNITACCESSREPORT_H
#define KA_SERVICES_UNITACCESS_UNITACCESSREPORT_H

#include <IOKit/IOReturn.h>

namespace kaunitaccess {

// kIOReturnNotPermitted while attempts to open a matched unit have been refused for lack of
// permission for a while and the unit is still on the bus; kIOReturnExclusiveAccess while the
// last attempt found it held by another program; kIOReturnSuccess otherwise, and when no bus
// backend is installed.
IOReturn UnitAccessStatus();

// False when the machine has no FireWire controller at all (no bus to find a Ka on): a cause
// the user can act on, unlike a Ka that is simply not plugged in. True when no bus backend is
// installed.
bool FireWireControllerPresent();

}  // namespace kaunitaccess

#endif
