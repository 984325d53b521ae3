// The simulated Ka seen through one device interface: open, close and the transfers, each logged.
#include "SimulatedKaState.h"

#include "FireWireStatus.h"

#include <algorithm>
#include <cstring>

namespace kasim {

namespace {

using State = SimulatedKa::State;

class SimulatedDevice : public kaplatform::FireWireDevice {
  public:
    SimulatedDevice(std::shared_ptr<State> state, unsigned id)
        : state_(std::move(state)), id_(id) {}

    ~SimulatedDevice() override {
        const std::lock_guard lock(state_->mutex);
        if (state_->openConnection == id_) {
            state_->openConnection.reset();
        }
        state_->connections.erase(id_);
    }

    IOReturn Open() override {
        const std::lock_guard lock(state_->mutex);
        auto& connection = Connection();
        auto transaction = state_->Start(Operation::Open, id_);
        ++connection.opens;
        // The update's first Open on its connection looks at the identity; each start of
        // an image opens it after that.
        const bool startsImage = connection.offHome && connection.opens > 1;
        const std::optional<Component> image =
            startsImage ? std::optional(State::StartImage(connection)) : std::nullopt;
        connection.openedForStart = startsImage;
        if (const auto injected =
                state_->InjectedStatus(Operation::Open, std::nullopt, &connection)) {
            transaction.injected = true;
            State::EndStart(connection);
            return state_->Finish(transaction, *injected);
        }
        if (image) {
            if (const auto* fault = state_->ImageFaultFor(ImageFaultKind::OpenFailure, *image)) {
                State::EndStart(connection);
                return state_->Finish(transaction,
                                      State::StatusOf(*fault, kIOReturnExclusiveAccess));
            }
        }
        if (!state_->Alive(connection)) {
            return state_->Finish(transaction, kIOReturnNoDevice);
        }
        if (!state_->openPermitted) {
            return state_->Finish(transaction, kIOReturnNotPermitted);
        }
        if (state_->openConnection) {
            return state_->Finish(transaction, kIOReturnExclusiveAccess);
        }
        connection.open = true;
        state_->openConnection = id_;
        return state_->Finish(transaction, kIOReturnSuccess);
    }

    void Close() override {
        const std::lock_guard lock(state_->mutex);
        auto& connection = Connection();
        auto transaction = state_->Start(Operation::Close, id_);
        if (connection.open) {
            connection.open = false;
            state_->openConnection.reset();
        }
        state_->Finish(transaction, kIOReturnSuccess);
    }

    IOReturn GetBusGeneration(std::uint32_t& generation) override {
        const std::lock_guard lock(state_->mutex);
        auto& connection = Connection();
        auto transaction = state_->Start(Operation::GetGeneration, id_);
        if (const auto injected =
                state_->InjectedStatus(Operation::GetGeneration, std::nullopt, &connection)) {
            transaction.injected = true;
            return state_->Finish(transaction, *injected);
        }
        if (!state_->Alive(connection)) {
            return state_->Finish(transaction, kIOReturnNoDevice);
        }
        if (!state_->openPermitted) {
            return state_->Finish(transaction, kIOReturnNotPermitted);
        }
        generation = state_->generation;
        transaction.value = generation;
        return state_->Finish(transaction, kIOReturnSuccess);
    }

    IOReturn Read(const kaplatform::FireWireTarget& target, void* buffer, std::uint32_t& size,
                  bool failOnReset, std::uint32_t generation) override {
        const std::lock_guard lock(state_->mutex);
        auto transaction =
            StartTransfer(Operation::ReadBlock, target, size, failOnReset, generation);
        const std::uint32_t asked = size;
        size = 0;
        if (const auto refusal = Refusal(transaction, target, failOnReset, generation)) {
            return state_->Finish(transaction, *refusal);
        }
        if (!IsSerialNumber(target.offset)) {
            const IOReturn status = IsQuadletRegister(target.offset) || target.offset == kDataWindow
                                        ? kIOFireWireTypeError
                                        : kIOFireWireAddressError;
            return state_->Finish(transaction, status);
        }
        const std::uint32_t start =
            static_cast<std::uint32_t>(target.offset - kSerialNumberAddress);
        const std::uint32_t available =
            std::min(state_->config.serialBytesDelivered, kSerialNumberBytes);
        const std::uint32_t moved = available > start ? std::min(asked, available - start) : 0;
        if (moved > 0) {
            std::memcpy(buffer, state_->config.serialNumber.data() + start, moved);
        }
        size = moved;
        transaction.moved = moved;
        transaction.bytes.assign(state_->config.serialNumber.begin() + start,
                                 state_->config.serialNumber.begin() + start + moved);
        return state_->Finish(transaction, kIOReturnSuccess);
    }

    IOReturn ReadQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t& value,
                         bool failOnReset, std::uint32_t generation) override {
        const std::lock_guard lock(state_->mutex);
        auto transaction =
            StartTransfer(Operation::ReadQuadlet, target, 4, failOnReset, generation);
        if (const auto refusal = Refusal(transaction, target, failOnReset, generation)) {
            return state_->Finish(transaction, *refusal);
        }
        std::uint32_t result = 0;
        const IOReturn status = state_->ReadRegister(target.offset, result);
        if (status == kIOReturnSuccess) {
            value = result;
            transaction.value = result;
            transaction.moved = 4;
            transaction.bytes = BusBytes(result);
        }
        return state_->Finish(transaction, status);
    }

