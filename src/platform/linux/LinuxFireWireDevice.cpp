// The device's transfers: sending requests, awaiting their answers, and riding out what the
// bus does to them meanwhile.
#include "LinuxFireWireDevice.h"

#include "BusEventLog.h"
#include "FireWireCdev.h"
#include "FireWireStatus.h"

#include <IOKit/firewire/IOFireWireFamilyCommon.h>
#include <endian.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace kaplatform {
namespace {

constexpr std::uint64_t kLargestOffset = 0xFFFF'FFFF'FFFFull;

using Clock = std::chrono::steady_clock;

// How long a generation must stand still, while requests in it are turned away, to be taken
// for that of a device the kernel marked gone rather than of a bus still resetting.
constexpr std::chrono::seconds kGoneNodeStillness{1};
// Longer than a live node takes to show a new generation (milliseconds), shorter than the
// core takes to revive a node that left and came back (it reads the node's ROM no sooner
// than half a second after the reset of its return): a generation that stood still this
// long was that of a node that left the bus.
constexpr std::chrono::milliseconds kNodeLeftStillness{250};

// The pause before the next try of a request the unit answered busy: the first pause,
// doubled for each try made since, up to the longest (1, 2, 4, 8, then 10 ms by default).
std::chrono::milliseconds BusyPause(const LinuxFireWireRetryPolicy& policy, int triesMade) {
    std::chrono::milliseconds pause = policy.busyFirstPause;
    for (int made = 1; made < triesMade && pause < policy.busyLongestPause; ++made) {
        pause *= 2;
    }
    return std::min(pause, policy.busyLongestPause);
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

}  // namespace

void LinuxFireWireDevice::LogBusEvent(std::string_view what) const {
    kaplatform::LogBusEvent(Observer(), what);
}

IOReturn LinuxFireWireDevice::WriteMayHaveBeenTaken(const std::string& what) const {
    LogBusEvent(what + "; not sent again, the unit may have taken it");
    return kIOFireWireWriteMayHaveBeenTaken;
}

std::optional<IOReturn> LinuxFireWireDevice::WriteVerdict(const Request& request, IOReturn status,
                                                          std::uint32_t sentIn) const {
    if (!request.IsWrite()) {
        return std::nullopt;
    }
    const std::string generation = std::to_string(sentIn);
    if (request.responseCode == std::uint32_t{RCODE_CANCELLED}) {
        // The kernel cancels a request only once the unit has acked it "pending": the
        // unit had it, only its answer was lost (to a bus reset, or it never came).
        return WriteMayHaveBeenTaken("the unit's answer to a write in generation " + generation +
                                     " was lost");
    }
    if (request.responseCode == std::uint32_t{RCODE_DATA_ERROR}) {
        // The same code tells of a packet damaged on the link (not taken) and of the
        // unit's own answer "data error" (taken, then refused); nothing tells them apart.
        return WriteMayHaveBeenTaken("a write came back as a data error");
    }
    if (request.responseCode == std::uint32_t{RCODE_NO_ACK}) {
        // The link heard no ack: the packet may have been lost, or only its ack.
        return WriteMayHaveBeenTaken("a write in generation " + generation +
                                     " had no acknowledgement");
    }
    if (status == kIOReturnTimeout && !request.responseCode && request.outstanding) {
        // We stopped waiting; the kernel still has the request, and the unit may have too.
        return WriteMayHaveBeenTaken("no answer to a write in generation " + generation +
                                     " came in time");
    }
    return std::nullopt;
}

IOReturn LinuxFireWireDevice::Read(const FireWireTarget& target, void* buffer, std::uint32_t& size,
                                   bool failOnReset, std::uint32_t generation) {
    if (buffer == nullptr || size == 0) {
        NameGenerationSentIn(failOnReset, generation);
        size = 0;
        return kIOReturnBadArgument;
    }
    // Four bytes go as a quadlet request, as the Mac's stack sends them: some units turn a
    // four-byte block request away. The payload is the same bytes in the same order.
    const std::uint32_t transactionCode =
        size == sizeof(std::uint32_t) ? TCODE_READ_QUADLET_REQUEST : TCODE_READ_BLOCK_REQUEST;
    Request request{transactionCode, target.offset, nullptr, size, buffer};
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
        NameGenerationSentIn(failOnReset, generation);
        size = 0;
        return kIOReturnBadArgument;
    }
    const std::uint32_t transactionCode =
        size == sizeof(std::uint32_t) ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST;
    Request request{transactionCode, target.offset, buffer, size, nullptr};
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
    NameGenerationSentIn(failOnReset, generation);
    if (!open_ || fileDescriptor_ < 0) {
        return kIOReturnNotOpen;
    }
    if (!target.relativeToDevice) {
        return kIOReturnUnsupported;
    }
    if (target.offset > kLargestOffset) {
        return kIOReturnBadArgument;
    }
    for (int node = 0;; ++node) {
        IOReturn status = TransferOnThisNode(request, failOnReset, generation);
        if (status == kIOReturnSuccess && request.IsWrite()) {
            wroteSinceOpen_ = true;
        }
        if (status == kIOReturnNoDevice && request.outstanding && request.IsWrite()) {
            // The node went while the unit held the write: it may have carried it out
            // before it went. The next call finds the node again.
            return WriteMayHaveBeenTaken("node " + devicePath_ +
                                         " went away with a write outstanding");
        }
        // Two resets in quick succession make the kernel drop the node and, once it has read
        // the configuration ROM again, make a new one. Without failOnReset the caller asked
        // us to ride out what the bus does, and that is part of it: what goes again on the
        // new node is a read, or a write that never left (the send itself found no device).
        // A discovery interface searches for no node: it fails fast.
        if (status != kIOReturnNoDevice || failOnReset || failFast_ ||
            node == policy_.nodeSearchesPerTransfer) {
            return status;
        }
        status = FindNodeAgain();
        if (status != kIOReturnSuccess) {
            return status;
        }
    }
}

