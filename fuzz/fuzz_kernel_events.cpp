// The Linux backend's device against a kernel whose answers come from the input: every
// open, ioctl, poll and read the device makes takes its result from the next input bytes,
// and the events it reads are responses (to the request in flight or to any closure, with
// any response code, length field and payload), bus resets, raw bytes, or errors, each
// possibly cut short by the size of the device's buffer.
//
// Checked after every call: no out-of-bounds access (ASan), descriptors closed exactly
// once, the size given to read() never larger than the device's buffer nor too small for
// the answer it waits for, the generation sent is the caller's or the newest one GET_INFO
// reported (a bus-reset event's own number is never taken), the same request sent again
// only after a stale-generation answer (then in another generation), a busy one, a send the
// kernel could not make, a damaged packet (each as often as the retry policy allows) or,
// without failOnReset, a cancelled one once GET_INFO reported a newer generation (then in
// that one), and a success
// only with a complete response to the request in flight, never with more bytes than asked,
// and with exactly the bytes that response carried. Time is virtual: it passes by a poll's
// time-out whenever the poll reports nothing. (No node is ever found again in sysfs: a node
// that goes away stays away.)
//
// Input script (see FuzzInput.h), in the order the device consumes it:
//   error:       where a call fails, a byte picks the errno (ENODEV, EIO, EACCES, ...)
//   open:        a byte; %8 == 7 fails (an error follows), 6 with EINTR, else succeeds
//   flock:       (locking only) a byte; %8 == 7 EWOULDBLOCK, 6 an error follows, else locked
//   GET_INFO:    a byte m; m%16 == 15 fails (an error follows), 14 EINTR, 13 short ROM,
//                12 another GUID; m & 0x10: a u32 generation follows
//   SEND:        a byte; %16 == 15 fails (an error follows), 14 EINTR
//   poll:        a byte; %8 0-3 readable, 4 nothing, 5 EINTR, 6 hang-up, 7 a byte: odd
//                fails (an error follows), even other bits
//   read:        a byte k; %8 0-1 response to the request in flight, 2 to a closure
//                given as u64, then rcode byte (< 0x80 means complete), u16 data length
//                (% 2100), bit 0x10 of k: u32 length field; data; 3 bus reset: u32
//                generation and a byte (0 whole, else cut to %40 bytes); 4 raw: u16
//                length (% 600) and bytes; 5 EINTR/EAGAIN; 6 ENODEV; 7 end of file/EIO
//   and between them the operations: a byte o (o%8: 0 read block, 1 read quadlet, 2 write
//   block, 3 write quadlet, 4 bus generation, 5 close and open, 6 open; o & 0x08 fail on
//   reset, o & 0x10 not relative to the device, o & 0x20 offset beyond 48 bits), then for
//   transfers a u16 offset, for blocks a u16 size (% 2049) and for fail-on-reset a u32
//   generation.
#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <endian.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "FuzzInput.h"
#include "LinuxFireWireBackend.h"
#include "LinuxFireWireDevice.h"
#include "LinuxSystem.h"

namespace {

// The device runs with the program's policy; the oracle's bounds are the same numbers.
constexpr const kaplatform::LinuxFireWireRetryPolicy& kPolicy =
    kaplatform::kDefaultLinuxFireWireRetryPolicy;
constexpr std::uint64_t kGuid = 0x0001F2000012ABCDull;
constexpr std::uint64_t kWindow = 0xFFFF'F043'0000ull;
constexpr std::size_t kDataOffset = offsetof(fw_cdev_event_response, data);

void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_kernel_events: %s\n", what);
        std::abort();
    }
}

template <typename Pointer>
Pointer* FromUser(std::uint64_t address) {
    return reinterpret_cast<Pointer*>(static_cast<std::uintptr_t>(address));
}

template <typename Field>
Field FieldAt(const std::vector<std::uint8_t>& event, std::size_t offset) {
    Field value;
    std::memcpy(&value, event.data() + offset, sizeof value);
    return value;
}

// A response the device must have taken as the answer to its request in flight.
struct Response {
    std::uint32_t rcode = 0;
    std::uint32_t lengthField = 0;
    std::vector<std::uint8_t> data;  // the bytes that reached the device after the header
};

struct Sent {
    std::uint64_t closure;
    std::uint32_t generation;
    std::uint32_t transactionCode;
    std::uint32_t length;
    std::uint64_t offset;
    std::vector<std::uint8_t> payload;
};

class ScriptedKernel final : public kaplatform::LinuxSystem {
  public:
    explicit ScriptedKernel(kafuzz::InputReader& input) : input_(input) {}

