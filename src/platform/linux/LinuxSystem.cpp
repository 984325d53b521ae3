#include "LinuxSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace kaplatform {
namespace {

class RealLinuxSystem final : public LinuxSystem {
  public:
    std::filesystem::path SysfsRoot() const override { return "/sys"; }

    std::filesystem::path ProcRoot() const override { return "/proc"; }

    int Stat(const char* path, struct stat& status) override {
        return ::stat(path, &status) < 0 ? -errno : 0;
    }

    int Open(const char* path, int flags) override {
        const int result = ::open(path, flags);
        return result < 0 ? -errno : result;
    }

    int Close(int fileDescriptor) override { return ::close(fileDescriptor) < 0 ? -errno : 0; }

    int Ioctl(int fileDescriptor, unsigned long request, void* argument) override {
        const int result = ::ioctl(fileDescriptor, request, argument);
        return result < 0 ? -errno : result;
    }

    ssize_t Read(int fileDescriptor, void* buffer, std::size_t size) override {
        const ssize_t result = ::read(fileDescriptor, buffer, size);
        return result < 0 ? -errno : result;
    }

    int Poll(pollfd* descriptors, nfds_t count, int timeoutMilliseconds) override {
        const int result = ::poll(descriptors, count, timeoutMilliseconds);
        return result < 0 ? -errno : result;
    }

    int Flock(int fileDescriptor, int operation) override {
        return ::flock(fileDescriptor, operation) < 0 ? -errno : 0;
    }

    std::chrono::steady_clock::time_point Now() override {
        return std::chrono::steady_clock::now();
    }
};

}  // namespace

std::shared_ptr<LinuxSystem> MakeRealLinuxSystem() {
    return std::make_shared<RealLinuxSystem>();
}

}  // namespace kaplatform
