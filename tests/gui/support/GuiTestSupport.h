// Helpers of the desktop suites: scripted answers to alerts, a timer driver the test fires
// by hand, an observer of application-quit events, and waiting on a condition.
#ifndef KA_TESTS_GUI_GUITESTSUPPORT_H
#define KA_TESTS_GUI_GUITESTSUPPORT_H

#include "GuiInternals.h"

#include <Carbon/Carbon.h>
#include <kaplatform/PlatformSeams.h>

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace katest {

// Answers alerts from a queue (OK when it is empty) and keeps what each alert asked.
class ScriptedAlertResponder : public kaplatform::AlertResponder {
  public:
    DialogItemIndex Respond(const kaplatform::AlertRequest& request) override {
        requests.push_back(request);
        if (whileOpen) {
            whileOpen(request);
        }
        if (answers.empty()) {
            return kAlertStdAlertOKButton;
        }
        DialogItemIndex answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<kaplatform::AlertRequest> requests;
    std::deque<DialogItemIndex> answers;
    // Runs as if while the alert were on screen.
    std::function<void(const kaplatform::AlertRequest&)> whileOpen;
};

// Timers fire only when the test says so.
class ManualTimerDriver : public kaplatform::EventLoopTimerDriver {
  public:
    struct Timer {
        EventLoopTimerRef timer;
        EventTimerInterval fireDelay;
        EventTimerInterval interval;
    };

    void TimerInstalled(EventLoopTimerRef timer, EventTimerInterval fireDelay,
                        EventTimerInterval interval) override {
        timers.push_back({timer, fireDelay, interval});
    }
    void TimerRemoved(EventLoopTimerRef timer) override {
        std::erase_if(timers, [&](const Timer& entry) { return entry.timer == timer; });
        ++removed;
    }
    void FireAll() {
        auto current = timers;
        for (const Timer& entry : current) {
            kaplatform::FireEventLoopTimer(entry.timer);
        }
    }

    std::vector<Timer> timers;
    int removed = 0;
};

// Counts application-quit events reaching the application's target; the platform's own
// handling goes on after it.
class QuitObserver {
  public:
    QuitObserver() {
        EventTypeSpec quit = {kEventClassApplication, kEventAppQuit};
        InstallEventHandler(GetApplicationEventTarget(), Count, 1, &quit, this, &_handler);
    }
    ~QuitObserver() { RemoveEventHandler(_handler); }
    QuitObserver(const QuitObserver&) = delete;
    QuitObserver& operator=(const QuitObserver&) = delete;

    int count = 0;

  private:
    static OSStatus Count(EventHandlerCallRef, EventRef, void* observer) {
        ++static_cast<QuitObserver*>(observer)->count;
        return eventNotHandledErr;
    }
    EventHandlerRef _handler = nullptr;
};

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    return QTest::qWaitFor(condition, timeoutMs);
}

inline QWidget* WidgetOf(ControlRef control) {
    return control != nullptr ? control->widget.data() : nullptr;
}

inline QWidget* WidgetOf(WindowRef window) {
    return window != nullptr ? window->widget.data() : nullptr;
}

inline CFStringRef Utf8String(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}

inline std::string TextOf(CFStringRef string) {
    return kaplatform::gui::Utf8FromCFString(string);
}

// Runs the action from the event loop once the next loop is running.
inline void Soon(std::function<void()> action, int delayMs = 0) {
    QTimer::singleShot(delayMs, qApp, std::move(action));
}

}  // namespace katest

#endif
