#include <IOKit/firewire/IOFireWireUnitAccess.h>

#include "FireWireBackend.h"

IOReturn IOFireWireGetUnitAccessStatus() {
    const auto backend = kaplatform::GetFireWireBackend();
    return backend ? backend->UnitAccessStatus() : kIOReturnSuccess;
}