    IOReturn Write(const kaplatform::FireWireTarget& target, const void* buffer,
                   std::uint32_t& size, bool failOnReset, std::uint32_t generation) override {
        const std::lock_guard lock(state_->mutex);
        auto transaction =
            StartTransfer(Operation::WriteBlock, target, size, failOnReset, generation);
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        transaction.bytes.assign(bytes, bytes + size);
        const std::uint32_t asked = size;
        size = 0;
        if (const auto refusal = Refusal(transaction, target, failOnReset, generation)) {
            return state_->Finish(transaction, *refusal);
        }
        IOReturn status = kIOFireWireAddressError;
        if (target.offset == kDataWindow) {
            status = state_->ReceiveData(Connection(), bytes, asked);
        } else if (IsQuadletRegister(target.offset)) {
            status = kIOFireWireTypeError;
        }
        if (status == kIOReturnSuccess) {
            size = asked;
            transaction.moved = asked;
        }
        return state_->Finish(transaction, status);
    }

    IOReturn WriteQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t value,
                          bool failOnReset, std::uint32_t generation) override {
        const std::lock_guard lock(state_->mutex);
        auto transaction =
            StartTransfer(Operation::WriteQuadlet, target, 4, failOnReset, generation);
        transaction.value = value;
        transaction.bytes = BusBytes(value);
        if (const auto refusal = Refusal(transaction, target, failOnReset, generation)) {
            return state_->Finish(transaction, *refusal);
        }
        const IOReturn status = state_->WriteRegister(Connection(), target.offset, value);
        if (status == kIOReturnSuccess) {
            transaction.moved = 4;
        }
        return state_->Finish(transaction, status);
    }

    bool OffersBusGeneration() const override {
        const std::lock_guard lock(state_->mutex);
        return state_->config.offersBusGeneration;
    }

    std::uint32_t GenerationSentIn() const override { return generationSentIn_; }

  private:
    State::Connection& Connection() { return state_->connections.at(id_); }

    Transaction StartTransfer(Operation operation, const kaplatform::FireWireTarget& target,
                              std::uint32_t length, bool failOnReset, std::uint32_t generation) {
        auto transaction = state_->Start(operation, id_);
        transaction.address = target.offset;
        transaction.length = length;
        transaction.relativeToDevice = target.relativeToDevice;
        transaction.nodeId = target.nodeId;
        transaction.failOnReset = failOnReset;
        transaction.requestedGeneration = generation;
        // Riding out resets, the request goes in the bus's generation of the moment.
        generationSentIn_ = failOnReset ? generation : transaction.generation;
        return transaction;
    }

    std::optional<IOReturn> Refusal(Transaction& transaction,
                                    const kaplatform::FireWireTarget& target, bool failOnReset,
                                    std::uint32_t generation) {
        auto& connection = Connection();
        if (const auto injected =
                state_->InjectedStatus(transaction.operation, target.offset, &connection)) {
            transaction.injected = true;
            // Any other failure ends the image's start for good; a write perhaps taken twice
            // has the updater start the same image again.
            if (*injected != kIOFireWireWriteMayHaveBeenTaken) {
                State::EndStart(connection);
            }
            return injected;
        }
        return state_->TransferRefusal(connection, target, failOnReset, generation);
    }

    std::shared_ptr<State> state_;
    unsigned id_;
    std::uint32_t generationSentIn_ = 0;
};

}  // namespace

bool SimulatedKa::State::Alive(const Connection& connection) const {
    return present && connection.epoch == epoch;
}

void SimulatedKa::State::DoUnplug() {
    if (!present) {
        return;
    }
    present = false;
    ++generation;
    ++epoch;
    EndTransfer();
    openConnection.reset();
    for (auto& [id, connection] : connections) {
        connection.open = false;
    }
}

// Checks common to every transfer; the status when the transfer cannot proceed.
std::optional<IOReturn> SimulatedKa::State::TransferRefusal(
    const Connection& connection, const kaplatform::FireWireTarget& target, bool failOnReset,
    std::uint32_t requested) const {
    if (!Alive(connection)) {
        return kIOReturnNoDevice;
    }
    if (!connection.open) {
        return kIOReturnNotOpen;
    }
    if (failOnReset && requested != generation) {
        return kIOFireWireBusReset;
    }
    if (!target.relativeToDevice && target.nodeId != config.nodeId) {
        return kIOReturnNotResponding;
    }
    return std::nullopt;
}

IOReturn SimulatedKa::Connect(const std::string& unitName,
                              std::unique_ptr<kaplatform::FireWireDevice>& device) {
    const std::lock_guard lock(state_->mutex);
    auto transaction = state_->Start(Operation::CreateDevice, 0);
    if (const auto injected =
            state_->InjectedStatus(Operation::CreateDevice, std::nullopt, nullptr)) {
        transaction.injected = true;
        return state_->Finish(transaction, *injected);
    }
    if (!state_->present || unitName != state_->config.unitName) {
        return state_->Finish(transaction, kIOReturnNoDevice);
    }
    const unsigned id = state_->nextConnection++;
    State::Connection connection;
    connection.creator = std::this_thread::get_id();
    connection.offHome = connection.creator != state_->home;
    connection.epoch = state_->epoch;
    state_->connections.emplace(id, std::move(connection));
    device = std::make_unique<SimulatedDevice>(state_, id);
    transaction.connection = id;
    return state_->Finish(transaction, kIOReturnSuccess);
}

}  // namespace kasim
