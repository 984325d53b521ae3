#include "FakeKernel.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <endian.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <tuple>

namespace katest {
namespace {

namespace fs = std::filesystem;

template <typename Pointer>
Pointer* FromUser(std::uint64_t address) {
    return reinterpret_cast<Pointer*>(static_cast<std::uintptr_t>(address));
}

// How the kernel would report what the register model answered.
std::uint32_t ResponseCodeOf(IOReturn status) {
    if (status == kIOReturnSuccess) {
        return RCODE_COMPLETE;
    }
    for (const std::uint32_t code :
         {RCODE_CONFLICT_ERROR, RCODE_DATA_ERROR, RCODE_TYPE_ERROR, RCODE_ADDRESS_ERROR}) {
        if (status == kIOFireWireResponseBase + static_cast<IOReturn>(code)) {
            return code;
        }
    }
    if (status == kIOReturnBusy) {
        return RCODE_BUSY;
    }
    if (status == kIOReturnTimeout) {
        return RCODE_CANCELLED;
    }
    if (status == kIOReturnNotResponding) {
        return RCODE_NO_ACK;
    }
    if (status == kIOFireWireBusReset) {
        return RCODE_GENERATION;
    }
    return RCODE_SEND_ERROR;
}

void WriteFile(const fs::path& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary);
    file << contents;
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string HexAttribute(const char* format, std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

// ---- FakeKernel

void FakeKernel::AttachNode(const std::string& devicePath, kaplatform::FireWireDevice& registers,
                            std::uint64_t guid) {
    nodes_[devicePath] =
        std::make_shared<Node>(Node{&registers, guid, false, std::nullopt, nextInode_++});
}

int FakeKernel::Stat(const char* path, struct stat& status) {
    const auto node = nodes_.find(path);
    if (node == nodes_.end()) {
        return -ENOENT;
    }
    status = {};
    status.st_dev = makedev(0, 5);  // devtmpfs
    status.st_ino = node->second->inode;
    status.st_mode = S_IFCHR | 0600;
    return 0;
}

void FakeKernel::MarkGone(const std::shared_ptr<Node>& node, NodeRecreation plan) {
    node->goneInGeneration = deviceGeneration_;
    // The core destroys the node once the self-IDs of the reset are in, and schedules the
    // device's shutdown from there.
    ScheduleShutdown(node, now_ + resetWindow_ + kShutdownDelay, std::move(plan));
}

void FakeKernel::ScheduleShutdown(const std::shared_ptr<Node>& node, Duration at,
                                  NodeRecreation plan) {
    Schedule(at, -1, [this, node, plan] {
        if (!node->goneInGeneration || node->unplugged) {
            return;  // revived meanwhile
        }
        // fw_device_shutdown waits until the bus has been quiet for the whole delay: every
        // reset (the node coming back is one) puts it off.
        if (now_ < lastReset_ + kShutdownDelay) {
            ScheduleShutdown(node, now_ + kShutdownDelay, plan);
            return;
        }
        node->unplugged = true;
        // The device and its device file go; its number is free for the next device. Another
        // program's lock stays with the old inode, which nothing can open any more.
        std::erase_if(nodes_, [&node](const auto& entry) { return entry.second == node; });
        std::erase_if(lockHolders_, [&node](const auto& entry) {
            return entry.first == node.get() && entry.second == -1;
        });
        if (plan.onShutdown) {
            plan.onShutdown();
        }
    });
}

void FakeKernel::ComeBack(const std::shared_ptr<Node>& old, Duration at, NodeRecreation plan,
                          bool ownReset) {
    // The node's return is a bus reset; the core reads its ROM kInitialDelay after the reset
    // is done, and kRetryDelay later for each read that fails.
    if (ownReset) {
        Schedule(at, -1, [this] { BeginBusReset(); });
    }
    const Duration read = at + resetWindow_ + kInitialDelay + plan.failedRomReads * kRetryDelay;
    Schedule(read, -1, [this, old, plan] {
        if (old->goneInGeneration && !old->unplugged && !plan.romChanged) {
            // The ROM matches the gone device's: it lives on under its device file, in the
            // bus's generation, and its clients hear of the reset.
            old->goneInGeneration.reset();
            for (auto& [number, descriptor] : descriptors_) {
                if (descriptor.node == old && descriptor.receivesBusResets) {
                    descriptor.events.push_back(BusResetEvent(deviceGeneration_));
                }
            }
            return;
        }
        // A new device, numbered as idr_alloc does: the lowest number free (0 is the local
        // node's), most often the one the old device had.
        int number = 1;
        while (nodes_.contains("/dev/fw" + std::to_string(number))) {
            ++number;
        }
        nodes_["/dev/fw" + std::to_string(number)] = std::make_shared<Node>(
            Node{old->registers, old->guid, false, std::nullopt, nextInode_++});
        if (plan.onCreated) {
            plan.onCreated(number);
        }
    });
}

void FakeKernel::DropNode(const std::shared_ptr<Node>& node) {
    const NodeRecreation plan = recreation_.value_or(NodeRecreation{});
    recreation_.reset();
    MarkGone(node, plan);
    // The second of the two resets has the node again.
    ComeBack(node, now_, plan, false);
}

void FakeKernel::LeaveBus(const std::string& devicePath, std::optional<Duration> backAfter) {
    Leave(nodes_.at(devicePath), backAfter);
}

void FakeKernel::Leave(const std::shared_ptr<Node>& node, std::optional<Duration> backAfter) {
    const NodeRecreation plan = recreation_.value_or(NodeRecreation{});
    recreation_.reset();
    if (plan.onLeft) {
        plan.onLeft();
    }
    MarkGone(node, plan);
    BeginBusReset();
    if (backAfter) {
        ComeBack(node, now_ + *backAfter, plan, true);
    }
}

void FakeKernel::Schedule(Duration at, int transactionOf, std::function<void()> action) {
    happenings_.push_back({at, nextOrder_++, transactionOf, std::move(action)});
}

void FakeKernel::QueueEvent(int fileDescriptor, std::vector<std::uint8_t> event) {
    // A descriptor closed meanwhile takes nothing any more.
    if (const auto found = descriptors_.find(fileDescriptor); found != descriptors_.end()) {
        found->second.events.push_back(std::move(event));
    }
}

std::optional<FakeKernel::Duration> FakeKernel::NextHappening() const {
    std::optional<Duration> next;
    for (const Happening& happening : happenings_) {
        if (!next || happening.at < *next) {
            next = happening.at;
        }
    }
    return next;
}

void FakeKernel::RunDue() {
    for (;;) {
        // In time order, and in the order scheduled among equals.
        auto due = happenings_.end();
        for (auto candidate = happenings_.begin(); candidate != happenings_.end(); ++candidate) {
            if (candidate->at <= now_ &&
                (due == happenings_.end() ||
                 std::tie(candidate->at, candidate->order) < std::tie(due->at, due->order))) {
                due = candidate;
            }
        }
        if (due == happenings_.end()) {
            return;
        }
        auto action = std::move(due->action);
        happenings_.erase(due);
        action();
    }
}

void FakeKernel::AdvanceTime(Duration duration) {
    const Duration end = now_ + duration;
    while (const auto next = NextHappening()) {
        if (*next > end) {
            break;
        }
        now_ = std::max(now_, *next);
        RunDue();
    }
    now_ = end;
}

std::chrono::steady_clock::time_point FakeKernel::Now() {
    // Some way from the clock's epoch, as a booted machine's clock would be.
    return std::chrono::steady_clock::time_point{} + std::chrono::hours{1} + now_;
}

std::size_t FakeKernel::OutstandingTransactions() const {
    return static_cast<std::size_t>(
        std::count_if(happenings_.begin(), happenings_.end(),
                      [](const Happening& happening) { return happening.transactionOf >= 0; }));
}

void FakeKernel::BeginBusReset() {
    // The link takes the new generation at once; the core tells the device (and through it
    // GET_INFO) only after the self-IDs are in, and queues the clients' events from a work
    // item later still, filled with whatever the device's generation is then.
    const std::uint32_t generation = ++cardGeneration_;
    Schedule(now_ + resetWindow_, -1, [this, generation] {
        deviceGeneration_ = std::max(deviceGeneration_, generation);
        lastReset_ = now_;
        Schedule(now_ + eventDelay_, -1, [this] {
            for (auto& [number, descriptor] : descriptors_) {
                if (descriptor.receivesBusResets && !descriptor.node->goneInGeneration &&
                    !descriptor.node->unplugged) {
                    descriptor.events.push_back(BusResetEvent(deviceGeneration_));
                }
            }
        });
    });
}

void FakeKernel::BusReset() {
    BeginBusReset();
    AdvanceTime(resetWindow_ + eventDelay_);
}

bool FakeKernel::LockFromAnotherProgram(const std::string& devicePath, int pid,
                                        const std::string& command) {
    const Node* node = nodes_.at(devicePath).get();
    if (const auto holder = lockHolders_.find(node);
        holder != lockHolders_.end() && holder->second != -1) {
        return false;
    }
    lockHolders_[node] = -1;  // a descriptor of another process
    if (command.empty()) {
        return true;
    }
    const fs::path proc = ProcRoot();
    fs::create_directories(proc / std::to_string(pid));
    WriteFile(proc / std::to_string(pid) / "comm", command + "\n");
    // Another lock first, as on a real machine.
    WriteFile(proc / "locks",
              "1: POSIX  ADVISORY  WRITE 977 fd:01:2228227 0 EOF\n2: FLOCK  "
              "ADVISORY  WRITE " +
                  std::to_string(pid) + " 00:05:" + std::to_string(node->inode) + " 0 EOF\n");
    return true;
}

void FakeKernel::UnlockFromAnotherProgram(const std::string& devicePath) {
    if (const auto found = lockHolders_.find(nodes_.at(devicePath).get());
        found != lockHolders_.end() && found->second == -1) {
        lockHolders_.erase(found);
    }
}

int FakeKernel::Open(const char* path, int flags) {
    openedPaths_.emplace_back(path);
    openFlags_.push_back(flags);
    if (const auto refused = openErrors_.find(path); refused != openErrors_.end()) {
        return -refused->second;
    }
    const auto node = nodes_.find(path);
    if (node == nodes_.end()) {
        return -ENOENT;
    }
    if (node->second->unplugged) {
        return -ENODEV;
    }
    const int number = nextDescriptor_++;
    descriptors_[number] = Descriptor{path, node->second, false, {}};
    return number;
}

int FakeKernel::Close(int fileDescriptor) {
    const auto found = descriptors_.find(fileDescriptor);
    if (found == descriptors_.end()) {
        ++badCloses_;
        return -EBADF;
    }
    // The kernel's release waits until the client's transactions have ended.
    const Duration start = now_;
    for (;;) {
        std::optional<Duration> last;
        for (const Happening& happening : happenings_) {
            if (happening.transactionOf == fileDescriptor && (!last || happening.at > *last)) {
                last = happening.at;
            }
        }
        if (!last) {
            break;
        }
        AdvanceTime(std::max(Duration{0}, *last - now_));
    }
    closeWaits_.push_back(now_ - start);
    const Node* node = found->second.node.get();
    descriptors_.erase(fileDescriptor);
    if (const auto lock = lockHolders_.find(node);
        lock != lockHolders_.end() && lock->second == fileDescriptor) {
        lockHolders_.erase(lock);
    }
    return 0;
}

int FakeKernel::Flock(int fileDescriptor, int operation) {
    const auto found = descriptors_.find(fileDescriptor);
    if (found == descriptors_.end()) {
        return -EBADF;
    }
    // Locks belong to the device file's inode: a device made anew under the same name has
    // a new one.
    const Node* node = found->second.node.get();
    const auto holder = lockHolders_.find(node);
    switch (operation & ~LOCK_NB) {
        case LOCK_EX:
            if (holder != lockHolders_.end() && holder->second != fileDescriptor) {
                // Blocking would wait for the other holder for ever: only LOCK_NB is modelled.
                return (operation & LOCK_NB) != 0 ? -EWOULDBLOCK : -EDEADLK;
            }
            lockHolders_[node] = fileDescriptor;
            return 0;
        case LOCK_UN:
            if (holder != lockHolders_.end() && holder->second == fileDescriptor) {
                lockHolders_.erase(holder);
            }
            return 0;
        default:
            return -EINVAL;
    }
}

int FakeKernel::Ioctl(int fileDescriptor, unsigned long request, void* argument) {
    const auto found = descriptors_.find(fileDescriptor);
    if (found == descriptors_.end()) {
        return -EBADF;
    }
    Descriptor& descriptor = found->second;
    if (descriptor.node->unplugged) {
        return -ENODEV;
    }
    switch (request) {
        case FW_CDEV_IOC_GET_INFO:
            return GetInfo(descriptor, argument);
        case FW_CDEV_IOC_SEND_REQUEST:
            return SendRequest(fileDescriptor, descriptor, argument);
        default:
            return -ENOTTY;
    }
}

int FakeKernel::GetInfo(Descriptor& descriptor, void* argument) {
    auto& info = *static_cast<fw_cdev_get_info*>(argument);
    lastInfoVersion_ = info.version;
    ++getInfoCount_;
    if (getInfoError_) {
        return -*getInfoError_;
    }
    const Node& node = *descriptor.node;
    // Bus-information block in host order, then the rest of a plausible ROM.
    std::uint32_t rom[16] = {0x04040000u, 0x31333934u, 0xE0646102u,
                             static_cast<std::uint32_t>(node.guid >> 32),
                             static_cast<std::uint32_t>(node.guid)};
    if (info.rom != 0) {
        std::memcpy(FromUser<void>(info.rom), rom,
                    std::min<std::size_t>(info.rom_length, sizeof rom));
    }
    info.rom_length = sizeof rom;
    if (info.bus_reset != 0) {
        auto busReset = BusResetEvent(node.goneInGeneration.value_or(deviceGeneration_));
        std::memcpy(FromUser<void>(info.bus_reset), busReset.data(), busReset.size());
    }
    info.card = 0;
    descriptor.receivesBusResets = true;
    return 0;
}

std::optional<FakeKernel::Duration> FakeKernel::ReturnOf(const Fault& fault) const {
    return recreation_ ? std::optional<Duration>(fault.delay) : std::nullopt;
}

int FakeKernel::SendRequest(int fileDescriptor, Descriptor& descriptor, const void* argument) {
    const auto& send = *static_cast<const fw_cdev_send_request*>(argument);
    SentRequest request{descriptor.devicePath, send.tcode,      send.length,
                        send.offset,           send.generation, {}};
    if (send.data != 0) {
        const auto* bytes = FromUser<const std::uint8_t>(send.data);
        request.payload.assign(bytes, bytes + send.length);
    }
    const std::size_t count = requests_.size();
    requests_.push_back(request);

    Node& node = *descriptor.node;
    auto queue = [&](std::vector<std::uint8_t> event) {
        if (heldResponse_) {
            descriptor.events.push_back(std::move(*heldResponse_));
            heldResponse_.reset();
        }
        descriptor.events.push_back(std::move(event));
    };
    auto flushed = [&] { queue(ResponseEvent(send.closure, RCODE_GENERATION, {})); };

    if (keepResetting_) {
        BeginBusReset();
        flushed();
        return 0;
    }
    // The OHCI driver refuses a packet of another generation than the link's; during a
    // reset window the link is already in the new one.
    if (send.generation != cardGeneration_) {
        flushed();
        return 0;
    }
    std::optional<Fault> fault;
    if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
    } else if (picker_) {
        fault = picker_(request, count);
    }
    if (!fault) {
        queue(Answer(node, request, send.closure));
        return 0;
    }
    switch (fault->kind) {
        case Fault::Kind::ResponseCode:
            if (fault->taken) {
                Answer(node, request, send.closure);
            }
            queue(ResponseEvent(send.closure, fault->responseCode, {}));
            break;
        case Fault::Kind::NoResponse:
            break;
        case Fault::Kind::LateResponse:
            heldResponse_ = Answer(node, request, send.closure);
            break;
        case Fault::Kind::BusResetBeforeSend:
            BeginBusReset();
            flushed();
            break;
        case Fault::Kind::BusResetAfterDelivery:
            Answer(node, request, send.closure);
            BeginBusReset();
            flushed();
            break;
        case Fault::Kind::SlowResponse: {
            const Duration acked = now_ + kAckDelay;
            if (fault->delay <= splitTimeout_) {
                auto answer = Answer(node, request, send.closure);
                Schedule(acked + fault->delay, fileDescriptor,
                         [this, fileDescriptor, answer = std::move(answer)]() mutable {
                             QueueEvent(fileDescriptor, std::move(answer));
                         });
            } else {
                // The split time-out ends the transaction; what the unit sends later is
                // dropped as an answer nobody waits for.
                const std::uint64_t closure = send.closure;
                Schedule(acked + splitTimeout_, fileDescriptor, [this, fileDescriptor, closure] {
                    QueueEvent(fileDescriptor, ResponseEvent(closure, RCODE_CANCELLED, {}));
                });
            }
            break;
        }
        case Fault::Kind::Unplug:
            node.unplugged = true;
            break;
        case Fault::Kind::ResetWhilePending: {
            // The ack starts the split time-out; the reset leaves the transaction on the
            // card's list, and the unit's answer, sent with its old node ID, matches none.
            const Duration acked = now_ + kAckDelay;
            if (fault->taken) {
                Answer(node, request, send.closure);
            }
            Schedule(acked + fault->delay, -1, [this] { BeginBusReset(); });
            const std::uint64_t closure = send.closure;
            Schedule(acked + splitTimeout_, fileDescriptor, [this, fileDescriptor, closure] {
                QueueEvent(fileDescriptor, ResponseEvent(closure, RCODE_CANCELLED, {}));
            });
            break;
        }
        case Fault::Kind::GoneWhileOutstanding: {
            // The unit acked "pending" and left: the transaction stays on the card until the
            // split time-out, and the core keeps the device, gone, until its shutdown.
            if (fault->taken) {
                Answer(node, request, send.closure);
            }
            const std::uint64_t closure = send.closure;
            Schedule(now_ + kAckDelay + splitTimeout_, fileDescriptor,
                     [this, fileDescriptor, closure] {
                         QueueEvent(fileDescriptor, ResponseEvent(closure, RCODE_CANCELLED, {}));
                     });
            Leave(descriptor.node, ReturnOf(*fault));
            break;
        }
        case Fault::Kind::LeavesBus:
            // The reset of the unit's leaving flushes the request before it reaches the unit.
            Leave(descriptor.node, ReturnOf(*fault));
            flushed();
            break;
        case Fault::Kind::NodeRecreated:
            // Two resets close together: the core skips a generation and drops its nodes.
            BeginBusReset();
            BeginBusReset();
            flushed();
            DropNode(descriptor.node);
            break;
        case Fault::Kind::ShortResponse:
            queue(ResponseEvent(send.closure, RCODE_COMPLETE,
                                std::vector<std::uint8_t>(request.length - 1, 0x5A)));
            break;
        case Fault::Kind::OversizedResponse: {
            std::vector<std::uint8_t> data(request.length + 4, 0x5A);
            queue(ResponseEvent(send.closure, RCODE_COMPLETE, data));
            break;
        }
    }
    return 0;
}
std::vector<std::uint8_t> FakeKernel::Answer(Node& node, const SentRequest& request,
                                             std::uint64_t closure) {
    const kaplatform::FireWireTarget target{true, 0, request.offset};
    std::vector<std::uint8_t> data;
    IOReturn status = kIOReturnSuccess;
    switch (request.transactionCode) {
        case TCODE_WRITE_QUADLET_REQUEST: {
            std::uint32_t busOrder = 0;
            std::memcpy(&busOrder, request.payload.data(),
                        std::min<std::size_t>(sizeof busOrder, request.payload.size()));
            status = node.registers->WriteQuadlet(target, be32toh(busOrder), false, 0);
            break;
        }
        case TCODE_WRITE_BLOCK_REQUEST: {
            std::uint32_t size = request.length;
            status = node.registers->Write(target, request.payload.data(), size, false, 0);
            break;
        }
        case TCODE_READ_QUADLET_REQUEST: {
            std::uint32_t value = 0;
            status = node.registers->ReadQuadlet(target, value, false, 0);
            const std::uint32_t busOrder = htobe32(value);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&busOrder);
            data.assign(bytes, bytes + sizeof busOrder);
            break;
        }
        case TCODE_READ_BLOCK_REQUEST: {
            std::uint32_t size = request.length;
            data.resize(size);
            status = node.registers->Read(target, data.data(), size, false, 0);
            data.resize(std::min<std::size_t>(size, request.length));
            break;
        }
        default:
            status = kIOFireWireTypeError;
    }
    const std::uint32_t responseCode = ResponseCodeOf(status);
    if (responseCode != RCODE_COMPLETE) {
        data.clear();
    }
    return ResponseEvent(closure, responseCode, data);
}

std::vector<std::uint8_t> FakeKernel::ResponseEvent(std::uint64_t closure,
                                                    std::uint32_t responseCode,
                                                    const std::vector<std::uint8_t>& data) {
    fw_cdev_event_response header{};
    header.closure = closure;
    header.type = FW_CDEV_EVENT_RESPONSE;
    header.rcode = responseCode;
    header.length = static_cast<std::uint32_t>(data.size());
    constexpr std::size_t kDataOffset = offsetof(fw_cdev_event_response, data);
    // As the kernel queues it: the structure with the payload from its data member on, and
    // for payloads that fit in the structure's tail, a second copy after the structure (an
    // old kernel's layout that clients came to rely on).
    std::vector<std::uint8_t> event(sizeof header + data.size());
    std::memcpy(event.data(), &header, sizeof header);
    if (!data.empty()) {
        std::memcpy(event.data() + kDataOffset, data.data(), data.size());
        if (data.size() <= sizeof header - kDataOffset) {
            std::memcpy(event.data() + sizeof header, data.data(), data.size());
        }
    }
    return event;
}

std::vector<std::uint8_t> FakeKernel::BusResetEvent(std::uint32_t generation) const {
    fw_cdev_event_bus_reset busReset{};
    busReset.type = FW_CDEV_EVENT_BUS_RESET;
    busReset.node_id = 0xFFC1;
    busReset.local_node_id = 0xFFC0;
    busReset.bm_node_id = 0xFFC0;
    busReset.irm_node_id = 0xFFC0;
    busReset.root_node_id = 0xFFC1;
    busReset.generation = generation;
    std::vector<std::uint8_t> event(sizeof busReset);
    std::memcpy(event.data(), &busReset, sizeof busReset);
    return event;
}

ssize_t FakeKernel::Read(int fileDescriptor, void* buffer, std::size_t size) {
    const auto found = descriptors_.find(fileDescriptor);
    if (found == descriptors_.end()) {
        return -EBADF;
    }
    Descriptor& descriptor = found->second;
    if (descriptor.events.empty()) {
        if (descriptor.node->unplugged) {
            return -ENODEV;
        }
        // The kernel's read waits for an event, O_NONBLOCK or not: a client that reads
        // without one would hang here.
        ++blockingReads_;
        return -EAGAIN;
    }
    // One event per read; what does not fit is lost, as with the kernel.
    const std::vector<std::uint8_t> event = std::move(descriptor.events.front());
    descriptor.events.pop_front();
    const std::size_t copied = std::min(size, event.size());
    std::memcpy(buffer, event.data(), copied);
    return static_cast<ssize_t>(copied);
}

int FakeKernel::ReadyDescriptors(pollfd* descriptors, nfds_t count) {
    int ready = 0;
    for (nfds_t index = 0; index < count; ++index) {
        pollfd& entry = descriptors[index];
        entry.revents = 0;
        const auto found = descriptors_.find(entry.fd);
        if (found == descriptors_.end()) {
            entry.revents = POLLNVAL;
        } else {
            if (found->second.node->unplugged) {
                entry.revents |= POLLHUP | POLLERR;
            }
            if (!found->second.events.empty()) {
                entry.revents |= POLLIN;
            }
        }
        if (entry.revents != 0) {
            ++ready;
        }
    }
    return ready;
}

int FakeKernel::Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) {
    pollTimeouts_.push_back(timeoutMilliseconds);
    int ready = ReadyDescriptors(descriptors, count);
    if (ready > 0 || timeoutMilliseconds == 0) {
        return ready;
    }
    // Waiting is what lets the kernel's own time pass: until something to report, or the
    // time-out. An endless wait with nothing pending would hang a real client; here it
    // returns at once.
    const std::optional<Duration> end =
        timeoutMilliseconds < 0
            ? std::nullopt
            : std::optional<Duration>(now_ + std::chrono::milliseconds{timeoutMilliseconds});
    while (ready == 0) {
        const auto next = NextHappening();
        if (!next || (end && *next > *end)) {
            if (end) {
                now_ = *end;
            }
            break;
        }
        now_ = std::max(now_, *next);
        RunDue();
        ready = ReadyDescriptors(descriptors, count);
    }
    return ready;
}

