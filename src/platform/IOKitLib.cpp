#include <IOKit/IOKitLib.h>

#include "FireWireBackend.h"
#include "IOObjectRegistry.h"

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kaplatform {
namespace {

std::mutex gBackendMutex;
std::shared_ptr<FireWireBackend> gBackend;

std::optional<std::uint32_t> NumberValue(CFDictionaryRef dictionary, CFStringRef key) {
    const auto* number = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, key));
    SInt64 value = 0;
    if (number == nullptr || !CFNumberGetValue(number, kCFNumberSInt64Type, &value) || value < 0 ||
        value > 0xFFFFFF) {
        return std::nullopt;  // unit-directory values are 24 bits
    }
    return static_cast<std::uint32_t>(value);
}

struct UnitMatch {
    std::uint32_t specifierId = 0;
    std::uint32_t softwareVersion = 0;
    std::shared_ptr<FireWireBackend> backend;
};

// Only FireWire units matched by both unit-directory values can be looked up here.
std::optional<UnitMatch> MatchOf(CFDictionaryRef matching) {
    const void* providerClass = CFDictionaryGetValue(matching, CFSTR(kIOProviderClassKey));
    if (!CFEqual(providerClass, CFSTR("IOFireWireUnit"))) {
        return std::nullopt;
    }
    const auto specifierId = NumberValue(matching, CFSTR("Unit_Spec_ID"));
    const auto softwareVersion = NumberValue(matching, CFSTR("Unit_SW_Version"));
    auto backend = GetFireWireBackend();
    if (!specifierId || !softwareVersion || !backend) {
        return std::nullopt;
    }
    return UnitMatch{*specifierId, *softwareVersion, std::move(backend)};
}

io_service_t FindService(CFDictionaryRef matching) {
    const auto match = MatchOf(matching);
    if (!match) {
        return IO_OBJECT_NULL;
    }
    const auto& backend = match->backend;
    auto unitName = backend->FindUnit(match->specifierId, match->softwareVersion);
    if (!unitName) {
        return IO_OBJECT_NULL;
    }
    // The entry keeps the GUID the unit had when it was found, so that a unit that takes
    // the place of another under the same name cannot pass for it.
    const auto guid = backend->UnitGuid(*unitName);
    return IOObjectRegistry::Instance().AddService(std::move(*unitName), guid);
}

io_iterator_t FindServices(CFDictionaryRef matching) {
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> units;
    if (const auto match = MatchOf(matching)) {
        for (std::string& unitName :
             match->backend->FindUnits(match->specifierId, match->softwareVersion)) {
            // Each keeps its GUID from now, as a single lookup's service does.
            auto guid = match->backend->UnitGuid(unitName);
            units.emplace_back(std::move(unitName), guid);
        }
    }
    return IOObjectRegistry::Instance().AddIterator(std::move(units));
}

}  // namespace

void SetFireWireBackend(std::shared_ptr<FireWireBackend> backend) {
    const std::lock_guard lock(gBackendMutex);
    gBackend = std::move(backend);
}

std::shared_ptr<FireWireBackend> GetFireWireBackend() {
    const std::lock_guard lock(gBackendMutex);
    return gBackend;
}

}  // namespace kaplatform

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort) {
    if (masterPort == nullptr) {
        return kIOReturnBadArgument;
    }
    *masterPort = kaplatform::IOObjectRegistry::Instance().AddPort();
    return KERN_SUCCESS;
}

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    CFStringRef className = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
    if (className == nullptr) {
        return nullptr;
    }
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionaryAddValue(dictionary, CFSTR(kIOProviderClassKey), className);
    CFRelease(className);
    return dictionary;
}

io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef matching) {
    if (matching == nullptr) {
        return IO_OBJECT_NULL;
    }
    const io_service_t service = kaplatform::FindService(matching);
    CFRelease(matching);
    return service;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
    if (matching == nullptr || existing == nullptr) {
        if (matching != nullptr) {
            CFRelease(matching);
        }
        return kIOReturnBadArgument;
    }
    *existing = kaplatform::FindServices(matching);
    CFRelease(matching);
    return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    return kaplatform::IOObjectRegistry::Instance().NextOfIterator(iterator);
}

kern_return_t IOObjectRelease(io_object_t object) {
    return kaplatform::IOObjectRegistry::Instance().Release(object);
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits) {
    if (key == nullptr || !CFEqual(key, CFSTR("GUID"))) {
        return nullptr;
    }
    const auto guid = kaplatform::IOObjectRegistry::Instance().ServiceGuid(entry);
    if (!guid) {
        return nullptr;
    }
    const auto value = static_cast<SInt64>(*guid);
    return CFNumberCreate(allocator, kCFNumberSInt64Type, &value);
}
