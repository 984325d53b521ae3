// Reading the kernel's view of the FireWire bus from sysfs: units (fwN.M) with their
// unit-directory values, the node (fwN) each belongs to, and the node's GUID. Anything
// missing, unreadable or malformed reads as "not there": the tree changes under our feet
// whenever a device comes or goes.
#ifndef KA_PLATFORM_LINUX_SYSFSFIREWIRE_H
#define KA_PLATFORM_LINUX_SYSFSFIREWIRE_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kaplatform::sysfs {

// "0x000a27\n" and the like: "0x", 1 to maxDigits hex digits, at most one line feed.
std::optional<std::uint64_t> ParseHexAttribute(std::string_view text, std::size_t maxDigits);

// The first unit, ordered by node number and then unit number, whose specifier_id and
// version attributes hold these values and whose node can be resolved.
std::optional<std::string> FindFirstUnit(const std::filesystem::path& sysfsRoot,
                                         std::uint32_t specifierId, std::uint32_t version);

// Every such unit, in that order.
std::vector<std::string> FindUnits(const std::filesystem::path& sysfsRoot,
                                   std::uint32_t specifierId, std::uint32_t version);

// Whether the kernel knows a FireWire controller: the bus is registered and one of its nodes
// is the local one (is_local "1").
bool HasLocalNode(const std::filesystem::path& sysfsRoot);

// The node ("fw1") that a unit ("fw1.0") currently belongs to, if the unit is there.
std::optional<std::string> NodeOfUnit(const std::filesystem::path& sysfsRoot,
                                      const std::string& unitName);

// The node's GUID attribute.
std::optional<std::uint64_t> NodeGuid(const std::filesystem::path& sysfsRoot,
                                      const std::string& nodeName);

// Every node ("fw1", "fw2") whose GUID attribute holds guid, lowest number first: where a
// node the kernel made anew after losing it is found again. The kernel gives a new device
// the lowest free number, which is usually the one the lost device had, and a lost device
// may stay listed a while next to the new one.
std::vector<std::string> NodesWithGuid(const std::filesystem::path& sysfsRoot, std::uint64_t guid);

// The kernel drivers bound to the node's units, as "fwN.M: driver", in unit order.
std::vector<std::string> BoundUnitDrivers(const std::filesystem::path& sysfsRoot,
                                          const std::string& nodeName);

// True for names of the form fwN.M (decimal, no leading zeros), which is all the kernel
// ever creates for units.
bool IsUnitName(std::string_view name);

}  // namespace kaplatform::sysfs

#endif
