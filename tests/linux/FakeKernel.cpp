#include "FakeKernel.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <endian.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

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
    nodes_[devicePath] = Node{&registers, guid};
}

void FakeKernel::BusReset() {
    ++generation_;
    for (auto& [number, descriptor] : descriptors_) {
        if (descriptor.receivesBusResets) {
            descriptor.events.push_back(BusResetEvent());
        }
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
    if (node->second.unplugged) {
        return -ENODEV;
    }
    const int number = nextDescriptor_++;
    descriptors_[number] = Descriptor{path, false, {}};
    return number;
}

int FakeKernel::Close(int fileDescriptor) {
    if (descriptors_.erase(fileDescriptor) == 0) {
        ++badCloses_;
        return -EBADF;
    }
    return 0;
}

int FakeKernel::Ioctl(int fileDescriptor, unsigned long request, void* argument) {
    const auto found = descriptors_.find(fileDescriptor);
    if (found == descriptors_.end()) {
        return -EBADF;
    }
    Descriptor& descriptor = found->second;
    if (nodes_.at(descriptor.devicePath).unplugged) {
        return -ENODEV;
    }
    switch (request) {
        case FW_CDEV_IOC_GET_INFO:
            return GetInfo(descriptor, argument);
        case FW_CDEV_IOC_SEND_REQUEST:
            return SendRequest(descriptor, argument);
        default:
            return -ENOTTY;
    }
}

int FakeKernel::GetInfo(Descriptor& descriptor, void* argument) {
    auto& info = *static_cast<fw_cdev_get_info*>(argument);
    lastInfoVersion_ = info.version;
    if (getInfoError_) {
        return -*getInfoError_;
    }
    const Node& node = nodes_.at(descriptor.devicePath);
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
        auto busReset = BusResetEvent();
        std::memcpy(FromUser<void>(info.bus_reset), busReset.data(), busReset.size());
    }
    info.card = 0;
    descriptor.receivesBusResets = true;
    return 0;
}

int FakeKernel::SendRequest(Descriptor& descriptor, const void* argument) {
    const auto& send = *static_cast<const fw_cdev_send_request*>(argument);
    SentRequest request{descriptor.devicePath, send.tcode,      send.length,
                        send.offset,           send.generation, {}};
    if (send.data != 0) {
        const auto* bytes = FromUser<const std::uint8_t>(send.data);
        request.payload.assign(bytes, bytes + send.length);
    }
    requests_.push_back(request);

    Node& node = nodes_.at(descriptor.devicePath);
    std::optional<Fault> fault;
    if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
    }
    auto queue = [&](std::vector<std::uint8_t> event) {
        if (heldResponse_) {
            descriptor.events.push_back(std::move(*heldResponse_));
            heldResponse_.reset();
        }
        descriptor.events.push_back(std::move(event));
    };

    if (send.generation != generation_) {
        queue(ResponseEvent(send.closure, RCODE_GENERATION, {}));
        return 0;
    }
    if (!fault) {
        queue(Answer(node, request, send.closure));
        return 0;
    }
    switch (fault->kind) {
        case Fault::Kind::ResponseCode:
            queue(ResponseEvent(send.closure, fault->responseCode, {}));
            break;
        case Fault::Kind::NoResponse:
            break;
        case Fault::Kind::LateResponse:
            heldResponse_ = Answer(node, request, send.closure);
            break;
        case Fault::Kind::BusResetBeforeSend:
            BusReset();
            queue(ResponseEvent(send.closure, RCODE_GENERATION, {}));
            break;
        case Fault::Kind::Unplug:
            node.unplugged = true;
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
    // As the kernel queues it: the whole structure, then the payload from its data member.
    fw_cdev_event_response header{};
    header.closure = closure;
    header.type = FW_CDEV_EVENT_RESPONSE;
    header.rcode = responseCode;
    header.length = static_cast<std::uint32_t>(data.size());
    std::vector<std::uint8_t> event(sizeof header + data.size());
    std::memcpy(event.data(), &header, sizeof header);
    if (!data.empty()) {
        std::memcpy(event.data() + offsetof(fw_cdev_event_response, data), data.data(),
                    data.size());
    }
    return event;
}

std::vector<std::uint8_t> FakeKernel::BusResetEvent() const {
    fw_cdev_event_bus_reset busReset{};
    busReset.type = FW_CDEV_EVENT_BUS_RESET;
    busReset.node_id = 0xFFC1;
    busReset.local_node_id = 0xFFC0;
    busReset.bm_node_id = 0xFFC0;
    busReset.irm_node_id = 0xFFC0;
    busReset.root_node_id = 0xFFC1;
    busReset.generation = generation_;
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
        return nodes_.at(descriptor.devicePath).unplugged ? -ENODEV : -EAGAIN;
    }
    // One event per read; what does not fit is lost, as with the kernel.
    const std::vector<std::uint8_t> event = std::move(descriptor.events.front());
    descriptor.events.pop_front();
    const std::size_t copied = std::min(size, event.size());
    std::memcpy(buffer, event.data(), copied);
    return static_cast<ssize_t>(copied);
}

int FakeKernel::Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) {
    pollTimeouts_.push_back(timeoutMilliseconds);
    int ready = 0;
    for (nfds_t index = 0; index < count; ++index) {
        pollfd& entry = descriptors[index];
        entry.revents = 0;
        const auto found = descriptors_.find(entry.fd);
        if (found == descriptors_.end()) {
            entry.revents = POLLNVAL;
        } else {
            if (nodes_.at(found->second.devicePath).unplugged) {
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
    // Nothing ready: the time-out has "passed" at once, whatever its length.
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
