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
    return Add(Entry{std::move(unitName), guid});
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
