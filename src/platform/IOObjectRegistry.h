// The handles IOKit hands out: master ports and the services of found units. Handles are
// never reused within a process, so a stale handle can be recognised.
#ifndef KA_PLATFORM_IOOBJECTREGISTRY_H
#define KA_PLATFORM_IOOBJECTREGISTRY_H

#include <IOKit/IOKitLib.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kaplatform {

class IOObjectRegistry {
  public:
    static IOObjectRegistry& Instance();

    io_object_t AddPort();
    // guid: the unit's node as the bus reported it at the lookup, if it could tell.
    io_object_t AddService(std::string unitName, std::optional<std::uint64_t> guid);
    // An iterator over units found together, each with the GUID it was found with.
    io_object_t AddIterator(
        std::vector<std::pair<std::string, std::optional<std::uint64_t>>> units);
    // A new service handle for the iterator's next unit, or IO_OBJECT_NULL at its end (or for
    // a handle that is no iterator).
    io_object_t NextOfIterator(io_object_t iterator);
    // The unit a live service handle stands for.
    std::optional<std::string> ServiceUnit(io_object_t service) const;
    // The GUID a live service handle was found with.
    std::optional<std::uint64_t> ServiceGuid(io_object_t service) const;
    bool Retain(io_object_t object);
    kern_return_t Release(io_object_t object);
    std::size_t LiveCount() const;

  private:
    struct Entry {
        std::optional<std::string> unitName;  // empty for a port
        std::optional<std::uint64_t> guid;
        unsigned references = 1;
        // For an iterator: what it has still to hand out.
        std::optional<std::deque<std::pair<std::string, std::optional<std::uint64_t>>>> units;
    };
    io_object_t Add(Entry entry);

    mutable std::mutex mutex_;
    io_object_t next_ = 0x1000;
    std::map<io_object_t, Entry> entries_;
};

}  // namespace kaplatform

#endif
