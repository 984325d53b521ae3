#include "LinuxFireWireDevice.h"

#include "LinuxFireWireBackend.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <endian.h>
#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kaplatform {
namespace {

// The ABI we are written for: plain RESPONSE events (no time stamps), bus-reset events
// that carry the bus manager's node.
constexpr std::uint32_t kCdevAbiVersion = 4;

constexpr std::uint64_t kLargestOffset = 0xFFFF'FFFF'FFFFull;

// The bus-information block: header, "1394", capabilities, then the GUID's two halves.
constexpr std::size_t kBusInfoQuadlets = 5;

IOReturn StatusOfOpenError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        case EBUSY:
            return kIOReturnExclusiveAccess;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kIOReturnNoDevice;
        default:
            return kIOReturnError;
    }
}

IOReturn StatusOfCallError(int error) {
    switch (error) {
        case ENODEV:
            return kIOReturnNoDevice;
        case EINVAL:
            return kIOReturnBadArgument;
        case ENOMEM:
            return kIOReturnNoMemory;
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        default:
            return kIOReturnError;
    }
}

IOReturn StatusOfResponseCode(std::uint32_t responseCode) {
    switch (responseCode) {
        case RCODE_COMPLETE:
            return kIOReturnSuccess;
        case RCODE_CONFLICT_ERROR:
        case RCODE_DATA_ERROR:
        case RCODE_TYPE_ERROR:
        case RCODE_ADDRESS_ERROR:
            return kIOFireWireResponseBase + static_cast<IOReturn>(responseCode);
        case RCODE_BUSY:
            return kIOReturnBusy;
        case RCODE_NO_ACK:
            return kIOReturnNotResponding;
        case RCODE_CANCELLED:
            // The kernel's split time-out: the node acknowledged but never answered.
            return kIOReturnTimeout;
        case RCODE_SEND_ERROR:
            return kIOReturnIOError;
        case RCODE_GENERATION:
            return kIOFireWireBusReset;
        default:
            return kIOReturnIOError;
    }
}

template <typename Field>
Field FieldAt(const std::byte* event, std::size_t offset) {
    Field value;
    std::memcpy(&value, event + offset, sizeof value);
    return value;
}

