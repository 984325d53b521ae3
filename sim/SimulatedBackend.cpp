#include "SimulatedBackend.h"

namespace kasim {

SimulatedBackend::SimulatedBackend(std::shared_ptr<SimulatedKa> ka,
                                   std::vector<std::shared_ptr<SimulatedKa>> others)
    : ka_(std::move(ka)), others_(std::move(others)) {}

std::optional<std::string> SimulatedBackend::FindUnit(std::uint32_t specifierId,
                                                      std::uint32_t softwareVersion) {
    if (auto unit = ka_->Find(specifierId, softwareVersion)) {
        return unit;
    }
    for (const auto& other : others_) {
        if (auto unit = other->Find(specifierId, softwareVersion)) {
            return unit;
        }
    }
    return std::nullopt;
}

std::vector<std::string> SimulatedBackend::FindUnits(std::uint32_t specifierId,
                                                     std::uint32_t softwareVersion) {
    std::vector<std::string> units;
    if (auto unit = ka_->Find(specifierId, softwareVersion)) {
        units.push_back(std::move(*unit));
    }
    for (const auto& other : others_) {
        if (auto unit = other->Find(specifierId, softwareVersion)) {
            units.push_back(std::move(*unit));
        }
    }
    return units;
}

SimulatedKa* SimulatedBackend::UnitNamed(const std::string& unitName) const {
    if (ka_->Config().unitName == unitName) {
        return ka_.get();
    }
    for (const auto& other : others_) {
        if (other->Config().unitName == unitName) {
            return other.get();
        }
    }
    return nullptr;
}

std::optional<std::uint64_t> SimulatedBackend::UnitGuid(const std::string& unitName) {
    SimulatedKa* unit = UnitNamed(unitName);
    return unit != nullptr ? unit->Guid(unitName) : std::nullopt;
}

IOReturn SimulatedBackend::CreateDevice(const std::string& unitName,
                                        std::unique_ptr<kaplatform::FireWireDevice>& device) {
    SimulatedKa* unit = UnitNamed(unitName);
    // The first Ka answers for a name nobody has, as it did alone on the bus.
    return (unit != nullptr ? unit : ka_.get())->Connect(unitName, device);
}

IOReturn SimulatedBackend::UnitAccessStatus() {
    return ka_->AccessStatus();
}

}  // namespace kasim