    // What the operation about to run expects of its requests.
    void BeginOperation(bool failOnReset, std::uint32_t callerGeneration) {
        failOnReset_ = failOnReset;
        callerGeneration_ = callerGeneration;
        sent_.clear();
        response_.reset();
        awaiting_ = false;
        busyResends_ = 0;
        damagedResends_ = 0;
        sendErrorResends_ = 0;
    }
    const std::vector<Sent>& SentRequests() const { return sent_; }
    const std::optional<Response>& LastResponse() const { return response_; }
    std::uint32_t KnownGeneration() const { return knownGeneration_; }
    bool AllClosed() const { return open_.empty(); }

    int Flock(int fileDescriptor, int operation) override {
        Require(open_.contains(fileDescriptor), "flock on a descriptor that is not open");
        if (operation == LOCK_UN) {
            return 0;
        }
        Require(operation == (LOCK_EX | LOCK_NB), "a lock that could block");
        const std::uint8_t choice = input_.Byte() % 8;
        if (choice == 7) {
            return -EWOULDBLOCK;
        }
        return choice == 6 ? -AnError() : 0;
    }

    std::chrono::steady_clock::time_point Now() override { return now_; }

    std::filesystem::path SysfsRoot() const override { return "/nonexistent"; }
    std::filesystem::path ProcRoot() const override { return "/nonexistent"; }
    int Stat(const char*, struct stat&) override { return -ENOENT; }

    int Open(const char*, int) override {
        const std::uint8_t choice = input_.Byte() % 8;
        if (choice == 7) {
            return -AnError();
        }
        if (choice == 6) {
            return -EINTR;
        }
        const int descriptor = nextDescriptor_++;
        open_.insert(descriptor);
        return descriptor;
    }

    int Close(int fileDescriptor) override {
        Require(open_.erase(fileDescriptor) == 1, "closed a descriptor that is not open");
        return 0;
    }

    int Ioctl(int fileDescriptor, unsigned long request, void* argument) override {
        Require(open_.contains(fileDescriptor), "ioctl on a descriptor that is not open");
        if (request == FW_CDEV_IOC_GET_INFO) {
            return GetInfo(*static_cast<fw_cdev_get_info*>(argument));
        }
        Require(request == FW_CDEV_IOC_SEND_REQUEST, "unknown ioctl");
        return SendRequest(*static_cast<const fw_cdev_send_request*>(argument));
    }

    ssize_t Read(int fileDescriptor, void* buffer, std::size_t size) override {
        Require(open_.contains(fileDescriptor), "read on a descriptor that is not open");
        Require(size >= sizeof(fw_cdev_event), "read buffer smaller than an event");
        if (awaiting_) {
            Require(size >= sizeof(fw_cdev_event_response) + sent_.back().length,
                    "read buffer too small for the answer awaited");
        }
        if (input_.Exhausted()) {
            return -EAGAIN;
        }
        const std::uint8_t kind = input_.Byte();
        std::vector<std::uint8_t> event;
        switch (kind % 8) {
            case 0:
            case 1:
            case 2: {
                const std::uint64_t closure = kind % 8 == 2   ? input_.U64()
                                              : sent_.empty() ? 0
                                                              : sent_.back().closure;
                const std::uint8_t rcode = input_.Byte();
                const std::size_t dataLength = input_.U16() % 2100;
                fw_cdev_event_response header{};
                header.closure = closure;
                header.type = FW_CDEV_EVENT_RESPONSE;
                header.rcode = rcode < 0x80 ? RCODE_COMPLETE : rcode & 0x1F;
                header.length =
                    (kind & 0x10) != 0 ? input_.U32() : static_cast<std::uint32_t>(dataLength);
                const auto data = input_.Bytes(dataLength);
                event.resize(sizeof header + data.size());
                std::memcpy(event.data(), &header, sizeof header);
                std::copy(data.begin(), data.end(), event.begin() + kDataOffset);
                break;
            }
            case 3: {
                fw_cdev_event_bus_reset reset{};
                reset.type = FW_CDEV_EVENT_BUS_RESET;
                reset.node_id = 0xFFC1;
                reset.generation = input_.U32();
                const std::uint8_t cut = input_.Byte();
                event.resize(sizeof reset);
                std::memcpy(event.data(), &reset, sizeof reset);
                event.resize(cut == 0 ? sizeof reset : cut % sizeof reset);
                break;
            }
            case 4:
                event = input_.Bytes(input_.U16() % 600);
                break;
            case 5:
                return (kind & 0x08) != 0 ? -EINTR : -EAGAIN;
            case 6:
                return -ENODEV;
            default:
                return (kind & 0x08) != 0 ? 0 : -EIO;
        }
        // One event per read; what does not fit is lost.
        event.resize(std::min(event.size(), size));
        if (!event.empty()) {
            std::memcpy(buffer, event.data(), event.size());
        }
        Observe(event);
        return static_cast<ssize_t>(event.size());
    }

