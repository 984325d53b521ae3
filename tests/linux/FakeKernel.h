// A stand-in for the kernel's firewire-cdev devices, behind the backend's system-call seam.
// Requests sent to a node are carried out on any kaplatform::FireWireDevice (a register
// model) and answered with response events, as the kernel would; faults are injected per
// request, and the kernel's timing runs on virtual time. Sysfs is a real directory tree (see
// SysfsTree).
#ifndef KA_TESTS_LINUX_FAKEKERNEL_H
#define KA_TESTS_LINUX_FAKEKERNEL_H

#include "FireWireBackend.h"
#include "LinuxSystem.h"

#include <linux/firewire-constants.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
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

// The kernel's firewire core and OHCI driver as a client of /dev/fwN sees them, on virtual
// time: nothing happens between calls, and time passes only when the client waits in poll
// (or a test advances it). So windows that last milliseconds on a real bus are met exactly
// as often as the client's waiting lets them be, whatever the speed of the machine.
//
// What is modelled, after drivers/firewire/{core-cdev,core-transaction,core-device,ohci}.c:
// - A bus reset flushes the request in flight with RCODE_GENERATION at once, and the card
//   takes the new generation; the device's generation, which GET_INFO reports, follows only
//   a reset window later, and the bus-reset event is queued (filled with the generation
//   current then) an event delay after that. A request sent with the old generation meanwhile
//   is flushed again.
// - Busy acks come back as RCODE_BUSY; the request did not reach the unit.
// - The split time-out (2 s by default, at most 3 s) runs from the ack: a unit slower than
//   that gets RCODE_CANCELLED, and its late answer is dropped.
// - A request the unit acked "pending" stays on the card's list through a bus reset; the
//   unit's answer, sent under its old node ID, matches nothing, and the split time-out ends
//   the request with RCODE_CANCELLED while GET_INFO already reports the newer generation.
// - A node that leaves the bus (or that two quick resets make the core drop) leaves its
//   device gone: it still opens, GET_INFO reports the generation it was lost in, requests
//   carry a generation the bus left, and no bus-reset events come. The device is shut down
//   (ENODEV, hang-up, its device file and number freed) once the bus has been free of
//   resets for 2 s. A node that comes back has its ROM read 500 ms after its reset, 3 s
//   more per failed read; if the old device is still gone then (and the ROM's first
//   quadlets are the same), the old device is revived under its device file and its
//   descriptors go on in the new generation; otherwise a new device takes the lowest free
//   number, most often the old one's: /dev/fw1 again, with a new inode.
// - A unit may take a request and still not answer "complete": its answer lost to a reset
//   (ResetWhilePending), its own refusal with a data error (ResponseCode, taken), or the node
//   gone while the request was outstanding (GoneWhileOutstanding, taken). A damaged packet
//   (ResponseCode, not taken) looks the same to the client as the refusal.
// - close() waits for the descriptor's outstanding transactions to end.
// - read() of a live device with no event queued would block (the kernel's read ignores
//   O_NONBLOCK): the fake answers EAGAIN and counts it (BlockingReadCount).
// - flock() is per open descriptor; any number of descriptors may open a node. Another
//   program's lock may show in /proc/locks.
// - A response of up to 4 bytes is queued as the 24-byte structure followed by a copy of
//   the data (which also sits at the data member), longer ones as the structure and data.
class FakeKernel final : public kaplatform::LinuxSystem {
  public:
    using Duration = std::chrono::microseconds;

    static constexpr Duration kDefaultResetWindow{2000};
    static constexpr Duration kDefaultEventDelay{100};
    static constexpr Duration kDefaultSplitTimeout{2'000'000};
    static constexpr Duration kLargestSplitTimeout{3'000'000};
    // From sending a request to its ack, when the split time-out starts.
    static constexpr Duration kAckDelay{20};

    explicit FakeKernel(std::filesystem::path sysfsRoot) : sysfsRoot_(std::move(sysfsRoot)) {}

    // Makes devicePath a node whose transactions the register model carries out.
    void AttachNode(const std::string& devicePath, kaplatform::FireWireDevice& registers,
                    std::uint64_t guid = kKaGuid);