// ---- RegisterStore

bool RegisterStore::InWindow(std::uint64_t offset, std::size_t length) {
    return offset >= kWindowStart && offset + length <= kWindowEnd;
}

void RegisterStore::Poke(std::uint64_t offset, std::vector<std::uint8_t> bytes) {
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        memory_[offset + index] = bytes[index];
    }
}

std::vector<std::uint8_t> RegisterStore::Peek(std::uint64_t offset, std::size_t length) const {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t index = 0; index < length; ++index) {
        const auto found = memory_.find(offset + index);
        bytes[index] = found == memory_.end() ? 0 : found->second;
    }
    return bytes;
}

IOReturn RegisterStore::Read(const kaplatform::FireWireTarget& target, void* buffer,
                             std::uint32_t& size, bool, std::uint32_t) {
    if (!InWindow(target.offset, size)) {
        size = 0;
        return kIOFireWireAddressError;
    }
    size = std::min(size, blockReadLimit_);
    const auto bytes = Peek(target.offset, size);
    std::memcpy(buffer, bytes.data(), bytes.size());
    return kIOReturnSuccess;
}

IOReturn RegisterStore::ReadQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t& value,
                                    bool, std::uint32_t) {
    if (!InWindow(target.offset, 4)) {
        return kIOFireWireAddressError;
    }
    const auto bytes = Peek(target.offset, 4);
    value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
            std::uint32_t{bytes[2]} << 8 | bytes[3];
    return kIOReturnSuccess;
}

