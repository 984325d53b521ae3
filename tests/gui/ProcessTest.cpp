// The process walker over a pretend process list, and the system's own list.
#include "Process.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

bool operator==(const ProcessSerialNumber& first, const ProcessSerialNumber& second) {
    return first.highLongOfPSN == second.highLongOfPSN && first.lowLongOfPSN == second.lowLongOfPSN;
}

class ProcessWalkTest : public ::testing::Test {
  protected:
    void SetUp() override { kaplatform::SetProcessListSource(&_list); }
    void TearDown() override { kaplatform::SetProcessListSource(nullptr); }

    // Nothing of the system: the walk sees exactly what the test adds.
    kaplatform::PretendProcessList _list{nullptr};
};

}  // namespace

TEST_F(ProcessWalkTest, WalkVisitsEveryProcessOnceThenStandsOnTheFirstAgain) {
    ProcessSerialNumber first = _list.Add('aaaa', "first");
    ProcessSerialNumber second = _list.Add('bbbb', "second");
    ProcessSerialNumber third = _list.Add('cccc', "third");

    TProcess walk(kMyProcess);
    EXPECT_TRUE(walk.GetProcessID() == first);
    EXPECT_FALSE(walk.Last());
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    EXPECT_TRUE(walk.GetMyProcessID() == self);

    std::vector<ProcessSerialNumber> visited;
    while (!walk.Last()) {
        visited.push_back(walk.GetProcessID());
        walk.Next();
    }
    ASSERT_EQ(3u, visited.size());
    EXPECT_TRUE(visited[1] == second);
    EXPECT_TRUE(visited[2] == third);
    EXPECT_TRUE(walk.GetProcessID() == first) << "back on the first process";
    walk.Next();
    EXPECT_TRUE(walk.GetProcessID() == second);
    EXPECT_TRUE(walk.Last()) << "First does not clear Last";
}

TEST_F(ProcessWalkTest, FindProcessSearchesTheWholeListWhereverTheWalkStands) {
    _list.Add('aaaa', "first");
    TProcess walk(kMyProcess);
    EXPECT_FALSE(walk.FindProcess('KeyG'));

    _list.Add('bbbb', "second");
    ProcessSerialNumber editor = _list.Add('KeyG', "Final Cut Pro");
    _list.Add('dddd', "fourth");
    walk.Next();
    walk.Next();
    EXPECT_TRUE(walk.FindProcess('KeyG'));
    EXPECT_TRUE(walk.GetProcessID() == editor);
    EXPECT_TRUE(walk.FindProcess('aaaa')) << "also behind the walk's position";

    _list.Remove(editor);
    EXPECT_FALSE(TProcess(kMyProcess).FindProcess('KeyG'));
}

TEST_F(ProcessWalkTest, EmptyListFindsNothingAndCountsNothing) {
    TProcess walk(kMyProcess);
    EXPECT_FALSE(walk.Last()) << "the constructor's step does not set Last";
    EXPECT_FALSE(walk.FindProcess('KeyG'));
    EXPECT_EQ(0, walk.GetNumProcesses());
}

TEST_F(ProcessWalkTest, CountAndInformationDoNotDependOnTheWalk) {
    _list.Add('aaaa', "first");
    _list.Add('bbbb', "second");
    _list.Add('cccc', "third");
    TProcess walk(kMyProcess);
    EXPECT_EQ(3, walk.GetNumProcesses());
    walk.Next();
    EXPECT_EQ(3, walk.GetNumProcesses());

    ProcessInfoRec info = walk.GetProcessInfoRec();
    EXPECT_EQ(OSType('bbbb'), info.processSignature);
    EXPECT_EQ(sizeof(ProcessInfoRec), info.processInfoLength);
    EXPECT_EQ(nullptr, info.processName);
    EXPECT_EQ(0u, walk.GetProcessSize());
}

TEST_F(ProcessWalkTest, QuitRequestReachesTheProcess) {
    ProcessSerialNumber first = _list.Add('aaaa', "first");
    ProcessSerialNumber victim = _list.Add('KeyG', "Final Cut Pro");
    TProcess walk(kMyProcess);
    EXPECT_TRUE(walk.KillApplication(&victim));
    EXPECT_FALSE(walk.FindProcess('KeyG'));
    EXPECT_FALSE(walk.KillApplication(&victim)) << "no longer running";
    EXPECT_FALSE(walk.KillApplication(nullptr));
    EXPECT_TRUE(TProcess(kMyProcess).GetProcessID() == first);
}

// The name the kernel keeps for this process, whatever the test executable is called: the
// first 15 bytes of the file name it was started from.
namespace {

std::string OwnCommandName() {
    return std::string(program_invocation_short_name).substr(0, 15);
}

}  // namespace

