// The FireWire backend of a bus that holds one simulated Ka, and perhaps others after it.
#ifndef KA_SIM_SIMULATEDBACKEND_H
#define KA_SIM_SIMULATEDBACKEND_H

#include "FireWireBackend.h"
#include "SimulatedKa.h"

#include <memory>
#include <vector>

namespace kasim {

class SimulatedBackend : public kaplatform::FireWireBackend {
  public:
    explicit SimulatedBackend(std::shared_ptr<SimulatedKa> ka,
                              std::vector<std::shared_ptr<SimulatedKa>> others = {});

    std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                        std::uint32_t softwareVersion) override;
    std::vector<std::string> FindUnits(std::uint32_t specifierId,
                                       std::uint32_t softwareVersion) override;
    std::optional<std::uint64_t> UnitGuid(const std::string& unitName) override;
    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override;
    IOReturn UnitAccessStatus() override;
    std::string Name() const override { return "simulated Ka"; }

    const std::shared_ptr<SimulatedKa>& Ka() const { return ka_; }

  private:
    // The unit of that name, whichever Ka it is; null when none is.
    SimulatedKa* UnitNamed(const std::string& unitName) const;

    std::shared_ptr<SimulatedKa> ka_;
    // Further Kas on the bus, found after ka_ (their unit names come after its).
    std::vector<std::shared_ptr<SimulatedKa>> others_;
};

}  // namespace kasim

#endif
