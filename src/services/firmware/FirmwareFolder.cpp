#include "FirmwareFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kafirmware {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return descriptor_; }

  private:
    int descriptor_;
};

std::string OpenDefect(int error) {
    switch (error) {
        case ENOENT:
            return "missing";
        case ELOOP:
            return "is a symbolic link";
        case ENOTDIR:
            return "is not a folder";
        default:
            return std::string("cannot be opened: ") + std::strerror(error);
    }
}

// What is wrong with an opened folder or file, or empty when nothing is.
std::string StatusDefect(int descriptor, bool folder, std::optional<std::uint32_t> requiredOwner,
                         std::size_t largestFile = 0) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return std::string("cannot be examined: ") + std::strerror(errno);
    }
    if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
        return folder ? "is not a folder" : "is not a regular file";
    }
    // A file of gigabytes, sparse, costs nothing to make and all of memory to read.
    if (!folder && static_cast<std::uintmax_t>(status.st_size) > largestFile) {
        return "has more than " + std::to_string(largestFile) + " bytes";
    }
    if (!requiredOwner) {
        return {};
    }
    if (status.st_uid != *requiredOwner) {
        return "belongs to user " + std::to_string(status.st_uid) + ", not to " +
               (*requiredOwner == kSystemAdministrator ? std::string("root")
                                                       : "user " + std::to_string(*requiredOwner));
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "may be written by users other than its owner";
    }
    return {};
}

std::string ReadAll(int descriptor, std::size_t largestFile, std::vector<std::uint8_t>& bytes) {
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::string("cannot be read: ") + std::strerror(errno);
        }
        if (count == 0) {
            return {};
        }
        if (bytes.size() + static_cast<std::size_t>(count) > largestFile) {
            return "has more than " + std::to_string(largestFile) + " bytes";
        }
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
}

}  // namespace

FirmwareFolderRead ReadFirmwareFolder(const std::string& folder, std::span<const char* const> names,
                                      std::optional<std::uint32_t> requiredOwner,
                                      std::size_t largestFile) {
    FirmwareFolderRead read;
    // "link/" would have the kernel follow the link before O_NOFOLLOW looks at it.
    std::string opened = folder;
    while (opened.size() > 1 && opened.back() == '/') {
        opened.pop_back();
    }
    const Descriptor folderDescriptor(
        ::open(opened.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folderDescriptor.Get() < 0) {
        const int error = errno;
        // The kernel refuses a link with O_DIRECTORY before O_NOFOLLOW: name the link as such.
        // The look only words the message; the refusal stands whatever it finds.
        struct stat linkStatus {};
        const bool isLink = error == ENOTDIR && ::lstat(opened.c_str(), &linkStatus) == 0 &&
                            S_ISLNK(linkStatus.st_mode);
        read.defect = folder + ": " + OpenDefect(isLink ? ELOOP : error);
        return read;
    }
    if (std::string defect = StatusDefect(folderDescriptor.Get(), true, requiredOwner);
        !defect.empty()) {
        read.defect = folder + ": " + defect;
        return read;
    }
    for (const char* name : names) {
        const std::string path = folder + "/" + name;
        // Non-blocking, so that a named pipe in a file's place is refused, not waited on.
        const Descriptor file(
            ::openat(folderDescriptor.Get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        std::string defect;
        if (file.Get() < 0) {
            defect = OpenDefect(errno);
        } else {
            defect = StatusDefect(file.Get(), false, requiredOwner, largestFile);
        }
        std::vector<std::uint8_t> bytes;
        if (defect.empty()) {
            defect = ReadAll(file.Get(), largestFile, bytes);
        }
        if (!defect.empty()) {
            read.defect = path;
            read.defect.append(": ").append(defect);
            read.files.clear();
            return read;
        }
        read.files.push_back(std::move(bytes));
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(opened, error);
    read.absolutePath = error ? opened : absolute.lexically_normal().string();
    return read;
}

}  // namespace kafirmware