    int Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) override {
        if (count == 0) {
            // Waiting for a lost node to show up again.
            Require(timeoutMilliseconds > 0, "a pause without a time-out");
            now_ += std::chrono::milliseconds{timeoutMilliseconds};
            return 0;
        }
        Require(count == 1 && open_.contains(descriptors[0].fd), "poll on a strange set");
        Require((descriptors[0].events & POLLIN) != 0, "poll without POLLIN");
        if (input_.Exhausted()) {
            descriptors[0].revents = 0;
            now_ += std::chrono::milliseconds{std::max(timeoutMilliseconds, 0)};
            return 0;
        }
        const std::uint8_t choice = input_.Byte() % 8;
        switch (choice) {
            case 4:
                descriptors[0].revents = 0;
                now_ += std::chrono::milliseconds{std::max(timeoutMilliseconds, 0)};
                return 0;
            case 5:
                return -EINTR;
            case 6:
                descriptors[0].revents = POLLHUP | POLLERR;
                return 1;
            case 7:
                if ((input_.Byte() & 1) != 0) {
                    return -AnError();
                }
                descriptors[0].revents = POLLPRI;
                return 1;
            default:
                descriptors[0].revents = POLLIN;
                return 1;
        }
    }

  private:
    // One of the errors the kernel's calls give, chosen by the next byte.
    int AnError() {
        static constexpr int kErrors[] = {ENODEV, EIO,    EACCES, EPERM,  EBUSY, ENOENT,
                                          ENXIO,  EINVAL, ENOMEM, EAGAIN, EFAULT};
        return kErrors[input_.Byte() % std::size(kErrors)];
    }

    int GetInfo(fw_cdev_get_info& info) {
        Require(info.version >= 4, "GET_INFO with an old ABI version");
        const std::uint8_t mode = input_.Byte();
        if (mode % 16 == 15) {
            return -AnError();
        }
        if (mode % 16 == 14) {
            return -EINTR;
        }
        if ((mode & 0x10) != 0) {
            generation_ = input_.U32();
        }
        const std::uint64_t guid = mode % 16 == 12 ? kGuid ^ 1 : kGuid;
        const std::uint32_t rom[6] = {0x04040000u,
                                      0x31333934u,
                                      0xE0646102u,
                                      static_cast<std::uint32_t>(guid >> 32),
                                      static_cast<std::uint32_t>(guid),
                                      0};
        const std::size_t romBytes = mode % 16 == 13 ? 8 : sizeof rom;
        if (info.rom != 0) {
            std::memcpy(FromUser<void>(info.rom), rom,
                        std::min<std::size_t>(info.rom_length, romBytes));
        }
        const bool identityChecked = info.rom != 0;
        info.rom_length = static_cast<std::uint32_t>(romBytes);
        Require(info.bus_reset != 0, "GET_INFO without a bus-reset record");
        fw_cdev_event_bus_reset reset{};
        reset.type = FW_CDEV_EVENT_BUS_RESET;
        reset.generation = generation_;
        std::memcpy(FromUser<void>(info.bus_reset), &reset, sizeof reset);
        // The device takes the generation only from the node it was made for.
        if (!identityChecked || (mode % 16 != 12 && mode % 16 != 13)) {
            knownGeneration_ = generation_;
        }
        return 0;
    }

    int SendRequest(const fw_cdev_send_request& send) {
        Require(send.offset <= 0xFFFF'FFFF'FFFFull, "offset beyond 48 bits sent");
        Require(sent_.empty() || send.closure > sent_.back().closure, "closure reused");
        Require(send.closure != 0, "closure 0 sent");
        bool busy = false;
        bool damaged = false;
        bool sendError = false;
        if (!sent_.empty()) {
            // The same request again: only after the kernel flushed it, the unit was busy,
            // the kernel could not send it, the packet was damaged or had no ack, or a reset
            // lost the unit's answer; a write only when the unit cannot have taken it.
            const Sent& last = sent_.back();
            const bool flushed = !failOnReset_ && response_ && response_->rcode == RCODE_GENERATION;
            const bool lostAnswer = !failOnReset_ && response_ &&
                                    response_->rcode == RCODE_CANCELLED &&
                                    knownGeneration_ != last.generation;
            busy = response_ && response_->rcode == RCODE_BUSY;
            // A read without an ack goes again as a damaged one does.
            damaged = response_ &&
                      (response_->rcode == RCODE_DATA_ERROR || response_->rcode == RCODE_NO_ACK);
            sendError = response_ && response_->rcode == RCODE_SEND_ERROR;
            const bool lastWrite = last.transactionCode == TCODE_WRITE_QUADLET_REQUEST ||
                                   last.transactionCode == TCODE_WRITE_BLOCK_REQUEST;
            Require(flushed || busy || damaged || lostAnswer || sendError,
                    "request sent again without a stale-generation, busy, send-error, damaged "
                    "or lost answer");
            Require(!lastWrite || !(damaged || lostAnswer),
                    "a write the unit may have taken sent again");
            Require(!sendError || sendErrorResends_ < kPolicy.sendErrorTries - 1,
                    "request the kernel could not send tried too often");
            Require(!(flushed || lostAnswer) || send.generation != last.generation,
                    "request sent again in the generation it was flushed from");
            Require(!busy || busyResends_ < kPolicy.busyTries - 1,
                    "busy request tried more often than the policy allows");
            Require(!damaged || damagedResends_ < kPolicy.damagedReadResends,
                    "damaged packet sent again more often than the policy allows");
            Require(send.tcode == last.transactionCode && send.length == last.length &&
                        send.offset == last.offset,
                    "another request sent as a retry");
        }
        Require(send.generation == (failOnReset_ ? callerGeneration_ : knownGeneration_),
                "request sent with the wrong generation");
        Sent sent{send.closure, send.generation, send.tcode, send.length, send.offset, {}};
        const bool write =
            send.tcode == TCODE_WRITE_QUADLET_REQUEST || send.tcode == TCODE_WRITE_BLOCK_REQUEST;
        if (write) {
            Require(send.data != 0, "write without its data");
            const auto* bytes = FromUser<const std::uint8_t>(send.data);
            sent.payload.assign(bytes, bytes + send.length);
        }
        const std::uint8_t choice = input_.Byte() % 16;
        if (choice == 15) {
            return -AnError();
        }
        if (choice == 14) {
            return -EINTR;
        }
        if (busy) {
            ++busyResends_;
        }
        if (damaged) {
            ++damagedResends_;
        }
        if (sendError) {
            ++sendErrorResends_;
        }
        sent_.push_back(std::move(sent));
        response_.reset();
        awaiting_ = true;
        return 0;
    }

    // Follows the device's view of what it read, as the ABI lays events out.
    void Observe(const std::vector<std::uint8_t>& event) {
        if (event.size() < offsetof(fw_cdev_event_common, type) + 4) {
            return;
        }
        const auto type = FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_common, type));
        if (type == FW_CDEV_EVENT_RESPONSE && awaiting_ && event.size() >= kDataOffset &&
            FieldAt<std::uint64_t>(event, offsetof(fw_cdev_event_response, closure)) ==
                sent_.back().closure) {
            Response response;
            response.rcode = FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_response, rcode));
            response.lengthField =
                FieldAt<std::uint32_t>(event, offsetof(fw_cdev_event_response, length));
            response.data.assign(event.begin() + kDataOffset, event.end());
            response_ = std::move(response);
            awaiting_ = false;
        }
    }

    kafuzz::InputReader& input_;
    std::set<int> open_;
    int nextDescriptor_ = 3;
    std::uint32_t generation_ = 7;
    std::uint32_t knownGeneration_ = 0;
    bool failOnReset_ = false;
    std::uint32_t callerGeneration_ = 0;
    std::vector<Sent> sent_;
    std::optional<Response> response_;
    bool awaiting_ = false;
    int busyResends_ = 0;
    int damagedResends_ = 0;
    int sendErrorResends_ = 0;
    std::chrono::steady_clock::time_point now_{std::chrono::hours{1}};
};

