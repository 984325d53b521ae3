// A Ka at fw1.0 (node /dev/fw1) on the fake kernel, its device interface created but not
// opened. The register model behind the node is the one line to change for another one.
#ifndef KA_TESTS_LINUX_KAONBUS_H
#define KA_TESTS_LINUX_KAONBUS_H

#include "FakeKernel.h"
#include "LinuxFireWireBackend.h"

#include <gtest/gtest.h>

namespace katest {

class KaOnBus : public testing::Test {
  protected:
    KaOnBus() {
        sysfs.AddKa(1);
        kernel->AttachNode("/dev/fw1", registers);
        EXPECT_EQ(backend->CreateDevice("fw1.0", device), kIOReturnSuccess);
    }

    SysfsTree sysfs;
    RegisterStore registers;
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>(sysfs.Root());
    std::shared_ptr<kaplatform::FireWireBackend> backend =
        kaplatform::MakeLinuxFireWireBackend(kernel);
    std::unique_ptr<kaplatform::FireWireDevice> device;
};

}  // namespace katest

#endif
