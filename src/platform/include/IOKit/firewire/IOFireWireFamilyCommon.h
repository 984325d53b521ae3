// FireWire addresses and the FireWire family's status codes.
#ifndef KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREFAMILYCOMMON_H
#define KA_PLATFORM_IOKIT_FIREWIRE_IOFIREWIREFAMILYCOMMON_H

#include <IOKit/IOReturn.h>

// A 48-bit offset in one node's address space, addressHi:addressLo, and the node.
struct FWAddressStruct {
    UInt16 nodeID;
    UInt16 addressHi;
    UInt32 addressLo;

    FWAddressStruct(const FWAddressStruct& other) = default;
    FWAddressStruct& operator=(const FWAddressStruct& other) = default;
    FWAddressStruct(UInt16 hi = 0xDEAD, UInt32 lo = 0xCAFEBABE, UInt16 node = 0)
        : nodeID(node), addressHi(hi), addressLo(lo) {}
};
using FWAddress = FWAddressStruct;
using FWAddressPtr = FWAddressStruct*;

// IEEE 1394 response codes.
enum {
    kFWResponseComplete = 0,
    kFWResponseConflictError = 4,
    kFWResponseDataError = 5,
    kFWResponseTypeError = 6,
    kFWResponseAddressError = 7,
    kFWResponseBusResetError = 16,
    kFWResponsePending = 17,
};

inline constexpr UInt32 sub_iokit_firewire = 2;
#define iokit_fw_err(return_code) iokit_family_err(sub_iokit_firewire, return_code)

// A response code other than complete becomes kIOFireWireResponseBase + that code.
inline constexpr IOReturn kIOFireWireResponseBase = iokit_fw_err(0x10);
inline constexpr IOReturn kIOFireWireBusReset = kIOFireWireResponseBase + kFWResponseBusResetError;
inline constexpr IOReturn kIOFireWireConflictError =
    kIOFireWireResponseBase + kFWResponseConflictError;
inline constexpr IOReturn kIOFireWireDataError = kIOFireWireResponseBase + kFWResponseDataError;
inline constexpr IOReturn kIOFireWireTypeError = kIOFireWireResponseBase + kFWResponseTypeError;
inline constexpr IOReturn kIOFireWireAddressError =
    kIOFireWireResponseBase + kFWResponseAddressError;

#endif
