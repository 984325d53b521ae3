// The system's process list over a process table of the test's own, on the table's virtual
// clock: what a walk reads, and how soon it sees processes start, quit, change executable or
// hand their pid to another process.
#include "Process.h"

#include <kaplatform/PlatformSeams.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {

using namespace std::chrono_literals;
using kaplatform::KernelProcessList;
using kaplatform::ProcessTable;

constexpr OSType kEditor = 'KeyG';
constexpr auto kTick = 500ms;

// A kernel process table: listing, last pid and reads behave as /proc's do, and every look
// at it is counted.
class FakeProcessTable final : public ProcessTable {
  public:
    // ranFor: how long before now the process started.
    void Start(UInt32 pid, const std::string& name, bool kernelThread = false,
               Clock::duration ranFor = {}) {
        _processes[pid] = {_nextIdentity++, name, kernelThread, true, SinceEpoch() - ranFor};
        // A pid below the last one is handed out only once the counter has wrapped.
        _lastPid = pid;
    }
    // From now on the table tells start times, as /proc does; the system started at the
    // clock's epoch.
    void TellStartTimes() { _tellsStartTimes = true; }
    void Quit(UInt32 pid) { _processes.erase(pid); }
    // exec: the name changes; pid, identity and the last pid stay.
    void Exec(UInt32 pid, const std::string& name) { _processes.at(pid).name = name; }
    void SetReadable(UInt32 pid, bool readable) { _processes.at(pid).readable = readable; }
    void Advance(Clock::duration duration) { _now += duration; }

    std::optional<UInt32> LastPid() override {
        ++lastPidReads;
        return _lastPid;
    }
    bool Probe(UInt32 pid, Entry& entry, Details& details) override {
        ++probes;
        auto found = _processes.find(pid);
        if (found == _processes.end() || !found->second.readable) {
            return false;
        }
        entry = {pid, found->second.identity};
        details.name = found->second.name;
        details.kernelThread = found->second.kernelThread;
        return true;
    }
    std::vector<Entry> List() override {
        ++lists;
        std::vector<Entry> entries;
        for (const auto& [pid, process] : _processes) {
            entries.push_back({pid, process.identity});
        }
        // The kernel promises no order.
        std::reverse(entries.begin(), entries.end());
        return entries;
    }
    bool Read(UInt32 pid, Details& details) override {
        ++reads;
        ++readsOf[pid];
        auto found = _processes.find(pid);
        if (found == _processes.end() || !found->second.readable) {
            return false;
        }
        details.name = found->second.name;
        details.kernelThread = found->second.kernelThread;
        details.launchDate = 60;
        details.size = 4096;
        if (_tellsStartTimes) {
            details.startedAfterBoot = found->second.startedAfterBoot;
        }
        return true;
    }
    bool ReadName(UInt32 pid, std::string& name) override {
        ++nameReads;
        auto found = _processes.find(pid);
        if (found == _processes.end() || !found->second.readable) {
            return false;
        }
        name = found->second.name;
        return true;
    }
    void Forget(UInt32 pid) override { forgotten.insert(pid); }
    Clock::time_point Now() override { return _now; }
    std::optional<Clock::duration> SinceBoot() override {
        return _tellsStartTimes ? std::optional(SinceEpoch()) : std::nullopt;
    }

    int lastPidReads = 0;
    int probes = 0;
    int lists = 0;
    int reads = 0;
    int nameReads = 0;
    std::map<UInt32, int> readsOf;
    std::set<UInt32> forgotten;

  private:
    struct Process {
        std::uint64_t identity;
        std::string name;
        bool kernelThread;
        bool readable;
        Clock::duration startedAfterBoot;
    };
    Clock::duration SinceEpoch() const { return _now.time_since_epoch(); }
    std::map<UInt32, Process> _processes;
    std::uint64_t _nextIdentity = 7000;
    UInt32 _lastPid = 0;
    Clock::time_point _now = Clock::time_point(123456789ms);
    bool _tellsStartTimes = false;
};

class KernelProcessListTest : public ::testing::Test {
  protected:
    void SetUp() override { kaplatform::SetProcessListSource(&_list); }
    void TearDown() override { kaplatform::SetProcessListSource(nullptr); }

    void StartMany(UInt32 firstPid, int count, const std::string& name) {
        for (int index = 0; index < count; ++index) {
            _table.Start(firstPid + static_cast<UInt32>(3 * index), name);
        }
    }

    // One idle tick of the dialog with the unit present: a walker, then the search.
    bool Tick(OSType signature = kEditor) {
        _table.Advance(kTick);
        TProcess walk(kMyProcess);
        return walk.FindProcess(signature);
    }

