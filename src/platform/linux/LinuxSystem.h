// The few kernel calls the FireWire backend makes, behind one interface so that tests can
// run the backend against a fake kernel. Every call returns what the system call returns on
// success and the negated errno on failure (like the kernel itself), so no caller has to
// look at errno, and a fake never has to set it.
#ifndef KA_PLATFORM_LINUX_LINUXSYSTEM_H
#define KA_PLATFORM_LINUX_LINUXSYSTEM_H

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>

namespace kaplatform {

class LinuxSystem {
  public:
    virtual ~LinuxSystem() = default;

    // Where sysfs is mounted ("/sys" on a real system); units are looked up below
    // <root>/bus/firewire/devices.
    virtual std::filesystem::path SysfsRoot() const = 0;

    // Where procfs is mounted ("/proc"); /proc/locks tells who holds a lock.
    virtual std::filesystem::path ProcRoot() const = 0;

    // stat(2): 0, or -errno.
    virtual int Stat(const char* path, struct stat& status) = 0;
    // A file descriptor, or -errno.
    virtual int Open(const char* path, int flags) = 0;
    // 0, or -errno.
    virtual int Close(int fileDescriptor) = 0;
    // The ioctl's non-negative result, or -errno.
    virtual int Ioctl(int fileDescriptor, unsigned long request, void* argument) = 0;
    // Bytes read, or -errno.
    virtual ssize_t Read(int fileDescriptor, void* buffer, std::size_t size) = 0;
    // Descriptors ready (0 when the time-out passed), or -errno.
    virtual int Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) = 0;
    // flock(2): 0, or -errno.
    virtual int Flock(int fileDescriptor, int operation) = 0;
    // The monotonic clock that Poll's time-outs run on. Every wait and deadline of the
    // backend is measured with it, so that a fake kernel can run them on virtual time.
    virtual std::chrono::steady_clock::time_point Now() = 0;
};

// A call of the interface above, made again while a signal interrupts it: the signals the
// desktop delivers (a held quit request, say) must not fail a transfer.
template <typename Call>
int RetryWhileInterrupted(Call call) {
    int result;
    do {
        result = call();
    } while (result == -EINTR);
    return result;
}

// The running kernel, with sysfs at /sys.
std::shared_ptr<LinuxSystem> MakeRealLinuxSystem();

}  // namespace kaplatform

#endif
