// Seams of the desktop platform layer: what the executables hand it at start-up (the system's
// services) and what tests and the simulator put in place of the real thing. Each is one small
// interface installed once at start-up, before the program body runs; the program itself
// never includes this header. For the test seams, installing nullptr restores the real
// behaviour.
#ifndef KA_PLATFORM_CARBON_PLATFORMSEAMS_H
#define KA_PLATFORM_CARBON_PLATFORMSEAMS_H

#include <Carbon/Carbon.h>
#include <IOKit/IOReturn.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <vector>

namespace kaplatform {

// The application -------------------------------------------------------------------------
// The application ID its windows carry (Wayland app ID, X11 class), for a program that is not
// the one the desktop entry starts (the simulator); set before the first window.
void SetApplicationIdentifier(const std::string& identifier);

// One running copy per user session, as the desktop's launcher keeps it on the Mac: starting
// the application again brings the running copy to the front. The executable hands in the
// session's register of running copies (src/services/singleinstance).
class SingleInstanceRegister {
  public:
    enum class Claim {
        Ours,               // this process is the running copy, also when one before it crashed
        HeldByAnotherCopy,  // another copy runs
        NoPlace,            // the session keeps no place for such a claim
    };

    virtual ~SingleInstanceRegister() = default;
    // Claims name (a plain file name) for this process for the rest of its life. comeForward,
    // when given, is called on the event loop's thread whenever a later start asks this copy
    // to come forward. Needs the application (the event loop) to exist.
    virtual Claim ClaimName(const std::string& name, std::function<void()> comeForward) = 0;
    // Asks the copy that holds name to come forward; false when it could not be reached.
    virtual bool AskHolderToComeForward(const std::string& name) = 0;
};
void SetSingleInstanceRegister(std::shared_ptr<SingleInstanceRegister> instanceRegister);

// Makes this process the running copy of the application named by the identifier for the rest
// of its life. true: it is, and a later start will bring this copy's front window forward.
// false: another copy runs; its front window has been brought forward or, when that copy could
// not be reached, an alert has said that the application is already running: the caller ends.
// true as well when the session keeps no place for such a claim or no register was handed in:
// better two copies than none. In a program without windows
// (InitApplicationProcessWithoutWindows) false says only that another copy runs: nothing is
// brought forward or shown, and a later start of the application finds no window to bring
// forward and says that it is already running. Call before anything is shown.
Boolean ClaimSingleApplicationInstance(const char* applicationIdentifier);

// Power assertions ------------------------------------------------------------------------
// What keeps the system up while a power assertion (IOPMLib.h) is held. The executable hands
// in the system's (src/services/sleepinhibitor); without one there is nobody to ask, and
// creating an assertion answers kIOReturnNotResponding.
class SystemSleepBlocker {
  public:
    // The system stays up until this goes.
    class Block {
      public:
        virtual ~Block() = default;
    };

    virtual ~SystemSleepBlocker() = default;
    // who: the application, as the user knows it; why: the reason, both UTF-8. May wait, for a
    // bounded time, on the thread that creates the assertion. kIOReturnSuccess and block, or
    // why not: kIOReturnNotResponding when nobody answered, kIOReturnNotPermitted when the
    // request was refused.
    virtual IOReturn BlockSleep(const std::string& who, const std::string& why,
                                std::unique_ptr<Block>& block) = 0;
};
// Set once at start-up, before the first assertion; assertions held meanwhile keep their block.
void SetSystemSleepBlocker(std::shared_ptr<SystemSleepBlocker> blocker);

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
    // The serial numbers of the running processes, in the order a walk visits them: unique
    // and never {0, 0}. Asked at the start of every walk, so it must be cheap.
    virtual std::vector<ProcessSerialNumber> RunningProcesses() = 0;
    // What is known of the process now; false when it is not running.
    virtual bool DescribeProcess(const ProcessSerialNumber& process,
                                 RunningProcess& description) = 0;
    // Asks the process to quit; procNotFound when it is not running.
    virtual OSErr RequestQuit(const ProcessSerialNumber& process) = 0;
    // The next walk sees every process as it is then, whatever was learnt before.
    virtual void LookAfresh() {}
    // A running process with the signature, as a walk describing each in turn would find
    // first; false when none runs.
    virtual bool FindSignature(OSType signature, ProcessSerialNumber& found);
};
void SetProcessListSource(ProcessListSource* source);

