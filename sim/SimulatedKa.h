// A simulated Ka on a simulated FireWire bus: the unit's update registers, data window and
// serial number with the behaviour the updater relies on, its flash, injectable faults, and
// a log of every bus transaction. Thread-safe: an update worker may drive it while another
// thread reads the log or unplugs the unit.
#ifndef KA_SIM_SIMULATEDKA_H
#define KA_SIM_SIMULATEDKA_H

#include "BusObserver.h"
#include "FireWireBackend.h"
#include "KaWire.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kasim {

// The unit's 48-bit register addresses and the sizes it goes by are the Ka's wire.
using kawire::kCrcRegister;
using kawire::kDataWindow;
using kawire::kFirmwareHeaderBytes;
using kawire::kProductRevisionRegister;
using kawire::kRegisterBlock;
using kawire::kSerialNumberAddress;
using kawire::kSerialNumberBytes;
using kawire::kSoftwareVersionRegister;
using kawire::kStatusRegister;
using kawire::kUpdateCommandRegister;
using kawire::kUpdateControlRegister;

enum class Component { Xilinx, Mcore };

// Everything the backend can be asked, as logged and as fault targets; named by
// kaplatform::BusOperationName.
using Operation = kaplatform::BusOperation;

// The serial-number bytes for a text of up to 8 characters, zero-filled.
std::array<std::uint8_t, kSerialNumberBytes> SerialNumberFromText(std::string_view text);

struct SimulatedKaConfig {
    // Unit-directory values the unit is found by.
    std::uint32_t specifierId = kawire::kUnitSpecifierId;
    std::uint32_t unitVersion = kawire::kUnitSoftwareVersion;
    std::string unitName = "fw1.0";
    std::uint16_t nodeId = 0xFFC1;
    // The node's unique ID, as its configuration ROM gives it. The company part (the top 24
    // bits) is a locally administered one: no maker's.
    std::uint64_t guid = 0x0200'0000'0000'4711;

    // Identity registers. softwareVersion: MCORE version in bits 31..16, Xilinx in 15..0.
    std::uint32_t softwareVersion = 0x00020004;
    std::uint32_t productRevision = 0x00020000;
    std::array<std::uint8_t, kSerialNumberBytes> serialNumber = SerialNumberFromText("KA004711");
    // How many of the serial-number bytes a read delivers (a unit answering short).
    std::uint32_t serialBytesDelivered = kSerialNumberBytes;

    // Versions the unit reports for a component once it has installed an image for it.
    std::uint32_t mcoreImageVersion = 3;
    std::uint32_t xilinxImageVersion = 5;

    bool present = true;
    std::uint32_t busGeneration = 1;
    // Status reads that give 0 (busy) after an erase command before one gives 1 (done).
    unsigned erasePolls = 2;
    // Status reads that give 0 (busy) after the begin-update of an image started again
    // (the unit still putting the broken-off start away) before the first gives 1.
    unsigned restartBusyPolls = 0;
    // Largest block write the unit takes, and largest image (header excluded) it can hold.
    std::uint32_t maxBlockBytes = 2048;
    std::uint32_t maxImageBytes = 1u << 20;
    // Status of a CRC write whose verification fails.
    IOReturn crcRejectStatus = kIOFireWireDataError;
    // Whether the device interface can report the bus generation.
    bool offersBusGeneration = true;
};

// The unit that takes the Ka's place in a swap (ArmUnitSwap): another node, newer firmware
// than the built-in one, an accepted revision class.
inline constexpr std::uint64_t kSwappedInGuid = 0x0200'0000'0000'4712;
inline constexpr std::uint32_t kSwappedInSoftwareVersion = 0x00040006;
inline constexpr std::uint32_t kSwappedInProductRevision = 0x00020000;

// Which connections a transaction fault counts and hits.
enum class FaultScope {
    // Every call, from any thread; occurrences counted over all calls.
    AllConnections,
    // Only calls made off the home thread (the update worker, while discovery runs on the
    // home thread). Occurrences are counted per connection (Open #1 is the Xilinx image's,
    // #2 the MCORE image's); Find and CreateDevice are counted over all such calls.
    UpdateConnections,
};

