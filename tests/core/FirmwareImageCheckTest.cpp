// The checks a supplied firmware folder must pass before a build carries it, one defect of
// each kind at a time, made in a pair the generator writes from another seed than data/'s:
// the images have the firmware's exact structure and are not the made-up ones.
#include "BuiltInImages.h"
#include "KaFirmware.h"
#include "firmware/FirmwareImageCheck.h"
#include "firmware/SRecord.h"
#include "KaWire.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#ifndef KA_IMAGE_GENERATOR
#error "KA_IMAGE_GENERATOR must name the image generator"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const fs::path kMadeUpFolder = fs::path(KA_SOURCE_DIR) / "data";

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

fs::path MakeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "ka_firmware_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

// The S-record text as lines without their CR LF, and back.
std::vector<std::string> Lines(const Bytes& text) {
    std::vector<std::string> lines;
    const std::string_view view(reinterpret_cast<const char*>(text.data()), text.size());
    for (std::size_t start = 0; start < view.size();) {
        const std::size_t end = view.find("\r\n", start);
        lines.emplace_back(view.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

Bytes Joined(const std::vector<std::string>& lines) {
    Bytes text;
    for (const std::string& line : lines) {
        text.insert(text.end(), line.begin(), line.end());
        text.push_back('\r');
        text.push_back('\n');
    }
    return text;
}

// A data record moved by delta, its checksum made right again.
std::string Moved(const std::string& line, std::uint32_t delta) {
    kafirmware::Record record;
    EXPECT_EQ(kafirmware::Parse(line, record), kafirmware::Error::None) << line;
    record.address += delta;
    return kafirmware::Format(record);
}

class FirmwareImageCheckTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        pairFolder_ = MakeTemporaryFolder();
        ASSERT_FALSE(pairFolder_.empty());
        const std::string command =
            std::string("'") + KA_IMAGE_GENERATOR + "' --seed 7 '" + pairFolder_.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        xilinx_ = ReadFile(pairFolder_ / "KaXilinx.bit");
        mcore_ = ReadFile(pairFolder_ / "Ka_MCORE.s19");
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(pairFolder_, ignored);
    }

    void SetUp() override {
        folder_ = MakeTemporaryFolder();
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // What the check says of a folder holding these two files, a version file and their
    // digests.
    std::string Check(const Bytes& xilinx, const Bytes& mcore, std::string_view version = "3-5\n") {
        WriteFile(folder_ / "KaXilinx.bit", xilinx);
        WriteFile(folder_ / "Ka_MCORE.s19", mcore);
        WriteFile(folder_ / "version", Bytes(version.begin(), version.end()));
        WriteDigests(folder_);
        return CheckFolder(folder_);
    }
    static void WriteDigests(const fs::path& folder) {
        const Bytes xilinx = ReadFile(folder / "KaXilinx.bit");
        const Bytes mcore = ReadFile(folder / "Ka_MCORE.s19");
        const Bytes version = ReadFile(folder / "version");
        const std::string digests = kafirmware::DigestsText({xilinx, mcore, version, {}});
        WriteFile(folder / "SHA256SUMS", Bytes(digests.begin(), digests.end()));
    }
    static std::string CheckFolder(const fs::path& folder) {
        kafirmware::FirmwareVersion version;
        return kafirmware::CheckFirmwareFolder(folder, kMadeUpFolder, version);
    }
    std::string CheckXilinx(const Bytes& xilinx) { return Check(xilinx, mcore_); }
    std::string CheckMcore(const Bytes& mcore) { return Check(xilinx_, mcore); }
    std::string CheckMcoreLines(const std::vector<std::string>& lines) {
        return CheckMcore(Joined(lines));
    }

    std::string XilinxPath() const { return (folder_ / "KaXilinx.bit").string() + ": "; }
    std::string McorePath() const { return (folder_ / "Ka_MCORE.s19").string() + ": "; }

    static fs::path pairFolder_;
    static Bytes xilinx_;
    static Bytes mcore_;
    fs::path folder_;
};

fs::path FirmwareImageCheckTest::pairFolder_;
Bytes FirmwareImageCheckTest::xilinx_;
Bytes FirmwareImageCheckTest::mcore_;

TEST_F(FirmwareImageCheckTest, AnIndependentPairOfTheRightStructureIsAccepted) {
    ASSERT_EQ(xilinx_.size(), kafirmware::kXilinxFileBytes);
    ASSERT_EQ(mcore_.size(), kafirmware::kMcoreFileBytes);
    EXPECT_NE(xilinx_, ReadFile(kMadeUpFolder / "KaXilinx.bit"));
    EXPECT_NE(mcore_, ReadFile(kMadeUpFolder / "Ka_MCORE.s19"));
    EXPECT_EQ(Check(xilinx_, mcore_), "");
}

TEST_F(FirmwareImageCheckTest, TheMadeUpImagesAreNeverTakenForFirmware) {
    const Bytes madeUpXilinx = ReadFile(kMadeUpFolder / "KaXilinx.bit");
    const Bytes madeUpMcore = ReadFile(kMadeUpFolder / "Ka_MCORE.s19");
    const std::string madeUp = "is the made-up test image from the repository's data/";
    EXPECT_EQ(Check(madeUpXilinx, madeUpMcore).rfind(XilinxPath() + madeUp, 0), 0u);
    // Either one of them alone is refused too.
    EXPECT_EQ(Check(xilinx_, madeUpMcore).rfind(McorePath() + madeUp, 0), 0u);
    EXPECT_EQ(Check(madeUpXilinx, mcore_).rfind(XilinxPath() + madeUp, 0), 0u);
    // The repository's own folder named as the firmware.
    EXPECT_NE(CheckFolder(kMadeUpFolder).find(madeUp), std::string::npos);
}

TEST_F(FirmwareImageCheckTest, AMissingOrUnreadableFileIsNamed) {
    WriteFile(folder_ / "KaXilinx.bit", xilinx_);
    EXPECT_EQ(CheckFolder(folder_), McorePath() + "missing");
    fs::create_directory(folder_ / "Ka_MCORE.s19");
    EXPECT_EQ(CheckFolder(folder_), McorePath() + "is not a regular file");
    EXPECT_EQ(CheckFolder(folder_ / "nowhere"), (folder_ / "nowhere").string() + ": missing");
}

// The build takes a folder on the terms the updater does: what the updater would refuse
// never reaches a build, and a file of gigabytes is refused by its size, not read.
TEST_F(FirmwareImageCheckTest, AFolderIsCheckedWithTheUpdatersLimitsAndLinkRules) {
    ASSERT_EQ(Check(xilinx_, mcore_), "");
    const fs::path elsewhere = folder_.string() + "-elsewhere";
    fs::create_directory(elsewhere);
    fs::copy_file(folder_ / "KaXilinx.bit", elsewhere / "KaXilinx.bit");
    fs::remove(folder_ / "KaXilinx.bit");
    fs::create_symlink(elsewhere / "KaXilinx.bit", folder_ / "KaXilinx.bit");
    EXPECT_EQ(CheckFolder(folder_), XilinxPath() + "is a symbolic link");
    fs::remove(folder_ / "KaXilinx.bit");
    fs::rename(elsewhere / "KaXilinx.bit", folder_ / "KaXilinx.bit");
    ASSERT_EQ(CheckFolder(folder_), "");

    fs::remove(elsewhere);
    fs::create_directory_symlink(folder_, elsewhere);
    EXPECT_EQ(CheckFolder(elsewhere), elsewhere.string() + ": is a symbolic link");
    fs::remove(elsewhere);

    // Sparse: two gigabytes on disk for nothing.
    fs::resize_file(folder_ / "KaXilinx.bit", std::uintmax_t{2} << 30);
    EXPECT_EQ(CheckFolder(folder_), XilinxPath() + "has more than 1048576 bytes");
}

TEST_F(FirmwareImageCheckTest, TheVersionFileIsOneLineOfTwoDecimalNumbers) {
    kafirmware::FirmwareVersion version;
    WriteFile(folder_ / "KaXilinx.bit", xilinx_);
    WriteFile(folder_ / "Ka_MCORE.s19", mcore_);
    EXPECT_EQ(CheckFolder(folder_), (folder_ / "version").string() + ": missing");
    for (const std::string_view good : {"3-6\n", "12-0", "0-65535\n"}) {
        EXPECT_EQ(Check(xilinx_, mcore_, good), "") << good;
    }
    WriteFile(folder_ / "version", {'1', '0', '-', '2', '\n'});
    WriteDigests(folder_);
    EXPECT_EQ(kafirmware::CheckFirmwareFolder(folder_, kMadeUpFolder, version), "");
    EXPECT_EQ(version.mcore, 10u);
    EXPECT_EQ(version.xilinx, 2u);
    const std::string garbled = (folder_ / "version").string() + ": is ";
    for (const std::string_view bad : {"", "3-5\r\n", "3-5\n\n", "3.5", "-5", "3-", " 3-5", "3-5 ",
                                       "+3-5", "3-5-1", "100000-1", "3-x", "3-5\n4-6",
                                       // The unit's fields are 16 bits: 99999 would hide
                                       // every downgrade.
                                       "65536-1", "3-99999", "03-5", "3-00"}) {
        EXPECT_EQ(Check(xilinx_, mcore_, bad).rfind(garbled, 0), 0u) << '"' << bad << '"';
    }
}

TEST_F(FirmwareImageCheckTest, EachFileMustBeTheOneItsSha256InSha256SumsNames) {
    ASSERT_EQ(Check(xilinx_, mcore_), "");
    // sha256sum checks by hand what the program writes and reads.
    const std::string byHand = "cd '" + folder_.string() + "' && sha256sum --quiet -c SHA256SUMS";
    EXPECT_EQ(std::system(byHand.c_str()), 0);

    const std::string digests = folder_.string() + "/SHA256SUMS: ";
    Bytes flipped = xilinx_;
    flipped[200000] ^= 0x10;
    WriteFile(folder_ / "KaXilinx.bit", flipped);
    EXPECT_EQ(CheckFolder(folder_),
              XilinxPath() +
                  "differs from its SHA-256 in SHA256SUMS; the file is damaged or of "
                  "another release");
    // sha256sum's binary mode marks names with '*'.
    const std::string binary = "cd '" + folder_.string() +
                               "' && sha256sum -b KaXilinx.bit Ka_MCORE.s19 version >SHA256SUMS";
    ASSERT_EQ(std::system(binary.c_str()), 0);
    EXPECT_EQ(CheckFolder(folder_), "");

    const std::string text =
        kafirmware::DigestsText({xilinx_, mcore_, ReadFile(folder_ / "version"), {}});
    const std::string firstLine = text.substr(0, text.find('\n') + 1);
    struct Case {
        std::string sums;
        std::string defect;
    };
    const std::vector<Case> cases = {
        {text.substr(0, text.rfind('\n', text.size() - 2) + 1), "has no SHA-256 for version"},
        {text + firstLine, "names KaXilinx.bit twice"},
        {text + std::string(64, '0') + "  other.bin\n", "line 4 is not a SHA-256 and the name"},
        {"x" + text.substr(1), "line 1 is not a SHA-256 and the name"},
        {text.substr(0, text.size() - 1), "line 3 is not ended by LF"},
    };
    WriteFile(folder_ / "KaXilinx.bit", xilinx_);
    for (const Case& test : cases) {
        WriteFile(folder_ / "SHA256SUMS", Bytes(test.sums.begin(), test.sums.end()));
        EXPECT_EQ(CheckFolder(folder_).rfind(digests + test.defect, 0), 0u) << CheckFolder(folder_);
    }
    fs::remove(folder_ / "SHA256SUMS");
    EXPECT_EQ(CheckFolder(folder_), digests + "missing");
}

TEST_F(FirmwareImageCheckTest, AFileOfAnotherSizeIsRefused) {
    Bytes shortXilinx(xilinx_.begin(), xilinx_.end() - 1);
    EXPECT_EQ(CheckXilinx(shortXilinx),
              XilinxPath() + "has 336753 bytes; the Ka's firmware file has 336754");
    Bytes longMcore = mcore_;
    longMcore.insert(longMcore.end(), {'\r', '\n'});
    EXPECT_EQ(CheckMcore(longMcore),
              McorePath() + "has 74878 bytes; the Ka's firmware file has 74876");
    EXPECT_EQ(CheckMcore({}), McorePath() + "has 0 bytes; the Ka's firmware file has 74876");
}

TEST_F(FirmwareImageCheckTest, ABitHeaderNotLaidOutAsTheFirmwaresIsRefused) {
    struct Case {
        std::size_t offset;
        std::uint8_t value;
        const char* defect;
    };
    const Case cases[] = {
        {1, 0x0A, "the header does not begin with the .bit preamble"},
        {12, 0x02, "the header does not begin with the .bit preamble"},
        {28, 'B', "byte 28 is not the key of the header field 'b' (part name)"},
        {45, 12, "header field 'c' (creation date) has length 12, not 11"},
        {27, 'x', "header field 'a' (design name) does not end in NUL"},
        {31, 'S', "the part name is not 2s400eft256"},
        {50, '-', "header field 'c' (creation date) is not of the form dddd/dd/dd"},
        {62, '-', "header field 'd' (creation time) is not of the form dd:dd:dd"},
        {69, 'E', "byte 69 is not the key of the header field 'e' (configuration data length)"},
    };
    for (const Case& defect : cases) {
        Bytes file = xilinx_;
        file[defect.offset] = defect.value;
        EXPECT_EQ(CheckXilinx(file).rfind(XilinxPath() + defect.defect, 0), 0u)
            << "byte " << defect.offset << ": " << CheckXilinx(file);
    }
}

TEST_F(FirmwareImageCheckTest, TheSyncPatternMustStartTheDataWithinThe144Bytes) {
    Bytes noSync = xilinx_;
    noSync[78] = 0xAB;  // AA 99 55 66 becomes AB 99 55 66
    EXPECT_EQ(CheckXilinx(noSync), XilinxPath() +
                                       "no sync pattern FF FF FF FF AA 99 55 66 within the "
                                       "first 144 bytes");

    // A pattern in the design name would be taken for the start of the data.
    Bytes early = xilinx_;
    const auto& pattern = kawire::kSyncPattern;
    std::copy(pattern.begin(), pattern.end(), early.begin() + 16);
    EXPECT_EQ(CheckXilinx(early),
              XilinxPath() +
                  "the first sync pattern is at byte 16, not at 74 where the configuration data "
                  "starts");
}

TEST_F(FirmwareImageCheckTest, TheELengthMustMatchTheDataThatFollows) {
    Bytes file = xilinx_;
    ++file[73];
    EXPECT_EQ(CheckXilinx(file), XilinxPath() +
                                     "the 'e' length is 336681 but 336680 bytes of "
                                     "configuration data follow");
}

TEST_F(FirmwareImageCheckTest, SRecordLinesMustEndInCrLf) {
    std::string text(mcore_.begin(), mcore_.end());
    // The fourth line ends in a bare LF; the size stays that of the firmware.
    std::size_t end = 0;
    for (int line = 0; line < 4; ++line) {
        end = text.find("\r\n", end) + 2;
    }
    std::string bareLf = text;
    bareLf[end - 2] = '\n';
    EXPECT_EQ(CheckMcore(Bytes(bareLf.begin(), bareLf.end())),
              McorePath() + "line 4 ends in LF without CR");
    std::string bareCr = text;
    bareCr[end - 1] = '\r';
    EXPECT_EQ(CheckMcore(Bytes(bareCr.begin(), bareCr.end())),
              McorePath() + "line 4 has a CR that is not followed by LF");
}

TEST_F(FirmwareImageCheckTest, ABadRecordIsNamedByItsLine) {
    const std::vector<std::string> lines = Lines(mcore_);
    ASSERT_EQ(lines.size(), 1043u);

    std::vector<std::string> badChecksum = lines;
    char& checksumDigit = badChecksum[9].back();
    checksumDigit = checksumDigit == '0' ? '1' : '0';
    EXPECT_EQ(CheckMcoreLines(badChecksum), McorePath() + "line 10: bad checksum");

    std::vector<std::string> badCount = lines;
    badCount[9][3] = badCount[9][3] == '0' ? '1' : '0';
    EXPECT_EQ(CheckMcoreLines(badCount),
              McorePath() + "line 10: count does not match the record length");

    std::vector<std::string> notHex = lines;
    notHex[9][20] = 'G';
    EXPECT_EQ(CheckMcoreLines(notHex), McorePath() + "line 10: not hexadecimal");
}

TEST_F(FirmwareImageCheckTest, TheFirstAndLastRecordsAreTheFirmwares) {
    std::vector<std::string> first = Lines(mcore_);
    first.front() = "S0030001FB";
    EXPECT_EQ(CheckMcoreLines(first),
              McorePath() + "the first record is \"S0030001FB\", not S0030000FC");

    std::vector<std::string> last = Lines(mcore_);
    last.back() = "S70500020400F4";
    EXPECT_EQ(CheckMcoreLines(last),
              McorePath() + "the last record is \"S70500020400F4\", not S70500020300F5");
}

TEST_F(FirmwareImageCheckTest, LoadAddressesRunOnWithoutAGapFrom0x00020000) {
    std::vector<std::string> gap = Lines(mcore_);
    gap[9] = Moved(gap[9], 1);
    EXPECT_EQ(CheckMcoreLines(gap),
              McorePath() + "line 10: data record does not start where the one before ended");

    std::vector<std::string> elsewhere = Lines(mcore_);
    for (std::size_t index = 1; index + 1 < elsewhere.size(); ++index) {
        elsewhere[index] = Moved(elsewhere[index], 0x10000);
    }
    EXPECT_EQ(CheckMcoreLines(elsewhere),
              McorePath() + "the load addresses start at 0x00030000, not at 0x00020000");
}

// What the program reads to decide whether a real unit may get the images must agree with
// the bytes built in: the build's made-up images are never marked as firmware.
TEST(BuiltInImagesFirmwareTest, AreMarkedFirmwareExactlyWhenTheyAreNotTheMadeUpOnes) {
    const Bytes madeUpXilinx = ReadFile(kMadeUpFolder / "KaXilinx.bit");
    const Bytes madeUpMcore = ReadFile(kMadeUpFolder / "Ka_MCORE.s19");
    const bool madeUp = std::ranges::equal(katest::XilinxFile(), madeUpXilinx) ||
                        std::ranges::equal(katest::McoreFile(), madeUpMcore);
    EXPECT_EQ(KaBuiltInImagesAreFirmware, madeUp ? 0u : 1u);
}

}  // namespace
