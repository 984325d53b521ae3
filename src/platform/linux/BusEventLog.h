// Where the backend tells what the bus did to a transfer and how it was ridden out: resets,
// busy answers, damaged packets, a node the kernel made anew, a write not sent again because
// the unit may have taken it. One line each, on standard output; everything passes through
// here so that a recorder of an update can hear the same.
#ifndef KA_PLATFORM_LINUX_BUSEVENTLOG_H
#define KA_PLATFORM_LINUX_BUSEVENTLOG_H

#include <string_view>

namespace kaplatform {

// Writes "FireWire: <what>" as one line.
void LogBusEvent(std::string_view what);

}  // namespace kaplatform

#endif
