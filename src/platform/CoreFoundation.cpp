#include <CoreFoundation/CoreFoundation.h>

#include "CFObjects.h"
#include "CFStringEncodingConversion.h"

#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

using kaplatform::cf::Kind;
using kaplatform::cf::Object;

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks{0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks{0};

namespace {

Object* AsObject(CFTypeRef reference) {
    return static_cast<Object*>(const_cast<void*>(reference));
}

void Destroy(Object* object) {
    switch (object->kind) {
        case Kind::String:
            delete static_cast<__CFString*>(object);
            break;
        case Kind::Number:
            delete static_cast<__CFNumber*>(object);
            break;
        case Kind::Dictionary: {
            auto* dictionary = static_cast<__CFDictionary*>(object);
            for (const auto& [key, value] : dictionary->pairs) {
                if (dictionary->keysAreObjects) {
                    CFRelease(key);
                }
                if (dictionary->valuesAreObjects) {
                    CFRelease(value);
                }
            }
            delete dictionary;
            break;
        }
        case Kind::Uuid:
            delete static_cast<__CFUUID*>(object);
            break;
    }
}

// Objects that live for the whole process, found again by their content.
template <typename Key, typename Value>
class InternTable {
  public:
    template <typename Make>
    Value* Find(const Key& key, Make make) {
        const std::lock_guard lock(mutex_);
        auto& slot = table_[key];
        if (!slot) {
            slot = make();
        }
        return slot.get();
    }

  private:
    std::mutex mutex_;
    std::map<Key, std::unique_ptr<Value>> table_;
};

InternTable<std::string, __CFString>& ConstantStrings() {
    static auto* table = new InternTable<std::string, __CFString>;
    return *table;
}

InternTable<std::array<UInt8, 16>, __CFUUID>& ConstantUuids() {
    static auto* table = new InternTable<std::array<UInt8, 16>, __CFUUID>;
    return *table;
}

template <typename Integer>
bool StoreIfInRange(SInt64 value, void* destination) {
    const bool fits = value >= std::numeric_limits<Integer>::min() &&
                      value <= std::numeric_limits<Integer>::max();
    const auto converted = static_cast<Integer>(value);
    std::memcpy(destination, &converted, sizeof converted);
    return fits;
}

CFIndex FindKey(const __CFDictionary* dictionary, const void* key) {
    for (std::size_t index = 0; index < dictionary->pairs.size(); ++index) {
        const void* candidate = dictionary->pairs[index].first;
        if (dictionary->keysAreObjects ? CFEqual(candidate, key) != 0 : candidate == key) {
            return static_cast<CFIndex>(index);
        }
    }
    return kCFNotFound;
}

}  // namespace

CFTypeRef CFRetain(CFTypeRef object) {
    if (object != nullptr && !AsObject(object)->immortal) {
        AsObject(object)->references.fetch_add(1, std::memory_order_relaxed);
    }
    return object;
}

void CFRelease(CFTypeRef object) {
    if (object == nullptr || AsObject(object)->immortal) {
        return;
    }
    if (AsObject(object)->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        Destroy(AsObject(object));
    }
}

CFIndex CFGetRetainCount(CFTypeRef object) {
    if (object == nullptr) {
        return 0;
    }
    if (AsObject(object)->immortal) {
        return std::numeric_limits<CFIndex>::max();
    }
    return AsObject(object)->references.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef object) {
    if (object == nullptr) {
        return 0;
    }
    // Kinds start at 1 so that no object has the type ID 0.
    return static_cast<CFTypeID>(AsObject(object)->kind) + 1;
}

CFTypeID CFNumberGetTypeID() {
    return static_cast<CFTypeID>(kaplatform::cf::Kind::Number) + 1;
}

CFTypeID CFStringGetTypeID() {
    return static_cast<CFTypeID>(kaplatform::cf::Kind::String) + 1;
}

// Numbers ------------------------------------------------------------------------------

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* valuePointer) {
    if (valuePointer == nullptr) {
        return nullptr;
    }
    SInt64 value = 0;
    switch (type) {
        case kCFNumberSInt8Type: {
            SInt8 v;
            std::memcpy(&v, valuePointer, sizeof v);
            value = v;  // NOLINT(bugprone-signed-char-misuse): the number is signed
            break;
        }
        case kCFNumberSInt16Type: {
            SInt16 v;
            std::memcpy(&v, valuePointer, sizeof v);
            value = v;
            break;
        }
        case kCFNumberSInt32Type: {
            SInt32 v;
            std::memcpy(&v, valuePointer, sizeof v);
            value = v;
            break;
        }
        case kCFNumberSInt64Type:
            std::memcpy(&value, valuePointer, sizeof value);
            break;
        default:
            return nullptr;
    }
    return new __CFNumber(value);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePointer) {
    if (number == nullptr || valuePointer == nullptr || number->kind != Kind::Number) {
        return false;
    }
    switch (type) {
        case kCFNumberSInt8Type:
            return StoreIfInRange<SInt8>(number->value, valuePointer);
        case kCFNumberSInt16Type:
            return StoreIfInRange<SInt16>(number->value, valuePointer);
        case kCFNumberSInt32Type:
            return StoreIfInRange<SInt32>(number->value, valuePointer);
        case kCFNumberSInt64Type:
            return StoreIfInRange<SInt64>(number->value, valuePointer);
        default:
            return false;
    }
}

