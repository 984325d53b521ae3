// What the IOKit stand-in currently holds, for tests that check that handles and plug-ins
// are given back.
#ifndef KA_PLATFORM_IOKITDIAGNOSTICS_H
#define KA_PLATFORM_IOKITDIAGNOSTICS_H

#include <cstddef>

namespace kaplatform {

// Master ports and service handles not yet released with IOObjectRelease (a plug-in keeps
// its service until it is destroyed).
std::size_t LiveIOObjectCount();
// FireWire plug-ins whose last reference has not been released.
std::size_t LivePlugInCount();

}  // namespace kaplatform

#endif
