// The subset of Core Foundation this program uses: reference-counted immutable numbers and
// strings, mutable dictionaries with string keys, and UUIDs. Objects are created with a
// reference count of one and freed by the CFRelease that drops the last reference.
#ifndef KA_PLATFORM_COREFOUNDATION_H
#define KA_PLATFORM_COREFOUNDATION_H

#include <MacTypes.h>

#include <cstddef>
#include <cstdint>

using CFIndex = long;
using CFTypeRef = const void*;
using CFOptionFlags = unsigned long;
using CFStringEncoding = UInt32;
using CFTimeInterval = double;
using CFTypeID = unsigned long;

struct __CFAllocator;
using CFAllocatorRef = const __CFAllocator*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

struct __CFString;
using CFStringRef = const __CFString*;
using CFMutableStringRef = __CFString*;

struct __CFNumber;
using CFNumberRef = const __CFNumber*;

struct __CFDictionary;
using CFDictionaryRef = const __CFDictionary*;
using CFMutableDictionaryRef = __CFDictionary*;

struct __CFUUID;
using CFUUIDRef = const __CFUUID*;

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
CFIndex CFGetRetainCount(CFTypeRef object);
// Tells an object's kind apart, as a property read from the registry needs before use.
CFTypeID CFGetTypeID(CFTypeRef object);

// Numbers ------------------------------------------------------------------------------
using CFNumberType = CFIndex;
enum : CFNumberType {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
};
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* valuePointer);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePointer);
CFTypeID CFNumberGetTypeID();

// Strings ------------------------------------------------------------------------------
enum : CFStringEncoding {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingWindowsLatin1 = 0x0500,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};
inline constexpr CFIndex kCFNotFound = -1;

// Builds a string from NUL-terminated 8-bit text in the given encoding; null when the text
// is not valid in that encoding.
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* cString,
                                      CFStringEncoding encoding);
// A string that lives for the whole process; CFRetain/CFRelease do nothing to it.
CFStringRef __CFStringMakeConstantString(const char* cString);
#define CFSTR(text) __CFStringMakeConstantString("" text "")
// Number of UTF-16 code units.
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// Writes the text with its terminator into buffer; false (buffer content unspecified) when
// it does not fit in bufferSize bytes or the encoding cannot hold a character.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
CFStringEncoding CFStringGetSystemEncoding();
CFTypeID CFStringGetTypeID();
Boolean CFEqual(CFTypeRef first, CFTypeRef second);

// Dictionaries -------------------------------------------------------------------------
struct CFDictionaryKeyCallBacks {
    CFIndex version;
};
struct CFDictionaryValueCallBacks {
    CFIndex version;
};
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

// Keys and values are retained by the dictionary and released when it goes.
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
// Adds the pair unless the key is already present (then nothing changes).
void CFDictionaryAddValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);
// The value stored under an equal key, or null; the caller gets no reference.
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);

// UUIDs --------------------------------------------------------------------------------
struct CFUUIDBytes {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};
// The same 16 bytes always give the same object, which lives for the whole process.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1,
                                         UInt8 byte2, UInt8 byte3, UInt8 byte4, UInt8 byte5,
                                         UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes);

#endif