IOReturn LinuxFireWireDevice::TransferOnThisNode(Request& request, bool failOnReset,
                                                 std::uint32_t generation) {
    // Bus resets that happened since the last transfer are waiting in the queue; taking
    // them in first means we send with the generation the kernel expects.
    IOReturn status = DrainPendingEvents();
    if (status != kIOReturnSuccess) {
        return status;
    }
    if (failFast_) {
        return TransferFailingFast(request, failOnReset, generation);
    }
    std::optional<Clock::time_point> resetDeadline;
    int busyTries = 1;
    int damagedSends = 0;
    int sendErrorTries = 1;
    for (int attempt = 0; attempt < policy_.mostSendsPerTransfer; ++attempt) {
        const std::uint32_t sentIn = failOnReset ? generation : generation_;
        request.delivered = 0;
        request.responseCode.reset();
        status = SendAndAwait(request, sentIn);
        if (const auto taken = WriteVerdict(request, status, sentIn)) {
            return *taken;
        }
        if (status == kIOReturnTimeout && request.responseCode == std::uint32_t{RCODE_CANCELLED} &&
            !failOnReset) {
            // A unit that acked "pending" answers with the node ID it had when it took the
            // request; a bus reset since then renumbered the bus, the kernel no longer knew
            // the answer as ours and its split time-out ended the request. Only a newer
            // generation tells that apart from a unit that is silent.
            status = QueryBusInfo(fileDescriptor_, false);
            if (status != kIOReturnSuccess) {
                return status;
            }
            if (generation_ == sentIn) {
                return kIOReturnTimeout;
            }
            if (!resetDeadline) {
                resetDeadline = system_->Now() + policy_.resetDeadline;
            }
            if (system_->Now() >= *resetDeadline) {
                return kIOFireWireBusReset;
            }
            LogBusEvent("bus reset in generation " + std::to_string(sentIn) +
                        " lost the unit's answer, sending again in generation " +
                        std::to_string(generation_));
            continue;
        }
        if (status == kIOFireWireBusReset && !failOnReset) {
            // The kernel turns a request of a past generation away before sending it, and a
            // bus reset flushes the requests in flight with the same code. Either way the
            // request goes again once a newer generation is known: sent at once it would
            // still carry the old one, as the core takes a moment after the flush to learn
            // the new one. (Rarely, a flush reports a packet the node did receive; such a
            // write arrives twice, and nothing the kernel reports shows it.)
            if (!resetDeadline) {
                resetDeadline = system_->Now() + policy_.resetDeadline;
            }
            bool revived = false;
            status = AwaitNewerGeneration(sentIn, *resetDeadline, revived);
            if ((revived || status == kIOReturnNoDevice) && request.IsWrite() && wroteSinceOpen_) {
                // The reset that flushed the write was the node's leaving: the link may have
                // sent it as the node went (a missing ack reads as flushed then), and a unit
                // that comes back has lost what it was given since Open. Either way the write
                // does not follow the unit back. The first write since Open has nothing
                // before it to lose: it goes to the node found again, as a read does.
                return WriteMayHaveBeenTaken("node " + devicePath_ +
                                             " left the bus with a write in generation " +
                                             std::to_string(sentIn));
            }
            if (status != kIOReturnSuccess) {
                return status;
            }
            LogBusEvent("bus reset in generation " + std::to_string(sentIn) +
                        ", sending again in generation " + std::to_string(generation_));
            continue;
        }
        if (status == kIOReturnBusy && busyTries < policy_.busyTries) {
            // A busy ack means the node did not take the packet: sending it again is safe,
            // for writes too. The link's own retries last microseconds; a unit writing its
            // flash needs milliseconds.
            status = Pause(BusyPause(policy_, busyTries));
            if (status != kIOReturnSuccess) {
                return status;
            }
            ++busyTries;
            LogBusEvent("unit busy, sending again (try " + std::to_string(busyTries) + " of " +
                        std::to_string(policy_.busyTries) + ")");
            continue;
        }
        if (request.responseCode == std::uint32_t{RCODE_SEND_ERROR} &&
            sendErrorTries < policy_.sendErrorTries) {
            // The kernel found no free transaction label or the driver refused the packet:
            // nothing left, so it may go again, once the requests ahead of it are done.
            status = Pause(policy_.sendErrorPause);
            if (status != kIOReturnSuccess) {
                return status;
            }
            ++sendErrorTries;
            LogBusEvent("the kernel could not send the request, sending again (try " +
                        std::to_string(sendErrorTries) + " of " +
                        std::to_string(policy_.sendErrorTries) + ")");
            continue;
        }
        const bool damaged = request.responseCode == std::uint32_t{RCODE_DATA_ERROR};
        const bool unacknowledged = request.responseCode == std::uint32_t{RCODE_NO_ACK};
        if ((damaged || unacknowledged) && damagedSends < policy_.damagedReadResends) {
            // A read changes nothing on the unit: whether the link damaged it, lost it or
            // its ack, or the unit refused it, asking again is safe.
            ++damagedSends;
            LogBusEvent(std::string(damaged ? "packet damaged on the way"
                                            : "no acknowledgement from the unit") +
                        ", sending again (" + std::to_string(damagedSends) + " of " +
                        std::to_string(policy_.damagedReadResends) + ")");
            continue;
        }
        return status;
    }
    // Only resets can use up the attempts (busy ones are fewer): the last send was flushed.
    return kIOFireWireBusReset;
}

