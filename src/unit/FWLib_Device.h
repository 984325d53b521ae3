// One FireWire unit as an object: the platform's device interface for the unit a lookup
// returned, with open, close, block and quadlet transfers and the bus generation.
#ifndef KA_FWLIB_DEVICE_H
#define KA_FWLIB_DEVICE_H

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/firewire/IOFireWireLib.h>

namespace FWLib {

class Device {
public:
    // Obtains the device interface for service; throws std::exception when it cannot.
    explicit Device(io_service_t service);
    virtual ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    IOReturn Open();
    void Close();

    // abs chooses the platform call's addressing: the unit's own node, or the node addr names.
    // generation binds a request only with failOnReset; without it the platform's device
    // sends in the bus's current generation. Every transfer keeps the program's signature.
    IOReturn Read(const FWAddress& addr, void* buf, UInt32& size, bool abs, bool failOnReset,
                  UInt32 generation) const;
    IOReturn ReadQuadlet(const FWAddress& addr, UInt32& value, bool abs, bool failOnReset,
                         UInt32 generation) const;
    IOReturn Write(const FWAddress& addr, const void* buf, UInt32& size, bool abs,
                   bool failOnReset, UInt32 generation) const;
    IOReturn WriteQuadlet(const FWAddress& addr, UInt32 value, bool abs, bool failOnReset,
                          UInt32 generation);
    IOReturn GetBusGeneration(UInt32& generation) const;

protected:
    IOCFPlugInInterface** mIOCFPlugInInterface = nullptr;
    IOFireWireLibDeviceRef mDevice = nullptr;
};

}  // namespace FWLib

#endif
