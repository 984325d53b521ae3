// One hardware updater per session: a second start brings the running one forward and ends;
// a copy that crashed does not block the next. The first copy is this test process or a real
// updater process; every copy runs on the offscreen platform with a runtime directory of the
// test's own.
#include "GuiTestSupport.h"
#include "ProcessSupport.h"
#include "singleinstance/SessionSingleInstance.h"

#include <Carbon/Carbon.h>
#include <kaplatform/PlatformSeams.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>

#ifdef KA_UPDATER_EXECUTABLE

namespace {

using katest::WatchedProcess;

// The controller is made only by a copy that goes on to show its window.
const std::string kDialogMade = "Ctor ViRorividiZezuzu\n";
// Printed by the first discovery pass, which runs inside the event loop.
const std::string kPolling = "Open Ka\n";

class SingleUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(_runtime.isValid()); }

    std::vector<std::pair<QString, QString>> Session() const {
        return {{"XDG_RUNTIME_DIR", _runtime.path()}};
    }

    QTemporaryDir _runtime;
};

TEST_F(SingleUpdaterTest, ASecondStartBringsTheRunningUpdaterForwardAndEnds) {
    qputenv("XDG_RUNTIME_DIR", _runtime.path().toUtf8());
    // As the hardware updater does.
    kaplatform::SetSingleInstanceRegister(kasingleinstance::MakeSessionSingleInstanceRegister());
    ASSERT_TRUE(kaplatform::ClaimSingleApplicationInstance("virorividizezuzu"));

    IBNibRef nib = nullptr;
    ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
    WindowRef window = nullptr;
    ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("MainWindow"), &window));
    DisposeNibReference(nib);
    ShowWindow(window);
    // Another application's window is in front.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(katest::WaitUntil([&] { return QApplication::activeWindow() == &other; }));

    WatchedProcess second(Session());
    ASSERT_TRUE(second.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(second.WaitForEnd());
    EXPECT_EQ(0, second.ExitCode());
    EXPECT_EQ("", second.Out()) << "no second window";

    EXPECT_TRUE(katest::WaitUntil([&] {
        return QApplication::activeWindow() == katest::WidgetOf(window);
    })) << "the running updater's window comes to the front";
    DisposeWindow(window);
}

TEST_F(SingleUpdaterTest, OnlyOneOfTwoUpdatersRunsAndACrashedOneBlocksNothing) {
    WatchedProcess first(Session());
    ASSERT_TRUE(first.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(first.WaitForOutput(kPolling)) << first.Err();

    WatchedProcess second(Session());
    ASSERT_TRUE(second.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(second.WaitForEnd());
    EXPECT_EQ(0, second.ExitCode());
    EXPECT_EQ("", second.Out());

    // The first dies without a chance to clean up after itself.
    first.Signal(SIGKILL);
    ASSERT_TRUE(first.WaitForEnd());

    WatchedProcess third(Session());
    ASSERT_TRUE(third.Start(KA_UPDATER_EXECUTABLE, {}));
    ASSERT_TRUE(third.WaitForOutput(kPolling)) << "the crashed copy's lock was taken over";
    EXPECT_NE(std::string::npos, third.Out().find(kDialogMade));
    third.Signal(SIGTERM);
    ASSERT_TRUE(third.WaitForEnd());
    EXPECT_FALSE(third.Crashed());
    EXPECT_EQ(0, third.ExitCode());
}

}  // namespace

#endif
