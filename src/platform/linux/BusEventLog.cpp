#include "BusEventLog.h"

#include <iostream>

namespace kaplatform {

void LogBusEvent(BusObserver* observer, std::string_view what) {
    std::cout << "FireWire: " << what << '\n';
    if (observer != nullptr) {
        observer->BusEvent(what);
    }
}

}  // namespace kaplatform
