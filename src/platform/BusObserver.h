// What the FireWire stand-in hands up: each call a unit's device interface answered, and
// what the bus did to the transfers (resets, busy answers, re-sends, a node made anew). The
// platform knows no listener of its own; the executable gives the backend one
// (FireWireBackend::SetBusObserver), and the backend and the device interfaces it makes
// report to it. The operations' names are spelled here and nowhere else.
#ifndef KA_PLATFORM_BUSOBSERVER_H
#define KA_PLATFORM_BUSOBSERVER_H

#include <IOKit/IOReturn.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace kaplatform {

// Everything a backend can be asked: the lookup, making a device interface, and the calls
// through one.
enum class BusOperation {
    Find,
    CreateDevice,
    Open,
    Close,
    GetGeneration,
    ReadQuadlet,
    WriteQuadlet,
    ReadBlock,
    WriteBlock,
};

inline constexpr std::array<std::pair<BusOperation, std::string_view>, 9> kBusOperationNames = {{
    {BusOperation::Find, "find"},
    {BusOperation::CreateDevice, "create-device"},
    {BusOperation::Open, "open"},
    {BusOperation::Close, "close"},
    {BusOperation::GetGeneration, "get-generation"},
    {BusOperation::ReadQuadlet, "read-quadlet"},
    {BusOperation::WriteQuadlet, "write-quadlet"},
    {BusOperation::ReadBlock, "read-block"},
    {BusOperation::WriteBlock, "write-block"},
}};

constexpr std::string_view BusOperationName(BusOperation operation) {
    for (const auto& [candidate, name] : kBusOperationNames) {
        if (candidate == operation) {
            return name;
        }
    }
    return "unknown";
}

constexpr std::optional<BusOperation> BusOperationFromName(std::string_view name) {
    for (const auto& [operation, candidate] : kBusOperationNames) {
        if (candidate == name) {
            return operation;
        }
    }
    return std::nullopt;
}

// A quadlet or block read or write: the calls that move data at an address.
constexpr bool MovesData(BusOperation operation) {
    return operation == BusOperation::ReadQuadlet || operation == BusOperation::WriteQuadlet ||
           operation == BusOperation::ReadBlock || operation == BusOperation::WriteBlock;
}

// One call through a unit's device interface, as it returned. bytes: a block read's bytes
// as they arrived, a block write's as they were asked to go; valid during the report only.
struct BusTransaction {
    BusOperation operation = BusOperation::Open;
    std::uint64_t address = 0;
    std::uint32_t length = 0;  // bytes asked for (4 for quadlets)
    std::uint32_t moved = 0;   // bytes delivered or taken
    std::uint32_t value = 0;   // a quadlet's value, or the generation get-generation gave
    std::span<const std::uint8_t> bytes;
    IOReturn status = kIOReturnSuccess;
    std::uint32_t generation = 0;  // the one it went in (get-generation: the one it gave)
};

// Reports come from whichever thread made the call; an observer guards itself.
class BusObserver {
  public:
    virtual ~BusObserver() = default;

    virtual void Transaction(const BusTransaction& transaction) = 0;
    // One of the backend's "FireWire: " lines, without that prefix.
    virtual void BusEvent(std::string_view what) = 0;
    // The device file a unit was opened through.
    virtual void UnitOpened(std::string_view deviceFile) { static_cast<void>(deviceFile); }
    // The kernel drivers bound to the unit's node as a lookup found them ("fw1.0: name",
    // comma-separated; empty for none), said when they change.
    virtual void UnitDriversFound(std::string_view drivers) { static_cast<void>(drivers); }
};

}  // namespace kaplatform

#endif
