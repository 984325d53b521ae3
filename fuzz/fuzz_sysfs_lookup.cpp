// Reading the bus from sysfs: the attribute parser on its own, then the unit lookup over a
// small tree built from the input in a temporary directory.
//
// Input script (see FuzzInput.h): a byte with the attribute parser's digit limit, a length
// byte and that many bytes of attribute text; then up to four units, each a flags byte,
// node and unit numbers, and the texts of its specifier_id, version and its node's guid
// (a length byte, then the bytes); last, which values to look for.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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
    unsigned homeNode = 0;  // the node directory it really sits in
    std::optional<std::string> specifierId;
    std::optional<std::string> version;
};

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
    const unsigned count = 1 + input.Byte() % 4;
    for (unsigned index = 0; index < count; ++index) {
        const std::uint8_t flags = input.Byte();
        Unit unit;
        unit.node = input.Byte() % 4;
        const unsigned number = input.Byte() % 3;
        // A unit link that leads into another node's directory does not belong to its name.
        unit.homeNode = (flags & 0x08) != 0 ? (unit.node + 1) % 4 : unit.node;
        unit.name = "fw" + std::to_string(unit.node) + "." + std::to_string(number);
        std::string specifierId = Text(input);
        std::string version = Text(input);
        std::string guid = Text(input);
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
        units.push_back(std::move(unit));
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
        if (expected == nullptr || unit.name < expected->name) {
            expected = &unit;  // names differ only in single digits, so this is the order
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
    Require(guid == AttributeValue(nodeGuids.at(expected->node), 16),
            "NodeGuid differs from the guid attribute");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kafuzz::InputReader input(data, size);
    CheckParser(input);
    CheckLookup(input);
    return 0;
}