    // What happens to a request instead of a plain answer from the register model.
    struct Fault {
        enum class Kind {
            ResponseCode,           // answer with responseCode; taken: the unit carried the
                                    // request out first and answered so itself (a refusal),
                                    // else the registers are not touched (a damaged packet)
            NoResponse,             // the kernel never reports anything (a kernel bug)
            LateResponse,           // the answer comes, but only after the next request's
            BusResetBeforeSend,     // a bus reset flushes the request before the unit saw it
            BusResetAfterDelivery,  // the unit took the request, the reset's flush reports
                                    // it as flushed all the same
            SlowResponse,           // the unit answers after delay (split time-out applies)
            Unplug,                 // the device goes away while the request is outstanding
            OversizedResponse,      // the answer carries more bytes than were asked for
            ShortResponse,          // the answer carries fewer bytes than were asked for
            ResetWhilePending,      // the unit acks "pending", a bus reset (after delay)
                                    // renumbers the bus, its answer no longer matches and
                                    // the split time-out cancels the request; taken: the
                                    // unit did carry it out
            NodeRecreated,          // two quick resets make the kernel drop the node; see
                                    // PlanNodeRecreation for what follows
            GoneWhileOutstanding,   // the unit acks "pending" and leaves the bus: the split
                                    // time-out cancels the request, the device is shut down
                                    // 2 s after the reset unless revived; taken: it carried
                                    // the request out first. With a planned recreation the
                                    // unit comes back after delay
            LeavesBus,              // the unit leaves the bus as the request goes: its reset
                                    // flushes the request; with a planned recreation the unit
                                    // comes back after delay
        };
        Kind kind;
        std::uint32_t responseCode = 0;
        Duration delay{0};   // SlowResponse, ResetWhilePending, GoneWhileOutstanding, LeavesBus
        bool taken = false;  // ResponseCode, ResetWhilePending, GoneWhileOutstanding
    };
    // Faults for the next requests, in order.
    void InjectFault(Fault fault) { faults_.push_back(fault); }
    void InjectResponseCode(std::uint32_t responseCode) {
        InjectFault({Fault::Kind::ResponseCode, responseCode});
    }
    void InjectBusy(int answers) {
        for (int answer = 0; answer < answers; ++answer) {
            InjectResponseCode(RCODE_BUSY);
        }
    }
    // Asked about every request that finds no injected fault waiting (count: requests the
    // kernel received before this one, on any node).
    using FaultPicker = std::function<std::optional<Fault>(const SentRequest&, std::size_t count)>;
    void PickFaults(FaultPicker picker) { picker_ = std::move(picker); }