bool HangUp(short events) {
    return (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::uint64_t UserPointer(const void* pointer) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace

LinuxFireWireDevice::LinuxFireWireDevice(std::shared_ptr<LinuxSystem> system,
                                         std::string devicePath, std::uint64_t guid)
    : system_(std::move(system)), devicePath_(std::move(devicePath)), guid_(guid) {}

LinuxFireWireDevice::~LinuxFireWireDevice() {
    Close();
}

IOReturn LinuxFireWireDevice::Open() {
    if (fileDescriptor_ >= 0) {
        return kIOReturnExclusiveAccess;
    }
    int fileDescriptor;
    do {
        fileDescriptor = system_->Open(devicePath_.c_str(), O_RDWR | O_CLOEXEC);
    } while (fileDescriptor == -EINTR);
    if (fileDescriptor < 0) {
        return StatusOfOpenError(-fileDescriptor);
    }
    const IOReturn status = QueryBusInfo(fileDescriptor, true);
    if (status != kIOReturnSuccess) {
        system_->Close(fileDescriptor);
        return status;
    }
    fileDescriptor_ = fileDescriptor;
    return kIOReturnSuccess;
}

void LinuxFireWireDevice::Close() {
    if (fileDescriptor_ < 0) {
        return;
    }
    // Not repeated on EINTR: Linux releases the descriptor whatever close reports.
    system_->Close(fileDescriptor_);
    fileDescriptor_ = -1;
}

IOReturn LinuxFireWireDevice::GetBusGeneration(std::uint32_t& generation) {
    IOReturn status;
    if (fileDescriptor_ >= 0) {
        status = QueryBusInfo(fileDescriptor_, false);
    } else {
        // Asked before Open: look at the bus through a descriptor of our own.
        status = Open();
        if (status == kIOReturnSuccess) {
            Close();
        }
    }
    if (status == kIOReturnSuccess) {
        generation = generation_;
    }
    return status;
}

IOReturn LinuxFireWireDevice::QueryBusInfo(int fileDescriptor, bool checkIdentity) {
    fw_cdev_event_bus_reset busReset{};
    std::array<std::uint32_t, kBusInfoQuadlets> busInfo{};
    fw_cdev_get_info info{};
    info.version = kCdevAbiVersion;
    if (checkIdentity) {
        info.rom_length = sizeof busInfo;
        info.rom = UserPointer(busInfo.data());
    }
    info.bus_reset = UserPointer(&busReset);
    int result;
    do {
        result = system_->Ioctl(fileDescriptor, FW_CDEV_IOC_GET_INFO, &info);
    } while (result == -EINTR);
    if (result < 0) {
        return StatusOfCallError(-result);
    }
    if (checkIdentity) {
        // The kernel reports the whole ROM's length and copies what fits; the ROM holds
        // host-order quadlets.
        const std::uint64_t guid = (std::uint64_t{busInfo[3]} << 32) | busInfo[4];
        if (info.rom_length < sizeof busInfo || guid != guid_) {
            return kIOReturnNoDevice;
        }
    }
    generation_ = busReset.generation;
    return kIOReturnSuccess;
}

IOReturn LinuxFireWireDevice::Read(const FireWireTarget& target, void* buffer, std::uint32_t& size,
                                   bool failOnReset, std::uint32_t generation) {
    if (buffer == nullptr || size == 0) {
        size = 0;
        return kIOReturnBadArgument;
    }
    Request request{TCODE_READ_BLOCK_REQUEST, target.offset, nullptr, size, buffer};
    const IOReturn status = Transfer(target, request, failOnReset, generation);
    size = status == kIOReturnSuccess ? request.delivered : 0;
    return status;
}

IOReturn LinuxFireWireDevice::ReadQuadlet(const FireWireTarget& target, std::uint32_t& value,
                                          bool failOnReset, std::uint32_t generation) {
    std::uint32_t busOrder = 0;
    Request request{TCODE_READ_QUADLET_REQUEST, target.offset, nullptr, sizeof busOrder, &busOrder};
    IOReturn status = Transfer(target, request, failOnReset, generation);
    if (status == kIOReturnSuccess && request.delivered != sizeof busOrder) {
        status = kIOReturnIOError;  // a quadlet answer without its quadlet
    }
    if (status == kIOReturnSuccess) {
        value = be32toh(busOrder);
    }
    return status;
}

IOReturn LinuxFireWireDevice::Write(const FireWireTarget& target, const void* buffer,
                                    std::uint32_t& size, bool failOnReset,
                                    std::uint32_t generation) {
    if (buffer == nullptr || size == 0) {
        size = 0;
        return kIOReturnBadArgument;
    }
    Request request{TCODE_WRITE_BLOCK_REQUEST, target.offset, buffer, size, nullptr};
    const IOReturn status = Transfer(target, request, failOnReset, generation);
    if (status != kIOReturnSuccess) {
        size = 0;
    }
    return status;
}

IOReturn LinuxFireWireDevice::WriteQuadlet(const FireWireTarget& target, std::uint32_t value,
                                           bool failOnReset, std::uint32_t generation) {
    const std::uint32_t busOrder = htobe32(value);
    Request request{TCODE_WRITE_QUADLET_REQUEST, target.offset, &busOrder, sizeof busOrder,
                    nullptr};
    return Transfer(target, request, failOnReset, generation);
}

IOReturn LinuxFireWireDevice::Transfer(const FireWireTarget& target, Request& request,
                                       bool failOnReset, std::uint32_t generation) {
    if (fileDescriptor_ < 0) {
        return kIOReturnNotOpen;
    }
    if (!target.relativeToDevice) {
        return kIOReturnUnsupported;
    }
    if (target.offset > kLargestOffset) {
        return kIOReturnBadArgument;
    }
    // Bus resets that happened since the last transfer are waiting in the queue; reading
    // them first means we send with the generation the kernel expects.
    IOReturn status = DrainPendingEvents();
    if (status != kIOReturnSuccess) {
        return status;
    }
    status = SendAndAwait(request, failOnReset ? generation : generation_);
    if (status != kIOFireWireBusReset || failOnReset) {
        return status;
    }
    // The kernel turns a request of a past generation away before sending it, and a bus
    // reset flushes unsent packets with the same code: the node has not seen this request,
    // so sending it once more in the new generation cannot repeat it.
    status = QueryBusInfo(fileDescriptor_, false);
    if (status != kIOReturnSuccess) {
        return status;
    }
    request.delivered = 0;
    return SendAndAwait(request, generation_);
}

IOReturn LinuxFireWireDevice::SendAndAwait(Request& request, std::uint32_t generation) {
    const std::uint64_t closure = nextClosure_++;
    fw_cdev_send_request send{};
    send.tcode = request.transactionCode;
    send.length = request.length;
    send.offset = request.offset;
    send.closure = closure;
    send.data = UserPointer(request.payload);
    send.generation = generation;
    int result;
    do {
        result = system_->Ioctl(fileDescriptor_, FW_CDEV_IOC_SEND_REQUEST, &send);
    } while (result == -EINTR);
    if (result < 0) {
        return StatusOfCallError(-result);
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + kLinuxFireWireResponseTimeout;
    for (;;) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd descriptor{fileDescriptor_, POLLIN, 0};
        result = system_->Poll(&descriptor, 1,
                               static_cast<int>(std::max<long long>(remaining.count(), 0)));
        if (result == -EINTR) {
            continue;
        }
        if (result < 0) {
            return StatusOfCallError(-result);
        }
        if (result == 0) {
            return kIOReturnTimeout;
        }
        if ((descriptor.revents & POLLIN) == 0) {
            if (HangUp(descriptor.revents)) {
                return kIOReturnNoDevice;
            }
            if (Clock::now() >= deadline) {
                return kIOReturnTimeout;
            }
            continue;
        }
        std::uint32_t responseCode = 0;
        IOReturn failure = kIOReturnSuccess;
        switch (ReadEvent(closure, &request, responseCode, failure)) {
            case EventResult::Failed:
                return failure;
            case EventResult::Response:
                return StatusOfResponseCode(responseCode);
            case EventResult::Other:
                break;
        }
    }
}

IOReturn LinuxFireWireDevice::DrainPendingEvents() {
    // Bounded so that a descriptor that is always readable cannot hold us here.
    for (int event = 0; event < 256; ++event) {
        pollfd descriptor{fileDescriptor_, POLLIN, 0};
        const int result = system_->Poll(&descriptor, 1, 0);
        if (result == -EINTR) {
            continue;
        }
        if (result < 0) {
            return StatusOfCallError(-result);
        }
        if (result == 0) {
            return kIOReturnSuccess;
        }
        if ((descriptor.revents & POLLIN) == 0) {
            return HangUp(descriptor.revents) ? kIOReturnNoDevice : kIOReturnSuccess;
        }
        std::uint32_t responseCode = 0;
        IOReturn failure = kIOReturnSuccess;
        // Closure 0 is never sent: any response here is a late one to a request we gave up on.
        if (ReadEvent(0, nullptr, responseCode, failure) == EventResult::Failed) {
            return failure;
        }
    }
    return kIOReturnSuccess;
}

LinuxFireWireDevice::EventResult LinuxFireWireDevice::ReadEvent(std::uint64_t closure,
                                                                Request* request,
                                                                std::uint32_t& responseCode,
                                                                IOReturn& failure) {
    // The kernel hands out one event per read and drops what does not fit, so the buffer
    // must hold the largest answer we may be waiting for.
    const std::size_t wanted =
        std::max(sizeof(fw_cdev_event),
                 sizeof(fw_cdev_event_response) + (request != nullptr ? request->length : 0));
    const std::size_t words = (wanted + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
    if (eventBuffer_.size() < words) {
        eventBuffer_.resize(words);
    }
    const ssize_t result = system_->Read(fileDescriptor_, eventBuffer_.data(),
                                         eventBuffer_.size() * sizeof(std::uint64_t));
    if (result == -EINTR || result == -EAGAIN) {
        return EventResult::Other;
    }
    if (result <= 0) {
        failure = result == -ENODEV ? kIOReturnNoDevice : kIOReturnIOError;
        return EventResult::Failed;
    }
    const auto length = static_cast<std::size_t>(result);
    const auto* event = reinterpret_cast<const std::byte*>(eventBuffer_.data());
    if (length < offsetof(fw_cdev_event_common, type) + sizeof(std::uint32_t)) {
        return EventResult::Other;
    }
    switch (FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_common, type))) {
        case FW_CDEV_EVENT_BUS_RESET:
            if (length >= offsetof(fw_cdev_event_bus_reset, generation) + sizeof(std::uint32_t)) {
                generation_ =
                    FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_bus_reset, generation));
            }
            return EventResult::Other;
        case FW_CDEV_EVENT_RESPONSE: {
            constexpr std::size_t kDataOffset = offsetof(fw_cdev_event_response, data);
            if (length < kDataOffset || closure == 0 ||
                FieldAt<std::uint64_t>(event, offsetof(fw_cdev_event_response, closure)) !=
                    closure) {
                return EventResult::Other;
            }
            responseCode = FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_response, rcode));
            if (request != nullptr && request->responseBuffer != nullptr &&
                responseCode == RCODE_COMPLETE) {
                const std::size_t delivered = std::min<std::size_t>(
                    {FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_response, length)),
                     request->length, length - kDataOffset});
                std::memcpy(request->responseBuffer, event + kDataOffset, delivered);
                request->delivered = static_cast<std::uint32_t>(delivered);
            }
            return EventResult::Response;
        }
        default:
            return EventResult::Other;
    }
}

}  // namespace kaplatform