    static OSType SignatureOf(UInt32 pid) {
        ProcessSerialNumber process = {1, pid};
        ProcessInfoRec info{};
        info.processInfoLength = sizeof info;
        return GetProcessInformation(&process, &info) == noErr ? info.processSignature : 0;
    }

    FakeProcessTable _table;
    KernelProcessList _list{_table};
};

}  // namespace

TEST_F(KernelProcessListTest, WalkReadsTheTableOnlyWhenAskedAndOnlyWhatCanHaveChanged) {
    StartMany(100, 200, "sleep");
    // The dialog's tick with no unit: a walker asked nothing.
    for (int tick = 0; tick < 4; ++tick) {
        _table.Advance(kTick);
        TProcess walk(kMyProcess);
    }
    EXPECT_EQ(0,
              _table.lastPidReads + _table.lists + _table.probes + _table.reads + _table.nameReads)
        << "a walker asked nothing reads nothing";

    _table.Advance(kTick);
    {
        TProcess walk(kMyProcess);
        EXPECT_FALSE(walk.Last());
        EXPECT_EQ(100u, walk.GetProcessID().lowLongOfPSN) << "the lowest pid comes first";
    }
    EXPECT_EQ(1, _table.lists);
    EXPECT_EQ(200, _table.reads) << "each process read once, on first sight";

    for (int tick = 0; tick < 10; ++tick) {
        _table.Advance(kTick);
        TProcess walk(kMyProcess);
        EXPECT_EQ(200, walk.GetNumProcesses());
    }
    EXPECT_EQ(1, _table.lists) << "nothing started or ended: the table is not listed again";
    EXPECT_EQ(0, _table.probes);
    EXPECT_EQ(200, _table.reads) << "a step reads no process it knows";
    EXPECT_EQ(0, _table.nameReads);

    // New pids are looked up one by one, without a listing.
    _table.Start(700, "bash");
    _table.Advance(kTick);
    {
        TProcess walk(kMyProcess);
        EXPECT_EQ(201, walk.GetNumProcesses());
    }
    EXPECT_EQ(1, _table.lists);
    EXPECT_EQ(3, _table.probes) << "698, 699 and 700, each by itself";
    EXPECT_EQ(200, _table.reads) << "a probe reads all there is to know";

    // An end is seen at the next listing, without a read.
    _table.Quit(103);
    int elapsedTicks = 0;
    const int ticksPerListing = static_cast<int>(KernelProcessList::kListPeriod / kTick);
    for (; elapsedTicks < ticksPerListing && _table.lists == 1; ++elapsedTicks) {
        _table.Advance(kTick);
        TProcess walk(kMyProcess);
        walk.Last();
    }
    EXPECT_LE(elapsedTicks * kTick, KernelProcessList::kListPeriod);
    EXPECT_EQ(200, _table.reads);
    EXPECT_EQ(200, TProcess(kMyProcess).GetNumProcesses());
    EXPECT_EQ(std::set<UInt32>{103}, _table.forgotten) << "what the list keeps of it goes";

    // Otherwise the table is listed in full only now and then.
    const int lists = _table.lists;
    for (int tick = 0; tick < ticksPerListing; ++tick) {
        _table.Advance(kTick);
        TProcess walk(kMyProcess);
        walk.Last();
    }
    EXPECT_EQ(lists + 1, _table.lists) << "one listing a period";
}

TEST_F(KernelProcessListTest, ProcessStartingOrQuittingIsSeenByTheNextTick) {
    StartMany(100, 50, "sleep");
    EXPECT_FALSE(Tick());
    _table.Start(500, "Final Cut Pro");
    EXPECT_TRUE(Tick());
    EXPECT_TRUE(Tick());
    _table.Quit(500);
    EXPECT_FALSE(Tick());
    _table.Start(90, "finalcutpro");
    EXPECT_TRUE(Tick()) << "also ahead of every known pid";
    _table.Quit(90);
    EXPECT_FALSE(Tick());

    // Started between the walker's first step and the search of the same tick: one look at
    // the list serves the whole tick, and the next tick sees it.
    _table.Advance(kTick);
    TProcess walk(kMyProcess);
    ASSERT_FALSE(walk.Last());  // the walk's first step
    const int lists = _table.lists;
    _table.Start(91, "Final Cut Pro");
    EXPECT_FALSE(walk.FindProcess(kEditor));
    EXPECT_EQ(lists, _table.lists);
    EXPECT_TRUE(Tick());
}

