// The simulated Ka's public face: its settings, presence, transaction log and flash.
#include "SimulatedKaState.h"

#include <algorithm>

namespace kasim {

Transaction SimulatedKa::State::Start(Operation operation, unsigned connection) const {
    Transaction transaction;
    transaction.operation = operation;
    transaction.generation = generation;
    transaction.connection = connection;
    transaction.thread = std::this_thread::get_id();
    transaction.onHomeThread = transaction.thread == home;
    return transaction;
}

IOReturn SimulatedKa::State::Finish(Transaction& transaction, IOReturn status) {
    transaction.status = status;
    transaction.sequence = nextSequence++;
    log.push_back(transaction);
    return status;
}

SimulatedKa::SimulatedKa(SimulatedKaConfig config)
    : state_(std::make_shared<State>(std::move(config))) {}

SimulatedKa::~SimulatedKa() = default;

SimulatedKaConfig SimulatedKa::Config() const {
    const std::lock_guard lock(state_->mutex);
    return state_->config;
}

void SimulatedKa::SetHomeThread(std::thread::id thread) {
    const std::lock_guard lock(state_->mutex);
    state_->home = thread;
}

void SimulatedKa::SetSoftwareVersion(std::uint32_t value) {
    const std::lock_guard lock(state_->mutex);
    state_->config.softwareVersion = value;
    state_->mcoreVersion = value >> 16;
    state_->xilinxVersion = value & 0xFFFF;
}

void SimulatedKa::SetProductRevision(std::uint32_t value) {
    const std::lock_guard lock(state_->mutex);
    state_->config.productRevision = value;
}

void SimulatedKa::SetSerialNumber(const std::array<std::uint8_t, kSerialNumberBytes>& bytes) {
    const std::lock_guard lock(state_->mutex);
    state_->config.serialNumber = bytes;
}

void SimulatedKa::SetSerialBytesDelivered(std::uint32_t count) {
    const std::lock_guard lock(state_->mutex);
    state_->config.serialBytesDelivered = std::min(count, kSerialNumberBytes);
}

void SimulatedKa::SetErasePolls(unsigned polls) {
    const std::lock_guard lock(state_->mutex);
    state_->config.erasePolls = polls;
}

void SimulatedKa::Plug() {
    const std::lock_guard lock(state_->mutex);
    if (!state_->present) {
        state_->present = true;
        ++state_->generation;
    }
}

void SimulatedKa::Unplug() {
    const std::lock_guard lock(state_->mutex);
    state_->DoUnplug();
}

void SimulatedKa::EndUpdate() {
    const std::lock_guard lock(state_->mutex);
    state_->EndTransfer();
}

bool SimulatedKa::IsPresent() const {
    const std::lock_guard lock(state_->mutex);
    return state_->present;
}

void SimulatedKa::SetOpenPermitted(bool permitted) {
    const std::lock_guard lock(state_->mutex);
    state_->openPermitted = permitted;
}

IOReturn SimulatedKa::AccessStatus() const {
    const std::lock_guard lock(state_->mutex);
    return state_->present && !state_->openPermitted ? kIOReturnNotPermitted : kIOReturnSuccess;
}

void SimulatedKa::BusReset() {
    const std::lock_guard lock(state_->mutex);
    ++state_->generation;
}

std::uint32_t SimulatedKa::BusGeneration() const {
    const std::lock_guard lock(state_->mutex);
    return state_->generation;
}

std::uint64_t SimulatedKa::Guid() const {
    const std::lock_guard lock(state_->mutex);
    return state_->config.guid;
}

std::vector<Transaction> SimulatedKa::Transactions() const {
    const std::lock_guard lock(state_->mutex);
    return state_->log;
}

std::size_t SimulatedKa::TransactionCount() const {
    const std::lock_guard lock(state_->mutex);
    return state_->log.size();
}

void SimulatedKa::ClearTransactions() {
    const std::lock_guard lock(state_->mutex);
    state_->log.clear();
}

FlashContents SimulatedKa::Flash(Component component) const {
    const std::lock_guard lock(state_->mutex);
    return state_->flash[IndexOf(component)];
}

std::uint32_t SimulatedKa::SoftwareVersionRegister() const {
    const std::lock_guard lock(state_->mutex);
    return state_->SoftwareVersion();
}

bool SimulatedKa::UpdateActive() const {
    const std::lock_guard lock(state_->mutex);
    return state_->updateActive;
}

std::size_t SimulatedKa::LiveConnections() const {
    const std::lock_guard lock(state_->mutex);
    return state_->connections.size();
}

std::optional<std::string> SimulatedKa::Find(std::uint32_t specifierId, std::uint32_t unitVersion) {
    const std::lock_guard lock(state_->mutex);
    if (state_->swapArmed && std::this_thread::get_id() != state_->home) {
        state_->swapArmed = false;
        state_->SwapUnit();
    }
    auto transaction = state_->Start(Operation::Find, 0);
    if (const auto injected = state_->InjectedStatus(Operation::Find, std::nullopt, nullptr)) {
        transaction.injected = true;
        state_->Finish(transaction, *injected);
        return std::nullopt;
    }
    const bool found = state_->present && specifierId == state_->config.specifierId &&
                       unitVersion == state_->config.unitVersion;
    state_->Finish(transaction, found ? kIOReturnSuccess : kIOReturnNotFound);
    if (!found) {
        return std::nullopt;
    }
    return state_->config.unitName;
}

std::optional<std::uint64_t> SimulatedKa::Guid(const std::string& unitName) const {
    const std::lock_guard lock(state_->mutex);
    if (!state_->present || unitName != state_->config.unitName) {
        return std::nullopt;
    }
    return state_->config.guid;
}

}  // namespace kasim
