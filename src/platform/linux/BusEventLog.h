// Where the backend tells what the bus did to a transfer and how it was ridden out: resets,
// busy answers, damaged packets, a node the kernel made anew, a write not sent again because
// the unit may have taken it. One line each, on standard output; everything passes through
// here so that the backend's observer (an update's record) hears the same.
#ifndef KA_PLATFORM_LINUX_BUSEVENTLOG_H
#define KA_PLATFORM_LINUX_BUSEVENTLOG_H

#include "BusObserver.h"

#include <string_view>

namespace kaplatform {

// Writes "FireWire: <what>" as one line and hands what to observer, if there is one.
void LogBusEvent(BusObserver* observer, std::string_view what);

}  // namespace kaplatform

#endif