IOReturn LinuxFireWireDevice::TransferFailingFast(Request& request, bool failOnReset,
                                                  std::uint32_t generation) {
    if (!unanswered_.empty()) {
        // A unit that left a request unanswered is asked nothing more here: each request
        // would only add a wait of its own, and a transaction for the kernel to time out.
        return kIOReturnTimeout;
    }
    std::uint32_t sentIn = failOnReset ? generation : generation_;
    for (int send = 0;; ++send) {
        request.delivered = 0;
        request.responseCode.reset();
        IOReturn status = SendAndAwait(request, sentIn);
        if (const auto taken = WriteVerdict(request, status, sentIn)) {
            return *taken;
        }
        if (status != kIOFireWireBusReset || failOnReset || send > 0) {
            return status;
        }
        // Refused before the wire or flushed: it may go again, but only into a generation
        // the kernel knows already. A node that is gone keeps its old one.
        status = QueryBusInfo(fileDescriptor_, false);
        if (status != kIOReturnSuccess) {
            return status;
        }
        if (generation_ == sentIn) {
            return kIOFireWireBusReset;
        }
        LogBusEvent("bus reset in generation " + std::to_string(sentIn) +
                    ", sending again in generation " + std::to_string(generation_));
        sentIn = generation_;
    }
}

IOReturn LinuxFireWireDevice::AwaitNewerGeneration(std::uint32_t stale, Clock::time_point deadline,
                                                   bool& revived) {
    const Clock::time_point began = system_->Now();
    bool waitingForGoneNode = false;
    for (;;) {
        IOReturn status = QueryBusInfo(fileDescriptor_, false);
        if (status != kIOReturnSuccess) {
            return status;
        }
        const Clock::time_point now = system_->Now();
        revived = generation_ != stale && now - began >= kNodeLeftStillness;
        if (now >= deadline && generation_ == stale && !waitingForGoneNode &&
            now - began >= kGoneNodeStillness) {
            // A live node takes the new generation within milliseconds; one that stood
            // still this long belongs to a device the kernel marked gone when its node
            // left. The kernel either revives it (a newer generation) or shuts it down
            // (ENODEV, and the node is looked for again); the shutdown waits until the bus
            // has been free of resets for 2 s, and the unit's return is a reset itself.
            waitingForGoneNode = true;
            deadline = now + policy_.goneNodeDeadline;
        }
        if (now >= deadline) {
            // A bus that keeps resetting: give up rather than chase it for ever.
            return kIOFireWireBusReset;
        }
        if (generation_ != stale) {
            return kIOReturnSuccess;
        }
        // The kernel queues a bus-reset event once it knows the new generation; asking
        // again every few milliseconds covers a client that missed it.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        status = WaitForEvent(std::min(policy_.generationQueryInterval, remaining));
        if (status != kIOReturnSuccess) {
            return status;
        }
    }
}

