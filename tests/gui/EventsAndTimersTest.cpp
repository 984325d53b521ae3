// Events, handler chains, the application event loop and event-loop timers.
#include "GuiTestSupport.h"
#include "WindowThread.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

using namespace katest;

namespace {

struct Recorder {
    std::vector<std::string> calls;
};

template <int Tag, OSStatus Result>
OSStatus RecordingHandler(EventHandlerCallRef, EventRef, void* userData) {
    static_cast<Recorder*>(userData)->calls.push_back("handler" + std::to_string(Tag));
    return Result;
}

EventRef NewEvent(UInt32 eventClass, UInt32 kind) {
    EventRef event = nullptr;
    EXPECT_EQ(noErr, CreateEvent(nullptr, eventClass, kind, 0.0, kEventAttributeNone, &event));
    return event;
}

}  // namespace

TEST(CarbonEventTest, ParametersRoundTripWithTheirTypeAndSize) {
    EventRef event = NewEvent(kEventClassCommand, kEventCommandProcess);
    EXPECT_EQ(kEventClassCommand, GetEventClass(event));
    EXPECT_EQ(kEventCommandProcess, GetEventKind(event));

    HICommand command{};
    EXPECT_EQ(eventParameterNotFoundErr,
              GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr,
                                sizeof command, nullptr, &command));

    HICommand sent{kHICommandFromMenuItem, 'abou', {nullptr, 3}};
    ASSERT_EQ(noErr,
              SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof sent, &sent));
    EventParamType actualType = 0;
    ByteCount actualSize = 0;
    ASSERT_EQ(noErr, GetEventParameter(event, kEventParamDirectObject, typeHICommand, &actualType,
                                       sizeof command, &actualSize, &command));
    EXPECT_EQ(typeHICommand, actualType);
    EXPECT_EQ(sizeof(HICommand), actualSize);
    EXPECT_EQ('abou', command.commandID);
    EXPECT_EQ(3, command.menu.menuItemIndex);

    ControlRef control = nullptr;
    EXPECT_EQ(errAECoercionFail, GetEventParameter(event, kEventParamDirectObject, typeControlRef,
                                                   nullptr, sizeof control, nullptr, &control));
    ReleaseEvent(event);
}

TEST(CarbonEventTest, LaterHandlersRunFirstAndTheFirstThatHandlesEndsTheDispatch) {
    IBNibRef nib = nullptr;
    ASSERT_EQ(noErr, CreateNibReference(CFSTR("test"), &nib));
    WindowRef window = nullptr;
    ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("Controls"), &window));
    DisposeNibReference(nib);
    ControlID buttonID = {'test', 5};
    ControlRef button = nullptr;
    ASSERT_EQ(noErr, GetControlByID(window, &buttonID, &button));

    Recorder recorder;
    EventTypeSpec hit = {kEventClassControl, kEventControlHit};
    EventTypeSpec other = {kEventClassControl, 99};
    EventHandlerRef windowHandler = nullptr;
    InstallEventHandler(GetWindowEventTarget(window), RecordingHandler<1, noErr>, 1, &hit,
                        &recorder, &windowHandler);
    InstallEventHandler(GetControlEventTarget(button), RecordingHandler<2, eventNotHandledErr>, 1,
                        &hit, &recorder, nullptr);
    InstallEventHandler(GetControlEventTarget(button), RecordingHandler<3, eventNotHandledErr>, 1,
                        &other, &recorder, nullptr);
    InstallEventHandler(GetControlEventTarget(button), RecordingHandler<4, eventNotHandledErr>, 1,
                        &hit, &recorder, nullptr);

    // A click reaches the control's handlers, newest first, then goes up to the window.
    QTest::mouseClick(WidgetOf(button), Qt::LeftButton);
    EXPECT_EQ((std::vector<std::string>{"handler4", "handler2", "handler1"}), recorder.calls);

    recorder.calls.clear();
    RemoveEventHandler(windowHandler);
    EventRef event = NewEvent(kEventClassControl, kEventControlHit);
    EXPECT_EQ(eventNotHandledErr, SendEventToEventTarget(event, GetControlEventTarget(button)));
    ReleaseEvent(event);
    EXPECT_EQ((std::vector<std::string>{"handler4", "handler2"}), recorder.calls);

    DisposeWindow(window);
}

TEST(CarbonEventLoopTest, ApplicationQuitEventEndsTheLoop) {
    QuitObserver observer;
    bool ranInsideLoop = false;
    bool onWindowThread = false;
    Soon([&] {
        ranInsideLoop = true;
        // What the loop runs, discovery among it, is told that the bus may not hold it.
        onWindowThread = kaplatform::OnWindowThread();
        EventRef quit = NewEvent(kEventClassApplication, kEventAppQuit);
        EXPECT_EQ(noErr, SendEventToEventTarget(quit, GetApplicationEventTarget()));
        ReleaseEvent(quit);
    });
    EXPECT_FALSE(kaplatform::OnWindowThread());
    RunApplicationEventLoop();
    EXPECT_TRUE(ranInsideLoop);
    EXPECT_TRUE(onWindowThread);
    EXPECT_FALSE(kaplatform::OnWindowThread());
    EXPECT_EQ(1, observer.count);
}