// The kernel's table of processes as the system's list reads it: /proc in the program, a
// table of their own in tests. Listing is cheap; reading one process costs a file read.
class ProcessTable {
  public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        UInt32 pid = 0;
        // Differs from any earlier value of the same pid once the pid has passed to another
        // process (the inode number of /proc/<pid>). It may also change for the same process.
        std::uint64_t identity = 0;
    };
    struct Details {
        std::string name;       // the executable's name, as much as the kernel keeps
        UInt32 launchDate = 0;  // ticks (1/60 s) since the system started
        UInt32 size = 0;
        bool kernelThread = false;
        // When the process started, counted from the system's start as SinceBoot counts;
        // nothing when the table cannot tell.
        std::optional<Clock::duration> startedAfterBoot;
    };

    virtual ~ProcessTable() = default;
    // The pid the kernel handed out last, to a process or a thread: a process that starts
    // takes the next one. Nothing when the table cannot tell at once; the list then reads
    // the table in full at every look.
    virtual std::optional<UInt32> LastPid() = 0;
    virtual std::vector<Entry> List() = 0;
    // A pid not (yet) listed, looked up by itself, with what Read gives but the start time
    // (the caller knows it has only just started): false when no process has it (a thread's
    // id is no process's).
    virtual bool Probe(UInt32 pid, Entry& entry, Details& details) = 0;
    // False when the process is gone or cannot be read.
    virtual bool Read(UInt32 pid, Details& details) = 0;
    // The executable's name of a process read before, as it is now: far cheaper than Read.
    // False when the process is gone.
    virtual bool ReadName(UInt32 pid, std::string& name) = 0;
    // The list keeps nothing more of the process at pid: it ended, or the pid passed on.
    virtual void Forget(UInt32 pid) = 0;
    virtual Clock::time_point Now() = 0;
    // How long the system has been up, on the clock the start times count on (suspended
    // time included); nothing when the table cannot tell.
    virtual std::optional<Clock::duration> SinceBoot() { return std::nullopt; }
};
ProcessTable& KernelProcessTable();

// The kernel's table on a clock of the caller's, for benchmarks and tests that move time
// themselves rather than wait for it.
class KernelProcessTableOnClock final : public ProcessTable {
  public:
    explicit KernelProcessTableOnClock(std::function<Clock::time_point()> now)
        : _now(std::move(now)) {}
    std::optional<UInt32> LastPid() override { return KernelProcessTable().LastPid(); }
    std::vector<Entry> List() override { return KernelProcessTable().List(); }
    bool Probe(UInt32 pid, Entry& entry, Details& details) override {
        return KernelProcessTable().Probe(pid, entry, details);
    }
    bool Read(UInt32 pid, Details& details) override {
        return KernelProcessTable().Read(pid, details);
    }
    bool ReadName(UInt32 pid, std::string& name) override {
        return KernelProcessTable().ReadName(pid, name);
    }
    void Forget(UInt32 pid) override { KernelProcessTable().Forget(pid); }
    Clock::time_point Now() override { return _now(); }
    std::optional<Clock::duration> SinceBoot() override { return KernelProcessTable().SinceBoot(); }

  private:
    std::function<Clock::time_point()> _now;
};

// The processes of a process table, serial number {1, pid}, with their signatures from a
// small table keyed by executable name ('????' for the rest); kernel threads are left out.
// A look at the table (at most one a tenth of a second, on the table's clock, and only when a
// walk starts or a process is asked about) reads the table's last pid and looks up by itself
// each pid handed out since the last look; the table is listed in full only every
// kListPeriod, when the pid counter wrapped or ran far, and on LookAfresh. So a process that
// starts is seen by the next walk; one that ends, at its next check or listing, at the latest
// kListPeriod on; and a process with a signature of the table is checked whenever it is
// described.
// The name of a process it knows it reads again in turn, each process at least every
// kRecheckPeriod (kSettledRecheckPeriod once it has run for kSettledAfter, by its start time
// where the table tells it, else from when the list first saw it), when the process is
// described: an executable changed under the same pid shows within that period and one tick.
class KernelProcessList final : public ProcessListSource {
  public:
    static constexpr std::chrono::milliseconds kRecheckPeriod{1400};
    static constexpr std::chrono::seconds kSettledAfter{60};
    // A process that has run a minute rarely becomes another program, and the update's
    // click and --update look at every process afresh whatever these periods say; listing
    // the whole table and reading hundreds of settled names are the idle window's largest
    // costs, so both are rare.
    static constexpr std::chrono::seconds kSettledRecheckPeriod{120};
    static constexpr std::chrono::seconds kListPeriod{60};
    // More new pids than this since the last look: one listing costs less than their lookups.
    static constexpr UInt32 kMostProbes = 64;

