// A copy of the updater that carries the made-up images instead of the Ka's firmware. As the
// hardware updater it shows the unit and sends it nothing unless a firmware package put a
// good, safely owned release on the system, which it then offers by its version; as the
// simulator it offers the update as usual.
#include "CapturedOutput.h"
#include "EndToEndSupport.h"
#include "FakeKernel.h"
#include "KaFirmware.h"
#include "LinuxFireWireBackend.h"
#include "TestImagePolicy.h"
#include "virorividizezuzu.h"

#include <Carbon/Carbon.h>
#include <IOKit/IOReturn.h>
#include <linux/firewire-constants.h>

#include <QColor>
#include <QPalette>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

using namespace katest;

namespace {

bool IsRead(std::uint32_t transactionCode) {
    return transactionCode == TCODE_READ_QUADLET_REQUEST ||
           transactionCode == TCODE_READ_BLOCK_REQUEST;
}

// The hardware updater's program: the real dialog and controller on the kernel backend, a
// simulated Ka's registers behind the fake kernel's /dev/fw1.
class HardwareUpdaterWithoutFirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (KaBuiltInImagesAreFirmware != 0) {
            GTEST_SKIP() << "this build carries the Ka's firmware";
        }
        _sysfs.AddKa(1);
        ASSERT_EQ(_ka.Connect(_ka.Config().unitName, _registers), kIOReturnSuccess);
        ASSERT_EQ(_registers->Open(), kIOReturnSuccess);
        _kernel->AttachNode("/dev/fw1", *_registers);
        kaplatform::SetFireWireBackend(kaplatform::MakeLinuxFireWireBackend(_kernel));

        _seams.emplace(_clock, _alerts, _processes, _timers);

        katest::CapturedOutput startUp;
        _choice.emplace(KaFirmwareRule::KaFirmwareOnly, SystemFolder());
        IBNibRef nib = nullptr;
        ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
        ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("MainWindow"), &_window));
        DisposeNibReference(nib);
        _dialog = std::make_unique<CViRorividiZezuzuDialog>(_window);
        ShowWindow(_window);
        _startUpError = startUp.Take().err;
    }

    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        WorkerWatch::Instance().WaitForAllFinishedOrStop();
        _dialog.reset();
        if (_window != nullptr) {
            DisposeWindow(_window);
        }
        _seams.reset();
        _choice.reset();
        kaplatform::SetFireWireBackend(nullptr);
        if (_registers) {
            _registers->Close();
        }
    }

    QWidget* Widget(SInt32 id) {
        const ControlID controlID = {'kaUD', id};
        ControlRef control = nullptr;
        EXPECT_EQ(noErr, GetControlByID(_window, &controlID, &control)) << "control " << id;
        return katest::WidgetOf(control);
    }
    std::string Text(SInt32 id) { return qobject_cast<QLabel*>(Widget(id))->text().toStdString(); }
    QPushButton* UpdateButton() { return qobject_cast<QPushButton*>(Widget(101)); }

    // Every request the kernel was handed read from the unit.
    void ExpectNothingWritten() {
        ASSERT_FALSE(_kernel->Requests().empty()) << "the unit was never looked at";
        const auto writes = std::count_if(
            _kernel->Requests().begin(), _kernel->Requests().end(),
            [](const katest::SentRequest& request) { return !IsRead(request.transactionCode); });
        EXPECT_EQ(writes, 0) << "requests other than reads reached the bus";
        EXPECT_EQ(_ka.Flash(kasim::Component::Xilinx).state, kasim::FlashContents::State::Factory);
        EXPECT_EQ(_ka.Flash(kasim::Component::Mcore).state, kasim::FlashContents::State::Factory);
    }

    // An update run started on the controller itself, as no button would start it: it must
    // end refused. What it said.
    katest::Output RunUpdateDirectlyExpectingRefusal() {
        katest::CapturedOutput capture;
        Orv::VEV::CViRorividiZezuzu controller;
        if (!controller.IsFound() || !controller.DoUpdate()) {
            ADD_FAILURE() << "the unit was not found, or the run did not start";
            return capture.Take();
        }
        EXPECT_TRUE(katest::WaitUntil([&] { return controller.GetDoneStatus(); }, kDeadlineMs));
        EXPECT_EQ(controller.GetUpdateStatus(), kIOReturnNotPermitted);
        return capture.Take();
    }

    // The system's firmware folder as this test has it: by default one no package installed.
    virtual std::optional<KaFirmwareFolder> SystemFolder() {
        return KaFirmwareFolder{MissingFolder(), getuid()};
    }
    std::string MissingFolder() const { return _systemRoot.filePath("ka").toStdString(); }

    QTemporaryDir _systemRoot;
    std::optional<katest::ScopedFirmwareChoice> _choice;
    katest::SysfsTree _sysfs;
    kasim::SimulatedKa _ka;
    std::unique_ptr<kaplatform::FireWireDevice> _registers;
    std::shared_ptr<katest::FakeKernel> _kernel =
        std::make_shared<katest::FakeKernel>(_sysfs.Root());
    VirtualDownloadPauseClock _clock;
    katest::ScriptedAlertResponder _alerts;
    kaplatform::PretendProcessList _processes{nullptr};
    katest::ManualTimerDriver _timers;
    std::optional<DesktopSeamsInstalled> _seams;
    WindowRef _window = nullptr;
    std::unique_ptr<CViRorividiZezuzuDialog> _dialog;
    std::string _startUpError;
};

