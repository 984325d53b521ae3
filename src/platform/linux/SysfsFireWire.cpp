#include "SysfsFireWire.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

namespace kaplatform::sysfs {
namespace {

namespace fs = std::filesystem;

fs::path DevicesDirectory(const fs::path& sysfsRoot) {
    return sysfsRoot / "bus" / "firewire" / "devices";
}

// sysfs attributes are a few bytes long. Anything longer than this, or anything that is
// not a regular file, is not an attribute we understand. O_NONBLOCK keeps a stray FIFO in a
// test tree (or a broken mount) from hanging the lookup.
std::optional<std::string> ReadSmallFile(const fs::path& path) {
    constexpr std::size_t kLimit = 64;
    const int fileDescriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fileDescriptor < 0) {
        return std::nullopt;
    }
    std::optional<std::string> contents;
    struct stat status {};
    if (::fstat(fileDescriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        std::array<char, kLimit + 1> buffer{};
        const ssize_t length = ::read(fileDescriptor, buffer.data(), buffer.size());
        if (length >= 0 && static_cast<std::size_t>(length) <= kLimit) {
            contents.emplace(buffer.data(), static_cast<std::size_t>(length));
        }
    }
    ::close(fileDescriptor);
    return contents;
}

std::optional<std::uint64_t> ReadHexAttribute(const fs::path& path, std::size_t maxDigits) {
    const auto text = ReadSmallFile(path);
    if (!text) {
        return std::nullopt;
    }
    return ParseHexAttribute(*text, maxDigits);
}

// A decimal number without sign or leading zeros, small enough never to overflow.
std::optional<unsigned> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 9 || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(digit - '0');
    }
    return value;
}

struct UnitNumbers {
    unsigned node;
    unsigned unit;
};

std::optional<UnitNumbers> ParseUnitName(std::string_view name) {
    if (!name.starts_with("fw")) {
        return std::nullopt;
    }
    name.remove_prefix(2);
    const auto dot = name.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto node = ParseDecimal(name.substr(0, dot));
    const auto unit = ParseDecimal(name.substr(dot + 1));
    if (!node || !unit) {
        return std::nullopt;
    }
    return UnitNumbers{*node, *unit};
}

bool IsNodeName(std::string_view name) {
    return name.starts_with("fw") && ParseDecimal(name.substr(2)).has_value();
}

}  // namespace

