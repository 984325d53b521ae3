// The FireWire user-client library: the device interface of one unit, reached through the
// FireWire plug-in. Called as on the Mac: (*device)->Read(device, service, &address, ...).
#ifndef KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIRELIB_H
#define KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIRELIB_H

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/firewire/IOFireWireFamilyCommon.h>

struct IOFireWireDeviceInterface_t;
using IOFireWireDeviceInterface = IOFireWireDeviceInterface_t;
using IOFireWireLibDeviceRef = IOFireWireDeviceInterface**;

struct IOFireWireDeviceInterface_t {
    IUNKNOWN_C_GUTS;
    UInt32 version;
    UInt32 revision;

    // The unit's service handle, for device-relative transfers.
    io_object_t (*GetDevice)(IOFireWireLibDeviceRef self);
    // Gains access to the unit for transfers; pairs with Close.
    IOReturn (*Open)(IOFireWireLibDeviceRef self);
    void (*Close)(IOFireWireLibDeviceRef self);

    // device is the unit's service handle (the unit's current node is addressed and
    // addr->nodeID ignored) or 0 (addr->nodeID is the node). With failOnReset the transfer
    // fails when the bus generation is no longer generation. *size: bytes asked, then moved.
    IOReturn (*Read)(IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr,
                     void* buf, UInt32* size, Boolean failOnReset, UInt32 generation);
    IOReturn (*ReadQuadlet)(IOFireWireLibDeviceRef self, io_object_t device,
                            const FWAddress* addr, UInt32* val, Boolean failOnReset,
                            UInt32 generation);
    IOReturn (*Write)(IOFireWireLibDeviceRef self, io_object_t device, const FWAddress* addr,
                      const void* buf, UInt32* size, Boolean failOnReset, UInt32 generation);
    IOReturn (*WriteQuadlet)(IOFireWireLibDeviceRef self, io_object_t device,
                             const FWAddress* addr, const UInt32 val, Boolean failOnReset,
                             UInt32 generation);

    IOReturn (*GetBusGeneration)(IOFireWireLibDeviceRef self, UInt32* outGeneration);
};

// CDCFCA94-F197-11D4-87E6-000502072F80: the FireWire library's plug-in type.
#define kIOFireWireLibTypeID                                                                 \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xCD, 0xCF, 0xCA, 0x94, 0xF1, 0x97, 0x11, 0xD4, \
                                   0x87, 0xE6, 0x00, 0x05, 0x02, 0x07, 0x2F, 0x80)

// F4B3748B-6945-11D6-8299-0003933F84F0: the device interface that offers GetBusGeneration.
#define kIOFireWireDeviceInterfaceID_v4                                                      \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF4, 0xB3, 0x74, 0x8B, 0x69, 0x45, 0x11, 0xD6, \
                                   0x82, 0x99, 0x00, 0x03, 0x93, 0x3F, 0x84, 0xF0)

#endif