TEST_F(HardwareUpdaterWithoutFirmwareTest, ShowsTheUnitSaysWhyAndNeverEnablesTheUpdate) {
    // The line, once, ahead of what the controller writes as it is made.
    EXPECT_EQ(_startUpError,
              "No Ka firmware to install: " + MissingFolder() + ": missing\nTest CERR\n");

    _timers.FireAll();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_EQ("Not Available", Text(201));
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_TRUE(Widget(100)->isEnabled());
    EXPECT_TRUE(Widget(202)->isHidden()) << "no editor runs; the Final Cut warning stays away";
    EXPECT_FALSE(Widget(204)->isHidden());
    EXPECT_EQ("No usable Ka firmware in " + MissingFolder() +
                  ": the ka-firmware package is needed to update the unit. (" + MissingFolder() +
                  ": missing)",
              Text(204))
        << "the red line names what is wrong with the folder";
    EXPECT_EQ(QColor(Qt::red), Widget(204)->palette().color(QPalette::WindowText));

    // The installed versions and serial number stay fresh; the button never comes on.
    _ka.SetSoftwareVersion(0x00030004);
    _ka.SetSerialNumber(kasim::SerialNumberFromText("KA004712"));
    for (int tick = 0; tick < 3; ++tick) {
        _timers.FireAll();
        EXPECT_FALSE(UpdateButton()->isEnabled());
    }
    EXPECT_EQ("3-4", Text(200));
    EXPECT_EQ("KA004712", Text(201));

    QTest::mouseClick(UpdateButton(), Qt::LeftButton);
    _timers.FireAll();
    _timers.FireAll();
    EXPECT_EQ(_seams->WorkersStarted(), 0) << "a disabled button starts nothing";
    EXPECT_TRUE(_alerts.requests.empty());
    ExpectNothingWritten();
}

TEST_F(HardwareUpdaterWithoutFirmwareTest, AnUpdateRunStartedDirectlyRefusesAndSendsNothing) {
    _timers.FireAll();
    const katest::Output output = RunUpdateDirectlyExpectingRefusal();
    EXPECT_NE(output.err.find("Update refused: no Ka firmware this program may install\n"),
              std::string::npos)
        << output.err;
    EXPECT_EQ(output.out.find("Opening Xilinx data file"), std::string::npos) << output.out;
    ExpectNothingWritten();
}

