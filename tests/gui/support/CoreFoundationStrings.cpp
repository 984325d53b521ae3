// Core Foundation strings for the desktop suites, linked only while the build has no
// platform library of its own: UTF-16 text, created with a reference count of one.
#include <CoreFoundation/CoreFoundation.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

struct __CFString {
    std::u16string text;
    CFIndex references = 1;
    bool constant = false;
};

namespace {

constexpr char16_t kWindowsLatin1High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool DecodeUtf8(const char* text, std::u16string& out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    while (*bytes != 0) {
        char32_t code;
        int extra;
        if (*bytes < 0x80) {
            code = *bytes;
            extra = 0;
        } else if ((*bytes & 0xE0) == 0xC0) {
            code = *bytes & 0x1F;
            extra = 1;
        } else if ((*bytes & 0xF0) == 0xE0) {
            code = *bytes & 0x0F;
            extra = 2;
        } else if ((*bytes & 0xF8) == 0xF0) {
            code = *bytes & 0x07;
            extra = 3;
        } else {
            return false;
        }
        ++bytes;
        for (int index = 0; index < extra; ++index, ++bytes) {
            if ((*bytes & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (*bytes & 0x3F);
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return true;
}

bool Decode(const char* text, CFStringEncoding encoding, std::u16string& out) {
    if (encoding == kCFStringEncodingUTF8) {
        return DecodeUtf8(text, out);
    }
    for (const auto* bytes = reinterpret_cast<const unsigned char*>(text); *bytes != 0; ++bytes) {
        if (encoding == kCFStringEncodingASCII && *bytes >= 0x80) {
            return false;
        }
        if (encoding == kCFStringEncodingWindowsLatin1 && *bytes >= 0x80 && *bytes < 0xA0) {
            char16_t mapped = kWindowsLatin1High[*bytes - 0x80];
            if (mapped == 0) {
                return false;
            }
            out += mapped;
        } else if (encoding == kCFStringEncodingWindowsLatin1 ||
                   encoding == kCFStringEncodingISOLatin1 || encoding == kCFStringEncodingASCII) {
            out += static_cast<char16_t>(*bytes);
        } else {
            return false;
        }
    }
    return true;
}

bool Encode(const std::u16string& text, CFStringEncoding encoding, std::string& out) {
    for (std::size_t index = 0; index < text.size(); ++index) {
        char32_t code = text[index];
        if (encoding == kCFStringEncodingUTF8) {
            if (code >= 0xD800 && code < 0xDC00 && index + 1 < text.size()) {
                code = 0x10000 + ((code - 0xD800) << 10) + (text[++index] - 0xDC00);
            }
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
            continue;
        }
        if (code < 0x80 || (code < 0x100 && encoding != kCFStringEncodingASCII &&
                            (encoding != kCFStringEncodingWindowsLatin1 || code >= 0xA0))) {
            out += static_cast<char>(code);
            continue;
        }
        if (encoding != kCFStringEncodingWindowsLatin1) {
            return false;
        }
        bool found = false;
        for (int high = 0; high < 32 && !found; ++high) {
            if (kWindowsLatin1High[high] == code) {
                out += static_cast<char>(0x80 + high);
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

}  // namespace

CFTypeRef CFRetain(CFTypeRef object) {
    auto* string = const_cast<__CFString*>(static_cast<const __CFString*>(object));
    if (string != nullptr && !string->constant) {
        ++string->references;
    }
    return object;
}

void CFRelease(CFTypeRef object) {
    auto* string = const_cast<__CFString*>(static_cast<const __CFString*>(object));
    if (string != nullptr && !string->constant && --string->references == 0) {
        delete string;
    }
}

CFIndex CFGetRetainCount(CFTypeRef object) {
    return static_cast<const __CFString*>(object)->references;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cString,
                                      CFStringEncoding encoding) {
    if (cString == nullptr) {
        return nullptr;
    }
    std::u16string text;
    if (!Decode(cString, encoding, text)) {
        return nullptr;
    }
    auto* string = new __CFString;
    string->text = std::move(text);
    return string;
}

CFStringRef __CFStringMakeConstantString(const char* cString) {
    static std::mutex mutex;
    static auto* constants = new std::map<std::string, __CFString*>;
    std::lock_guard lock(mutex);
    auto& entry = (*constants)[cString];
    if (entry == nullptr) {
        entry = new __CFString;
        DecodeUtf8(cString, entry->text);
        entry->constant = true;
    }
    return entry;
}

CFIndex CFStringGetLength(CFStringRef string) {
    return static_cast<CFIndex>(string->text.size());
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    std::string encoded;
    if (string == nullptr || buffer == nullptr || !Encode(string->text, encoding, encoded) ||
        static_cast<CFIndex>(encoded.size()) + 1 > bufferSize) {
        return false;
    }
    std::memcpy(buffer, encoded.c_str(), encoded.size() + 1);
    return true;
}

CFStringEncoding CFStringGetSystemEncoding() {
    return kCFStringEncodingUTF8;
}

Boolean CFEqual(CFTypeRef first, CFTypeRef second) {
    return first == second || (first != nullptr && second != nullptr &&
                               static_cast<const __CFString*>(first)->text ==
                                   static_cast<const __CFString*>(second)->text);
}
