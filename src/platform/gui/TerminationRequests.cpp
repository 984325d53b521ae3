// Termination signals turned into events of the application event loop. The handler only
// writes the signal's number into a pipe (all a handler may safely do); the loop reads the
// pipe and sends one kEventAppTerminationRequested per signal to the application target.
// While uninterruptible work runs, the quit key joins them and the job-control stops wait.
#include "GuiInternals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> kTerminationSignals = {SIGTERM, SIGINT, SIGHUP};
// Taken over by uninterruptible work, and given back after it.
constexpr std::array<int, 4> kWorkSignals = {SIGQUIT, SIGTSTP, SIGTTOU, SIGTTIN};

// Both ends non-blocking: a flood of signals must never block the handler, and the loop
// reads until the pipe is empty. Made once and kept for the life of the process.
int gSignalPipe[2] = {-1, -1};

extern "C" void ForwardTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds requests enough.
    [[maybe_unused]] const ssize_t written = write(gSignalPipe[1], &byte, 1);
    errno = savedErrno;
}

// A SIGTSTP came during uninterruptible work.
volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void NoteStopRequest(int) {
    gStopRequested = 1;
}

struct UninterruptibleWork {
    int depth = 0;
    std::array<struct sigaction, kWorkSignals.size()> previous{};
};

UninterruptibleWork& TheWork() {
    static UninterruptibleWork work;
    return work;
}

bool EnsureSignalPipe() {
    if (gSignalPipe[0] >= 0) {
        return true;
    }
    return pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

// The number of requests the pipe held.
int DrainSignalPipe() {
    unsigned char bytes[64];
    ssize_t count = 0;
    int requests = 0;
    while ((count = read(gSignalPipe[0], bytes, sizeof bytes)) > 0 ||
           (count < 0 && errno == EINTR)) {
        if (count > 0) {
            requests += static_cast<int>(count);
        }
    }
    return requests;
}

void DeliverPendingRequests() {
    const int requests = DrainSignalPipe();
    for (int request = 0; request < requests; ++request) {
        kaplatform::gui::SendNewEvent(kEventClassApplication, kEventAppTerminationRequested,
                                      GetApplicationEventTarget());
    }
}

}  // namespace

namespace kaplatform::gui {

struct TerminationRequestWatch::Installed {
    std::array<struct sigaction, kTerminationSignals.size()> previous{};
    std::unique_ptr<QSocketNotifier> notifier;
};

TerminationRequestWatch::TerminationRequestWatch() {
    if (!EnsureSignalPipe()) {
        std::cerr << "Termination signals will end the program at once (no pipe for them)\n";
        return;
    }
    // Whatever came while no loop was running belonged to a loop that has ended.
    DrainSignalPipe();
    auto installed = std::make_unique<Installed>();
    installed->notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(installed->notifier.get(), &QSocketNotifier::activated,
                     [] { DeliverPendingRequests(); });
    struct sigaction action {};
    action.sa_handler = &ForwardTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t index = 0; index < kTerminationSignals.size(); ++index) {
        sigaction(kTerminationSignals[index], &action, &installed->previous[index]);
    }
    _installed = std::move(installed);
}

TerminationRequestWatch::~TerminationRequestWatch() {
    if (!_installed) {
        return;
    }
    // Outside the loop nobody would read a request: the signals do again what they did.
    for (std::size_t index = 0; index < kTerminationSignals.size(); ++index) {
        sigaction(kTerminationSignals[index], &_installed->previous[index], nullptr);
    }
}

}  // namespace kaplatform::gui

void BeginUninterruptibleWork() {
    UninterruptibleWork& work = TheWork();
    if (work.depth++ > 0) {
        return;
    }
    gStopRequested = 0;
    // Without the pipe the quit key keeps its action: better that than a request never read.
    const bool forward = EnsureSignalPipe();
    for (std::size_t index = 0; index < kWorkSignals.size(); ++index) {
        const int signalNumber = kWorkSignals[index];
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (signalNumber == SIGQUIT) {
            if (!forward) {
                sigaction(signalNumber, nullptr, &work.previous[index]);
                continue;
            }
            action.sa_handler = &ForwardTerminationSignal;
        } else if (signalNumber == SIGTSTP) {
            action.sa_handler = &NoteStopRequest;
        } else {
            action.sa_handler = SIG_IGN;
        }
        sigaction(signalNumber, &action, &work.previous[index]);
    }
}

void EndUninterruptibleWork() {
    UninterruptibleWork& work = TheWork();
    if (work.depth == 0 || --work.depth > 0) {
        return;
    }
    for (std::size_t index = 0; index < kWorkSignals.size(); ++index) {
        sigaction(kWorkSignals[index], &work.previous[index], nullptr);
    }
    if (gStopRequested != 0) {
        gStopRequested = 0;
        // The user's Ctrl-Z, now that stopping harms nothing.
        std::raise(SIGTSTP);
    }
}

void InitApplicationProcess() {
    kaplatform::gui::ChooseUtf8CharacterLocale();
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    kaplatform::gui::FilterStandardOutputForJournal(kaplatform::gui::StandardOutputIsJournal());
}
