#include "SimulatedBackend.h"

namespace kasim {

SimulatedBackend::SimulatedBackend(std::shared_ptr<SimulatedKa> ka) : ka_(std::move(ka)) {}

std::optional<std::string> SimulatedBackend::FindUnit(std::uint32_t specifierId,
                                                      std::uint32_t softwareVersion) {
    return ka_->Find(specifierId, softwareVersion);
}

std::optional<std::uint64_t> SimulatedBackend::UnitGuid(const std::string& unitName) {
    return ka_->Guid(unitName);
}

IOReturn SimulatedBackend::CreateDevice(const std::string& unitName,
                                        std::unique_ptr<kaplatform::FireWireDevice>& device) {
    return ka_->Connect(unitName, device);
}

IOReturn SimulatedBackend::UnitAccessStatus() {
    return ka_->AccessStatus();
}

}  // namespace kasim