// Strings ------------------------------------------------------------------------------

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cString,
                                      CFStringEncoding encoding) {
    if (cString == nullptr) {
        return nullptr;
    }
    auto text = kaplatform::cf::DecodeText(cString, encoding);
    if (!text) {
        return nullptr;
    }
    return new __CFString(std::move(*text), false);
}

CFStringRef __CFStringMakeConstantString(const char* cString) {
    const std::string key = cString != nullptr ? cString : "";
    return ConstantStrings().Find(key, [&key] {
        // Literals are UTF-8 source text; anything else is taken byte for byte.
        auto text = kaplatform::cf::DecodeText(key, kCFStringEncodingUTF8);
        if (!text) {
            text = kaplatform::cf::DecodeText(key, kCFStringEncodingISOLatin1);
        }
        return std::make_unique<__CFString>(std::move(*text), true);
    });
}

CFIndex CFStringGetLength(CFStringRef string) {
    return string != nullptr ? static_cast<CFIndex>(string->text.size()) : 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (!kaplatform::cf::IsKnownEncoding(encoding) || length < 0) {
        return kCFNotFound;
    }
    // A UTF-16 code unit becomes at most three bytes of UTF-8 (a pair of them, four).
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (string == nullptr || buffer == nullptr || bufferSize <= 0) {
        return false;
    }
    const auto bytes = kaplatform::cf::EncodeText(string->text, encoding);
    if (!bytes || static_cast<CFIndex>(bytes->size()) >= bufferSize) {
        return false;
    }
    std::memcpy(buffer, bytes->data(), bytes->size());
    buffer[bytes->size()] = '\0';
    return true;
}

CFStringEncoding CFStringGetSystemEncoding() {
    return kCFStringEncodingUTF8;
}

Boolean CFEqual(CFTypeRef first, CFTypeRef second) {
    if (first == second) {
        return first != nullptr;
    }
    if (first == nullptr || second == nullptr || AsObject(first)->kind != AsObject(second)->kind) {
        return false;
    }
    switch (AsObject(first)->kind) {
        case Kind::String:
            return static_cast<CFStringRef>(first)->text == static_cast<CFStringRef>(second)->text;
        case Kind::Number:
            return static_cast<CFNumberRef>(first)->value ==
                   static_cast<CFNumberRef>(second)->value;
        case Kind::Uuid:
            return static_cast<CFUUIDRef>(first)->bytes == static_cast<CFUUIDRef>(second)->bytes;
        case Kind::Dictionary: {
            const auto* a = static_cast<CFDictionaryRef>(first);
            const auto* b = static_cast<CFDictionaryRef>(second);
            if (a->pairs.size() != b->pairs.size()) {
                return false;
            }
            for (const auto& [key, value] : a->pairs) {
                const void* other = CFDictionaryGetValue(b, key);
                if (other == nullptr ||
                    (a->valuesAreObjects ? CFEqual(value, other) == 0 : value != other)) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

// Dictionaries -------------------------------------------------------------------------

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    return new __CFDictionary(keyCallBacks != nullptr, valueCallBacks != nullptr);
}

void CFDictionaryAddValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
    if (dictionary == nullptr || FindKey(dictionary, key) != kCFNotFound) {
        return;
    }
    if (dictionary->keysAreObjects) {
        CFRetain(key);
    }
    if (dictionary->valuesAreObjects) {
        CFRetain(value);
    }
    dictionary->pairs.emplace_back(key, value);
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
    if (dictionary == nullptr) {
        return;
    }
    const CFIndex index = FindKey(dictionary, key);
    if (index == kCFNotFound) {
        CFDictionaryAddValue(dictionary, key, value);
        return;
    }
    auto& slot = dictionary->pairs[static_cast<std::size_t>(index)];
    if (dictionary->valuesAreObjects) {
        CFRetain(value);
        CFRelease(slot.second);
    }
    slot.second = value;
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
    if (dictionary == nullptr) {
        return nullptr;
    }
    const CFIndex index = FindKey(dictionary, key);
    return index == kCFNotFound ? nullptr
                                : dictionary->pairs[static_cast<std::size_t>(index)].second;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
    return dictionary != nullptr ? static_cast<CFIndex>(dictionary->pairs.size()) : 0;
}

// UUIDs --------------------------------------------------------------------------------

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
    const std::array<UInt8, 16> bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                                      byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    return ConstantUuids().Find(bytes, [&bytes] { return std::make_unique<__CFUUID>(bytes); });
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    CFUUIDBytes bytes{};
    if (uuid != nullptr) {
        std::memcpy(&bytes, uuid->bytes.data(), sizeof bytes);
    }
    return bytes;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes) {
    // UUID objects are unique per value and live for the process, as constant ones do.
    return CFUUIDGetConstantUUIDWithBytes(
        allocator, bytes.byte0, bytes.byte1, bytes.byte2, bytes.byte3, bytes.byte4, bytes.byte5,
        bytes.byte6, bytes.byte7, bytes.byte8, bytes.byte9, bytes.byte10, bytes.byte11,
        bytes.byte12, bytes.byte13, bytes.byte14, bytes.byte15);
}
