#include "OutstandingRequests.h"

#include "LinuxSystem.h"

#include <linux/firewire-cdev.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace kaplatform {

OutstandingRequests::OutstandingRequests(std::shared_ptr<LinuxSystem> system,
                                         std::chrono::milliseconds closeAfter)
    : system_(std::move(system)), closeAfter_(closeAfter) {}

OutstandingRequests::~OutstandingRequests() {
    for (const Kept& kept : kept_) {
        CloseKept(kept);
    }
}

void OutstandingRequests::Keep(int fileDescriptor, std::vector<std::uint64_t> closures) {
    const auto closeBy = system_->Now() + closeAfter_;
    const std::scoped_lock lock(mutex_);
    kept_.push_back({fileDescriptor, std::move(closures), closeBy});
}

void OutstandingRequests::Collect() {
    const std::scoped_lock lock(mutex_);
    std::erase_if(kept_, [this](Kept& kept) {
        if (!Ended(kept)) {
            return false;
        }
        CloseKept(kept);
        return true;
    });
}

std::size_t OutstandingRequests::Count() {
    const std::scoped_lock lock(mutex_);
    return kept_.size();
}

bool OutstandingRequests::Ended(Kept& kept) {
    // Only the response's head matters here; the kernel drops what does not fit.
    std::array<std::uint64_t, 8> buffer{};
    // Bounded so that a descriptor that is always readable cannot hold us here.
    for (int event = 0; event < 256 && !kept.closures.empty(); ++event) {
        pollfd descriptor{kept.fileDescriptor, POLLIN, 0};
        const int result = system_->Poll(&descriptor, 1, 0);
        if (result == -EINTR) {
            continue;
        }
        if (result < 0 || (descriptor.revents & POLLNVAL) != 0) {
            return true;  // nothing left to wait for on a descriptor the kernel does not know
        }
        if ((descriptor.revents & POLLIN) == 0) {
            break;  // a node shut down still hears the ends of its requests
        }
        const ssize_t length = system_->Read(kept.fileDescriptor, buffer.data(), sizeof buffer);
        if (length < static_cast<ssize_t>(offsetof(fw_cdev_event_response, rcode))) {
            continue;
        }
        fw_cdev_event_response response{};
        std::memcpy(&response, buffer.data(),
                    std::min(sizeof response, static_cast<std::size_t>(length)));
        if (response.type == FW_CDEV_EVENT_RESPONSE) {
            std::erase(kept.closures, response.closure);
        }
    }
    return kept.closures.empty() || system_->Now() >= kept.closeBy;
}

void OutstandingRequests::CloseKept(const Kept& kept) {
    // Not repeated on EINTR: Linux releases the descriptor whatever close reports.
    system_->Close(kept.fileDescriptor);
}

}  // namespace kaplatform
