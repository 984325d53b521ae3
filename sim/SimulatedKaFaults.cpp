// The simulated Ka's injected faults: failing transactions, failing images, a swapped unit.
#include "SimulatedKaState.h"

namespace kasim {

// The status of the first injected fault this call hits. Every fault that matches the
// call counts it, hit or not.
std::optional<IOReturn> SimulatedKa::State::InjectedStatus(Operation operation,
                                                           std::optional<std::uint64_t> address,
                                                           Connection* connection) {
    const bool offHome =
        connection != nullptr ? connection->offHome : std::this_thread::get_id() != home;
    std::optional<IOReturn> hit;
    for (std::size_t index = 0; index < transactionFaults.size(); ++index) {
        auto& armed = transactionFaults[index];
        const TransactionFault& fault = armed.fault;
        if (fault.operation != operation ||
            (fault.address && (!address || *address != *fault.address))) {
            continue;
        }
        unsigned* count = &armed.count;
        if (fault.scope == FaultScope::UpdateConnections) {
            if (!offHome) {
                continue;
            }
            if (connection != nullptr) {
                count = &connection->faultCounts[index];
            }
        }
        const unsigned occurrence = ++*count;
        const bool inRange = occurrence >= fault.occurrence &&
                             (fault.repeat == 0 || occurrence < fault.occurrence + fault.repeat);
        if (inRange && !hit) {
            hit = fault.status;
        }
    }
    return hit;
}

const ImageFault* SimulatedKa::State::ImageFaultFor(ImageFaultKind kind, Component image) const {
    for (const auto& fault : imageFaults) {
        if (fault.kind == kind && Selects(fault.image, image)) {
            return &fault;
        }
    }
    return nullptr;
}

IOReturn SimulatedKa::State::StatusOf(const ImageFault& fault, IOReturn usual) {
    return fault.status != kIOReturnSuccess ? fault.status : usual;
}

// Another unit in this one's place: the old one leaves the bus, the new one arrives
// under the same name with its own identity and untouched flash.
void SimulatedKa::State::SwapUnit() {
    DoUnplug();
    config.guid = kSwappedInGuid;
    config.softwareVersion = kSwappedInSoftwareVersion;
    config.productRevision = kSwappedInProductRevision;
    mcoreVersion = kSwappedInSoftwareVersion >> 16;
    xilinxVersion = kSwappedInSoftwareVersion & 0xFFFF;
    flash = {};
    present = true;
    ++generation;
}

void SimulatedKa::ArmUnitSwap() {
    const std::lock_guard lock(state_->mutex);
    state_->swapArmed = true;
}

void SimulatedKa::AddTransactionFault(const TransactionFault& fault) {
    const std::lock_guard lock(state_->mutex);
    state_->transactionFaults.push_back({fault, 0});
}

void SimulatedKa::AddImageFault(const ImageFault& fault) {
    const std::lock_guard lock(state_->mutex);
    state_->imageFaults.push_back(fault);
}

void SimulatedKa::ClearFaults() {
    const std::lock_guard lock(state_->mutex);
    state_->transactionFaults.clear();
    state_->imageFaults.clear();
    for (auto& [id, connection] : state_->connections) {
        connection.faultCounts.clear();
    }
}

}  // namespace kasim
