// A stand-in for the kernel's firewire-cdev devices, behind the backend's system-call seam.
// Requests sent to a node are carried out on any kaplatform::FireWireDevice (a register
// model) and answered with response events, as the kernel would; faults are injected per
// request. Sysfs is a real directory tree (see SysfsTree).
#ifndef KA_TESTS_LINUX_FAKEKERNEL_H
#define KA_TESTS_LINUX_FAKEKERNEL_H

#include "FireWireBackend.h"
#include "LinuxSystem.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace katest {

inline constexpr std::uint64_t kKaGuid = 0x0001F2000012ABCDull;

// One SEND_REQUEST as the kernel received it.
struct SentRequest {
    std::string devicePath;
    std::uint32_t transactionCode = 0;
    std::uint32_t length = 0;
    std::uint64_t offset = 0;
    std::uint32_t generation = 0;
    std::vector<std::uint8_t> payload;  // outgoing bytes of a write
};

class FakeKernel final : public kaplatform::LinuxSystem {
  public:
    explicit FakeKernel(std::filesystem::path sysfsRoot) : sysfsRoot_(std::move(sysfsRoot)) {}

    // Makes devicePath a node whose transactions the register model carries out.
    void AttachNode(const std::string& devicePath, kaplatform::FireWireDevice& registers,
                    std::uint64_t guid = kKaGuid);

    // What happens to the next requests, in order; requests past the list are answered
    // from the register model.
    struct Fault {
        enum class Kind {
            ResponseCode,        // answer with responseCode, do not touch the registers
            NoResponse,          // the response never comes
            LateResponse,        // the answer comes, but only after the next request's
            BusResetBeforeSend,  // a bus reset flushes the request (GENERATION)
            Unplug,              // the device goes away while the request is outstanding
            OversizedResponse,   // the answer carries more bytes than were asked for
            ShortResponse,       // the answer carries fewer bytes than were asked for
        };
        Kind kind;
        std::uint32_t responseCode = 0;
    };
    void InjectFault(Fault fault) { faults_.push_back(fault); }
    void InjectResponseCode(std::uint32_t responseCode) {
        InjectFault({Fault::Kind::ResponseCode, responseCode});
    }

    // Errors for open(2), by path; ENODEV for the ioctls of an unplugged node.
    void RefuseOpen(const std::string& devicePath, int error) { openErrors_[devicePath] = error; }
    void FailGetInfo(int error) { getInfoError_ = error; }
    void Unplug(const std::string& devicePath) { nodes_.at(devicePath).unplugged = true; }

    // A bus reset: a new generation, announced to every descriptor that asked for info.
    void BusReset();
    std::uint32_t Generation() const { return generation_; }

    const std::vector<SentRequest>& Requests() const { return requests_; }
    const std::vector<int>& PollTimeouts() const { return pollTimeouts_; }
    const std::vector<std::string>& OpenedPaths() const { return openedPaths_; }
    const std::vector<int>& OpenFlags() const { return openFlags_; }
    std::uint32_t LastInfoVersion() const { return lastInfoVersion_; }
    std::size_t OpenDescriptorCount() const { return descriptors_.size(); }
    int BadCloseCount() const { return badCloses_; }

