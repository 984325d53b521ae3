#include "BusEventLog.h"

#include <iostream>

namespace kaplatform {

void LogBusEvent(std::string_view what) {
    std::cout << "FireWire: " << what << '\n';
}

}  // namespace kaplatform