std::optional<std::uint64_t> ParseHexAttribute(std::string_view text, std::size_t maxDigits) {
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    if (!text.starts_with("0x")) {
        return std::nullopt;
    }
    text.remove_prefix(2);
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char digit : text) {
        unsigned nibble;
        if (digit >= '0' && digit <= '9') {
            nibble = static_cast<unsigned>(digit - '0');
        } else if (digit >= 'a' && digit <= 'f') {
            nibble = static_cast<unsigned>(digit - 'a' + 10);
        } else if (digit >= 'A' && digit <= 'F') {
            nibble = static_cast<unsigned>(digit - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = (value << 4) | nibble;
    }
    return value;
}

bool IsUnitName(std::string_view name) {
    return ParseUnitName(name).has_value();
}

std::optional<std::string> NodeOfUnit(const fs::path& sysfsRoot, const std::string& unitName) {
    if (!IsUnitName(unitName)) {
        return std::nullopt;
    }
    // The bus directory holds links into the device tree, where a unit sits inside the
    // directory of its node.
    std::error_code error;
    const fs::path resolved = fs::canonical(DevicesDirectory(sysfsRoot) / unitName, error);
    if (error || !fs::is_directory(resolved, error) || error) {
        return std::nullopt;
    }
    std::string node = resolved.parent_path().filename().string();
    // The kernel names a unit after its node; a unit that sits elsewhere is not one of its.
    if (!IsNodeName(node) || unitName.compare(0, node.size() + 1, node + ".") != 0) {
        return std::nullopt;
    }
    return node;
}

std::optional<std::uint64_t> NodeGuid(const fs::path& sysfsRoot, const std::string& nodeName) {
    if (!IsNodeName(nodeName)) {
        return std::nullopt;
    }
    return ReadHexAttribute(DevicesDirectory(sysfsRoot) / nodeName / "guid", 16);
}

std::vector<std::string> NodesWithGuid(const fs::path& sysfsRoot, std::uint64_t guid) {
    std::vector<std::pair<unsigned, std::string>> found;
    std::error_code error;
    fs::directory_iterator entries(DevicesDirectory(sysfsRoot), error);
    if (error) {
        return {};
    }
    for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) {
            break;
        }
        std::string name = entries->path().filename().string();
        if (!IsNodeName(name) || NodeGuid(sysfsRoot, name) != guid) {
            continue;
        }
        if (const std::optional<unsigned> number = ParseDecimal(std::string_view(name).substr(2))) {
            found.emplace_back(*number, std::move(name));
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    nodes.reserve(found.size());
    for (auto& [number, name] : found) {
        nodes.push_back(std::move(name));
    }
    return nodes;
}

std::vector<std::string> FindUnits(const fs::path& sysfsRoot, std::uint32_t specifierId,
                                   std::uint32_t version) {
    struct Candidate {
        UnitNumbers numbers;
        std::string name;
    };
    std::vector<Candidate> candidates;
    std::error_code error;
    fs::directory_iterator entries(DevicesDirectory(sysfsRoot), error);
    if (error) {
        return {};  // no FireWire stack, or no sysfs at all
    }
    for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) {
            break;
        }
        std::string name = entries->path().filename().string();
        if (const auto numbers = ParseUnitName(name)) {
            candidates.push_back({*numbers, std::move(name)});
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const auto& left, const auto& right) {
        return std::tie(left.numbers.node, left.numbers.unit) <
               std::tie(right.numbers.node, right.numbers.unit);
    });

    const fs::path devices = DevicesDirectory(sysfsRoot);
    std::vector<std::string> units;
    for (auto& candidate : candidates) {
        // The values are 24-bit immediate entries of the unit directory.
        const auto foundSpecifier = ReadHexAttribute(devices / candidate.name / "specifier_id", 6);
        const auto foundVersion = ReadHexAttribute(devices / candidate.name / "version", 6);
        if (foundSpecifier != specifierId || foundVersion != version) {
            continue;
        }
        if (NodeOfUnit(sysfsRoot, candidate.name)) {
            units.push_back(std::move(candidate.name));
        }
    }
    return units;
}

std::optional<std::string> FindFirstUnit(const fs::path& sysfsRoot, std::uint32_t specifierId,
                                         std::uint32_t version) {
    std::vector<std::string> units = FindUnits(sysfsRoot, specifierId, version);
    if (units.empty()) {
        return std::nullopt;
    }
    return std::move(units.front());
}

bool HasLocalNode(const fs::path& sysfsRoot) {
    std::error_code error;
    fs::directory_iterator entries(DevicesDirectory(sysfsRoot), error);
    if (error) {
        return false;  // firewire-core is not loaded: no controller driver either
    }
    for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) {
            break;
        }
        const std::string name = entries->path().filename().string();
        if (IsNodeName(name) && ReadSmallFile(entries->path() / "is_local") == "1\n") {
            return true;
        }
    }
    return false;
}

std::vector<std::string> BoundUnitDrivers(const fs::path& sysfsRoot, const std::string& nodeName) {
    std::vector<std::pair<unsigned, std::string>> bound;
    const auto node = IsNodeName(nodeName) ? ParseDecimal(nodeName.substr(2)) : std::nullopt;
    std::error_code error;
    fs::directory_iterator entries(DevicesDirectory(sysfsRoot), error);
    if (!node || error) {
        return {};
    }
    for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) {
            break;
        }
        const std::string name = entries->path().filename().string();
        const auto numbers = ParseUnitName(name);
        if (!numbers || numbers->node != *node) {
            continue;
        }
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entries->path() / "driver", linkError);
        const std::string driver = linkError ? std::string() : target.filename().string();
        // The name is shown to the user: a driver's name is short and plain.
        const bool plain = !driver.empty() && driver.size() <= 64 &&
                           std::all_of(driver.begin(), driver.end(), [](char c) {
                               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                      (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
                           });
        if (plain) {
            std::string text = name;
            text += ": ";
            text += driver;
            bound.emplace_back(numbers->unit, std::move(text));
        }
    }
    std::sort(bound.begin(), bound.end());
    std::vector<std::string> drivers;
    drivers.reserve(bound.size());
    for (auto& [unit, text] : bound) {
        drivers.push_back(std::move(text));
    }
    return drivers;
}

}  // namespace kaplatform::sysfs
