// Runs the desktop suites with real widgets on Qt's offscreen platform.
#include "sleepinhibitor/SleepInhibitor.h"

#include <kaplatform/PlatformSeams.h>

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// The program's diagnostics on standard error are checked byte for byte, and the offscreen
// platform's notices ("This plugin does not support raise()") may land between two of its
// lines whenever the windowing code happens to run. Keep only Qt's serious messages.
void KeepSeriousQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "Qt: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // An update the tests accept must never take a lock from the machine's own logind; the
    // suites that need one start a bus of their own.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ka-tests-system-bus");
    // As the executables do: the power assertions of an accepted update ask that bus.
    kaplatform::SetSystemSleepBlocker(kasleepinhibitor::MakeLogindSleepInhibitor());
    // The records of the updates the tests run stay in the build tree, not in the home of
    // whoever runs them.
    qputenv("XDG_STATE_HOME", KA_TEST_STATE_DIR);
    qInstallMessageHandler(KeepSeriousQtMessages);
    testing::InitGoogleTest(&argc, argv);
    // Death tests start the binary afresh rather than fork a process that runs Qt.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
