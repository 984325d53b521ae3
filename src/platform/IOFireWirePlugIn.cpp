// The FireWire plug-in and its device interface: one reference-counted object per created
// plug-in, reached through two COM-style slots, each a pointer to its function table
// followed by a pointer back to the object. Transfers go to the backend's device.
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/firewire/IOFireWireLib.h>

#include "FireWireBackend.h"
#include "IOKitDiagnostics.h"
#include "IOObjectRegistry.h"
#include "WindowThread.h"

#include <atomic>
#include <cstring>
#include <span>

namespace kaplatform {
namespace {

std::atomic<std::size_t> gLivePlugIns{0};

struct PlugIn;

struct PlugInSlot {
    IOCFPlugInInterface* table;
    PlugIn* owner;
};

struct DeviceSlot {
    IOFireWireDeviceInterface* table;
    PlugIn* owner;
};

struct PlugIn {
    PlugInSlot plugInSlot{};
    DeviceSlot deviceSlot{};
    std::atomic<ULONG> references{1};
    io_service_t service = IO_OBJECT_NULL;
    std::shared_ptr<FireWireBackend> backend;  // kept while its device lives
    std::unique_ptr<FireWireDevice> device;
    bool open = false;

    ~PlugIn() {
        if (open) {
            device->Close();
        }
        device.reset();
        IOObjectRegistry::Instance().Release(service);
        --gLivePlugIns;
    }
};

bool SameUuid(const CFUUIDBytes& bytes, CFUUIDRef uuid) {
    const CFUUIDBytes other = CFUUIDGetUUIDBytes(uuid);
    return std::memcmp(&bytes, &other, sizeof bytes) == 0;
}

CFUUIDRef UnknownInterfaceId() {
    // 00000000-0000-0000-C000-000000000046, the interface every COM object answers to.
    return CFUUIDGetConstantUUIDWithBytes(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0,
                                          0x46);
}

ULONG AddReference(PlugIn* plugIn) {
    return ++plugIn->references;
}

ULONG DropReference(PlugIn* plugIn) {
    const ULONG remaining = --plugIn->references;
    if (remaining == 0) {
        delete plugIn;
    }
    return remaining;
}

HRESULT QueryInterface(PlugIn* plugIn, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_NOINTERFACE;
    }
    if (SameUuid(iid, UnknownInterfaceId()) || SameUuid(iid, kIOCFPlugInInterfaceID)) {
        *ppv = &plugIn->plugInSlot;
    } else if (SameUuid(iid, kIOFireWireDeviceInterfaceID_v4) &&
               plugIn->device->OffersBusGeneration()) {
        *ppv = &plugIn->deviceSlot;
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddReference(plugIn);
    return S_OK;
}

PlugIn* FromPlugIn(void* self) {
    return static_cast<PlugInSlot*>(self)->owner;
}
PlugIn* FromDevice(void* self) {
    return static_cast<DeviceSlot*>(self)->owner;
}
PlugIn* FromDevice(IOFireWireLibDeviceRef self) {
    return reinterpret_cast<DeviceSlot*>(self)->owner;
}

FireWireTarget TargetOf(io_object_t device, const FWAddress& address) {
    FireWireTarget target;
    target.relativeToDevice = device != IO_OBJECT_NULL;
    target.nodeId = address.nodeID;
    target.offset = (std::uint64_t{address.addressHi} << 32) | address.addressLo;
    return target;
}

std::span<const std::uint8_t> BytesOf(const void* buffer, std::uint32_t size) {
    if (buffer == nullptr) {
        return {};
    }
    return {static_cast<const std::uint8_t*>(buffer), size};
}

// Every call reaches the backend's observer here, whichever backend answers it. A transfer's
// generation is the one its device sent in, which after a reset is not the one the caller
// named.
void Report(const PlugIn* plugIn, BusOperation operation, const FireWireTarget& target,
            std::uint32_t length, std::uint32_t moved, std::uint32_t value,
            std::span<const std::uint8_t> bytes, IOReturn status, std::uint32_t generation) {
    BusObserver* observer = plugIn->backend->Observer();
    if (observer == nullptr) {
        return;
    }
    BusTransaction transaction;
    transaction.operation = operation;
    transaction.address = target.offset;
    transaction.length = length;
    transaction.moved = moved;
    transaction.value = value;
    transaction.bytes = bytes;
    transaction.status = status;
    transaction.generation = generation;
    observer->Transaction(transaction);
}

// A device-relative transfer must name this plug-in's own unit.
bool ValidDevice(const PlugIn* plugIn, io_object_t device) {
    return device == IO_OBJECT_NULL || device == plugIn->service;
}

IOCFPlugInInterface gPlugInTable = {
    nullptr,
    [](void* self, REFIID iid, LPVOID* ppv) { return QueryInterface(FromPlugIn(self), iid, ppv); },
    [](void* self) { return AddReference(FromPlugIn(self)); },
    [](void* self) { return DropReference(FromPlugIn(self)); },
    1,
    0,
};

IOFireWireDeviceInterface gDeviceTable = {
    nullptr,
    [](void* self, REFIID iid, LPVOID* ppv) { return QueryInterface(FromDevice(self), iid, ppv); },
    [](void* self) { return AddReference(FromDevice(self)); },
    [](void* self) { return DropReference(FromDevice(self)); },
    4,
    0,
    [](IOFireWireLibDeviceRef self) -> io_object_t { return FromDevice(self)->service; },
    [](IOFireWireLibDeviceRef self) -> IOReturn {
        PlugIn* plugIn = FromDevice(self);
        const IOReturn status = plugIn->device->Open();
        if (status == kIOReturnSuccess) {
            plugIn->open = true;
            if (BusObserver* observer = plugIn->backend->Observer()) {
                observer->UnitOpened(plugIn->device->DeviceFileName());
            }
        }
        Report(plugIn, BusOperation::Open, {}, 0, 0, 0, {}, status, 0);
        return status;
    },
    [](IOFireWireLibDeviceRef self) {
        PlugIn* plugIn = FromDevice(self);
        if (plugIn->open) {
            plugIn->device->Close();
            plugIn->open = false;
            Report(plugIn, BusOperation::Close, {}, 0, 0, 0, {}, kIOReturnSuccess, 0);
        }
    },
    [](IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr, void* buf,
       UInt32* size, Boolean failOnReset, UInt32 generation) -> IOReturn {
        PlugIn* plugIn = FromDevice(self);
        if (addr == nullptr || size == nullptr || (buf == nullptr && *size != 0) ||
            !ValidDevice(plugIn, device)) {
            return kIOReturnBadArgument;
        }
        const FireWireTarget target = TargetOf(device, *addr);
        const UInt32 asked = *size;
        const IOReturn status =
            plugIn->device->Read(target, buf, *size, failOnReset != 0, generation);
        Report(plugIn, BusOperation::ReadBlock, target, asked, *size, 0, BytesOf(buf, *size),
               status, plugIn->device->GenerationSentIn());
        return status;
    },
    [](IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr, UInt32* val,
       Boolean failOnReset, UInt32 generation) -> IOReturn {
        PlugIn* plugIn = FromDevice(self);
        if (addr == nullptr || val == nullptr || !ValidDevice(plugIn, device)) {
            return kIOReturnBadArgument;
        }
        const FireWireTarget target = TargetOf(device, *addr);
        const IOReturn status =
            plugIn->device->ReadQuadlet(target, *val, failOnReset != 0, generation);
        Report(plugIn, BusOperation::ReadQuadlet, target, 4, status == kIOReturnSuccess ? 4 : 0,
               *val, {}, status, plugIn->device->GenerationSentIn());
        return status;
    },
    [](IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr, const void* buf,
       UInt32* size, Boolean failOnReset, UInt32 generation) -> IOReturn {
        PlugIn* plugIn = FromDevice(self);
        if (addr == nullptr || size == nullptr || (buf == nullptr && *size != 0) ||
            !ValidDevice(plugIn, device)) {
            return kIOReturnBadArgument;
        }
        const FireWireTarget target = TargetOf(device, *addr);
        const UInt32 asked = *size;
        const IOReturn status =
            plugIn->device->Write(target, buf, *size, failOnReset != 0, generation);
        // The digest covers what was asked to go, whatever the unit took.
        Report(plugIn, BusOperation::WriteBlock, target, asked, *size, 0, BytesOf(buf, asked),
               status, plugIn->device->GenerationSentIn());
        return status;
    },
    [](IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr, const UInt32 val,
       Boolean failOnReset, UInt32 generation) -> IOReturn {
        PlugIn* plugIn = FromDevice(self);
        if (addr == nullptr || !ValidDevice(plugIn, device)) {
            return kIOReturnBadArgument;
        }
        const FireWireTarget target = TargetOf(device, *addr);
        const IOReturn status =
            plugIn->device->WriteQuadlet(target, val, failOnReset != 0, generation);
        Report(plugIn, BusOperation::WriteQuadlet, target, 4, status == kIOReturnSuccess ? 4 : 0,
               val, {}, status, plugIn->device->GenerationSentIn());
        return status;
    },
    [](IOFireWireLibDeviceRef self, UInt32* outGeneration) -> IOReturn {
        if (outGeneration == nullptr) {
            return kIOReturnBadArgument;
        }
        PlugIn* plugIn = FromDevice(self);
        const IOReturn status = plugIn->device->GetBusGeneration(*outGeneration);
        Report(plugIn, BusOperation::GetGeneration, {}, 0, 0, *outGeneration, {}, status,
               *outGeneration);
        return status;
    },
};

}  // namespace

std::size_t LivePlugInCount() {
    return gLivePlugIns.load();
}

}  // namespace kaplatform

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore) {
    using namespace kaplatform;
    if (theInterface == nullptr) {
        return kIOReturnBadArgument;
    }
    if (!CFEqual(pluginType, kIOFireWireLibTypeID) ||
        !CFEqual(interfaceType, kIOCFPlugInInterfaceID)) {
        return kIOReturnUnsupported;
    }
    const auto unitName = IOObjectRegistry::Instance().ServiceUnit(service);
    if (!unitName || unitName->empty()) {
        return kIOReturnBadArgument;  // not a live service handle
    }
    auto backend = GetFireWireBackend();
    if (!backend) {
        return kIOReturnNoDevice;
    }
    std::unique_ptr<FireWireDevice> device;
    const auto guid = IOObjectRegistry::Instance().ServiceGuid(service);
    const IOReturn status = guid ? backend->CreateDeviceWithGuid(*unitName, *guid, device)
                                 : backend->CreateDevice(*unitName, device);
    if (status != kIOReturnSuccess) {
        return status;
    }
    if (!device) {
        return kIOReturnInternalError;
    }
    if (OnWindowThread()) {
        // Discovery: every pass of the window's timer makes its own device interface.
        device->FailFast();
    }
    device->ReportTo(backend->Observer());
    IOObjectRegistry::Instance().Retain(service);
    ++gLivePlugIns;
    auto* plugIn = new PlugIn;
    plugIn->plugInSlot = {&gPlugInTable, plugIn};
    plugIn->deviceSlot = {&gDeviceTable, plugIn};
    plugIn->service = service;
    plugIn->backend = std::move(backend);
    plugIn->device = std::move(device);
    *theInterface = reinterpret_cast<IOCFPlugInInterface**>(&plugIn->plugInSlot);
    if (theScore != nullptr) {
        *theScore = 0;
    }
    return kIOReturnSuccess;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
    if (interface == nullptr) {
        return kIOReturnBadArgument;
    }
    (*interface)->Release(interface);
    return kIOReturnSuccess;
}
