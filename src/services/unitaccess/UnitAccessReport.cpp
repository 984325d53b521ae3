#include "UnitAccessReport.h"

#include "FireWireBackend.h"

namespace kaunitaccess {

IOReturn UnitAccessStatus() {
    const auto backend = kaplatform::GetFireWireBackend();
    return backend ? backend->UnitAccessStatus() : kIOReturnSuccess;
}

bool FireWireControllerPresent() {
    const auto backend = kaplatform::GetFireWireBackend();
    return backend ? backend->HasController() : true;
}

}  // namespace kaunitaccess