TEST(SystemProcessListTest, ListsThisProcessWithItsNameAndAStartTime) {
    auto processes = kaplatform::SystemProcessList().RunningProcesses();
    ProcessSerialNumber self;
    ASSERT_EQ(noErr, GetCurrentProcess(&self));
    ASSERT_NE(processes.end(),
              std::find_if(processes.begin(), processes.end(),
                           [&](const ProcessSerialNumber& process) { return process == self; }));
    kaplatform::RunningProcess description;
    ASSERT_TRUE(kaplatform::SystemProcessList().DescribeProcess(self, description));
    EXPECT_TRUE(description.serialNumber == self);
    EXPECT_EQ(OwnCommandName(), description.name);
    EXPECT_EQ(OSType('\?\?\?\?'), description.signature);
    EXPECT_GT(description.size, 0u);
    EXPECT_GT(description.launchDate, 0u);

    // The walker over the real list finds it too.
    TProcess walk(kMyProcess);
    EXPECT_GT(walk.GetNumProcesses(), 0);
    Str255 name = {};
    ProcessInfoRec info{};
    info.processInfoLength = sizeof info;
    info.processName = name;
    ASSERT_EQ(noErr, GetProcessInformation(&self, &info));
    EXPECT_EQ(OwnCommandName(), std::string(reinterpret_cast<char*>(name + 1), name[0]));
    info.processInfoLength = 60;
    EXPECT_EQ(paramErr, GetProcessInformation(&self, &info)) << "a record of another size";
}

TEST(SystemProcessListTest, PretendProcessesFollowTheSystemOnes) {
    kaplatform::PretendProcessList list;
    kaplatform::SetProcessListSource(&list);
    EXPECT_FALSE(TProcess(kMyProcess).FindProcess('KeyG'));
    list.Add('KeyG', "Final Cut Pro");
    EXPECT_TRUE(TProcess(kMyProcess).FindProcess('KeyG'));
    list.RemoveAll();
    EXPECT_FALSE(TProcess(kMyProcess).FindProcess('KeyG'));
    kaplatform::SetProcessListSource(nullptr);
}

TEST(SystemProcessListTest, ChildIsListedWhileItRunsAndNotOnceReaped) {
    // The kernel's table on a clock the test moves: each look is a tick later than the last.
    kaplatform::ProcessTable::Clock::time_point now;
    kaplatform::KernelProcessTableOnClock ticking(
        [&now] { return now += std::chrono::milliseconds(500); });
    kaplatform::KernelProcessList list(ticking);
    auto listed = [&](pid_t pid) {
        for (const ProcessSerialNumber& process : list.RunningProcesses()) {
            if (process.lowLongOfPSN == static_cast<UInt32>(pid)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(listed(getpid()));
    int hold[2];
    ASSERT_EQ(0, pipe(hold));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(hold[1]);
        char byte;
        // Ends when the parent closes its end.
        _exit(read(hold[0], &byte, 1) < 0 ? 1 : 0);
    }
    close(hold[0]);
    EXPECT_TRUE(listed(child)) << "a process started since the last walk";
    kaplatform::ProcessTable& table = kaplatform::KernelProcessTable();
    std::string name;
    ASSERT_TRUE(table.ReadName(static_cast<UInt32>(child), name));
    EXPECT_EQ(OwnCommandName(), name);
    ASSERT_TRUE(table.ReadName(static_cast<UInt32>(child), name)) << "again, from the kept file";
    // Its start time and the system's up time are on one clock: it has only just started.
    kaplatform::ProcessTable::Details details;
    ASSERT_TRUE(table.Read(static_cast<UInt32>(child), details));
    const auto sinceBoot = table.SinceBoot();
    ASSERT_TRUE(sinceBoot && details.startedAfterBoot);
    EXPECT_GE(*sinceBoot - *details.startedAfterBoot, -std::chrono::milliseconds(20));
    EXPECT_LT(*sinceBoot - *details.startedAfterBoot, std::chrono::seconds(30));
    // Looked up by itself, the child is a process; a thread of ours is none.
    kaplatform::ProcessTable::Entry entry;
    kaplatform::ProcessTable::Details probed;
    ASSERT_TRUE(table.Probe(static_cast<UInt32>(child), entry, probed));
    EXPECT_EQ(OwnCommandName(), probed.name);
    EXPECT_FALSE(probed.kernelThread);
    std::promise<pid_t> threadId;
    std::promise<void> done;
    std::thread thread([&] {
        threadId.set_value(gettid());
        done.get_future().wait();
    });
    const auto threadPid = static_cast<UInt32>(threadId.get_future().get());
    std::string threadName;
    EXPECT_TRUE(table.ReadName(threadPid, threadName)) << "its pid answers for it";
    EXPECT_FALSE(table.Probe(threadPid, entry, probed));
    done.set_value();
    thread.join();
    close(hold[1]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_FALSE(table.ReadName(static_cast<UInt32>(child), name));
    kaplatform::RunningProcess description;
    EXPECT_FALSE(list.DescribeProcess({1, static_cast<UInt32>(child)}, description))
        << "asked about on its own, at once";
    // A walk may show it a while, on a machine where other processes keep starting.
    int looks = 0;
    while (listed(child) && looks < 40) {
        ++looks;
    }
    EXPECT_LE(looks * std::chrono::milliseconds(500), kaplatform::KernelProcessList::kListPeriod)
        << "a process ended since the last walk";
}
