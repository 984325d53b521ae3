// The release a program chooses at start from a firmware folder: read once, checked as the
// configure step checks a folder it builds in, refused with the file and the defect named.
// The folder is one the generator writes from another seed, owned by the test's user, who
// stands in for root here.
#include "CapturedOutput.h"
#include "KaFirmware.h"
#include "TestImagePolicy.h"
#include "firmware/FirmwareImageCheck.h"
#include "virorividizezuzu.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

fs::path MakeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "ka_choice_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

// SHA256SUMS for the folder's files as they are now, as a package of them would carry it.
// A file that is not a regular one is left out, to be refused for what it is.
void WriteDigests(const fs::path& folder) {
    std::vector<Bytes> files;
    for (const char* name : {"KaXilinx.bit", "Ka_MCORE.s19", "version"}) {
        std::error_code error;
        const bool regular =
            fs::symlink_status(folder / name, error).type() == fs::file_type::regular;
        files.push_back(regular ? ReadFile(folder / name) : Bytes{});
    }
    WriteFile(folder / "SHA256SUMS", kafirmware::DigestsText({files[0], files[1], files[2], {}}));
}

// A good folder of release 3-6 of a pair written with seed, mode 0755 and files 0644.
fs::path MakeFirmwareFolder(int seed) {
    const fs::path folder = MakeTemporaryFolder();
    const std::string command = std::string("'") + KA_IMAGE_GENERATOR + "' --seed " +
                                std::to_string(seed) + " '" + folder.string() + "'";
    if (folder.empty() || std::system(command.c_str()) != 0) {
        return {};
    }
    WriteFile(folder / "version", "3-6\n");
    WriteDigests(folder);
    fs::permissions(folder, fs::perms(0755));
    for (const char* name : {"KaXilinx.bit", "Ka_MCORE.s19", "version", "SHA256SUMS"}) {
        fs::permissions(folder / name, fs::perms(0644));
    }
    return folder;
}

class FirmwareChoiceTest : public testing::Test {
  protected:
    void SetUp() override {
        folder_ = MakeFirmwareFolder(19);
        ASSERT_FALSE(folder_.empty());
        link_ = folder_.string() + ".link";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        fs::remove(link_, ignored);
    }

    // The hardware updater's choice with folder as the system's, owned by owner; what it
    // said on standard error.
    std::string Choose(const fs::path& folder, UInt32 owner = getuid()) {
        katest::CapturedOutput capture;
        choice_.emplace(KaFirmwareRule::KaFirmwareOnly, KaFirmwareFolder{folder.string(), owner});
        return capture.Take().err;
    }

    fs::path folder_;
    fs::path link_;
    std::optional<katest::ScopedFirmwareChoice> choice_;
};

TEST_F(FirmwareChoiceTest, AGoodFolderIsReadOnceAndItsReleaseIsOffered) {
    const Bytes xilinx = ReadFile(folder_ / "KaXilinx.bit");
    const Bytes mcore = ReadFile(folder_ / "Ka_MCORE.s19");
    EXPECT_EQ(Choose(folder_), "Ka firmware to install: 3-6, from " + folder_.string() + "\n");

    // A package upgraded while the program runs changes nothing of what it installs.
    const fs::path other = MakeFirmwareFolder(20);
    ASSERT_FALSE(other.empty());
    for (const char* name : {"KaXilinx.bit", "Ka_MCORE.s19"}) {
        fs::copy_file(other / name, folder_ / name, fs::copy_options::overwrite_existing);
    }
    WriteFile(folder_ / "version", "9-9\n");
    fs::remove_all(other);

    const KaFirmware firmware = KaChosenFirmware();
    EXPECT_TRUE(firmware.mayBeInstalled);
    EXPECT_TRUE(firmware.problem.empty());
    EXPECT_EQ(firmware.source, folder_.string());
    EXPECT_TRUE(std::ranges::equal(firmware.xilinxFile, xilinx));
    EXPECT_TRUE(std::ranges::equal(firmware.mcoreFile, mcore));

    katest::CapturedOutput quiet;
    Orv::VEV::CViRorividiZezuzu controller;
    EXPECT_EQ(controller.KaMCOREUpgradeVer, 3u);
    EXPECT_EQ(controller.KaXilinxUpgradeVer, 6u);
    std::string offered;
    controller.GetUpdateFirmwareVersionString(offered);
    EXPECT_EQ(offered, "3-6");
}

// The record of an update names where its release came from, whatever folder the program
// was started in.
TEST_F(FirmwareChoiceTest, AFolderNamedRelativelyIsRecordedByItsAbsolutePath) {
    const fs::path started = fs::current_path();
    fs::current_path(folder_.parent_path());
    const std::string said = Choose(folder_.filename().string() + "/");
    fs::current_path(started);
    EXPECT_EQ(said, "Ka firmware to install: 3-6, from " + folder_.filename().string() + "/\n");
    EXPECT_EQ(KaChosenFirmware().source, folder_.string());
}

