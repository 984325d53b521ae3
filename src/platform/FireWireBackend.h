// What the IOKit stand-in needs from a FireWire bus: finding units by their unit-directory
// values and talking to one of them. Two implementations exist: the Linux kernel's
// firewire-cdev interface (platform/linux) and the simulated Ka (sim/). The executable picks
// one at start-up with SetFireWireBackend and gives it its observer (BusObserver.h). The
// program never sees this file; the update record asks it only for the backend's name, and
// the unit-access report of src/services/unitaccess asks the installed backend through it.
#ifndef KA_PLATFORM_FIREWIREBACKEND_H
#define KA_PLATFORM_FIREWIREBACKEND_H

#include "BusObserver.h"

#include <IOKit/IOReturn.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kaplatform {

// Where one transfer goes. relativeToDevice: the unit's current node is addressed and
// nodeId is ignored; otherwise nodeId names the node. offset is the 48-bit address.
struct FireWireTarget {
    bool relativeToDevice = true;
    std::uint16_t nodeId = 0;
    std::uint64_t offset = 0;
};

// One unit's device interface. Used by one thread at a time; Close is called before the
// object goes if Open succeeded and the owner did not close it.
class FireWireDevice {
  public:
    virtual ~FireWireDevice() = default;

    virtual IOReturn Open() = 0;
    virtual void Close() = 0;
    virtual IOReturn GetBusGeneration(std::uint32_t& generation) = 0;

    // size: bytes asked for, then bytes moved. Quadlet values are in host order here; the
    // backend puts them on the bus most significant byte first.
    virtual IOReturn Read(const FireWireTarget& target, void* buffer, std::uint32_t& size,
                          bool failOnReset, std::uint32_t generation) = 0;
    virtual IOReturn ReadQuadlet(const FireWireTarget& target, std::uint32_t& value,
                                 bool failOnReset, std::uint32_t generation) = 0;
    virtual IOReturn Write(const FireWireTarget& target, const void* buffer, std::uint32_t& size,
                           bool failOnReset, std::uint32_t generation) = 0;
    virtual IOReturn WriteQuadlet(const FireWireTarget& target, std::uint32_t value,
                                  bool failOnReset, std::uint32_t generation) = 0;

    // The bus generation the last transfer went in: its last send's when it went more than
    // once, and for one that never left, the one it would have gone in. Without failOnReset
    // the device, not its caller, picks the generation: the record logs this one.
    virtual std::uint32_t GenerationSentIn() const = 0;

    // Whether the device can report the bus generation; the device interface version that
    // offers GetBusGeneration is only handed out for devices that can.
    virtual bool OffersBusGeneration() const { return true; }

    // The file the device is reached through, for the update record; empty when none.
    virtual std::string DeviceFileName() const { return {}; }

    // From now on the device serves a caller that may not be held (the window's thread,
    // WindowThread.h): a transfer goes once, its answer is awaited only briefly, and nothing
    // waits for the bus to settle or for a lost node to return; nor may giving the device
    // back wait for the bus. Called before Open.
    virtual void FailFast() {}

    // Where the device tells what the bus did to its transfers; null: no one listens. Set
    // before Open by whoever made the device.
    void ReportTo(BusObserver* observer) { observer_ = observer; }
    BusObserver* Observer() const { return observer_; }

  private:
    BusObserver* observer_ = nullptr;
};

class FireWireBackend {
  public:
    virtual ~FireWireBackend() = default;

    // A stable name of the first unit on the bus whose unit directory holds these values
    // (first in a stable order), or nothing. Every call looks at the bus afresh.
    virtual std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                                std::uint32_t softwareVersion) = 0;

    // Every such unit, FindUnit's first first, then the others in the same stable order.
    virtual std::vector<std::string> FindUnits(std::uint32_t specifierId,
                                               std::uint32_t softwareVersion) {
        std::vector<std::string> units;
        if (auto first = FindUnit(specifierId, softwareVersion)) {
            units.push_back(std::move(*first));
        }
        return units;
    }

    // False when the machine has no FireWire controller at all (no bus to find a unit on):
    // the reason a lookup finds nothing that its user can act on.
    virtual bool HasController() { return true; }

    // The GUID of the node a unit FindUnit named belongs to (from its configuration ROM), or
    // nothing when the unit is gone or its node does not say.
    virtual std::optional<std::uint64_t> UnitGuid(const std::string& unitName) = 0;

    // The device interface of a unit FindUnit named. On failure returns a non-zero status
    // and leaves device empty (the unit went away, or it cannot be reached at all).
    virtual IOReturn CreateDevice(const std::string& unitName,
                                  std::unique_ptr<FireWireDevice>& device) = 0;

    // The same for a unit whose node had this GUID when it was looked up: the device
    // interface then answers for that node only, without reading the GUID a second time
    // (between two reads another unit could take the name).
    virtual IOReturn CreateDeviceWithGuid(const std::string& unitName, std::uint64_t guid,
                                          std::unique_ptr<FireWireDevice>& device) {
        static_cast<void>(guid);
        return CreateDevice(unitName, device);
    }

    // kIOReturnNotPermitted while a unit that lookups match is on the bus but this user may
    // not open it, kIOReturnExclusiveAccess while another program holds such a unit (lookups
    // then find nothing usable); kIOReturnSuccess otherwise.
    virtual IOReturn UnitAccessStatus() { return kIOReturnSuccess; }

    // What reaches the bus, for the update record ("firewire-cdev", "simulated Ka", ...).
    virtual std::string Name() const { return "unnamed"; }

    // The listener the executable gives: it hears what this backend and the device
    // interfaces made from it report (BusObserver.h). Set once, before the first lookup;
    // the observer outlives the backend.
    void SetBusObserver(BusObserver* observer) { observer_ = observer; }
    BusObserver* Observer() const { return observer_; }

  private:
    BusObserver* observer_ = nullptr;
};

// Installs the backend the IOKit stand-in uses from now on (null: no FireWire at all, every
// lookup finds nothing). Set once at start-up, before the first lookup; tests may set it
// again between cases while no device interface is alive.
void SetFireWireBackend(std::shared_ptr<FireWireBackend> backend);
std::shared_ptr<FireWireBackend> GetFireWireBackend();

}  // namespace kaplatform

#endif
