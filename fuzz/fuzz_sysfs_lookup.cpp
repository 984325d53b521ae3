// Reading the bus from sysfs: the attribute parser on its own, then the unit lookup over a
// small tree built from the input in a temporary directory.
//
// Input script (see FuzzInput.h): a byte with the attribute parser's digit limit, a length
// byte and that many bytes of attribute text; then up to four units, each a flags byte,
// node and unit numbers, and the texts of its specifier_id, version and its node's guid
// (a length byte, then the bytes), and with flag 0x10 another name for it in the bus
// directory (flags 1, 2, 4 leave out specifier_id, version, guid; 8 puts the unit in the
// next node's directory); last, which values to look for.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzInput.h"
#include "SysfsFireWire.h"

namespace {

namespace fs = std::filesystem;
using kaplatform::sysfs::ParseHexAttribute;

void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_sysfs_lookup: %s\n", what);
        std::abort();
    }
}

// What the kernel writes: "0x", hex digits, one line feed; we also take it without the line
// feed and in upper case.
std::optional<std::uint64_t> ReferenceHex(std::string_view text, std::size_t maxDigits) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (text.size() < 3 || text.size() > 2 + maxDigits || text[0] != '0' || text[1] != 'x') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char digit : text.substr(2)) {
        int nibble = -1;
        if (digit >= '0' && digit <= '9') {
            nibble = digit - '0';
        } else if (digit >= 'a' && digit <= 'f') {
            nibble = digit - 'a' + 10;
        } else if (digit >= 'A' && digit <= 'F') {
            nibble = digit - 'A' + 10;
        }
        if (nibble < 0) {
            return std::nullopt;
        }
        value = value << 4 | static_cast<unsigned>(nibble);
    }
    return value;
}

// sysfs attributes longer than this are not read as attributes.
constexpr std::size_t kAttributeLimit = 64;

std::optional<std::uint64_t> AttributeValue(const std::optional<std::string>& text,
                                            std::size_t maxDigits) {
    if (!text || text->size() > kAttributeLimit) {
        return std::nullopt;
    }
    return ReferenceHex(*text, maxDigits);
}

std::string Text(kafuzz::InputReader& input) {
    const auto bytes = input.Bytes(input.Byte() % 80);
    return {bytes.begin(), bytes.end()};
}

void WriteFile(const fs::path& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
}

