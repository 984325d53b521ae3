// The Carbon Core and QuickDraw basics the interface code uses: sizes, resource types,
// length-prefixed strings, colours, text styles and the shared status codes.
#ifndef KA_PLATFORM_CARBON_CARBONCORE_H
#define KA_PLATFORM_CARBON_CARBONCORE_H

#include <MacTypes.h>

using Size = long;
using Ptr = char*;
using ResType = FourCharCode;
using DescType = ResType;
using OptionBits = UInt32;
using Str255 = unsigned char[256];
using StringPtr = unsigned char*;
using ConstStr255Param = const unsigned char*;

enum : OSStatus {
    paramErr = -50,
    memFullErr = -108,
    procNotFound = -600,
};

// Copies NUL-terminated text into a length-prefixed string, truncated to 255 bytes.
void CopyCStringToPascal(const char* source, Str255 destination);

// QuickDraw colour: three 16-bit components.
struct RGBColor {
    UInt16 red;
    UInt16 green;
    UInt16 blue;
};

// Text face bits (QuickDraw Style).
using Style = unsigned char;
enum : Style {
    normal = 0,
    bold = 1,
    italic = 2,
    underline = 4,
    outline = 8,
    shadow = 0x10,
    condense = 0x20,
    extend = 0x40,
};

// Text justification.
enum : SInt16 {
    teFlushDefault = 0,
    teCenter = 1,
    teFlushRight = -1,
    teFlushLeft = -2,
};

#endif