// The occurrence-th matching call (and the repeat - 1 after it) returns status and has no
// other effect. A Find fault makes the lookup find nothing.
struct TransactionFault {
    TransactionFault() = default;
    TransactionFault(Operation failing, IOReturn returned, unsigned at = 1,
                     FaultScope where = FaultScope::AllConnections)
        : operation(failing), status(returned), occurrence(at), scope(where) {}

    Operation operation = Operation::Open;
    IOReturn status = kIOReturnIOError;
    unsigned occurrence = 1;               // counted from 1
    unsigned repeat = 1;                   // 0: every matching call from the occurrence on
    std::optional<std::uint64_t> address;  // transfers only: this address alone
    FaultScope scope = FaultScope::AllConnections;
};

// Faults in the unit's behaviour while it installs one image. The unit tells the images
// apart by the erase command where it can. Before it (not-ready, and open-fail on a
// connection made off the home thread, whose first Open is the update's look at the unit's
// identity) it goes by the updater's order: each start of an image (its Open, or its
// begin-update) is the Xilinx image's first, then the next image's, unless the start before
// it broke off after its erase with nothing but a write perhaps taken twice: then it is the
// same image's again. A fault hits every start of its image.
enum class ImageFaultKind {
    NotReady,      // after begin update the status reads statusValue (0 or not 1)
    EraseFailure,  // the erase poll reads 2
    EraseTimeout,  // the erase poll reads 0 for ever
    BlockFailure,  // the block write covering dataOffset fails with status
    CrcRejected,   // the CRC write fails with status although the image is right
    Unplug,        // the unit leaves the bus during the block covering dataOffset (once)
    BusReset,      // a bus reset during the block covering dataOffset
    OpenFailure,   // the update's Open for that image fails with status
    // Once an image, at the block covering dataOffset, the write comes back as one the unit
    // may have taken (kIOFireWireWriteMayHaveBeenTaken): AnswerLost when the unit did take
    // it and only its answer was lost, Damaged when the packet arrived damaged and was not
    // taken. The updater cannot tell the two apart.
    AnswerLost,
    Damaged,
};
enum class ImageSelection { Xilinx, Mcore, Both };

struct ImageFault {
    ImageFault() = default;
    explicit ImageFault(ImageFaultKind what, ImageSelection which = ImageSelection::Both,
                        std::uint32_t offset = 0)
        : kind(what), image(which), dataOffset(offset) {}

    ImageFaultKind kind = ImageFaultKind::NotReady;
    ImageSelection image = ImageSelection::Both;
    // Image data bytes (header excluded) the unit has taken before the byte the fault hits.
    std::uint32_t dataOffset = 0;
    std::uint32_t statusValue = 0;  // NotReady only
    // Status of the failing transaction; 0 gives the kind's usual one: BlockFailure
    // kIOReturnIOError, CrcRejected the config's crcRejectStatus, Unplug
    // kIOReturnNotResponding, BusReset kIOFireWireBusReset, OpenFailure
    // kIOReturnExclusiveAccess.
    IOReturn status = kIOReturnSuccess;
};

// Names as a command line offers them: "not-ready", "erase-fail", "erase-timeout",
// "block-fail", "crc-reject", "unplug", "bus-reset", "open-fail", "answer-lost", "damaged";
// "xilinx", "mcore", "both".
std::string_view ImageFaultKindName(ImageFaultKind kind);
std::optional<ImageFaultKind> ImageFaultKindFromName(std::string_view name);
std::string_view ImageSelectionName(ImageSelection image);
std::optional<ImageSelection> ImageSelectionFromName(std::string_view name);
// "KIND[@OFFSET][:IMAGE]", e.g. "block-fail@1024:mcore", "not-ready", "unplug@0:both". The
// offset (decimal or 0x hex) is required for block-fail, unplug, bus-reset, answer-lost and
// damaged and refused for the others; the image defaults to both.
std::optional<ImageFault> ParseImageFault(std::string_view text);

