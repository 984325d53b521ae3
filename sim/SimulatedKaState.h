// The simulated Ka's state behind its lock: the unit, its connections, faults and log.
#ifndef KA_SIM_SIMULATEDKASTATE_H
#define KA_SIM_SIMULATEDKASTATE_H

#include "SimulatedKa.h"

#include <array>
#include <map>
#include <mutex>

namespace kasim {

constexpr std::size_t kComponents = 2;

inline std::size_t IndexOf(Component component) {
    return component == Component::Xilinx ? 0 : 1;
}

inline bool Selects(ImageSelection selection, Component component) {
    return selection == ImageSelection::Both ||
           (selection == ImageSelection::Xilinx) == (component == Component::Xilinx);
}

inline std::uint32_t ReadBigEndian(const std::uint8_t* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < width; ++index) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

inline std::vector<std::uint8_t> BusBytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

inline bool IsQuadletRegister(std::uint64_t address) {
    return address >= kUpdateControlRegister && address <= kStatusRegister &&
           (address - kRegisterBlock) % 4 == 0;
}

inline Component OtherImage(Component image) {
    return image == Component::Xilinx ? Component::Mcore : Component::Xilinx;
}

inline bool IsSerialNumber(std::uint64_t address) {
    return address >= kSerialNumberAddress && address < kSerialNumberAddress + kSerialNumberBytes;
}

struct SimulatedKa::State {
    enum class Phase { Idle, Ready, Erasing, Receiving };
    enum class Erase { Normal, Fails, NeverEnds };

    struct Connection {
        std::thread::id creator;
        bool offHome = false;
        std::uint64_t epoch = 0;
        bool open = false;
        unsigned opens = 0;
        std::map<std::size_t, unsigned> faultCounts;
        // The updater installs the Xilinx image, then the MCORE image, and starts an image
        // again only when a write of it may have been taken twice. The image of the latest
        // start (its erase command says which, once it comes); whether that start broke off
        // in a way that has the updater start the same image again; whether its Open began it
        // (else its begin-update does).
        std::optional<Component> image;
        bool resumable = false;
        bool openedForStart = false;
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
    // Status reads that give 0 after the begin-update of an image started again.
    unsigned restartBusyPollsLeft = 0;
    std::uint32_t statusValue = kawire::kStatusReady;
    std::vector<std::uint8_t> received;  // the header, then the image data
    bool busResetDone = false;
    // Per image: an answer-lost or damaged fault has hit it (once an image, so that the
    // image's next start goes through).
    std::array<bool, kComponents> writeFaultDone{};
    // Per image: its unplug fault has taken the unit off the bus.
    std::array<bool, kComponents> unplugDone{};
    std::array<FlashContents, kComponents> flash{};
    std::optional<unsigned> openConnection;

    unsigned nextConnection = 1;
    std::map<unsigned, Connection> connections;

    std::vector<ArmedFault> transactionFaults;
    std::vector<ImageFault> imageFaults;

    std::vector<Transaction> log;
    std::uint64_t nextSequence = 1;

    // Everything below runs with the mutex held.

    // The transaction log (SimulatedKa.cpp).
    Transaction Start(Operation operation, unsigned connection) const;
    IOReturn Finish(Transaction& transaction, IOReturn status);

    // Presence on the bus and what every transfer checks first (SimulatedKaDevice.cpp).
    bool Alive(const Connection& connection) const;
    void DoUnplug();
    // Checks common to every transfer; the status when the transfer cannot proceed.
    std::optional<IOReturn> TransferRefusal(const Connection& connection,
                                            const kaplatform::FireWireTarget& target,
                                            bool failOnReset, std::uint32_t requested) const;

    // Injected faults (SimulatedKaFaults.cpp).
    // The status of the first injected fault this call hits. Every fault that matches the
    // call counts it, hit or not.
    std::optional<IOReturn> InjectedStatus(Operation operation,
                                           std::optional<std::uint64_t> address,
                                           Connection* connection);
    const ImageFault* ImageFaultFor(ImageFaultKind kind, Component image) const;
    static IOReturn StatusOf(const ImageFault& fault, IOReturn usual);
    // Another unit in this one's place: the old one leaves the bus, the new one arrives
    // under the same name with its own identity and untouched flash.
    void SwapUnit();

    // The update registers, the flash and the erase (SimulatedKaRegisters.cpp).
    std::uint32_t SoftwareVersion() const;
    void SetComponentVersion(Component which, std::uint32_t version);
    void EndTransfer();
    std::uint32_t ReadStatus();
    IOReturn ReadRegister(std::uint64_t address, std::uint32_t& value);
    // A new start of an image on the connection: which image it is.
    static Component StartImage(Connection& connection);
    // A start that failed for good: the updater goes on with the next image.
    static void EndStart(Connection& connection) { connection.resumable = false; }
    void BeginUpdate(Connection& connection);
    IOReturn StartErase(Connection& connection, std::uint32_t command);
    VerifyOutcome Check(std::uint32_t crcWord) const;
    IOReturn Verify(std::uint32_t crcWord);
    IOReturn WriteRegister(Connection& connection, std::uint64_t address, std::uint32_t value);
    IOReturn ReceiveData(Connection& connection, const std::uint8_t* bytes, std::uint32_t length);
};

}  // namespace kasim

#endif
