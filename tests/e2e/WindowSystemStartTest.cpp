// Starting without a window system, run as a process of its own: a sentence and status 1,
// never Qt's abort. And the window icon the desktop shows for the program.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>

#include <string>

namespace {

#ifdef KA_SIMULATOR_EXECUTABLE

struct StartResult {
    bool finished = false;
    bool crashed = false;
    int exitCode = -1;
    std::string err;
};

// The simulator with the display variables of this test's choosing and no others.
StartResult StartWith(const QProcessEnvironment& display) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(display);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(KA_SIMULATOR_EXECUTABLE, {"--no-pauses"});
    StartResult result;
    result.finished = process.waitForStarted(120000) && process.waitForFinished(120000);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(10000);
    }
    result.crashed = process.exitStatus() != QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.err = process.readAllStandardError().toStdString();
    return result;
}

TEST(WindowSystemStartTest, NoDisplayIsOneLineOnStandardErrorAndStatusOne) {
    const StartResult result = StartWith({});
    ASSERT_TRUE(result.finished);
    EXPECT_FALSE(result.crashed) << result.err;
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(
        "Ka Firmware Updater: no X11 or Wayland display (DISPLAY and WAYLAND_DISPLAY are "
        "not set); start the updater in a desktop session\n",
        result.err);
}

TEST(WindowSystemStartTest, UnreachableWindowSystemEndsWithStatusOneInsteadOfAborting) {
    // The X11 platform chosen by name, with no server to connect to.
    QProcessEnvironment display;
    display.insert("QT_QPA_PLATFORM", "xcb");
    const StartResult result = StartWith(display);
    ASSERT_TRUE(result.finished);
    EXPECT_FALSE(result.crashed) << result.err;
    EXPECT_EQ(1, result.exitCode) << result.err;
    const std::string last =
        "Ka Firmware Updater: the window system could not be reached (see the messages "
        "above); start the updater in a desktop session\n";
    ASSERT_GE(result.err.size(), last.size()) << result.err;
    EXPECT_EQ(last, result.err.substr(result.err.size() - last.size())) << result.err;
}

#endif

TEST(WindowIconTest, TheProgramsIconIsSetOnceTheInterfaceIsLoaded) {
    IBNibRef nib = nullptr;
    ASSERT_EQ(noErr, CreateNibReference(CFSTR("main"), &nib));
    DisposeNibReference(nib);
    const QIcon icon = QApplication::windowIcon();
    ASSERT_FALSE(icon.isNull()) << "the SVG icon engine (libqt6svg6) is needed to read it";
    const QPixmap pixmap = icon.pixmap(64, 64);
    ASSERT_FALSE(pixmap.isNull());
    EXPECT_EQ(64, pixmap.width());
}

}  // namespace
