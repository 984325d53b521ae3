// The FireWire backend of a bus that holds one simulated Ka.
#ifndef KA_SIM_SIMULATEDBACKEND_H
#define KA_SIM_SIMULATEDBACKEND_H

#include "FireWireBackend.h"
#include "SimulatedKa.h"

#include <memory>

namespace kasim {

class SimulatedBackend : public kaplatform::FireWireBackend {
  public:
    explicit SimulatedBackend(std::shared_ptr<SimulatedKa> ka);

    std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                        std::uint32_t softwareVersion) override;
    std::optional<std::uint64_t> UnitGuid(const std::string& unitName) override;
    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override;
    IOReturn UnitAccessStatus() override;
    std::string Name() const override { return "simulated Ka"; }

    const std::shared_ptr<SimulatedKa>& Ka() const { return ka_; }

  private:
    std::shared_ptr<SimulatedKa> ka_;
};

}  // namespace kasim

#endif
