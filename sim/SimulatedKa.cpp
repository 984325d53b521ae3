#include "SimulatedKa.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace kasim {
namespace {

constexpr std::size_t kComponents = 2;

std::size_t IndexOf(Component component) {
    return component == Component::Xilinx ? 0 : 1;
}

bool Selects(ImageSelection selection, Component component) {
    return selection == ImageSelection::Both ||
           (selection == ImageSelection::Xilinx) == (component == Component::Xilinx);
}

std::uint32_t ReadBigEndian(const std::uint8_t* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < width; ++index) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

std::vector<std::uint8_t> BusBytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

bool IsQuadletRegister(std::uint64_t address) {
    return address >= kUpdateControlRegister && address <= kStatusRegister &&
           (address - kRegisterBlock) % 4 == 0;
}

// A connection installs the Xilinx image, then the MCORE image: odd counts are Xilinx's.
Component ImageOfCount(unsigned count) {
    return count % 2 == 1 ? Component::Xilinx : Component::Mcore;
}

bool IsSerialNumber(std::uint64_t address) {
    return address >= kSerialNumberAddress && address < kSerialNumberAddress + kSerialNumberBytes;
}

}  // namespace

struct SimulatedKa::State {
    enum class Phase { Idle, Ready, Erasing, Receiving };
    enum class Erase { Normal, Fails, NeverEnds };

    struct Connection {
        std::thread::id creator;
        bool offHome = false;
        std::uint64_t epoch = 0;
        bool open = false;
        unsigned opens = 0;
        unsigned beginUpdates = 0;
        std::map<std::size_t, unsigned> faultCounts;
    };

    struct ArmedFault {
        TransactionFault fault;
        unsigned count = 0;
    };

    explicit State(SimulatedKaConfig initial)
        : config(std::move(initial)),
          home(std::this_thread::get_id()),
          present(config.present),
          generation(config.busGeneration),
          mcoreVersion(config.softwareVersion >> 16),
          xilinxVersion(config.softwareVersion & 0xFFFF) {}

    mutable std::mutex mutex;
    SimulatedKaConfig config;
    std::thread::id home;
    bool present;
    bool openPermitted = true;
    std::uint32_t generation;
    std::uint64_t epoch = 0;  // bumped by every unplug; older connections are dead
    bool swapArmed = false;

    // The unit.
    std::uint32_t mcoreVersion;
    std::uint32_t xilinxVersion;
    bool updateActive = false;
    Phase phase = Phase::Idle;
    Component component = Component::Xilinx;  // the image erased and being received
    Erase erase = Erase::Normal;
    unsigned erasePollsLeft = 0;
    std::uint32_t statusValue = 1;
    std::vector<std::uint8_t> received;  // the header, then the image data
    bool busResetDone = false;
    std::array<FlashContents, kComponents> flash{};
    std::optional<unsigned> openConnection;

    unsigned nextConnection = 1;
    std::map<unsigned, Connection> connections;

    std::vector<ArmedFault> transactionFaults;
    std::vector<ImageFault> imageFaults;

    std::vector<Transaction> log;
    std::uint64_t nextSequence = 1;

    // Everything below runs with the mutex held.

    Transaction Start(Operation operation, unsigned connection) const {
        Transaction transaction;
        transaction.operation = operation;
        transaction.generation = generation;
        transaction.connection = connection;
        transaction.thread = std::this_thread::get_id();
        transaction.onHomeThread = transaction.thread == home;
        return transaction;
    }

    IOReturn Finish(Transaction& transaction, IOReturn status) {
        transaction.status = status;
        transaction.sequence = nextSequence++;
        log.push_back(transaction);
        return status;
    }

