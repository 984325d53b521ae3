#include "FWLib_Device.h"

#include "DiagnosticLines.h"

#include <exception>
#include <iostream>

namespace FWLib {

Device::Device(io_service_t service) {
    SInt32 score = 0;
    const IOReturn status = IOCreatePlugInInterfaceForService(
        service, kIOFireWireLibTypeID, kIOCFPlugInInterfaceID, &mIOCFPlugInInterface, &score);
    if (status != kIOReturnSuccess || mIOCFPlugInInterface == nullptr) {
        mIOCFPlugInInterface = nullptr;
        std::cerr << kNoPlugInInterfaceLine;
        throw std::exception();
    }
    const HRESULT result = (*mIOCFPlugInInterface)
                               ->QueryInterface(mIOCFPlugInInterface,
                                                CFUUIDGetUUIDBytes(kIOFireWireDeviceInterfaceID_v4),
                                                reinterpret_cast<LPVOID*>(&mDevice));
    if (result != S_OK || mDevice == nullptr) {
        std::cerr << kQueryInterfaceFailedLine;
        // The destructor does not run for an object whose constructor throws.
        IODestroyPlugInInterface(mIOCFPlugInInterface);
        mIOCFPlugInInterface = nullptr;
        mDevice = nullptr;
        throw std::exception();
    }
}

Device::~Device() {
    if (mDevice != nullptr) {
        (*mDevice)->Release(mDevice);
    }
    if (mIOCFPlugInInterface != nullptr) {
        IODestroyPlugInInterface(mIOCFPlugInInterface);
    }
}

IOReturn Device::Open() {
    std::cout << kDeviceOpenLine;
    return (*mDevice)->Open(mDevice);
}

void Device::Close() {
    std::cout << kDeviceCloseLine;
    (*mDevice)->Close(mDevice);
}

namespace {

// Device-relative transfers address the unit's current node through its service handle.
io_object_t TransferDevice(IOFireWireLibDeviceRef device, bool abs) {
    return abs ? IO_OBJECT_NULL : (*device)->GetDevice(device);
}

}  // namespace

IOReturn Device::Read(const FWAddress& addr, void* buf, UInt32& size, bool abs, bool failOnReset,
                      UInt32 generation) const {
    return (*mDevice)->Read(mDevice, TransferDevice(mDevice, abs), &addr, buf, &size, failOnReset,
                            generation);
}

IOReturn Device::ReadQuadlet(const FWAddress& addr, UInt32& value, bool abs, bool failOnReset,
                             UInt32 generation) const {
    return (*mDevice)->ReadQuadlet(mDevice, TransferDevice(mDevice, abs), &addr, &value,
                                   failOnReset, generation);
}

IOReturn Device::Write(const FWAddress& addr, const void* buf, UInt32& size, bool abs,
                       bool failOnReset, UInt32 generation) const {
    return (*mDevice)->Write(mDevice, TransferDevice(mDevice, abs), &addr, buf, &size, failOnReset,
                             generation);
}

IOReturn Device::WriteQuadlet(const FWAddress& addr, UInt32 value, bool abs, bool failOnReset,
                              UInt32 generation) {
    return (*mDevice)->WriteQuadlet(mDevice, TransferDevice(mDevice, abs), &addr, value,
                                    failOnReset, generation);
}

IOReturn Device::GetBusGeneration(UInt32& generation) const {
    return (*mDevice)->GetBusGeneration(mDevice, &generation);
}

}  // namespace FWLib
