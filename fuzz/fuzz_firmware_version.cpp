// A firmware folder's version file: any text is refused with a reason, or taken only when it
// is exactly the version it gives written back, with or without its line end.
#include "firmware/FirmwareImageCheck.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string defect;
    const std::optional<kafirmware::FirmwareVersion> version =
        kafirmware::ParseVersionText(text, defect);
    if (!version) {
        if (defect.empty()) {
            std::abort();
        }
        return 0;
    }
    const std::string written =
        std::to_string(version->mcore) + "-" + std::to_string(version->xilinx);
    if (version->mcore > 65535 || version->xilinx > 65535 ||
        (text != written && text != written + "\n")) {
        std::abort();
    }
    return 0;
}
