// The built-in images as byte spans, for tests that look at them the way the updater does.
#ifndef KA_TESTS_BUILTINIMAGES_H
#define KA_TESTS_BUILTINIMAGES_H

#include <MacTypes.h>

#include <span>
#include <string_view>

#include "KaXilinx.h"
#include "Ka_MCORE.h"

namespace katest {

inline std::span<const UInt8> XilinxFile() {
    return {reinterpret_cast<const UInt8*>(KaXilinxData), KaXilinxDataSizeBytes};
}

// The whole array, the padding after the file included.
inline std::span<const UInt8> XilinxArray() {
    return {reinterpret_cast<const UInt8*>(KaXilinxData), sizeof KaXilinxData};
}

inline std::span<const UInt8> McoreFile() {
    return {reinterpret_cast<const UInt8*>(KaMCORE06data), KaMCORE06dataSize};
}

inline std::string_view McoreText() {
    return {reinterpret_cast<const char*>(KaMCORE06data), KaMCORE06dataSize};
}

}  // namespace katest

#endif
