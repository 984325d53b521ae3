// A simulated Ka installed as the FireWire backend for the life of one test.
#ifndef KA_TESTS_SIMULATEDBUS_H
#define KA_TESTS_SIMULATEDBUS_H

#include "FireWireBackend.h"
#include "SimulatedBackend.h"
#include "SimulatedKa.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace katest {

class ScopedSimulatedKa {
  public:
    explicit ScopedSimulatedKa(kasim::SimulatedKaConfig config = {})
        : ka_(std::make_shared<kasim::SimulatedKa>(std::move(config))) {
        kaplatform::SetFireWireBackend(std::make_shared<kasim::SimulatedBackend>(ka_));
    }
    ~ScopedSimulatedKa() { kaplatform::SetFireWireBackend(nullptr); }
    ScopedSimulatedKa(const ScopedSimulatedKa&) = delete;
    ScopedSimulatedKa& operator=(const ScopedSimulatedKa&) = delete;

    kasim::SimulatedKa& operator*() const { return *ka_; }
    kasim::SimulatedKa* operator->() const { return ka_.get(); }

  private:
    std::shared_ptr<kasim::SimulatedKa> ka_;
};

// The service of the first unit with the Ka's unit-directory values, as the controller
// looks it up; IO_OBJECT_NULL when there is none. The caller releases it.
inline io_service_t LookUpKaService() {
    CFMutableDictionaryRef matching = IOServiceMatching("IOFireWireUnit");
    SInt32 specifierId = kawire::kUnitSpecifierId;
    SInt32 version = kawire::kUnitSoftwareVersion;
    CFNumberRef specifier = CFNumberCreate(nullptr, kCFNumberSInt32Type, &specifierId);
    CFNumberRef software = CFNumberCreate(nullptr, kCFNumberSInt32Type, &version);
    CFDictionaryAddValue(matching, CFSTR("Unit_Spec_ID"), specifier);
    CFDictionaryAddValue(matching, CFSTR("Unit_SW_Version"), software);
    CFRelease(specifier);
    CFRelease(software);
    return IOServiceGetMatchingService(MACH_PORT_NULL, matching);
}

// The logged bus transfers only (quadlet and block reads and writes).
inline std::vector<kasim::Transaction> Transfers(const kasim::SimulatedKa& ka) {
    std::vector<kasim::Transaction> transfers;
    for (auto& transaction : ka.Transactions()) {
        switch (transaction.operation) {
            case kasim::Operation::ReadQuadlet:
            case kasim::Operation::WriteQuadlet:
            case kasim::Operation::ReadBlock:
            case kasim::Operation::WriteBlock:
                transfers.push_back(std::move(transaction));
                break;
            default:
                break;
        }
    }
    return transfers;
}

inline std::vector<kasim::Operation> Operations(const kasim::SimulatedKa& ka) {
    std::vector<kasim::Operation> operations;
    for (const auto& transaction : ka.Transactions()) {
        operations.push_back(transaction.operation);
    }
    return operations;
}

}  // namespace katest

#endif
