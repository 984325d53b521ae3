// The yardstick for the idle window's CPU: the least a Qt Widgets program can do that wakes
// as often as the updater's window. A window with two labels and a 0.5 s timer that sets
// both texts and repaints them, and nothing else. It runs until SIGTERM or SIGINT.
#include <QApplication>
#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <unistd.h>
#include <csignal>
#include <iostream>
#include <string_view>

namespace {

int gSignalPipe[2] = {-1, -1};

void ForwardSignal(int) {
    const char byte = 0;
    // Nothing to do if the pipe is full: one byte already asks the loop to end.
    [[maybe_unused]] const ssize_t written = write(gSignalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // It takes no arguments: anything given is a mistake, said before any window is made.
    if (argc > 1) {
        const std::string_view argument = argv[1];
        if (argument == "--help") {
            std::cout << "Usage: bare_timer_window\n"
                         "A bare window with a 0.5 s timer, the yardstick of the updater's idle "
                         "CPU figures;\nit runs until SIGTERM or SIGINT.\n\n"
                         "  --help     show this and end\n"
                         "  --version  show the version and end\n";
            return 0;
        }
        if (argument == "--version") {
            std::cout << "bare_timer_window (ka-firmware-updater) " << KA_PROGRAM_VERSION << "\n";
            return 0;
        }
        std::cerr << "bare_timer_window: unexpected argument '" << argument
                  << "'\nTry 'bare_timer_window --help' for more information.\n";
        return 2;
    }
    QApplication application(argc, argv);
    if (pipe(gSignalPipe) != 0) {
        return 1;
    }
    std::signal(SIGTERM, ForwardSignal);
    std::signal(SIGINT, ForwardSignal);
    QSocketNotifier quitRequest(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitRequest, &QSocketNotifier::activated, &application, &QApplication::quit);

    QWidget window;
    window.setWindowTitle("Bare timer");
    auto* layout = new QVBoxLayout(&window);
    auto* version = new QLabel(&window);
    auto* serial = new QLabel(&window);
    layout->addWidget(version);
    layout->addWidget(serial);
    window.show();

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        version->setText("Ka Not Found");
        serial->setText("Ka Not Found");
        version->repaint();
        serial->repaint();
    });
    timer.start(500);
    return QApplication::exec();
}