// A fresh directory for one input's tree, removed when the input is done (libFuzzer ends the
// process without running exit handlers, so nothing may be left for the end).
class ScratchDirectory {
  public:
    ScratchDirectory() {
        // Thousands of trees a second: memory-backed storage when there is some.
        std::error_code error;
        const fs::path base = fs::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
                                  ? fs::path("/dev/shm")
                                  : fs::temp_directory_path();
        std::string pattern = (base / "ka-fuzz-sysfs-XXXXXX").string();
        Require(::mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

struct Unit {
    std::string name;       // fwN.M
    unsigned node = 0;      // N
    unsigned number = 0;    // M
    unsigned homeNode = 0;  // the node directory it really sits in
    std::optional<std::string> specifierId;
    std::optional<std::string> version;
};

// The kernel's unit names: "fw", node number, ".", unit number, in decimal without leading
// zeros (and, for us, short enough never to overflow).
std::optional<std::pair<unsigned, unsigned>> ReferenceUnitName(std::string_view name) {
    auto decimal = [](std::string_view digits) -> std::optional<unsigned> {
        if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0') ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        return static_cast<unsigned>(std::stoul(std::string(digits)));
    };
    const auto dot = name.find('.');
    if (!name.starts_with("fw") || dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto node = decimal(name.substr(2, dot - 2));
    const auto unit = decimal(name.substr(dot + 1));
    if (!node || !unit) {
        return std::nullopt;
    }
    return std::pair{*node, *unit};
}

void CheckParser(kafuzz::InputReader& input) {
    const std::size_t maxDigits = 1 + input.Byte() % 16;
    const std::string text = Text(input);
    const auto parsed = ParseHexAttribute(text, maxDigits);
    const auto expected = ReferenceHex(text, maxDigits);
    Require(parsed == expected, "ParseHexAttribute differs from the reference");
}

void CheckLookup(kafuzz::InputReader& input) {
    const ScratchDirectory scratch;
    const fs::path& root = scratch.Path();
    std::error_code error;
    const fs::path bus = root / "bus" / "firewire" / "devices";
    const fs::path tree = root / "devices" / "fw-host";
    fs::create_directories(bus);
    fs::create_directories(tree);

    std::map<unsigned, std::optional<std::string>> nodeGuids;
    std::vector<Unit> units;
    std::vector<std::pair<std::string, std::size_t>> aliases;
    const unsigned count = 1 + input.Byte() % 4;
    for (unsigned index = 0; index < count; ++index) {
        const std::uint8_t flags = input.Byte();
        Unit unit;
        unit.node = input.Byte() % 4;
        const unsigned number = input.Byte() % 3;
        // A unit link that leads into another node's directory does not belong to its name.
        unit.homeNode = (flags & 0x08) != 0 ? (unit.node + 1) % 4 : unit.node;
        unit.number = number;
        unit.name = "fw" + std::to_string(unit.node) + "." + std::to_string(number);
        std::string specifierId = Text(input);
        std::string version = Text(input);
        std::string guid = Text(input);
        // Another name in the bus directory for the same unit directory: the names the
        // kernel never makes must be passed over, the others judged by what they name.
        std::string alias = (flags & 0x10) != 0 ? Text(input).substr(0, 20) : "";
        bool duplicate = false;
        for (const Unit& other : units) {
            duplicate = duplicate || other.name == unit.name;
        }
        if (duplicate) {
            continue;
        }
        if ((flags & 0x01) == 0) {
            unit.specifierId = std::move(specifierId);
        }
        if ((flags & 0x02) == 0) {
            unit.version = std::move(version);
        }
        const fs::path nodeDirectory = tree / ("fw" + std::to_string(unit.homeNode));
        if (!nodeGuids.contains(unit.homeNode)) {
            fs::create_directories(nodeDirectory);
            fs::create_directory_symlink(nodeDirectory, bus / nodeDirectory.filename(), error);
            if ((flags & 0x04) == 0) {
                WriteFile(nodeDirectory / "guid", guid);
                nodeGuids[unit.homeNode] = guid;
            } else {
                nodeGuids[unit.homeNode] = std::nullopt;
            }
        }
        const fs::path unitDirectory = nodeDirectory / unit.name;
        fs::create_directories(unitDirectory);
        if (unit.specifierId) {
            WriteFile(unitDirectory / "specifier_id", *unit.specifierId);
        }
        if (unit.version) {
            WriteFile(unitDirectory / "version", *unit.version);
        }
        fs::create_directory_symlink(unitDirectory, bus / unit.name);
        if (!alias.empty()) {
            aliases.push_back({std::move(alias), units.size()});
        }
        units.push_back(std::move(unit));
    }
    // Made once all units are there, so that no alias takes a unit's or a node's name.
    for (auto& [alias, target] : aliases) {
        std::replace(alias.begin(), alias.end(), '/', '_');
        std::replace(alias.begin(), alias.end(), '\0', '_');
        const bool nodeName = alias.size() > 2 && alias.starts_with("fw") &&
                              alias.find_first_not_of("0123456789", 2) == std::string::npos;
        if (alias == "." || alias == ".." || nodeName ||
            fs::exists(fs::symlink_status(bus / alias, error))) {
            continue;
        }
        const Unit& named = units[target];
        fs::create_directory_symlink(tree / ("fw" + std::to_string(named.homeNode)) / named.name,
                                     bus / alias);
        if (const auto numbers = ReferenceUnitName(alias)) {
            Unit unit = named;
            unit.name = alias;
            unit.node = numbers->first;
            unit.number = numbers->second;
            units.push_back(std::move(unit));
        }
    }

    // Mostly the values of one of the units, so that matches happen.
    std::uint32_t specifierId = input.U32() & 0xFFFFFF;
    std::uint32_t version = input.U32() & 0xFFFFFF;
    const std::uint8_t pick = input.Byte();
    if (pick < 0xC0 && !units.empty()) {
        const Unit& chosen = units[pick % units.size()];
        specifierId =
            static_cast<std::uint32_t>(AttributeValue(chosen.specifierId, 6).value_or(specifierId));
        version = static_cast<std::uint32_t>(AttributeValue(chosen.version, 6).value_or(version));
    }

    const auto found = kaplatform::sysfs::FindFirstUnit(root, specifierId, version);
    // The first unit by node number, then unit number, that holds both values and sits in
    // the directory of the node its name gives.
    const Unit* expected = nullptr;
    for (const Unit& unit : units) {
        if (AttributeValue(unit.specifierId, 6) != specifierId ||
            AttributeValue(unit.version, 6) != version || unit.homeNode != unit.node) {
            continue;
        }
        if (expected == nullptr ||
            std::pair{unit.node, unit.number} < std::pair{expected->node, expected->number}) {
            expected = &unit;
        }
    }
    Require(found.has_value() == (expected != nullptr), "FindFirstUnit missed or invented a unit");
    if (!found) {
        return;
    }
    Require(*found == expected->name, "FindFirstUnit picked the wrong unit");
    Require(AttributeValue(expected->specifierId, 6) == specifierId &&
                AttributeValue(expected->version, 6) == version,
            "FindFirstUnit's unit does not hold the values asked for");

    const auto node = kaplatform::sysfs::NodeOfUnit(root, *found);
    Require(node == "fw" + std::to_string(expected->node), "NodeOfUnit gave the wrong node");
    const auto guid = kaplatform::sysfs::NodeGuid(root, *node);
    Require(guid == AttributeValue(nodeGuids.at(expected->homeNode), 16),
            "NodeGuid differs from the guid attribute");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kafuzz::InputReader input(data, size);
    CheckParser(input);
    CheckLookup(input);
    return 0;
}