    explicit KernelProcessList(ProcessTable& table);

    std::vector<ProcessSerialNumber> RunningProcesses() override;
    bool DescribeProcess(const ProcessSerialNumber& process, RunningProcess& description) override;
    // SIGTERM.
    OSErr RequestQuit(const ProcessSerialNumber& process) override;
    void LookAfresh() override;
    // Looks the signature up in what is known, checking in turn the names that are due.
    bool FindSignature(OSType signature, ProcessSerialNumber& found) override;

  private:
    struct Known {
        UInt32 pid = 0;
        std::uint64_t identity = 0;
        bool kernelThread = false;
        bool shown = false;  // false: a kernel thread, or unreadable when last read
        RunningProcess description;
        ProcessTable::Clock::time_point nextCheck;
        // When the process started, on the table's clock (when the list first saw it, for a
        // table that does not tell).
        ProcessTable::Clock::time_point started;
    };

    bool LookDue(ProcessTable::Clock::time_point now) const;
    void Refresh(ProcessTable::Clock::time_point now);
    void ListAll(ProcessTable::Clock::time_point now,
                 std::optional<ProcessTable::Clock::duration> sinceBoot);
    void ProbeNew(UInt32 after, UInt32 upTo, ProcessTable::Clock::time_point now);
    Known* Find(UInt32 pid);
    bool ReadInto(Known& known, ProcessTable::Clock::time_point now,
                  std::optional<ProcessTable::Clock::duration> sinceBoot);
    void Describe(Known& known, ProcessTable::Details& details,
                  ProcessTable::Clock::time_point now);
    bool CheckName(Known& known, ProcessTable::Clock::time_point now);
    void ScheduleCheck(Known& known, ProcessTable::Clock::time_point now);
    void UpdateIndexes();
    void TrimDueChecks();
    static ProcessTable::Clock::duration RecheckPeriod(const Known& known,
                                                       ProcessTable::Clock::time_point now);

    ProcessTable& _table;
    std::mutex _mutex;
    std::vector<Known> _known;  // by pid
    // A tick asks for the shown processes and the due checks; both come from these instead
    // of a pass over every process known. _due holds one entry a check scheduled; an entry
    // whose process has since been checked again, or has gone, is dropped when reached.
    struct DueCheck {
        ProcessTable::Clock::time_point when;
        UInt32 pid = 0;
        bool operator>(const DueCheck& other) const { return when > other.when; }
    };
    std::priority_queue<DueCheck, std::vector<DueCheck>, std::greater<>> _due;
    std::vector<ProcessSerialNumber> _shown;
    std::vector<UInt32> _withSignature;  // by pid: processes whose name has a signature
    bool _indexesStale = true;
    std::optional<UInt32> _lastPid;
    bool _listed = false;
    bool _freshLookWanted = false;
    ProcessTable::Clock::time_point _lookedAt;
    ProcessTable::Clock::time_point _listedAt;
};

// The system's processes: a KernelProcessList over KernelProcessTable(); a quit request is
// SIGTERM.
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

    std::vector<ProcessSerialNumber> RunningProcesses() override;
    bool DescribeProcess(const ProcessSerialNumber& process, RunningProcess& description) override;
    OSErr RequestQuit(const ProcessSerialNumber& process) override;
    void LookAfresh() override;
    bool FindSignature(OSType signature, ProcessSerialNumber& found) override;

  private:
    ProcessListSource* _underlying;
    std::mutex _mutex;
    std::vector<RunningProcess> _pretend;
    UInt32 _nextNumber = 1;
};

}  // namespace kaplatform

#endif