IOReturn RegisterStore::Write(const kaplatform::FireWireTarget& target, const void* buffer,
                              std::uint32_t& size, bool, std::uint32_t) {
    if (!InWindow(target.offset, size)) {
        size = 0;
        return kIOFireWireAddressError;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    Poke(target.offset, {bytes, bytes + size});
    ++writes_;
    return kIOReturnSuccess;
}

IOReturn RegisterStore::WriteQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t value,
                                     bool, std::uint32_t) {
    if (!InWindow(target.offset, 4)) {
        return kIOFireWireAddressError;
    }
    Poke(target.offset,
         {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
    ++writes_;
    return kIOReturnSuccess;
}

// ---- SysfsTree

SysfsTree::SysfsTree() {
    std::string pattern = (fs::temp_directory_path() / "ka-sysfs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
}

SysfsTree::~SysfsTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

fs::path SysfsTree::BusDirectory() const {
    return root_ / "bus" / "firewire" / "devices";
}

fs::path SysfsTree::NodeDirectory(int node) const {
    return root_ / "devices" / "pci0000:00" / "0000:00:1e.0" / ("fw" + std::to_string(node));
}

fs::path SysfsTree::UnitDirectory(int node, int unit) const {
    return NodeDirectory(node) / ("fw" + std::to_string(node) + "." + std::to_string(unit));
}

void SysfsTree::AddNode(int node, std::uint64_t guid) {
    const fs::path directory = NodeDirectory(node);
    fs::create_directories(directory);
    fs::create_directories(BusDirectory());
    WriteFile(directory / "guid", HexAttribute("0x%016llx\n", guid));
    WriteFile(directory / "is_local", "0\n");
    const fs::path link = BusDirectory() / directory.filename();
    if (!fs::exists(fs::symlink_status(link))) {
        fs::create_directory_symlink(directory, link);
    }
}

void SysfsTree::AddLocalNode(int node, std::uint64_t guid) {
    AddNode(node, guid);
    WriteFile(NodeDirectory(node) / "is_local", "1\n");
}

void SysfsTree::RemoveNode(int node) {
    const std::string name = "fw" + std::to_string(node);
    for (const auto& entry : fs::directory_iterator(BusDirectory())) {
        const std::string entryName = entry.path().filename().string();
        if (entryName == name || entryName.starts_with(name + ".")) {
            fs::remove(entry.path());
        }
    }
    fs::remove_all(NodeDirectory(node));
}

void SysfsTree::AddUnit(int node, int unit, std::optional<std::string> specifierId,
                        std::optional<std::string> version) {
    if (!fs::exists(NodeDirectory(node))) {
        AddNode(node);
    }
    const fs::path directory = UnitDirectory(node, unit);
    fs::create_directories(directory);
    if (specifierId) {
        WriteFile(directory / "specifier_id", *specifierId);
    }
    if (version) {
        WriteFile(directory / "version", *version);
    }
    fs::create_directory_symlink(directory, BusDirectory() / directory.filename());
}

void SysfsTree::AddKa(int node, int unit, std::uint64_t guid) {
    AddNode(node, guid);
    AddUnit(node, unit, "0x000a27\n", "0x000011\n");
}

}  // namespace katest