// A success must rest on a complete response to the one request in flight.
const Response& CompleteResponse(const ScriptedKernel& kernel) {
    Require(!kernel.SentRequests().empty(), "success without a request");
    Require(kernel.LastResponse().has_value(), "success without a response");
    Require(kernel.LastResponse()->rcode == RCODE_COMPLETE, "success on a failed response");
    return *kernel.LastResponse();
}

void RunOperation(kafuzz::InputReader& input, ScriptedKernel& kernel,
                  kaplatform::LinuxFireWireDevice& device, bool& isOpen) {
    const std::uint8_t operation = input.Byte();
    const bool failOnReset = (operation & 0x08) != 0;
    kaplatform::FireWireTarget target;
    target.relativeToDevice = (operation & 0x10) == 0;
    target.offset = kWindow + input.U16();
    if ((operation & 0x20) != 0) {
        target.offset |= 1ull << 48;
    }
    const bool transfer = operation % 8 < 4;
    const bool block = operation % 8 == 0 || operation % 8 == 2;
    const std::uint32_t asked = block ? input.U16() % 2049 : 4;
    const std::uint32_t callerGeneration = failOnReset ? input.U32() : 0;
    kernel.BeginOperation(failOnReset, callerGeneration);

    IOReturn status = kIOReturnSuccess;
    switch (operation % 8) {
        case 0: {
            // Exactly as large as asked, so that one byte more is caught.
            auto buffer = std::make_unique<std::uint8_t[]>(std::max<std::uint32_t>(asked, 1));
            std::uint32_t size = asked;
            status = device.Read(target, asked == 0 ? nullptr : buffer.get(), size, failOnReset,
                                 callerGeneration);
            if (status != kIOReturnSuccess) {
                Require(size == 0, "failed read reports bytes");
                break;
            }
            const Response& response = CompleteResponse(kernel);
            Require(size <= asked, "read delivered more bytes than asked");
            const std::size_t expected =
                std::min<std::size_t>({response.lengthField, asked, response.data.size()});
            Require(size == expected, "read reports the wrong count");
            Require(std::memcmp(buffer.get(), response.data.data(), size) == 0,
                    "read delivered other bytes than the response's");
            break;
        }
        case 1: {
            std::uint32_t value = 0x5A5A5A5A;
            status = device.ReadQuadlet(target, value, failOnReset, callerGeneration);
            if (status == kIOReturnSuccess) {
                const Response& response = CompleteResponse(kernel);
                Require(response.lengthField >= 4 && response.data.size() >= 4,
                        "quadlet read without a quadlet");
                std::uint32_t busOrder;
                std::memcpy(&busOrder, response.data.data(), 4);
                Require(value == be32toh(busOrder), "quadlet read gave another value");
            }
            break;
        }
        case 2: {
            std::vector<std::uint8_t> payload(asked);
            for (std::size_t index = 0; index < payload.size(); ++index) {
                payload[index] = static_cast<std::uint8_t>(index * 7);
            }
            std::uint32_t size = asked;
            status = device.Write(target, asked == 0 ? nullptr : payload.data(), size, failOnReset,
                                  callerGeneration);
            if (status == kIOReturnSuccess) {
                CompleteResponse(kernel);
                Require(size == asked, "write reports another count");
                Require(kernel.SentRequests().back().payload == payload, "write sent other bytes");
            } else {
                Require(size == 0, "failed write reports bytes");
            }
            break;
        }
        case 3:
            status = device.WriteQuadlet(target, 0x0A0B0C0Du, failOnReset, callerGeneration);
            if (status == kIOReturnSuccess) {
                CompleteResponse(kernel);
                Require(kernel.SentRequests().back().payload ==
                            std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C, 0x0D},
                        "quadlet written in the wrong byte order");
            }
            break;
        case 4: {
            std::uint32_t generation = 0xFFFFFFFF;
            status = device.GetBusGeneration(generation);
            if (status == kIOReturnSuccess) {
                Require(generation == kernel.KnownGeneration(), "stale bus generation");
            }
            break;
        }
        case 5:
            device.Close();
            isOpen = false;
            [[fallthrough]];
        default:
            status = device.Open();
            if (isOpen) {
                Require(status == kIOReturnExclusiveAccess, "opened twice");
            } else {
                isOpen = status == kIOReturnSuccess;
            }
            break;
    }
    if (transfer) {
        if (!isOpen) {
            // An empty buffer is turned away before anything else is looked at.
            Require((status == kIOReturnNotOpen ||
                     (block && asked == 0 && status == kIOReturnBadArgument)) &&
                        kernel.SentRequests().empty(),
                    "transfer on a closed device");
        }
        if (!target.relativeToDevice || target.offset > 0xFFFF'FFFF'FFFFull) {
            Require(status != kIOReturnSuccess && kernel.SentRequests().empty(),
                    "transfer to an address that cannot be reached");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kafuzz::InputReader input(data, size);
    auto kernel = std::make_shared<ScriptedKernel>(input);
    {
        kaplatform::LinuxFireWireDevice device(kernel, "/dev/fw1", kGuid, kPolicy);
        kernel->BeginOperation(false, 0);
        bool isOpen = device.Open() == kIOReturnSuccess;
        for (int operation = 0; operation < 16 && !input.Exhausted(); ++operation) {
            RunOperation(input, *kernel, device, isOpen);
        }
    }
    Require(kernel->AllClosed(), "descriptor left open");
    return 0;
}