TEST_F(FirmwareChoiceTest, EachDefectIsRefusedNamingTheFile) {
    const fs::path madeUp = fs::path(KA_SOURCE_DIR) / "data";
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> spoil;
        std::string defect;  // after "<folder>"
        UInt32 owner = getuid();
        bool throughLink = false;
        // The spoiled folder's SHA256SUMS is made anew, as a packager who spoiled the files
        // would have made it: the defect found is the files' own.
        bool digestsFollow = true;
        std::string linkSuffix{};
    };
    const auto breakChecksum = [](const fs::path& folder) {
        Bytes text = ReadFile(folder / "Ka_MCORE.s19");
        std::string line2(text.begin(), text.end());
        const std::size_t end = line2.find("\r\n", line2.find("\r\n") + 2);
        char& digit = reinterpret_cast<char&>(text[end - 1]);
        digit = digit == '0' ? '1' : '0';
        WriteFile(folder / "Ka_MCORE.s19", std::string(text.begin(), text.end()));
    };
    const std::vector<Case> cases = {
        {"a short bitstream",
         [](const fs::path& folder) { fs::resize_file(folder / "KaXilinx.bit", 336753); },
         "/KaXilinx.bit: has 336753 bytes; the Ka's firmware file has 336754"},
        {"a bad S-record checksum", breakChecksum, "/Ka_MCORE.s19: line 2: "},
        {"the made-up images",
         [&](const fs::path& folder) {
             fs::copy_file(madeUp / "Ka_MCORE.s19", folder / "Ka_MCORE.s19",
                           fs::copy_options::overwrite_existing);
         },
         "/Ka_MCORE.s19: is the made-up test image"},
        {"no version file", [](const fs::path& folder) { fs::remove(folder / "version"); },
         "/version: missing"},
        {"a garbled version file",
         [](const fs::path& folder) { WriteFile(folder / "version", "3.6\n"); },
         "/version: is \"3.6?\", not one line"},
        {"a folder its group may write",
         [](const fs::path& folder) { fs::permissions(folder, fs::perms(0775)); },
         ": may be written by users other than its owner"},
        {"a file anyone may write",
         [](const fs::path& folder) { fs::permissions(folder / "version", fs::perms(0646)); },
         "/version: may be written by users other than its owner"},
        {"a file of another user", [](const fs::path&) {},
         ": belongs to user " + std::to_string(getuid()) + ", not to user " +
             std::to_string(getuid() + 1),
         getuid() + 1},
        {"a file that is a link",
         [](const fs::path& folder) {
             fs::rename(folder / "KaXilinx.bit", folder / "elsewhere.bit");
             fs::create_symlink(folder / "elsewhere.bit", folder / "KaXilinx.bit");
         },
         "/KaXilinx.bit: is a symbolic link"},
        {"a pipe for a file",
         [](const fs::path& folder) {
             fs::remove(folder / "version");
             ASSERT_EQ(mkfifo((folder / "version").c_str(), 0644), 0);
         },
         "/version: is not a regular file"},
        {"a folder that is a link", [](const fs::path&) {}, ": is a symbolic link", getuid(), true},
        {"a folder that is a link, named with a final slash", [](const fs::path&) {},
         "/: is a symbolic link", getuid(), true, true, "/"},
        {"a version past the unit's 16 bits",
         [](const fs::path& folder) { WriteFile(folder / "version", "3-99999\n"); },
         "/version: is \"3-99999?\", not one line"},
        {"a flipped byte in the bitstream",
         [](const fs::path& folder) {
             Bytes bytes = ReadFile(folder / "KaXilinx.bit");
             bytes[1000] ^= 0x01;
             WriteFile(folder / "KaXilinx.bit", std::string(bytes.begin(), bytes.end()));
         },
         "/KaXilinx.bit: differs from its SHA-256 in SHA256SUMS", getuid(), false, false},
        {"an upgrade under way: a version file of the next release",
         [](const fs::path& folder) { WriteFile(folder / "version", "3-7\n"); },
         "/version: differs from its SHA-256 in SHA256SUMS", getuid(), false, false},
        {"no SHA256SUMS", [](const fs::path& folder) { fs::remove(folder / "SHA256SUMS"); },
         "/SHA256SUMS: missing", getuid(), false, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TearDown();
        SetUp();
        test.spoil(folder_);
        if (test.digestsFollow) {
            WriteDigests(folder_);
        }
        fs::path chosen = folder_;
        if (test.throughLink) {
            fs::create_symlink(folder_, link_);
            chosen = link_.string() + test.linkSuffix;
        }
        const std::string said = Choose(chosen, test.owner);
        const std::string named = test.throughLink ? link_.string() : folder_.string();
        EXPECT_EQ(said.rfind("No Ka firmware to install: " + named + test.defect, 0), 0u) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line";
        const KaFirmware firmware = KaChosenFirmware();
        EXPECT_FALSE(firmware.mayBeInstalled);
        EXPECT_EQ(firmware.problem, "No usable Ka firmware in " + chosen.string() +
                                        ": the ka-firmware package is needed to update the unit.");
        choice_.reset();
    }
}

}  // namespace
