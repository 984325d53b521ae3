// The test programs stand in for both executables. Unless a test says otherwise they install
// the built-in images, as the simulator does; while a ScopedHardwareImagePolicy lives they
// answer as the hardware updater does, which installs only the Ka's firmware.
#ifndef KA_TESTS_TESTIMAGEPOLICY_H
#define KA_TESTS_TESTIMAGEPOLICY_H

namespace katest {

class ScopedHardwareImagePolicy {
  public:
    ScopedHardwareImagePolicy();
    ~ScopedHardwareImagePolicy();
    ScopedHardwareImagePolicy(const ScopedHardwareImagePolicy&) = delete;
    ScopedHardwareImagePolicy& operator=(const ScopedHardwareImagePolicy&) = delete;
};

}  // namespace katest

#endif
