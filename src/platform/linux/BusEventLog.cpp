#include "BusEventLog.h"

#include "UpdateRecorder.h"

#include <iostream>

namespace kaplatform {

void LogBusEvent(std::string_view what) {
    std::cout << "FireWire: " << what << '\n';
    RecordBusEvent(what);
}

}  // namespace kaplatform