    // LinuxSystem
    std::filesystem::path SysfsRoot() const override { return sysfsRoot_; }
    int Open(const char* path, int flags) override;
    int Close(int fileDescriptor) override;
    int Ioctl(int fileDescriptor, unsigned long request, void* argument) override;
    ssize_t Read(int fileDescriptor, void* buffer, std::size_t size) override;
    int Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) override;

  private:
    struct Node {
        kaplatform::FireWireDevice* registers;
        std::uint64_t guid;
        bool unplugged = false;
    };
    struct Descriptor {
        std::string devicePath;
        bool receivesBusResets = false;
        std::deque<std::vector<std::uint8_t>> events;
    };

    int GetInfo(Descriptor& descriptor, void* argument);
    int SendRequest(Descriptor& descriptor, const void* argument);
    std::vector<std::uint8_t> Answer(Node& node, const SentRequest& request, std::uint64_t closure);
    static std::vector<std::uint8_t> ResponseEvent(std::uint64_t closure,
                                                   std::uint32_t responseCode,
                                                   const std::vector<std::uint8_t>& data);
    std::vector<std::uint8_t> BusResetEvent() const;

    std::filesystem::path sysfsRoot_;
    std::map<std::string, Node> nodes_;
    std::map<int, Descriptor> descriptors_;
    std::map<std::string, int> openErrors_;
    std::optional<int> getInfoError_;
    std::deque<Fault> faults_;
    std::optional<std::vector<std::uint8_t>> heldResponse_;
    std::uint32_t generation_ = 7;
    int nextDescriptor_ = 3;
    std::vector<SentRequest> requests_;
    std::vector<int> pollTimeouts_;
    std::vector<std::string> openedPaths_;
    std::vector<int> openFlags_;
    std::uint32_t lastInfoVersion_ = 0;
    int badCloses_ = 0;
};

// A small register model: byte-addressed memory inside one window of the address space,
// quadlets stored most significant byte first, as on the bus. Reads of addresses never
// written return 0. Addresses outside the window answer with an address error.
class RegisterStore final : public kaplatform::FireWireDevice {
  public:
    static constexpr std::uint64_t kWindowStart = 0xFFFF'F043'0000ull;
    static constexpr std::uint64_t kWindowEnd = 0xFFFF'F043'1000ull;

    void Poke(std::uint64_t offset, std::vector<std::uint8_t> bytes);
    std::vector<std::uint8_t> Peek(std::uint64_t offset, std::size_t length) const;
    // Block reads deliver at most this many bytes.
    void LimitBlockReads(std::uint32_t limit) { blockReadLimit_ = limit; }
    int WriteCount() const { return writes_; }

    IOReturn Open() override { return kIOReturnSuccess; }
    void Close() override {}
    IOReturn GetBusGeneration(std::uint32_t& generation) override {
        generation = 0;
        return kIOReturnSuccess;
    }
    IOReturn Read(const kaplatform::FireWireTarget& target, void* buffer, std::uint32_t& size,
                  bool failOnReset, std::uint32_t generation) override;
    IOReturn ReadQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t& value,
                         bool failOnReset, std::uint32_t generation) override;
    IOReturn Write(const kaplatform::FireWireTarget& target, const void* buffer,
                   std::uint32_t& size, bool failOnReset, std::uint32_t generation) override;
    IOReturn WriteQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t value,
                          bool failOnReset, std::uint32_t generation) override;

  private:
    static bool InWindow(std::uint64_t offset, std::size_t length);

    std::map<std::uint64_t, std::uint8_t> memory_;
    std::uint32_t blockReadLimit_ = 0xFFFFFFFFu;
    int writes_ = 0;
};

// A sysfs tree in a fresh temporary directory, laid out as the kernel does: nodes and
// units in the device tree, links to them in bus/firewire/devices.
class SysfsTree {
  public:
    SysfsTree();
    ~SysfsTree();
    SysfsTree(const SysfsTree&) = delete;
    SysfsTree& operator=(const SysfsTree&) = delete;

    const std::filesystem::path& Root() const { return root_; }

    void AddNode(int node, std::uint64_t guid = kKaGuid);
    // An attribute left out is not created.
    void AddUnit(int node, int unit, std::optional<std::string> specifierId,
                 std::optional<std::string> version);
    void AddKa(int node, int unit = 0, std::uint64_t guid = kKaGuid);
    std::filesystem::path UnitDirectory(int node, int unit) const;
    std::filesystem::path BusDirectory() const;

  private:
    std::filesystem::path NodeDirectory(int node) const;

    std::filesystem::path root_;
};

}  // namespace katest

#endif