TEST_F(KernelProcessListTest, ExecutableChangedUnderTheSamePidIsSeenWithinTwoSeconds) {
    // Launcher scripts that exec the editor, all just after a tick, which is the latest
    // moment for those whose turn to be checked was that tick.
    StartMany(1000, 300, "launch-editor");
    for (int tick = 0; tick < 8; ++tick) {
        ASSERT_FALSE(Tick());
    }
    std::set<UInt32> waiting;
    for (int index = 0; index < 300; ++index) {
        const auto pid = static_cast<UInt32>(1000 + 3 * index);
        _table.Exec(pid, "Final Cut Pro");
        waiting.insert(pid);
    }
    auto elapsed = ProcessTable::Clock::duration::zero();
    bool seenByTheFirstTick = false;
    while (!waiting.empty() && elapsed < 10s) {
        const bool found = Tick();
        elapsed += kTick;
        seenByTheFirstTick = seenByTheFirstTick || (found && elapsed == kTick);
        std::erase_if(waiting, [&](UInt32 pid) { return SignatureOf(pid) == kEditor; });
        EXPECT_TRUE(found);
    }
    EXPECT_TRUE(waiting.empty());
    EXPECT_LE(elapsed, 2s);
    EXPECT_TRUE(seenByTheFirstTick);

    // The editor handing over to another program is seen as soon, wherever its turn falls.
    for (int index = 0; index < 300; ++index) {
        _table.Quit(static_cast<UInt32>(1000 + 3 * index));
    }
    ASSERT_FALSE(Tick());
    for (UInt32 pid = 5000; pid < 5040; pid += 7) {
        _table.Start(pid, "Final Cut Pro");
        ASSERT_TRUE(Tick());
        _table.Exec(pid, "crash-reporter");
        auto gone = ProcessTable::Clock::duration::zero();
        bool running = true;
        while (running && gone < 10s) {
            running = Tick();
            gone += kTick;
        }
        EXPECT_LE(gone, 2s) << "pid " << pid;
        _table.Quit(pid);
    }
}

TEST_F(KernelProcessListTest, ReusedPidIsNeverTakenForTheOldProcess) {
    StartMany(100, 50, "sleep");
    _table.Start(400, "Final Cut Pro");
    _table.Start(401, "bash");
    EXPECT_TRUE(Tick());

    // Both pids pass to other programs between two ticks.
    _table.Quit(400);
    _table.Start(400, "bash");
    _table.Quit(401);
    _table.Start(401, "FinalCutPro");
    _table.Advance(kTick);
    EXPECT_EQ(OSType('\?\?\?\?'), SignatureOf(400)) << "also asked outside a walk";
    EXPECT_EQ(kEditor, SignatureOf(401));
    EXPECT_TRUE(Tick());

    _table.Quit(401);
    _table.Start(401, "make");
    EXPECT_FALSE(Tick());
}

TEST_F(KernelProcessListTest, KernelThreadsAndUnreadableProcessesAreLeftOut) {
    _table.Start(2, "kthreadd", true);
    _table.Start(10, "init");
    _table.Start(11, "Final Cut Pro");
    _table.SetReadable(11, false);
    EXPECT_FALSE(Tick());
    std::vector<ProcessSerialNumber> listed = _list.RunningProcesses();
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(10u, listed[0].lowLongOfPSN);

    // The unreadable one is tried again at the next listing, not at every look; the kernel
    // thread never is.
    _table.SetReadable(11, true);
    const int readsOf11 = _table.readsOf[11];
    auto elapsed = ProcessTable::Clock::duration::zero();
    while (!Tick() && elapsed < KernelProcessList::kListPeriod + 10s) {
        _table.Start(static_cast<UInt32>(20 + elapsed / kTick), "sh");
        elapsed += kTick;
    }
    EXPECT_LE(elapsed, KernelProcessList::kListPeriod);
    EXPECT_EQ(readsOf11 + 1, _table.readsOf[11]);
    EXPECT_EQ(1, _table.readsOf[2]);
}

TEST_F(KernelProcessListTest, ChecksOfKnownProcessesAreSpreadOverTheTicks) {
    constexpr int kProcesses = 600;
    StartMany(300, kProcesses, "sleep");
    EXPECT_FALSE(Tick());
    ASSERT_EQ(kProcesses, _table.reads);

    const int ticks = 40;
    int most = 0;
    for (int tick = 0; tick < ticks; ++tick) {
        const int before = _table.nameReads;
        EXPECT_FALSE(Tick());
        most = std::max(most, _table.nameReads - before);
    }
    EXPECT_EQ(kProcesses, _table.reads) << "known processes: only their names are read again";
    const int rechecks = _table.nameReads;
    const double periods = ticks * 0.5 / 1.4;
    // Every process is checked about once a period, and no tick does much more than its
    // share (a third of them) however the processes were first read together.
    EXPECT_GE(rechecks, static_cast<int>(kProcesses * (periods - 1)));
    EXPECT_LE(rechecks, static_cast<int>(kProcesses * (periods + 1)));
    EXPECT_LE(most, kProcesses * 0.5 / 1.4 * 1.25);
}

