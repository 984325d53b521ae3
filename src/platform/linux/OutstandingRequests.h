// Descriptors given back while the kernel still owns a request sent through them. close()
// of such a descriptor waits until the kernel ends the request (fw_device_op_release), for
// as long as the split time-out (up to 3 s) when the unit acked it pending and never
// answers; the thread that gives a device back must not wait for that. So the descriptor is
// kept, its lock let go at once, and closed later, without waiting, once the kernel has
// answered or cancelled what was outstanding.
#ifndef KA_PLATFORM_LINUX_OUTSTANDINGREQUESTS_H
#define KA_PLATFORM_LINUX_OUTSTANDINGREQUESTS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kaplatform {

class LinuxSystem;

class OutstandingRequests {
  public:
    // closeAfter: how long after it is kept a descriptor is closed whatever was heard;
    // longer than the kernel's longest split time-out.
    OutstandingRequests(std::shared_ptr<LinuxSystem> system, std::chrono::milliseconds closeAfter);
    // Closes what is left: by now, at the program's end, that may wait in the kernel.
    ~OutstandingRequests();
    OutstandingRequests(const OutstandingRequests&) = delete;
    OutstandingRequests& operator=(const OutstandingRequests&) = delete;

    // Takes fileDescriptor, whose requests with these closures the kernel has not ended yet.
    void Keep(int fileDescriptor, std::vector<std::uint64_t> closures);
    // Takes in, without waiting, what the kernel has reported on the kept descriptors, and
    // closes those it owns nothing on any more.
    void Collect();
    // Descriptors kept, not yet closed.
    std::size_t Count();

  private:
    struct Kept {
        int fileDescriptor;
        std::vector<std::uint64_t> closures;
        // The kernel ends every request by its split time-out; past this a descriptor is
        // closed whatever was heard, so that one never told of cannot stay for ever.
        std::chrono::steady_clock::time_point closeBy;
    };
    // Whether the kernel has ended all of kept's requests (or it is time to close anyway).
    bool Ended(Kept& kept);
    void CloseKept(const Kept& kept);

    std::shared_ptr<LinuxSystem> system_;
    const std::chrono::milliseconds closeAfter_;
    std::mutex mutex_;
    std::vector<Kept> kept_;
};

}  // namespace kaplatform

#endif
