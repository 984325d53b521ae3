// Seams of the desktop platform layer for tests and the simulator. Each is one small
// interface installed once at start-up, before the program body runs; the program itself
// never includes this header. Installing nullptr restores the real behaviour.
#ifndef KA_PLATFORM_CARBON_KAPLATFORMSEAMS_H
#define KA_PLATFORM_CARBON_KAPLATFORMSEAMS_H

#include <Carbon/Carbon.h>

#include <mutex>
#include <string>
#include <vector>

namespace KaPlatform {

// Alerts ----------------------------------------------------------------------------------
struct AlertRequest {
    AlertType type = kAlertPlainAlert;
    std::string message;      // UTF-8
    std::string informative;  // UTF-8
    // Button titles in index order: buttons[0] is button 1 (the default button).
    std::vector<std::string> buttons;
    DialogItemIndex cancelButton = 0;  // the button Escape chooses; 0 when none
};

inline constexpr DialogItemIndex kShowRealAlert = 0;

class AlertResponder {
  public:
    virtual ~AlertResponder() = default;
    // The index of the button to choose (1 ... buttons.size()), or kShowRealAlert to show
    // the real modal box to the user.
    virtual DialogItemIndex Respond(const AlertRequest& request) = 0;
};
void SetAlertResponder(AlertResponder* responder);

// Event-loop timers -----------------------------------------------------------------------
class EventLoopTimerDriver {
  public:
    virtual ~EventLoopTimerDriver() = default;
    // A timer installed while this driver is set; it fires only when the driver calls
    // FireEventLoopTimer for it.
    virtual void TimerInstalled(EventLoopTimerRef timer, EventTimerInterval fireDelay,
                                EventTimerInterval interval) = 0;
    // The timer is being removed; it must not be fired afterwards.
    virtual void TimerRemoved(EventLoopTimerRef timer) = 0;
};
// Applies to timers installed afterwards; those installed before keep their driver.
void SetEventLoopTimerDriver(EventLoopTimerDriver* driver);
// Runs the timer's procedure now, on the calling (main) thread.
void FireEventLoopTimer(EventLoopTimerRef timer);

// Running processes -----------------------------------------------------------------------
struct RunningProcess {
    ProcessSerialNumber serialNumber{0, 0};
    OSType signature = '\?\?\?\?';
    std::string name;
    UInt32 size = 0;
    UInt32 launchDate = 0;  // ticks (1/60 s) since the system started
};

class ProcessListSource {
  public:
    virtual ~ProcessListSource() = default;
    // The running processes, in the order a walk visits them. Serial numbers are unique
    // and never {0, 0}.
    virtual std::vector<RunningProcess> RunningProcesses() = 0;
    // Asks the process to quit; procNotFound when it is not running.
    virtual OSErr RequestQuit(const ProcessSerialNumber& process) = 0;
};
void SetProcessListSource(ProcessListSource* source);

// The system's processes, read from /proc (at most a tenth of a second old): serial number
// {1, pid}; the signature comes from a small table keyed by executable name ('????' for the
// rest); a quit request is SIGTERM.
ProcessListSource& SystemProcessList();

// The system's processes followed by pretend ones that tests or the simulator add; a quit
// request to a pretend process removes it. Safe to change from any thread.
class PretendProcessList : public ProcessListSource {
  public:
    explicit PretendProcessList(ProcessListSource* underlying = &SystemProcessList());
    // Serial numbers {2, n}, n counting from 1.
    ProcessSerialNumber Add(OSType signature, const std::string& name);
    void Remove(const ProcessSerialNumber& process);
    void RemoveAll();

    std::vector<RunningProcess> RunningProcesses() override;
    OSErr RequestQuit(const ProcessSerialNumber& process) override;

  private:
    ProcessListSource* _underlying;
    std::mutex _mutex;
    std::vector<RunningProcess> _pretend;
    UInt32 _nextNumber = 1;
};

}  // namespace KaPlatform

#endif