    // The status of the first injected fault this call hits. Every fault that matches the
    // call counts it, hit or not.
    std::optional<IOReturn> InjectedStatus(Operation operation,
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
            const bool inRange =
                occurrence >= fault.occurrence &&
                (fault.repeat == 0 || occurrence < fault.occurrence + fault.repeat);
            if (inRange && !hit) {
                hit = fault.status;
            }
        }
        return hit;
    }

    const ImageFault* ImageFaultFor(ImageFaultKind kind, Component image) const {
        for (const auto& fault : imageFaults) {
            if (fault.kind == kind && Selects(fault.image, image)) {
                return &fault;
            }
        }
        return nullptr;
    }

    static IOReturn StatusOf(const ImageFault& fault, IOReturn usual) {
        return fault.status != kIOReturnSuccess ? fault.status : usual;
    }

    bool Alive(const Connection& connection) const { return present && connection.epoch == epoch; }

    void EndTransfer() {
        updateActive = false;
        phase = Phase::Idle;
        received.clear();
        received.shrink_to_fit();
        statusValue = 1;
    }

    void DoUnplug() {
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

    // Another unit in this one's place: the old one leaves the bus, the new one arrives
    // under the same name with its own identity and untouched flash.
    void SwapUnit() {
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

    std::uint32_t SoftwareVersion() const {
        return (mcoreVersion << 16) | (xilinxVersion & 0xFFFF);
    }

    void SetComponentVersion(Component which, std::uint32_t version) {
        (which == Component::Xilinx ? xilinxVersion : mcoreVersion) = version & 0xFFFF;
    }

    // Checks common to every transfer; the status when the transfer cannot proceed.
    std::optional<IOReturn> TransferRefusal(const Connection& connection,
                                            const kaplatform::FireWireTarget& target,
                                            bool failOnReset, std::uint32_t requested) const {
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

    std::uint32_t ReadStatus() {
        if (phase != Phase::Erasing) {
            return statusValue;
        }
        switch (erase) {
            case Erase::Fails:
                return 2;
            case Erase::NeverEnds:
                return 0;
            case Erase::Normal:
                break;
        }
        if (erasePollsLeft > 0) {
            --erasePollsLeft;
            return 0;
        }
        phase = Phase::Receiving;
        return 1;
    }

    IOReturn ReadRegister(std::uint64_t address, std::uint32_t& value) {
        switch (address) {
            case kUpdateControlRegister:
                value = updateActive ? 1 : 0;
                return kIOReturnSuccess;
            case kSoftwareVersionRegister:
                value = SoftwareVersion();
                return kIOReturnSuccess;
            case kProductRevisionRegister:
                value = config.productRevision;
                return kIOReturnSuccess;
            case kStatusRegister:
                value = ReadStatus();
                return kIOReturnSuccess;
            default:
                break;
        }
        if (address == kDataWindow || IsSerialNumber(address)) {
            return kIOFireWireTypeError;
        }
        return kIOFireWireAddressError;  // write-only registers among them
    }

    void BeginUpdate(Connection& connection) {
        ++connection.beginUpdates;
        EndTransfer();
        updateActive = true;
        phase = Phase::Ready;
        // Which image this is, as far as the unit can tell before the erase command.
        if (const auto* fault =
                ImageFaultFor(ImageFaultKind::NotReady, ImageOfCount(connection.beginUpdates))) {
            statusValue = fault->statusValue;
        }
    }

    IOReturn StartErase(std::uint32_t command) {
        if (!updateActive) {
            return kIOFireWireConflictError;
        }
        if (command > 1) {
            return kIOFireWireDataError;
        }
        component = command == 0 ? Component::Xilinx : Component::Mcore;
        FlashContents& contents = flash[IndexOf(component)];
        contents.state = FlashContents::State::Erased;
        contents.bytes.clear();
        contents.crc = 0;
        contents.lastOutcome = VerifyOutcome::None;
        SetComponentVersion(component, 0);
        received.clear();
        busResetDone = false;
        erase = ImageFaultFor(ImageFaultKind::EraseFailure, component)   ? Erase::Fails
                : ImageFaultFor(ImageFaultKind::EraseTimeout, component) ? Erase::NeverEnds
                                                                         : Erase::Normal;
        erasePollsLeft = config.erasePolls;
        phase = erase == Erase::Normal && erasePollsLeft == 0 ? Phase::Receiving : Phase::Erasing;
        return kIOReturnSuccess;
    }

    VerifyOutcome Check(std::uint32_t crcWord) const {
        if ((crcWord >> 16) != 0) {
            return VerifyOutcome::BadCrcWord;
        }
        if (received.size() < kFirmwareHeaderBytes) {
            return VerifyOutcome::BadHeader;
        }
        const std::uint8_t* header = received.data();
        if (ReadBigEndian(header, 2) != 0xFFFF || ReadBigEndian(header + 2, 2) != 1 ||
            ReadBigEndian(header + 8, 2) != 0xFFFF || ReadBigEndian(header + 10, 2) != 0xFFFF ||
            ReadBigEndian(header + 12, 4) != 0xFFFFFFFF ||
            ReadBigEndian(header + 16, 4) != 0xFFFFFFFF) {
            return VerifyOutcome::BadHeader;
        }
        const std::size_t sizeB = ReadBigEndian(header + 4, 4);
        const std::size_t dataBytes = received.size() - kFirmwareHeaderBytes;
        const std::size_t padded = (sizeB + 3) / 4 * 4;
        const bool paddingIsZero = std::all_of(
            received.begin() +
                static_cast<std::ptrdiff_t>(kFirmwareHeaderBytes + std::min(sizeB, dataBytes)),
            received.end(), [](std::uint8_t byte) { return byte == 0; });
        if (sizeB == 0 || (dataBytes != sizeB && !(dataBytes == padded && paddingIsZero))) {
            return VerifyOutcome::SizeMismatch;
        }
        const std::uint16_t crc = Crc16Xmodem(received.data() + kFirmwareHeaderBytes, dataBytes);
        return crc == crcWord ? VerifyOutcome::Installed : VerifyOutcome::CrcMismatch;
    }

    IOReturn Verify(std::uint32_t crcWord) {
        if (!updateActive || phase != Phase::Receiving) {
            return kIOFireWireConflictError;
        }
        FlashContents& contents = flash[IndexOf(component)];
        const ImageFault* rejection = ImageFaultFor(ImageFaultKind::CrcRejected, component);
        const VerifyOutcome outcome =
            rejection != nullptr ? VerifyOutcome::Rejected : Check(crcWord);
        contents.lastOutcome = outcome;
        IOReturn status = kIOReturnSuccess;
        if (outcome == VerifyOutcome::Installed) {
            const std::size_t sizeB = ReadBigEndian(received.data() + 4, 4);
            contents.state = FlashContents::State::Installed;
            contents.bytes.assign(
                received.begin() + kFirmwareHeaderBytes,
                received.begin() + static_cast<std::ptrdiff_t>(kFirmwareHeaderBytes + sizeB));
            contents.crc = Crc16Xmodem(contents.bytes.data(), contents.bytes.size());
            ++contents.installCount;
            SetComponentVersion(component, component == Component::Xilinx
                                               ? config.xilinxImageVersion
                                               : config.mcoreImageVersion);
        } else {
            status = rejection != nullptr ? StatusOf(*rejection, config.crcRejectStatus)
                                          : config.crcRejectStatus;
        }
        EndTransfer();
        return status;
    }

    IOReturn WriteRegister(Connection& connection, std::uint64_t address, std::uint32_t value) {
        switch (address) {
            case kUpdateControlRegister:
                if (value == 1) {
                    BeginUpdate(connection);
                    return kIOReturnSuccess;
                }
                if (value == 2) {
                    EndTransfer();
                    return kIOReturnSuccess;
                }
                return kIOFireWireDataError;
            case kUpdateCommandRegister:
                return StartErase(value);
            case kCrcRegister:
                return Verify(value);
            default:
                break;
        }
        if (address == kDataWindow || IsSerialNumber(address)) {
            return kIOFireWireTypeError;
        }
        return kIOFireWireAddressError;  // read-only registers among them
    }

    IOReturn ReceiveData(const std::uint8_t* bytes, std::uint32_t length) {
        if (!updateActive || phase != Phase::Receiving) {
            return kIOFireWireConflictError;
        }
        if (length > config.maxBlockBytes) {
            return kIOFireWireTypeError;
        }
        if (received.size() + length > kFirmwareHeaderBytes + std::size_t{config.maxImageBytes}) {
            return kIOFireWireDataError;
        }
        const std::size_t dataBefore =
            received.size() > kFirmwareHeaderBytes ? received.size() - kFirmwareHeaderBytes : 0;
        const std::size_t dataAfter = received.size() + length > kFirmwareHeaderBytes
                                          ? received.size() + length - kFirmwareHeaderBytes
                                          : 0;
        const auto covers = [&](const ImageFault* fault) {
            return fault != nullptr && fault->dataOffset >= dataBefore &&
                   fault->dataOffset < dataAfter;
        };
        if (const auto* fault = ImageFaultFor(ImageFaultKind::BlockFailure, component);
            covers(fault)) {
            return StatusOf(*fault, kIOReturnIOError);
        }
        if (const auto* fault = ImageFaultFor(ImageFaultKind::Unplug, component); covers(fault)) {
            DoUnplug();
            return StatusOf(*fault, kIOReturnNotResponding);
        }
        if (const auto* fault = ImageFaultFor(ImageFaultKind::BusReset, component);
            covers(fault) && !busResetDone) {
            busResetDone = true;
            ++generation;
            return StatusOf(*fault, kIOFireWireBusReset);
        }
        received.insert(received.end(), bytes, bytes + length);
        return kIOReturnSuccess;
    }
};

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
        if (const auto injected =
                state_->InjectedStatus(Operation::Open, std::nullopt, &connection)) {
            transaction.injected = true;
            return state_->Finish(transaction, *injected);
        }
        // The update's first Open on its connection looks at the identity; each image's
        // own Open comes after it.
        if (connection.offHome && connection.opens > 1) {
            if (const auto* fault = state_->ImageFaultFor(ImageFaultKind::OpenFailure,
                                                          ImageOfCount(connection.opens - 1))) {
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
            status = state_->ReceiveData(bytes, asked);
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
        return transaction;
    }

    std::optional<IOReturn> Refusal(Transaction& transaction,
                                    const kaplatform::FireWireTarget& target, bool failOnReset,
                                    std::uint32_t generation) {
        auto& connection = Connection();
        if (const auto injected =
                state_->InjectedStatus(transaction.operation, target.offset, &connection)) {
            transaction.injected = true;
            return injected;
        }
        return state_->TransferRefusal(connection, target, failOnReset, generation);
    }

    std::shared_ptr<State> state_;
    unsigned id_;
};

}  // namespace

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

void SimulatedKa::ArmUnitSwap() {
    const std::lock_guard lock(state_->mutex);
    state_->swapArmed = true;
}

std::uint64_t SimulatedKa::Guid() const {
    const std::lock_guard lock(state_->mutex);
    return state_->config.guid;
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
