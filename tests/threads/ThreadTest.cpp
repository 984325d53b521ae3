#include "OneShotSignal.h"
#include "Orv_VEV_Thread.h"
#include "ThreadCreation.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

namespace {

using Orv::VEV::Runnable;
using Orv::VEV::Thread;

constexpr auto kGenerousDeadline = std::chrono::seconds(30);

// What a body sees of its own thread.
struct Observation {
    int policy = -1;
    int priority = -1;
    int detachState = -1;
    bool handleIsOwn = false;
};

Observation ObserveCallingThread(Thread* thread) {
    Observation seen;
    sched_param parameters{};
    pthread_getschedparam(pthread_self(), &seen.policy, &parameters);
    seen.priority = parameters.sched_priority;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getdetachstate(&attributes, &seen.detachState);
        pthread_attr_destroy(&attributes);
    }
    seen.handleIsOwn = thread != nullptr && pthread_equal(thread->GetPThread(), pthread_self());
    return seen;
}

class ObservingBody : public Runnable {
  public:
    void Run() override { mSeen.Set(ObserveCallingThread(mThread.load())); }

    std::atomic<Thread*> mThread{nullptr};
    OneShotSignal<Observation> mSeen;
};

// Starts a Thread from a helper thread that has first put itself into SCHED_BATCH, so that
// what the body sees is what Start gave it, not what it inherited from the test.
int StartFromBatchThread(Thread& thread) {
    int started = -1;
    std::thread parent([&] {
        sched_param parameters{};
        if (pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters) != 0) {
            return;
        }
        started = thread.Start();
    });
    parent.join();
    return started;
}

bool MayTakeFifo() {
    bool permitted = false;
    std::thread probe([&] {
        sched_param parameters{};
        parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
        permitted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
    });
    probe.join();
    return permitted;
}

TEST(ThreadTest, TimeshareBodyRunsDetachedAsOrdinaryTimeSharedThread) {
    ObservingBody body;
    auto thread = std::make_unique<Thread>(&body, 0, Thread::kThreadPolicyTimeslice);
    body.mThread = thread.get();

    ASSERT_EQ(StartFromBatchThread(*thread), 0);
    const std::optional<Observation> seen = body.mSeen.WaitFor(kGenerousDeadline);
    ASSERT_TRUE(seen.has_value());
    const Observation& observation = *seen;
    EXPECT_EQ(observation.policy, SCHED_OTHER);
    EXPECT_EQ(observation.priority, 0);
    EXPECT_EQ(observation.detachState, PTHREAD_CREATE_DETACHED);
    EXPECT_TRUE(observation.handleIsOwn);
}

TEST(ThreadTest, RoundRobinKeepsTheInheritedScheduling) {
    ObservingBody body;
    auto thread = std::make_unique<Thread>(&body, 0, Thread::kThreadPolicyRoundRobin);

    ASSERT_EQ(StartFromBatchThread(*thread), 0);
    const std::optional<Observation> seen = body.mSeen.WaitFor(kGenerousDeadline);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->policy, SCHED_BATCH);
}

TEST(ThreadTest, FifoRunsRealTimeWherePermittedAndRunsAnywayWhereNot) {
    const bool permitted = MayTakeFifo();
    ObservingBody body;
    auto thread = std::make_unique<Thread>(&body, 2, Thread::kThreadPolicyFifo);

    ASSERT_EQ(thread->Start(), 0);
    const std::optional<Observation> seen = body.mSeen.WaitFor(kGenerousDeadline);
    ASSERT_TRUE(seen.has_value());
    const Observation& observation = *seen;
    if (permitted) {
        EXPECT_EQ(observation.policy, SCHED_FIFO);
        EXPECT_EQ(observation.priority, sched_get_priority_min(SCHED_FIFO) + 2);
    } else {
        EXPECT_EQ(observation.policy, SCHED_OTHER);
    }
}

