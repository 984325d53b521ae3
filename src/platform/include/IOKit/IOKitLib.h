// IOKit's service lookup: a master port, a matching dictionary, the first matching service.
#ifndef KA_PLATFORM_IOKIT_IOKITLIB_H
#define KA_PLATFORM_IOKIT_IOKITLIB_H

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>

using mach_port_t = UInt32;
using io_object_t = mach_port_t;
using io_service_t = io_object_t;
using io_registry_entry_t = io_object_t;
using io_iterator_t = io_object_t;
using IOOptionBits = UInt32;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr io_object_t IO_OBJECT_NULL = 0;

// Puts the port for lookups into *masterPort; bootstrapPort is MACH_PORT_NULL for the default.
kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);

// A new mutable dictionary {"IOProviderClass": name}; the caller adds the matching keys.
CFMutableDictionaryRef IOServiceMatching(const char* name);

// The first service that matches, or IO_OBJECT_NULL. Consumes one reference of matching,
// whatever the outcome, as the Mac does. The service handle is released with IOObjectRelease.
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);

// Every matching service, in the order IOServiceGetMatchingService takes the first of them,
// through an iterator the caller releases. Consumes one reference of matching, as above.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);

// The iterator's next service (released by the caller), or IO_OBJECT_NULL at its end.
io_object_t IOIteratorNext(io_iterator_t iterator);

kern_return_t IOObjectRelease(io_object_t object);

// A new reference to the value of one property of a registry entry, or null when the entry
// has no such property. The caller releases it. The properties a FireWire unit's service
// offers: "GUID", the unique ID of the node the unit belongs to, as a 64-bit number
// (kCFNumberSInt64Type; a GUID above 0x7FFFFFFFFFFFFFFF reads as a negative value).
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);

// The keys of a matching dictionary this program uses.
#define kIOProviderClassKey "IOProviderClass"

#endif
