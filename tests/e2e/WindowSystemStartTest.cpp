// Starting without a window system, run as a process of its own: a sentence and status 1,
// never Qt's abort. And the window icon the desktop shows for the program.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QImage>
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

// Drawn by the program itself: where Qt's SVG icon-engine plugin is packaged apart (or is
// not installed), the window still has the icon.
TEST(WindowIconTest, TheProgramsIconIsSetOnceTheInterfaceIsLoadedWithoutQtsPlugins) {
    const QStringList pluginFolders = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    IBNibRef nib = nullptr;
    const OSStatus status = CreateNibReference(CFSTR("main"), &nib);
    QCoreApplication::setLibraryPaths(pluginFolders);
    ASSERT_EQ(noErr, status);
    DisposeNibReference(nib);

    const QIcon icon = QApplication::windowIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(64, 64).toImage();
    ASSERT_EQ(QSize(64, 64), image.size());
    EXPECT_EQ(0, image.pixelColor(0, 63).alpha()) << "outside the drawing it is transparent";
    EXPECT_EQ(QColor(0x2f, 0x9e, 0x5b), image.pixelColor(49, 20)) << "the new firmware's disc";
}

}  // namespace