TEST_F(KernelProcessListTest, ProcessesKnownForAMinuteAreCheckedSeldom) {
    constexpr int kProcesses = 600;
    StartMany(300, kProcesses, "sleep");
    for (int tick = 0; tick < 130; ++tick) {
        ASSERT_FALSE(Tick());
    }
    const int before = _table.nameReads;
    const int ticks = 240;
    for (int tick = 0; tick < ticks; ++tick) {
        EXPECT_FALSE(Tick());
    }
    const int rechecks = _table.nameReads - before;
    const double periods = ticks * 0.5 / KernelProcessList::kSettledRecheckPeriod.count();
    EXPECT_GE(rechecks, static_cast<int>(kProcesses * (periods - 1)));
    EXPECT_LE(rechecks, static_cast<int>(kProcesses * (periods + 1)));

    // One of them that execs the editor is still seen within that period and a tick; one new
    // to the list, within two seconds as ever.
    _table.Exec(300 + 3 * 77, "Final Cut Pro");
    auto elapsed = ProcessTable::Clock::duration::zero();
    while (!Tick() && elapsed < 2min) {
        elapsed += kTick;
    }
    EXPECT_LE(elapsed, KernelProcessList::kSettledRecheckPeriod);
    _table.Exec(300 + 3 * 77, "sleep");
    for (int tick = 0; tick < 60 && Tick(); ++tick) {
    }
    _table.Start(9000, "launch-editor");
    for (int tick = 0; tick < 4; ++tick) {
        ASSERT_FALSE(Tick());
    }
    _table.Exec(9000, "Final Cut Pro");
    elapsed = ProcessTable::Clock::duration::zero();
    while (!Tick() && elapsed < KernelProcessList::kListPeriod + 10s) {
        elapsed += kTick;
    }
    EXPECT_LE(elapsed, 2s);
}

TEST_F(KernelProcessListTest, ProcessesThatRanAMinuteBeforeTheListStartedAreSettledAtOnce) {
    // The desktop the program starts on: hundreds of processes that have run for minutes,
    // and one that started a moment ago.
    _table.TellStartTimes();
    constexpr int kProcesses = 600;
    for (int index = 0; index < kProcesses; ++index) {
        _table.Start(300 + 3 * static_cast<UInt32>(index), "sleep", false, 5min);
    }
    _table.Start(9000, "launch-editor", false, 2s);
    ASSERT_FALSE(Tick());
    const int ticks = 40;
    for (int tick = 0; tick < ticks; ++tick) {
        EXPECT_FALSE(Tick());
    }
    const double periods = ticks * 0.5 / KernelProcessList::kSettledRecheckPeriod.count();
    EXPECT_LE(_table.nameReads, static_cast<int>(kProcesses * (periods + 1)))
        << "from its first minute the list checks old processes as seldom as later";

    // The newcomer is still checked as often as any new one: its exec shows within 2 s.
    _table.Exec(9000, "Final Cut Pro");
    auto elapsed = ProcessTable::Clock::duration::zero();
    while (!Tick() && elapsed < KernelProcessList::kListPeriod + 10s) {
        elapsed += kTick;
    }
    EXPECT_LE(elapsed, 2s);
}

TEST_F(KernelProcessListTest, FreshLookSeesWhatTheListHasNotCaughtUpWith) {
    _table.TellStartTimes();
    constexpr int kProcesses = 300;
    for (int index = 0; index < kProcesses; ++index) {
        _table.Start(300 + 3 * static_cast<UInt32>(index), "sleep", false, 5min);
    }
    ASSERT_FALSE(Tick());

    // The editor among a crowd of processes started since the last tick: found by the next
    // one, without a listing.
    const int lists = _table.lists;
    for (UInt32 pid = 1200; pid < 1240; ++pid) {
        _table.Start(pid, pid == 1221 ? "Final Cut Pro" : "sh");
    }
    EXPECT_TRUE(Tick());
    EXPECT_EQ(lists, _table.lists);
    for (UInt32 pid = 1200; pid < 1240; ++pid) {
        _table.Quit(pid);
    }
    for (int tick = 0; tick < 4; ++tick) {
        Tick();
    }
    ASSERT_FALSE(Tick());

    // An old process that execs the editor just after a tick, and the update button pressed
    // before the next: the click's own look finds it, whoever's turn it was.
    for (int index = 0; index < kProcesses; index += 15) {
        const auto pid = 300 + 3 * static_cast<UInt32>(index);
        _table.Exec(pid, "Final Cut Pro");
        _table.Advance(100ms);
        const int nameReads = _table.nameReads;
        RefreshProcessList();
        EXPECT_TRUE(TProcess(kMyProcess).FindProcess(kEditor)) << "pid " << pid;
        EXPECT_GE(_table.nameReads - nameReads, kProcesses) << "every process looked at";
        _table.Exec(pid, "sleep");
        ASSERT_FALSE(Tick());
    }
}
