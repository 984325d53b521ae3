// Termination signals as events of the application event loop, in this very process.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct SignalScript {
    std::vector<int> toRaise;
    int handled = 0;
    bool keepRunning = true;
};

// Raises the script's signals from inside the loop, all at once.
void RaiseSignals(EventLoopTimerRef, void* userData) {
    for (const int signalNumber : static_cast<SignalScript*>(userData)->toRaise) {
        std::raise(signalNumber);
    }
}

OSStatus CountTerminationRequest(EventHandlerCallRef, EventRef, void* userData) {
    auto* script = static_cast<SignalScript*>(userData);
    ++script->handled;
    if (script->keepRunning && script->handled == static_cast<int>(script->toRaise.size())) {
        QuitApplicationEventLoop();
    }
    return script->keepRunning ? OSStatus{noErr} : OSStatus{eventNotHandledErr};
}

// A loop that nothing else would end must not hang the suite.
void GiveUp(EventLoopTimerRef, void* userData) {
    *static_cast<bool*>(userData) = true;
    QuitApplicationEventLoop();
}

void (*CurrentHandler(int signalNumber))(int) {
    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    return current.sa_handler;
}

}  // namespace

TEST(TerminationRequestTest, EachSignalReachesTheLoopAsAnEventAndTheLoopGoesOn) {
    SignalScript script;
    script.toRaise = {SIGTERM, SIGINT, SIGHUP};
    const EventTypeSpec request = {kEventClassApplication, kEventAppTerminationRequested};
    EventHandlerRef handler = nullptr;
    ASSERT_EQ(noErr, InstallEventHandler(GetApplicationEventTarget(), CountTerminationRequest, 1,
                                         &request, &script, &handler));
    katest::QuitObserver quits;
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0, RaiseSignals, &script, &timer));
    RunApplicationEventLoop();
    RemoveEventLoopTimer(timer);
    RemoveEventHandler(handler);
    EXPECT_EQ(3, script.handled) << "one event for each signal, the process alive";
    EXPECT_EQ(1, quits.count) << "only the handler's own quit ended the loop";
    // Outside the loop nobody would read them: the signals do what they did before.
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        EXPECT_EQ(SIG_DFL, CurrentHandler(signalNumber)) << signalNumber;
    }
}

TEST(TerminationRequestTest, UnhandledTheRequestEndsTheLoop) {
    SignalScript script;
    script.toRaise = {SIGTERM};
    script.keepRunning = false;
    const EventTypeSpec request = {kEventClassApplication, kEventAppTerminationRequested};
    EventHandlerRef handler = nullptr;
    ASSERT_EQ(noErr, InstallEventHandler(GetApplicationEventTarget(), CountTerminationRequest, 1,
                                         &request, &script, &handler));
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0, RaiseSignals, &script, &timer));
    bool gaveUp = false;
    EventLoopTimerRef deadline = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 60, 0, GiveUp, &gaveUp, &deadline));
    RunApplicationEventLoop();
    RemoveEventLoopTimer(deadline);
    RemoveEventLoopTimer(timer);
    RemoveEventHandler(handler);
    EXPECT_EQ(1, script.handled);
    EXPECT_FALSE(gaveUp) << "the request left to the standard handler ends the loop";
}
