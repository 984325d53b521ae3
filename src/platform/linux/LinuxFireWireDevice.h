// One FireWire node reached through its /dev/fwN character device.
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIREDEVICE_H
#define KA_PLATFORM_LINUX_LINUXFIREWIREDEVICE_H

#include "FireWireBackend.h"
#include "LinuxSystem.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kaplatform {

class LinuxFireWireDevice final : public FireWireDevice {
  public:
    // guid: the node's GUID when the unit was looked up. Opening checks it against the
    // node behind the device file, so that a node number the kernel handed to another
    // device after an unplug is never talked to as ours.
    LinuxFireWireDevice(std::shared_ptr<LinuxSystem> system, std::string devicePath,
                        std::uint64_t guid);
    ~LinuxFireWireDevice() override;

    LinuxFireWireDevice(const LinuxFireWireDevice&) = delete;
    LinuxFireWireDevice& operator=(const LinuxFireWireDevice&) = delete;

    IOReturn Open() override;
    void Close() override;
    IOReturn GetBusGeneration(std::uint32_t& generation) override;

    IOReturn Read(const FireWireTarget& target, void* buffer, std::uint32_t& size, bool failOnReset,
                  std::uint32_t generation) override;
    IOReturn ReadQuadlet(const FireWireTarget& target, std::uint32_t& value, bool failOnReset,
                         std::uint32_t generation) override;
    IOReturn Write(const FireWireTarget& target, const void* buffer, std::uint32_t& size,
                   bool failOnReset, std::uint32_t generation) override;
    IOReturn WriteQuadlet(const FireWireTarget& target, std::uint32_t value, bool failOnReset,
                          std::uint32_t generation) override;

  private:
    struct Request {
        std::uint32_t transactionCode;
        std::uint64_t offset;
        const void* payload;          // outgoing bytes of a write, else null
        std::uint32_t length;         // bytes written or asked for
        void* responseBuffer;         // where a read's bytes go, else null
        std::uint32_t delivered = 0;  // bytes a read brought back
    };

    IOReturn QueryBusInfo(int fileDescriptor, bool checkIdentity);
    IOReturn Transfer(const FireWireTarget& target, Request& request, bool failOnReset,
                      std::uint32_t generation);
    IOReturn SendAndAwait(Request& request, std::uint32_t generation);
    IOReturn DrainPendingEvents();
    // Reads one event; on a response to closure, stores its rcode and payload in request.
    enum class EventResult { Other, Response, Failed };
    EventResult ReadEvent(std::uint64_t closure, Request* request, std::uint32_t& responseCode,
                          IOReturn& failure);

    std::shared_ptr<LinuxSystem> system_;
    std::string devicePath_;
    std::uint64_t guid_;
    int fileDescriptor_ = -1;
    std::uint32_t generation_ = 0;
    std::uint64_t nextClosure_ = 1;
    std::vector<std::uint64_t> eventBuffer_;
};

}  // namespace kaplatform

#endif