// The controller's worker deletes its own Thread as its last act. Start must be done with
// the object by then; run often so that the sanitizers see any overlap.
class SelfDeletingBody : public Runnable {
  public:
    void Run() override {
        const bool handleIsOwn = pthread_equal(mThread->GetPThread(), pthread_self());
        delete mThread;
        mDone.Set(handleIsOwn);
    }

    Thread* mThread = nullptr;
    OneShotSignal<bool> mDone;
};

TEST(ThreadTest, BodyMayDeleteItsOwnThread) {
    for (int round = 0; round < 200; ++round) {
        SelfDeletingBody body;
        body.mThread = new Thread(&body, 0, Thread::kThreadPolicyTimeslice);

        ASSERT_EQ(body.mThread->Start(), 0);
        const std::optional<bool> handleWasOwn = body.mDone.WaitFor(kGenerousDeadline);
        ASSERT_TRUE(handleWasOwn.has_value()) << "round " << round;
        EXPECT_TRUE(*handleWasOwn) << "round " << round;
    }
}

class HeldBody : public Runnable {
  public:
    void Run() override {
        mReleased = mRelease.WaitFor(kGenerousDeadline).has_value();
        mFinished.Set(mReleased);
    }

    bool mReleased = false;
    OneShotSignal<> mRelease;
    OneShotSignal<> mFinished;
};

TEST(ThreadTest, DeletingAStartedThreadLeavesItRunningToTheEnd) {
    HeldBody body;
    auto thread = std::make_unique<Thread>(&body, 0, Thread::kThreadPolicyTimeslice);
    ASSERT_EQ(thread->Start(), 0);
    thread.reset();

    body.mRelease.Set();
    const std::optional<bool> finished = body.mFinished.WaitFor(kGenerousDeadline);
    ASSERT_TRUE(finished.has_value());
    EXPECT_TRUE(*finished);
}

class CountingBody : public Runnable {
  public:
    void Run() override { ++mRuns; }
    std::atomic<int> mRuns{0};
};

int RefuseToCreate(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return EAGAIN;
}

std::atomic<int> gDetachStateSeenByCreator{-1};

int CreateAndRecordDetachState(pthread_t* thread, const pthread_attr_t* attributes,
                               void* (*entry)(void*), void* argument) {
    int detachState = -1;
    pthread_attr_getdetachstate(attributes, &detachState);
    gDetachStateSeenByCreator = detachState;
    return katest::CreateSystemThread(thread, attributes, entry, argument);
}

TEST(ThreadTest, FailedCreationIsReportedAndTheBodyNeverRuns) {
    katest::ThreadCreatorInstalled refusing(&RefuseToCreate);
    CountingBody body;
    Thread thread(&body, 0, Thread::kThreadPolicyTimeslice);

    EXPECT_EQ(thread.Start(), EAGAIN);
    EXPECT_EQ(body.mRuns, 0);
    EXPECT_EQ(thread.GetPThread(), pthread_t{});
}

TEST(ThreadTest, InstalledCreatorIsAskedForADetachedThreadAndRemovedAgain) {
    ObservingBody body;
    {
        katest::ThreadCreatorInstalled recording(&CreateAndRecordDetachState);
        Thread thread(&body, 0, Thread::kThreadPolicyTimeslice);
        ASSERT_EQ(thread.Start(), 0);
        ASSERT_TRUE(body.mSeen.WaitFor(kGenerousDeadline).has_value());
    }
    EXPECT_EQ(gDetachStateSeenByCreator, PTHREAD_CREATE_DETACHED);

    gDetachStateSeenByCreator = -1;
    ObservingBody plain;
    Thread thread(&plain, 0, Thread::kThreadPolicyTimeslice);
    ASSERT_EQ(thread.Start(), 0);
    ASSERT_TRUE(plain.mSeen.WaitFor(kGenerousDeadline).has_value());
    EXPECT_EQ(gDetachStateSeenByCreator, -1);
}

}  // namespace