TEST(CarbonEventLoopTest, UnhandledQuitCommandQuitsAndOtherCommandsPassThrough) {
    QuitObserver observer;
    auto sendCommand = [](UInt32 commandID) {
        EventRef event = NewEvent(kEventClassCommand, kEventCommandProcess);
        HICommand command{0, commandID, {nullptr, 0}};
        SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
        OSStatus status = SendEventToEventTarget(event, GetApplicationEventTarget());
        ReleaseEvent(event);
        return status;
    };
    OSStatus aboutStatus = noErr;
    OSStatus quitStatus = eventNotHandledErr;
    Soon([&] {
        aboutStatus = sendCommand('abou');
        quitStatus = sendCommand('quit');
    });
    RunApplicationEventLoop();
    EXPECT_EQ(eventNotHandledErr, aboutStatus);
    EXPECT_EQ(noErr, quitStatus);
    EXPECT_EQ(1, observer.count);
}

TEST(EventLoopTimerTest, FiresAtOnceThenEveryInterval) {
    struct Ticks {
        std::vector<qint64> at;
        QElapsedTimer clock;
    } ticks;
    ticks.clock.start();
    EventLoopTimerRef timer = nullptr;
    auto record = [](EventLoopTimerRef, void* data) {
        auto* recorded = static_cast<Ticks*>(data);
        recorded->at.push_back(recorded->clock.elapsed());
    };
    ASSERT_EQ(noErr, InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0.05 * kEventDurationSecond,
                                           NewEventLoopTimerUPP(record), &ticks, &timer));
    EXPECT_TRUE(ticks.at.empty()) << "fires from the event loop, not from the install";
    ASSERT_TRUE(WaitUntil([&] { return ticks.at.size() >= 4; }));
    RemoveEventLoopTimer(timer);
    // Tick k comes no sooner than k intervals after the install (a busy machine can only
    // make it later).
    for (std::size_t index = 1; index < ticks.at.size(); ++index) {
        EXPECT_GE(ticks.at[index], qint64(index) * 45) << "tick " << index;
    }
    std::size_t seen = ticks.at.size();
    QTest::qWait(120);
    EXPECT_EQ(seen, ticks.at.size()) << "a removed timer stays silent";
}

TEST(EventLoopTimerTest, FirstFireDoesNotWaitForTheInterval) {
    int fired = 0;
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(
        GetCurrentEventLoop(), 0, 60 * kEventDurationSecond,
        [](EventLoopTimerRef, void* count) { ++*static_cast<int*>(count); }, &fired, &timer);
    EXPECT_TRUE(WaitUntil([&] { return fired == 1; }, 20000));
    RemoveEventLoopTimer(timer);
}

TEST(EventLoopTimerTest, KeepsTickingInsideAModalLoopRunFromItsOwnProcedure) {
    struct State {
        int ticks = 0;
        int ticksDuringAlert = 0;
        bool inAlert = false;
    } state;
    auto tick = [](EventLoopTimerRef, void* data) {
        auto* current = static_cast<State*>(data);
        ++current->ticks;
        if (current->inAlert) {
            ++current->ticksDuringAlert;
            return;
        }
        if (current->ticks == 1) {
            current->inAlert = true;
            QEventLoop modal;
            QTimer::singleShot(0, [&] {
                WaitUntil([&] { return current->ticksDuringAlert >= 2; });
                modal.quit();
            });
            modal.exec();
            current->inAlert = false;
        }
    };
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0.02, tick, &state, &timer);
    ASSERT_TRUE(WaitUntil([&] { return state.ticksDuringAlert >= 2 && !state.inAlert; }));
    RemoveEventLoopTimer(timer);
}

TEST(EventLoopTimerTest, ADriverDecidesWhenTimersFire) {
    ManualTimerDriver driver;
    kaplatform::SetEventLoopTimerDriver(&driver);
    int fired = 0;
    EventLoopTimerRef timer = nullptr;
    InstallEventLoopTimer(
        GetCurrentEventLoop(), 0, 0.5,
        [](EventLoopTimerRef, void* count) { ++*static_cast<int*>(count); }, &fired, &timer);
    kaplatform::SetEventLoopTimerDriver(nullptr);

    ASSERT_EQ(1u, driver.timers.size());
    EXPECT_EQ(timer, driver.timers[0].timer);
    EXPECT_DOUBLE_EQ(0.0, driver.timers[0].fireDelay);
    EXPECT_DOUBLE_EQ(0.5, driver.timers[0].interval);
    QTest::qWait(20);
    EXPECT_EQ(0, fired);
    driver.FireAll();
    driver.FireAll();
    EXPECT_EQ(2, fired);
    RemoveEventLoopTimer(timer);
    EXPECT_TRUE(driver.timers.empty());
}
