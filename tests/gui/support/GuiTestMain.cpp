// Runs the desktop suites with real widgets on Qt's offscreen platform.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    testing::InitGoogleTest(&argc, argv);
    // Death tests start the binary afresh rather than fork a process that runs Qt.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