    // How the unit comes back after a NodeRecreated fault, or after leaving the bus (LeaveBus
    // with a return, GoneWhileOutstanding, LeavesBus): its ROM is read kInitialDelay after
    // its reset, plus kRetryDelay per failed read. A device still gone then is revived under
    // its device file, unless the ROM changed (its first six quadlets differ); otherwise the
    // unit is a new device at the lowest free number. onShutdown (the old device went) and
    // onCreated (the new device's number) let the test change sysfs as the kernel would;
    // onLeft, the unit's own side of leaving the bus (a unit switched off or unplugged loses
    // an update in progress).
    struct NodeRecreation {
        int failedRomReads = 0;
        std::function<void()> onShutdown;
        std::function<void(int node)> onCreated;
        bool romChanged = false;
        std::function<void()> onLeft = {};
    };
    void PlanNodeRecreation(NodeRecreation recreation) { recreation_ = std::move(recreation); }
    static constexpr Duration kInitialDelay{500'000};
    static constexpr Duration kRetryDelay{3'000'000};
    static constexpr Duration kShutdownDelay{2'000'000};

    // The node leaves the bus (unplugged, switched off): a bus reset, and the core marks its
    // device gone (GET_INFO keeps the generation it had, so its requests carry one the bus
    // left) and shuts it down once the bus has been quiet for kShutdownDelay (ENODEV,
    // hang-up). Sysfs still lists it meanwhile unless the test says otherwise. With backAfter
    // it comes back then, as the planned recreation says.
    void LeaveBus(const std::string& devicePath, std::optional<Duration> backAfter = std::nullopt);

    // A bus that resets again and again: every request sent meets a fresh reset.
    void KeepResetting(bool resetting) { keepResetting_ = resetting; }

    // Timing.
    void SetResetWindow(Duration window) { resetWindow_ = window; }
    void SetEventDelay(Duration delay) { eventDelay_ = delay; }
    // As a node writing the SPLIT_TIMEOUT register would; clamped as the kernel clamps it.
    void SetSplitTimeout(Duration timeout) {
        splitTimeout_ = std::min(timeout, kLargestSplitTimeout);
    }
    // Lets virtual time pass, carrying out what falls due.
    void AdvanceTime(Duration duration);
    Duration Elapsed() const { return now_; }

    // Errors for open(2), by path; ENODEV for the ioctls of an unplugged node.
    void RefuseOpen(const std::string& devicePath, int error) { openErrors_[devicePath] = error; }
    void AllowOpen(const std::string& devicePath) { openErrors_.erase(devicePath); }
    void FailGetInfo(int error) { getInfoError_ = error; }
    void Unplug(const std::string& devicePath) { nodes_.at(devicePath)->unplugged = true; }

    // Another program holding (or letting go of) the node's lock through a descriptor of
    // its own; with a command name, /proc/locks and /proc/<pid>/comm say who. False when
    // the lock is held already, by us.
    bool LockFromAnotherProgram(const std::string& devicePath, int pid = 0,
                                const std::string& command = {});
    void UnlockFromAnotherProgram(const std::string& devicePath);
    // Whether the device now under that name is locked.
    bool IsLocked(const std::string& devicePath) const {
        const auto node = nodes_.find(devicePath);
        return node != nodes_.end() && lockHolders_.contains(node->second.get());
    }

    // A bus reset that starts now; its window and event follow on virtual time.
    void BeginBusReset();
    // A bus reset long enough ago that the core is done with it: the new generation is
    // known and the event queued.
    void BusReset();
    // The generation the card and the bus are in (requests must carry it).
    std::uint32_t Generation() const { return cardGeneration_; }
    // The generation the kernel reports to clients.
    std::uint32_t ReportedGeneration() const { return deviceGeneration_; }

    const std::vector<SentRequest>& Requests() const { return requests_; }
    const std::vector<int>& PollTimeouts() const { return pollTimeouts_; }
    const std::vector<std::string>& OpenedPaths() const { return openedPaths_; }
    const std::vector<int>& OpenFlags() const { return openFlags_; }
    std::uint32_t LastInfoVersion() const { return lastInfoVersion_; }
    int GetInfoCount() const { return getInfoCount_; }
    std::size_t OpenDescriptorCount() const { return descriptors_.size(); }
    int BadCloseCount() const { return badCloses_; }
    // Reads of a live device with no event queued: the kernel's read would block on them.
    int BlockingReadCount() const { return blockingReads_; }
    // Transactions the kernel still owns (sent, neither answered nor cancelled).
    std::size_t OutstandingTransactions() const;
    // How long each close(2) waited for outstanding transactions.
    const std::vector<Duration>& CloseWaits() const { return closeWaits_; }

    // LinuxSystem
    std::filesystem::path SysfsRoot() const override { return sysfsRoot_; }
    std::filesystem::path ProcRoot() const override { return sysfsRoot_ / "proc"; }
    int Stat(const char* path, struct stat& status) override;
    int Open(const char* path, int flags) override;
    int Close(int fileDescriptor) override;
    int Ioctl(int fileDescriptor, unsigned long request, void* argument) override;
    ssize_t Read(int fileDescriptor, void* buffer, std::size_t size) override;
    int Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) override;
    int Flock(int fileDescriptor, int operation) override;
    std::chrono::steady_clock::time_point Now() override;

  private:
    struct Node {
        kaplatform::FireWireDevice* registers;
        std::uint64_t guid;
        bool unplugged = false;
        // Dropped by the core, not yet shut down: GET_INFO reports the generation it had.
        std::optional<std::uint32_t> goneInGeneration;
        std::uint64_t inode = 0;
    };
    struct Descriptor {
        std::string devicePath;  // as opened
        std::shared_ptr<Node> node;
        bool receivesBusResets = false;
        std::deque<std::vector<std::uint8_t>> events;
    };
    // Something the kernel does later on its own: a response arriving, a split time-out,
    // the end of a reset window.
    struct Happening {
        Duration at;
        std::uint64_t order;
        int transactionOf;  // the descriptor whose transaction this ends, or -1
        std::function<void()> action;
    };

