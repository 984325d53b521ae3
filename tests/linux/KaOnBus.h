// A Ka at fw1.0 (node /dev/fw1) on the fake kernel, its device interface created but not
// opened, the backend made with the program's retry policy. The register model behind the
// node is the one line to change for another one.
#ifndef KA_TESTS_LINUX_KAONBUS_H
#define KA_TESTS_LINUX_KAONBUS_H

#include "FakeKernel.h"
#include "LinuxFireWireBackend.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace katest {

using kaplatform::FireWireTarget;
using Bytes = std::vector<std::uint8_t>;

// The retry policy the program runs with: the tests read their bounds from it.
inline constexpr const kaplatform::LinuxFireWireRetryPolicy& kPolicy =
    kaplatform::kDefaultLinuxFireWireRetryPolicy;

// Two of the unit's addresses, addressed relative to the device as the program does: a
// quadlet register and the block data window.
inline constexpr std::uint64_t kStatusRegister = 0xFFFF'F043'0004ull;
inline constexpr std::uint64_t kDataWindow = 0xFFFF'F043'0020ull;
inline constexpr FireWireTarget kStatus{true, 0, kStatusRegister};
inline constexpr FireWireTarget kData{true, 0, kDataWindow};

class KaOnBus : public testing::Test {
  protected:
    KaOnBus() {
        sysfs.AddKa(1);
        kernel->AttachNode("/dev/fw1", registers);
        EXPECT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnSuccess);
    }
    ~KaOnBus() override {
        EXPECT_EQ(kernel->BlockingReadCount(), 0) << "a read the kernel would have blocked";
    }

    SysfsTree sysfs;
    RegisterStore registers;
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>(sysfs.Root());
    std::shared_ptr<kaplatform::FireWireBackend> backend =
        kaplatform::MakeLinuxFireWireBackend(kernel, kPolicy);
    std::unique_ptr<kaplatform::FireWireDevice> device;
};

}  // namespace katest

#endif
