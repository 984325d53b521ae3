// The lock lives as long as the descriptor logind hands back; the block closes it when it goes.
#include "SleepInhibitor.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Everything logind can hold off: sleep, idle, shutdown, and the keys and the lid switch,
// whose own handling logind would otherwise carry out even with the first three held.
constexpr const char* kInhibitWhat =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";

std::string SystemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? address
                                                  : "unix:path=/run/dbus/system_bus_socket";
}

struct BusClose {
    // Nothing is flushed: a bus that does not read would hold the close up.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

struct InhibitAnswer {
    bool arrived = false;
    IOReturn status = kIOReturnNotResponding;
    int descriptor = -1;
};

int TakeInhibitAnswer(sd_bus_message* reply, void* userData, sd_bus_error*) {
    auto* answer = static_cast<InhibitAnswer*>(userData);
    answer->arrived = true;
    if (sd_bus_message_is_method_error(reply, nullptr) != 0) {
        answer->status =
            sd_bus_error_has_name(sd_bus_message_get_error(reply), SD_BUS_ERROR_ACCESS_DENIED) != 0
                ? kIOReturnNotPermitted
                : kIOReturnNotResponding;
        return 0;
    }
    int received = -1;
    if (sd_bus_message_read(reply, "h", &received) < 0) {
        return 0;
    }
    // The reply owns the descriptor it carries.
    answer->descriptor = fcntl(received, F_DUPFD_CLOEXEC, 3);
    answer->status = answer->descriptor >= 0 ? kIOReturnSuccess : kIOReturnNoResources;
    return 0;
}

// A connection of its own for each request: the bus named in the environment now is the one
// asked, and nothing of the connection outlives the request.
IOReturn RequestInhibitorLock(const std::string& who, const std::string& why, int& descriptor) {
    const auto deadline = std::chrono::steady_clock::now() + kasleepinhibitor::kSleepInhibitorLimit;
    sd_bus* created = nullptr;
    if (sd_bus_new(&created) < 0) {
        return kIOReturnNoMemory;
    }
    const std::unique_ptr<sd_bus, BusClose> bus(created);
    const std::string address = SystemBusAddress();
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 || sd_bus_start(bus.get()) < 0) {
        return kIOReturnNotResponding;
    }
    sd_bus_message* madeCall = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &madeCall, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "Inhibit") < 0) {
        return kIOReturnNoMemory;
    }
    const std::unique_ptr<sd_bus_message, MessageUnref> call(madeCall);
    if (sd_bus_message_append(call.get(), "ssss", kInhibitWhat, who.c_str(), why.c_str(), "block") <
        0) {
        return kIOReturnNoMemory;
    }
    InhibitAnswer answer;
    const auto limit = std::chrono::duration_cast<std::chrono::microseconds>(
        kasleepinhibitor::kSleepInhibitorLimit);
    if (sd_bus_call_async(bus.get(), nullptr, call.get(), TakeInhibitAnswer, &answer,
                          static_cast<std::uint64_t>(limit.count())) < 0) {
        return kIOReturnNotResponding;
    }
    while (!answer.arrived) {
        const int processed = sd_bus_process(bus.get(), nullptr);
        if (processed < 0) {
            return kIOReturnNotResponding;
        }
        if (processed > 0) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            sd_bus_wait(bus.get(), static_cast<std::uint64_t>(left.count())) < 0) {
            return kIOReturnNotResponding;
        }
    }
    descriptor = answer.descriptor;
    return answer.status;
}

class InhibitorLock final : public kaplatform::SystemSleepBlocker::Block {
  public:
    explicit InhibitorLock(int descriptor) : descriptor_(descriptor) {}
    ~InhibitorLock() override { ::close(descriptor_); }
    InhibitorLock(const InhibitorLock&) = delete;
    InhibitorLock& operator=(const InhibitorLock&) = delete;

  private:
    int descriptor_;
};

class LogindSleepInhibitor final : public kaplatform::SystemSleepBlocker {
  public:
    IOReturn BlockSleep(const std::string& who, const std::string& why,
                        std::unique_ptr<Block>& block) override {
        int descriptor = -1;
        const IOReturn status = RequestInhibitorLock(who, why, descriptor);
        if (status == kIOReturnSuccess) {
            block = std::make_unique<InhibitorLock>(descriptor);
        }
        return status;
    }
};

}  // namespace

namespace kasleepinhibitor {

std::shared_ptr<kaplatform::SystemSleepBlocker> MakeLogindSleepInhibitor() {
    return std::make_shared<LogindSleepInhibitor>();
}

}  // namespace kasleepinhibitor