// One logged call. For quadlet transfers bytes holds the value as it travels on the bus
// (most significant byte first); for block transfers the bytes moved.
struct Transaction {
    std::uint64_t sequence = 0;
    Operation operation = Operation::Find;
    std::uint64_t address = 0;
    std::uint32_t length = 0;  // bytes asked for (4 for quadlets)
    std::uint32_t moved = 0;   // bytes delivered or taken
    std::uint32_t value = 0;   // quadlet value in host order
    std::vector<std::uint8_t> bytes;
    IOReturn status = kIOReturnSuccess;
    bool injected = false;         // status came from an injected transaction fault
    std::uint32_t generation = 0;  // the bus generation the call was made in
    bool relativeToDevice = true;
    std::uint16_t nodeId = 0;  // as the caller gave it
    bool failOnReset = false;
    std::uint32_t requestedGeneration = 0;
    unsigned connection = 0;  // 0 for Find and a failed CreateDevice
    std::thread::id thread;
    bool onHomeThread = true;
};

// How the last attempt to install an image for a component ended.
enum class VerifyOutcome {
    None,  // no CRC received yet
    Installed,
    CrcMismatch,
    SizeMismatch,  // the data taken does not match the header's size
    BadHeader,     // a fixed header field is wrong, or the header is incomplete
    BadCrcWord,    // bits 31..16 of the CRC word are not zero
    Rejected,      // a CrcRejected fault
};
std::string_view VerifyOutcomeName(VerifyOutcome outcome);

struct FlashContents {
    enum class State { Factory, Erased, Installed };
    State state = State::Factory;
    std::vector<std::uint8_t> bytes;  // the installed image (Installed only)
    std::uint16_t crc = 0;            // CRC-16/XMODEM of bytes
    unsigned installCount = 0;
    VerifyOutcome lastOutcome = VerifyOutcome::None;
};

class SimulatedKa {
  public:
    // The constructing thread is the home thread.
    explicit SimulatedKa(SimulatedKaConfig config = {});
    ~SimulatedKa();
    SimulatedKa(const SimulatedKa&) = delete;
    SimulatedKa& operator=(const SimulatedKa&) = delete;

    SimulatedKaConfig Config() const;
    void SetHomeThread(std::thread::id thread = std::this_thread::get_id());

    // Identity, changeable at run time.
    void SetSoftwareVersion(std::uint32_t value);
    void SetProductRevision(std::uint32_t value);
    void SetSerialNumber(const std::array<std::uint8_t, kSerialNumberBytes>& bytes);
    void SetSerialBytesDelivered(std::uint32_t count);
    void SetErasePolls(unsigned polls);

    // The bus. Unplugging resets the unit's update state and bumps the generation;
    // connections made before it stay dead (kIOReturnNoDevice) even after Plug.
    void Plug();
    void Unplug();
    // The unit loses an update in progress as one that leaves the bus does, its connections
    // left alive: for a bus model that takes the node off and back on itself.
    void EndUpdate();
    bool IsPresent() const;
    // Whether this user may open the unit, as a device file's permissions decide on a real
    // system: when not, Open and GetBusGeneration give kIOReturnNotPermitted and
    // AccessStatus reports it while the unit is present.
    void SetOpenPermitted(bool permitted);
    IOReturn AccessStatus() const;
    void BusReset();
    std::uint32_t BusGeneration() const;

    // The next lookup made off the home thread (the update worker's) finds another unit in
    // this one's place, under the same name: the unit leaves the bus and comes back as node
    // kSwappedInGuid with kSwappedInSoftwareVersion and kSwappedInProductRevision.
    void ArmUnitSwap();
    std::uint64_t Guid() const;

    void AddTransactionFault(const TransactionFault& fault);
    void AddImageFault(const ImageFault& fault);
    void ClearFaults();

    std::vector<Transaction> Transactions() const;
    std::size_t TransactionCount() const;
    void ClearTransactions();

    FlashContents Flash(Component component) const;
    std::uint32_t SoftwareVersionRegister() const;
    bool UpdateActive() const;
    // Device interfaces created and not yet destroyed.
    std::size_t LiveConnections() const;

    // What a backend needs.
    std::optional<std::string> Find(std::uint32_t specifierId, std::uint32_t unitVersion);
    // The GUID of the unit by that name while it is on the bus; not a bus transaction (the
    // kernel read it from the configuration ROM when the node appeared), so not logged.
    std::optional<std::uint64_t> Guid(const std::string& unitName) const;
    IOReturn Connect(const std::string& unitName,
                     std::unique_ptr<kaplatform::FireWireDevice>& device);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection), the unit's image check.
std::uint16_t Crc16Xmodem(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc = 0);

}  // namespace kasim

#endif
