// The object layout behind the Core Foundation references handed out by this layer. Every
// object starts with the same header so that a CFTypeRef can be told apart by its kind.
#ifndef KA_PLATFORM_CFOBJECTS_H
#define KA_PLATFORM_CFOBJECTS_H

#include <CoreFoundation/CoreFoundation.h>

#include <array>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace kaplatform::cf {

enum class Kind { String, Number, Dictionary, Uuid };

struct Object {
    Object(Kind objectKind, bool livesForever) : kind(objectKind), immortal(livesForever) {}
    Kind kind;
    bool immortal;
    std::atomic<CFIndex> references{1};
};

}  // namespace kaplatform::cf

struct __CFString : kaplatform::cf::Object {
    __CFString(std::u16string content, bool livesForever)
        : Object(kaplatform::cf::Kind::String, livesForever), text(std::move(content)) {}
    std::u16string text;  // UTF-16, as the length is counted in UTF-16 code units
};

struct __CFNumber : kaplatform::cf::Object {
    explicit __CFNumber(SInt64 content)
        : Object(kaplatform::cf::Kind::Number, false), value(content) {}
    SInt64 value;
};

struct __CFDictionary : kaplatform::cf::Object {
    __CFDictionary(bool retainKeys, bool retainValues)
        : Object(kaplatform::cf::Kind::Dictionary, false),
          keysAreObjects(retainKeys),
          valuesAreObjects(retainValues) {}
    bool keysAreObjects;    // retained and compared with CFEqual; otherwise by address
    bool valuesAreObjects;  // retained
    std::vector<std::pair<const void*, const void*>> pairs;
};

struct __CFUUID : kaplatform::cf::Object {
    explicit __CFUUID(const std::array<UInt8, 16>& content)
        : Object(kaplatform::cf::Kind::Uuid, true), bytes(content) {}
    std::array<UInt8, 16> bytes;
};

#endif
