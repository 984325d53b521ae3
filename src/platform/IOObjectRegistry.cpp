#include "IOObjectRegistry.h"

#include "IOKitDiagnostics.h"

namespace kaplatform {

IOObjectRegistry& IOObjectRegistry::Instance() {
    static auto* registry = new IOObjectRegistry;
    return *registry;
}

io_object_t IOObjectRegistry::Add(Entry entry) {
    const std::lock_guard lock(mutex_);
    const io_object_t handle = next_++;
    entries_.emplace(handle, std::move(entry));
    return handle;
}

io_object_t IOObjectRegistry::AddPort() {
    return Add(Entry{});
}

io_object_t IOObjectRegistry::AddService(std::string unitName, std::optional<std::uint64_t> guid) {
    Entry entry;
    entry.unitName = std::move(unitName);
    entry.guid = guid;
    return Add(std::move(entry));
}

io_object_t IOObjectRegistry::AddIterator(
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> units) {
    Entry entry;
    entry.units.emplace(std::make_move_iterator(units.begin()),
                        std::make_move_iterator(units.end()));
    return Add(std::move(entry));
}

io_object_t IOObjectRegistry::NextOfIterator(io_object_t iterator) {
    std::pair<std::string, std::optional<std::uint64_t>> unit;
    {
        const std::lock_guard lock(mutex_);
        const auto found = entries_.find(iterator);
        if (found == entries_.end() || !found->second.units || found->second.units->empty()) {
            return IO_OBJECT_NULL;
        }
        unit = std::move(found->second.units->front());
        found->second.units->pop_front();
    }
    return AddService(std::move(unit.first), unit.second);
}

std::optional<std::string> IOObjectRegistry::ServiceUnit(io_object_t service) const {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(service);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second.unitName;
}

std::optional<std::uint64_t> IOObjectRegistry::ServiceGuid(io_object_t service) const {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(service);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second.guid;
}

bool IOObjectRegistry::Retain(io_object_t object) {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(object);
    if (found == entries_.end()) {
        return false;
    }
    ++found->second.references;
    return true;
}

kern_return_t IOObjectRegistry::Release(io_object_t object) {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(object);
    if (found == entries_.end()) {
        return kIOReturnBadArgument;
    }
    if (--found->second.references == 0) {
        entries_.erase(found);
    }
    return kIOReturnSuccess;
}

std::size_t IOObjectRegistry::LiveCount() const {
    const std::lock_guard lock(mutex_);
    return entries_.size();
}

std::size_t LiveIOObjectCount() {
    return IOObjectRegistry::Instance().LiveCount();
}

}  // namespace kaplatform