IOReturn LinuxFireWireDevice::Pause(std::chrono::milliseconds duration) {
    const Clock::time_point end = system_->Now() + duration;
    for (;;) {
        const Clock::time_point now = system_->Now();
        if (now >= end) {
            return kIOReturnSuccess;
        }
        const IOReturn status =
            WaitForEvent(std::chrono::ceil<std::chrono::milliseconds>(end - now));
        if (status != kIOReturnSuccess) {
            return status;
        }
    }
}

IOReturn LinuxFireWireDevice::WaitForEvent(std::chrono::milliseconds longest) {
    pollfd descriptor{fileDescriptor_, POLLIN, 0};
    const int result = system_->Poll(&descriptor, 1, static_cast<int>(longest.count()));
    if (result == -EINTR || result == 0) {
        return kIOReturnSuccess;
    }
    if (result < 0) {
        return StatusOfCallError(-result);
    }
    if ((descriptor.revents & POLLIN) == 0) {
        return HangUp(descriptor.revents) ? kIOReturnNoDevice : kIOReturnSuccess;
    }
    std::uint32_t responseCode = 0;
    IOReturn failure = kIOReturnSuccess;
    // Closure 0 is never sent: a response here is a late one to a request we gave up on.
    if (ReadEvent(0, nullptr, responseCode, failure) == EventResult::Failed) {
        return failure;
    }
    return kIOReturnSuccess;
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
    generationSentIn_ = generation;
    request.outstanding = false;
    int result = RetryWhileInterrupted(
        [&] { return system_->Ioctl(fileDescriptor_, FW_CDEV_IOC_SEND_REQUEST, &send); });
    if (result < 0) {
        return StatusOfCallError(-result);
    }
    request.outstanding = true;

    const Clock::time_point deadline =
        system_->Now() + (failFast_ ? policy_.failFastAnswerDeadline : policy_.answerDeadline);
    // Our wait ran out; the kernel still owns the request until it answers or cancels it.
    const auto unanswered = [&] {
        unanswered_.push_back(closure);
        return kIOReturnTimeout;
    };
    for (;;) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - system_->Now());
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
            return unanswered();
        }
        if ((descriptor.revents & POLLIN) == 0) {
            if (HangUp(descriptor.revents)) {
                unanswered_.push_back(closure);
                return kIOReturnNoDevice;
            }
            if (system_->Now() >= deadline) {
                return unanswered();
            }
            continue;
        }
        std::uint32_t responseCode = 0;
        IOReturn failure = kIOReturnSuccess;
        switch (ReadEvent(closure, &request, responseCode, failure)) {
            case EventResult::Failed:
                return failure;
            case EventResult::Response:
                request.responseCode = responseCode;
                request.outstanding = false;
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
            break;
        }
        if ((descriptor.revents & POLLIN) == 0) {
            if (HangUp(descriptor.revents)) {
                return kIOReturnNoDevice;
            }
            break;
        }
        std::uint32_t responseCode = 0;
        IOReturn failure = kIOReturnSuccess;
        // Closure 0 is never sent: any response here is a late one to a request we gave up on.
        if (ReadEvent(0, nullptr, responseCode, failure) == EventResult::Failed) {
            return failure;
        }
    }
    // An event's generation may be older than what GET_INFO has already said (the kernel
    // queues the events from a work item of its own): ask the kernel instead.
    return busResetSeen_ ? QueryBusInfo(fileDescriptor_, false) : kIOReturnSuccess;
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
            busResetSeen_ = true;
            return EventResult::Other;
        case FW_CDEV_EVENT_RESPONSE: {
            constexpr std::size_t kDataOffset = offsetof(fw_cdev_event_response, data);
            if (length < kDataOffset) {
                return EventResult::Other;
            }
            const auto answered =
                FieldAt<std::uint64_t>(event, offsetof(fw_cdev_event_response, closure));
            if (closure == 0 || answered != closure) {
                // A late answer: the kernel has let go of that request.
                std::erase(unanswered_, answered);
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
