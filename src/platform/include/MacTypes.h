// The Mac's fixed-width scalar names, as the program's code uses them.
#ifndef KA_PLATFORM_MACTYPES_H
#define KA_PLATFORM_MACTYPES_H

#include <cstdint>

using UInt8 = std::uint8_t;
using SInt8 = std::int8_t;
using UInt16 = std::uint16_t;
using SInt16 = std::int16_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using SInt64 = std::int64_t;
using Boolean = unsigned char;
using OSErr = SInt16;
using OSStatus = SInt32;
using OSType = UInt32;
using FourCharCode = UInt32;
using ItemCount = unsigned long;
using ByteCount = unsigned long;

enum : OSErr { noErr = 0 };

// The 64-bit clock value of UpTime, in the machine's absolute-time units.
struct UnsignedWide {
    UInt32 hi;
    UInt32 lo;
};
using AbsoluteTime = UnsignedWide;
using Nanoseconds = UnsignedWide;

#endif
