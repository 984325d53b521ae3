// Conversion between 8-bit text in the encodings this layer knows and UTF-16.
#ifndef KA_PLATFORM_CFSTRINGENCODINGCONVERSION_H
#define KA_PLATFORM_CFSTRINGENCODINGCONVERSION_H

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace kaplatform::cf {

// Nothing when the bytes are not valid text in the encoding or the encoding is unknown.
std::optional<std::u16string> DecodeText(std::string_view bytes, CFStringEncoding encoding);
// Nothing when a character has no representation in the encoding (or the UTF-16 is broken).
std::optional<std::string> EncodeText(const std::u16string& text, CFStringEncoding encoding);
bool IsKnownEncoding(CFStringEncoding encoding);

}  // namespace kaplatform::cf

#endif
