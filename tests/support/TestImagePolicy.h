// The test programs stand in for both executables. Unless a test says otherwise they install
// the built-in images, as the simulator does; while a ScopedFirmwareChoice lives they hold
// the release it chose, as the executable they stand for would at start.
#ifndef KA_TESTS_TESTIMAGEPOLICY_H
#define KA_TESTS_TESTIMAGEPOLICY_H

#include "KaFirmware.h"

#include <optional>

namespace katest {

class ScopedFirmwareChoice {
  public:
    explicit ScopedFirmwareChoice(KaFirmwareRule rule,
                                  const std::optional<KaFirmwareFolder>& folder = std::nullopt);
    ~ScopedFirmwareChoice();
    ScopedFirmwareChoice(const ScopedFirmwareChoice&) = delete;
    ScopedFirmwareChoice& operator=(const ScopedFirmwareChoice&) = delete;
};

// The hardware updater's choice with no firmware folder on the system.
class ScopedHardwareImagePolicy : public ScopedFirmwareChoice {
  public:
    ScopedHardwareImagePolicy() : ScopedFirmwareChoice(KaFirmwareRule::KaFirmwareOnly) {}
};

}  // namespace katest

#endif