// A firmware folder the generator writes from another seed, standing in for what the
// firmware package installs; owned by the test's user, who stands in for root.
class FirmwareFolderForTest {
  public:
    explicit FirmwareFolderForTest(const std::string& version) {
        if (!_directory.isValid()) {
            return;
        }
        const std::string command =
            std::string("'") + KA_IMAGE_GENERATOR + "' --seed 41 '" + Path() + "' >/dev/null";
        if (std::system(command.c_str()) != 0) {
            return;
        }
        std::ofstream(Path() + "/version", std::ios::trunc) << version << "\n";
        // The digests of this release, as the package carries them.
        const std::string digests =
            "cd '" + Path() + "' && sha256sum KaXilinx.bit Ka_MCORE.s19 version >SHA256SUMS";
        if (std::system(digests.c_str()) != 0) {
            return;
        }
        // QTemporaryDir makes it 0700; the files are as a package installs them.
        for (const char* name : {"KaXilinx.bit", "Ka_MCORE.s19", "version", "SHA256SUMS"}) {
            std::filesystem::permissions(Path() + "/" + name, std::filesystem::perms(0644));
        }
        _made = true;
    }
    bool Made() const { return _made; }
    std::string Path() const { return _directory.path().toStdString(); }
    std::vector<std::uint8_t> File(const char* name) const {
        std::ifstream in(Path() + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

  private:
    QTemporaryDir _directory;
    bool _made = false;
};

// The hardware updater without built-in firmware, with a firmware folder on the system: the
// version file's release is offered, and decides upgrade or downgrade against the unit's 2-4.
struct SystemFirmwareCase {
    const char* version;
    bool downgrade;
};

void PrintTo(const SystemFirmwareCase& firmware, std::ostream* out) {
    *out << firmware.version;
}

class HardwareUpdaterWithSystemFirmwareTest
    : public HardwareUpdaterWithoutFirmwareTest,
      public testing::WithParamInterface<SystemFirmwareCase> {
  protected:
    std::optional<KaFirmwareFolder> SystemFolder() override {
        EXPECT_TRUE(_folder.Made());
        return KaFirmwareFolder{_folder.Path(), getuid()};
    }

    FirmwareFolderForTest _folder{GetParam().version};
};

TEST_P(HardwareUpdaterWithSystemFirmwareTest, OffersTheFoldersReleaseAndInstallsExactlyIt) {
    const std::string version = GetParam().version;
    const std::string verb = GetParam().downgrade ? "Downgrade" : "Upgrade";
    EXPECT_EQ(_startUpError,
              "Ka firmware to install: " + version + ", from " + _folder.Path() + "\nTest CERR\n");
    _timers.FireAll();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_EQ("Select " + verb + " button to download firmware version " + version + " to Ka:",
              Text(203));
    EXPECT_EQ(verb, UpdateButton()->text().toStdString());
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_TRUE(Widget(204)->isHidden());

    QTest::mouseClick(UpdateButton(), Qt::LeftButton);
    ASSERT_TRUE(katest::WaitUntil(
        [&] {
            _timers.FireAll();
            return !_alerts.requests.empty() &&
                   _alerts.requests.back().message == "Programming Complete";
        },
        kDeadlineMs))
        << "the update did not complete";
    EXPECT_EQ(_alerts.requests.front().message == "This is a Downgrade:", GetParam().downgrade);
    const auto xilinx = _folder.File("KaXilinx.bit");
    const auto& installedXilinx = _ka.Flash(kasim::Component::Xilinx).bytes;
    EXPECT_TRUE(std::equal(xilinx.begin() + 74, xilinx.end(), installedXilinx.begin(),
                           installedXilinx.end()));
    EXPECT_EQ(_ka.Flash(kasim::Component::Mcore).bytes, _folder.File("Ka_MCORE.s19"));
}

INSTANTIATE_TEST_SUITE_P(VersionFile, HardwareUpdaterWithSystemFirmwareTest,
                         testing::Values(SystemFirmwareCase{"2-1", true},
                                         SystemFirmwareCase{"9-9", false}),
                         [](const testing::TestParamInfo<SystemFirmwareCase>& info) {
                             return info.param.downgrade ? "OlderIsADowngrade" : "NewerIsAnUpgrade";
                         });

// A folder others may write is no firmware: the window says where the updater looks and that
// the package is needed, and nothing reaches the unit however the update is asked for.
class HardwareUpdaterWithUnsafeSystemFirmwareTest : public HardwareUpdaterWithoutFirmwareTest {
  protected:
    std::optional<KaFirmwareFolder> SystemFolder() override {
        EXPECT_TRUE(_folder.Made());
        std::filesystem::permissions(_folder.Path() + "/Ka_MCORE.s19",
                                     std::filesystem::perms(0664));
        return KaFirmwareFolder{_folder.Path(), getuid()};
    }

    FirmwareFolderForTest _folder{"3-6"};
};

TEST_F(HardwareUpdaterWithUnsafeSystemFirmwareTest, SaysWhatIsWrongAndSendsNothing) {
    EXPECT_EQ(_startUpError, "No Ka firmware to install: " + _folder.Path() +
                                 "/Ka_MCORE.s19: may be written by users other than its "
                                 "owner\nTest CERR\n");
    _timers.FireAll();
    EXPECT_EQ("2-4", Text(200));
    EXPECT_FALSE(UpdateButton()->isEnabled());
    EXPECT_FALSE(Widget(204)->isHidden());
    EXPECT_EQ("No usable Ka firmware in " + _folder.Path() +
                  ": the ka-firmware package is needed to update the unit. (" + _folder.Path() +
                  "/Ka_MCORE.s19: may be written by users other than its owner)",
              Text(204));

    RunUpdateDirectlyExpectingRefusal();
    ExpectNothingWritten();
}

// The simulator offers the update, made-up images or not, without a word about them.
TEST_F(EndToEndTest, TheSimulatorOffersTheUpdateWhicheverImagesItCarries) {
    StartWith({});
    Tick();
    EXPECT_TRUE(UpdateButton()->isEnabled());
    EXPECT_TRUE(Widget(204)->isHidden());
    const kaplatform::AlertRequest last = RunOneUpdate();
    EXPECT_EQ("Programming Complete", last.message);
}

}  // namespace
