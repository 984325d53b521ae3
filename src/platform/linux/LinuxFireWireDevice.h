// One FireWire node reached through its /dev/fwN character device.
#ifndef KA_PLATFORM_LINUX_LINUXFIREWIREDEVICE_H
#define KA_PLATFORM_LINUX_LINUXFIREWIREDEVICE_H

#include "FireWireBackend.h"
#include "LinuxFireWireRetryPolicy.h"
#include "LinuxSystem.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kaplatform {

class DeviceFileAccess;
class OutstandingRequests;

class LinuxFireWireDevice final : public FireWireDevice {
  public:
    // guid: the node's GUID when the unit was looked up. Opening checks it against the
    // node behind the device file, so that a node number the kernel handed to another
    // device after an unplug is never talked to as ours. policy bounds every resend and
    // every wait of its transfers. access, if given, hears whether
    // the device file could be opened. outstanding, if given, takes the descriptor when the
    // device goes with a request the kernel has not ended, so that nothing waits for it.
    LinuxFireWireDevice(std::shared_ptr<LinuxSystem> system, std::string devicePath,
                        std::uint64_t guid, const LinuxFireWireRetryPolicy& policy,
                        std::shared_ptr<DeviceFileAccess> access = nullptr,
                        std::shared_ptr<OutstandingRequests> outstanding = nullptr);
    ~LinuxFireWireDevice() override;

    LinuxFireWireDevice(const LinuxFireWireDevice&) = delete;
    LinuxFireWireDevice& operator=(const LinuxFireWireDevice&) = delete;

    IOReturn Open() override;
    std::string DeviceFileName() const override { return devicePath_; }
    void Close() override;
    IOReturn GetBusGeneration(std::uint32_t& generation) override;
    void FailFast() override { failFast_ = true; }

    IOReturn Read(const FireWireTarget& target, void* buffer, std::uint32_t& size, bool failOnReset,
                  std::uint32_t generation) override;
    IOReturn ReadQuadlet(const FireWireTarget& target, std::uint32_t& value, bool failOnReset,
                         std::uint32_t generation) override;
    IOReturn Write(const FireWireTarget& target, const void* buffer, std::uint32_t& size,
                   bool failOnReset, std::uint32_t generation) override;
    IOReturn WriteQuadlet(const FireWireTarget& target, std::uint32_t value, bool failOnReset,
                          std::uint32_t generation) override;
    std::uint32_t GenerationSentIn() const override { return generationSentIn_; }

  private:
    struct Request {
        std::uint32_t transactionCode;
        std::uint64_t offset;
        const void* payload;                          // outgoing bytes of a write, else null
        std::uint32_t length;                         // bytes written or asked for
        void* responseBuffer;                         // where a read's bytes go, else null
        std::uint32_t delivered = 0;                  // bytes a read brought back
        std::optional<std::uint32_t> responseCode{};  // the kernel's answer to the last send
        // The last send left the kernel and has had no answer yet: the unit may hold it.
        bool outstanding = false;

        bool IsWrite() const { return payload != nullptr; }
    };

    // Opens path and checks that the node behind it is still ours.
    IOReturn OpenDescriptor(const std::string& path, int& fileDescriptor);
    // Opens path as OpenDescriptor does and takes the lock on it. With lostGeneration, a
    // node that still reports that generation is the lost one and is not taken.
    IOReturn OpenLocked(const std::string& path, int& fileDescriptor,
                        std::optional<std::uint32_t> lostGeneration = std::nullopt);
    // Until a send names one, the generation a request would go in.
    void NameGenerationSentIn(bool failOnReset, std::uint32_t generation) {
        generationSentIn_ = failOnReset ? generation : generation_;
    }
    // Gives the held descriptor and its lock back.
    void ReleaseDescriptor();
    // The node went away under us: looks for our GUID on the bus again (the kernel makes the
    // node anew, under the same device file or another one) until the policy's
    // nodeSearchDeadline, and holds it, locked, in place of the old one.
    IOReturn FindNodeAgain();
    IOReturn QueryBusInfo(int fileDescriptor, bool checkIdentity);
    IOReturn Transfer(const FireWireTarget& target, Request& request, bool failOnReset,
                      std::uint32_t generation);
    IOReturn TransferOnThisNode(Request& request, bool failOnReset, std::uint32_t generation);
    // One send and a short wait for its answer, for a caller that may not be held.
    IOReturn TransferFailingFast(Request& request, bool failOnReset, std::uint32_t generation);
    IOReturn SendAndAwait(Request& request, std::uint32_t generation);
    IOReturn DrainPendingEvents();
    // Until the kernel reports a generation other than stale, or until deadline; ENODEV
    // when the node was shut down meanwhile. revived: the newer generation came after the
    // stale one stood still longer than a reset takes (the kernel had marked the node gone:
    // it left the bus and came back).
    IOReturn AwaitNewerGeneration(std::uint32_t stale,
                                  std::chrono::steady_clock::time_point deadline, bool& revived);
    // Lets time pass while taking in what arrives on the descriptor meanwhile.
    IOReturn Pause(std::chrono::milliseconds duration);
    IOReturn WaitForEvent(std::chrono::milliseconds longest);
    // One "FireWire: " line, heard by the observer as well (BusEventLog.h).
    void LogBusEvent(std::string_view what) const;
    // A write the unit may have carried out: never sent again, said once, left to the caller.
    IOReturn WriteMayHaveBeenTaken(const std::string& what) const;
    // For a write whose answer says the unit may have carried it out (a lost or refused
    // answer, no ack, or none in time), what the transfer ends with; nothing for the rest.
    std::optional<IOReturn> WriteVerdict(const Request& request, IOReturn status,
                                         std::uint32_t sentIn) const;
    // Reads one event; on a response to closure, stores its rcode and payload in request.
    enum class EventResult { Other, Response, Failed };
    EventResult ReadEvent(std::uint64_t closure, Request* request, std::uint32_t& responseCode,
                          IOReturn& failure);

    std::shared_ptr<LinuxSystem> system_;
    std::string devicePath_;
    std::uint64_t guid_;
    const LinuxFireWireRetryPolicy policy_;
    std::shared_ptr<DeviceFileAccess> access_;
    std::shared_ptr<OutstandingRequests> outstanding_;
    bool failFast_ = false;
    // Held, locked, from the first Open until the object goes: Close only ends the caller's
    // use, so that between the images of an update no other program can take the unit and a
    // withdrawn permission cannot keep the next image out.
    int fileDescriptor_ = -1;
    bool open_ = false;
    // A write has been carried out since the last Open: a unit that leaves the bus now loses
    // something it was given.
    bool wroteSinceOpen_ = false;
    std::uint32_t generation_ = 0;
    // What the last transfer's last send named to the kernel (GenerationSentIn).
    std::uint32_t generationSentIn_ = 0;
    // A bus-reset event was read and GET_INFO not asked since.
    bool busResetSeen_ = false;
    std::uint64_t nextClosure_ = 1;
    // Requests we stopped waiting for that the kernel has not ended yet: closing the
    // descriptor would wait for them.
    std::vector<std::uint64_t> unanswered_;
    std::vector<std::uint64_t> eventBuffer_;
};

}  // namespace kaplatform

#endif