    int GetInfo(Descriptor& descriptor, void* argument);
    void DropNode(const std::shared_ptr<Node>& node);
    void Leave(const std::shared_ptr<Node>& node, std::optional<Duration> backAfter);
    void MarkGone(const std::shared_ptr<Node>& node, NodeRecreation plan);
    void ScheduleShutdown(const std::shared_ptr<Node>& node, Duration at, NodeRecreation plan);
    // ownReset: the node's return is a reset of its own (else one already begun has it).
    void ComeBack(const std::shared_ptr<Node>& old, Duration at, NodeRecreation plan,
                  bool ownReset);
    // When a fault's unit comes back: only with a planned recreation.
    std::optional<Duration> ReturnOf(const Fault& fault) const;
    int SendRequest(int fileDescriptor, Descriptor& descriptor, const void* argument);
    std::vector<std::uint8_t> Answer(Node& node, const SentRequest& request, std::uint64_t closure);
    static std::vector<std::uint8_t> ResponseEvent(std::uint64_t closure,
                                                   std::uint32_t responseCode,
                                                   const std::vector<std::uint8_t>& data);
    std::vector<std::uint8_t> BusResetEvent(std::uint32_t generation) const;
    void Schedule(Duration at, int transactionOf, std::function<void()> action);
    void QueueEvent(int fileDescriptor, std::vector<std::uint8_t> event);
    // Carries out everything due by now_; the earliest pending happening's time.
    void RunDue();
    std::optional<Duration> NextHappening() const;
    int ReadyDescriptors(pollfd* descriptors, nfds_t count);

    std::filesystem::path sysfsRoot_;
    // The device under each device file; descriptors keep theirs when the name passes on.
    std::map<std::string, std::shared_ptr<Node>> nodes_;
    std::map<int, Descriptor> descriptors_;
    std::map<std::string, int> openErrors_;
    std::map<const Node*, int> lockHolders_;
    std::optional<int> getInfoError_;
    std::deque<Fault> faults_;
    FaultPicker picker_;
    bool keepResetting_ = false;
    std::optional<NodeRecreation> recreation_;
    std::uint64_t nextInode_ = 1043;
    std::optional<std::vector<std::uint8_t>> heldResponse_;
    std::uint32_t cardGeneration_ = 7;
    std::uint32_t deviceGeneration_ = 7;
    Duration now_{0};
    Duration lastReset_{0};  // when the core was last done with a reset
    Duration resetWindow_ = kDefaultResetWindow;
    Duration eventDelay_ = kDefaultEventDelay;
    Duration splitTimeout_ = kDefaultSplitTimeout;
    std::vector<Happening> happenings_;
    std::uint64_t nextOrder_ = 0;
    int nextDescriptor_ = 3;
    std::vector<SentRequest> requests_;
    std::vector<int> pollTimeouts_;
    std::vector<std::string> openedPaths_;
    std::vector<int> openFlags_;
    std::vector<Duration> closeWaits_;
    std::uint32_t lastInfoVersion_ = 0;
    int getInfoCount_ = 0;
    int badCloses_ = 0;
    int blockingReads_ = 0;
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
    std::uint32_t GenerationSentIn() const override { return 0; }

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
    // The host controller's own node (is_local 1).
    void AddLocalNode(int node, std::uint64_t guid);
    // An attribute left out is not created.
    void AddUnit(int node, int unit, std::optional<std::string> specifierId,
                 std::optional<std::string> version);
    void AddKa(int node, int unit = 0, std::uint64_t guid = kKaGuid);
    // The node and its units leave the tree.
    void RemoveNode(int node);
    std::filesystem::path UnitDirectory(int node, int unit) const;
    std::filesystem::path BusDirectory() const;

  private:
    std::filesystem::path NodeDirectory(int node) const;

    std::filesystem::path root_;
};

}  // namespace katest

#endif
