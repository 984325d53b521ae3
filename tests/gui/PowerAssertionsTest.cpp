// Power assertions over the sleep blocker the executable hands in: one block per assertion,
// ended by its release and by nothing else, and no assertion at all without a blocker.
#include "sleepinhibitor/SleepInhibitor.h"

#include <kaplatform/PlatformSeams.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

class CountingBlocker final : public kaplatform::SystemSleepBlocker {
  public:
    class CountedBlock final : public Block {
      public:
        explicit CountedBlock(int& live) : _live(live) { ++_live; }
        ~CountedBlock() override { --_live; }
        CountedBlock(const CountedBlock&) = delete;
        CountedBlock& operator=(const CountedBlock&) = delete;

      private:
        int& _live;
    };

    IOReturn BlockSleep(const std::string& who, const std::string& why,
                        std::unique_ptr<Block>& block) override {
        asked.emplace_back(who, why);
        if (answer == kIOReturnSuccess) {
            block = std::make_unique<CountedBlock>(live);
        }
        return answer;
    }

    IOReturn answer = kIOReturnSuccess;
    int live = 0;
    std::vector<std::pair<std::string, std::string>> asked;
};

class PowerAssertionsTest : public ::testing::Test {
  protected:
    void SetUp() override { kaplatform::SetSystemSleepBlocker(_blocker); }
    // The suite's main hands in the logind inhibitor; the next suite gets it back.
    void TearDown() override {
        kaplatform::SetSystemSleepBlocker(kasleepinhibitor::MakeLogindSleepInhibitor());
    }

    static IOReturn Create(IOPMAssertionID& assertion) {
        return IOPMAssertionCreateWithDescription(
            kIOPMAssertionTypePreventSystemSleep, CFSTR("Ka Firmware Updater"), nullptr,
            CFSTR("Updating the Ka's firmware"), nullptr, 0, nullptr, &assertion);
    }

    std::shared_ptr<CountingBlocker> _blocker = std::make_shared<CountingBlocker>();
};

}  // namespace

TEST_F(PowerAssertionsTest, EachAssertionHoldsItsOwnBlockUntilItIsReleased) {
    IOPMAssertionID first = kIOPMNullAssertionID;
    IOPMAssertionID second = kIOPMNullAssertionID;
    ASSERT_EQ(kIOReturnSuccess, Create(first));
    ASSERT_EQ(kIOReturnSuccess, Create(second));
    EXPECT_NE(first, kIOPMNullAssertionID);
    EXPECT_NE(first, second);
    EXPECT_EQ(2, _blocker->live);
    ASSERT_EQ(2U, _blocker->asked.size());
    EXPECT_EQ("Ka Firmware Updater", _blocker->asked[0].first);
    EXPECT_EQ("Updating the Ka's firmware", _blocker->asked[0].second);

    EXPECT_EQ(kIOReturnSuccess, IOPMAssertionRelease(first));
    EXPECT_EQ(1, _blocker->live);
    EXPECT_EQ(kIOReturnBadArgument, IOPMAssertionRelease(first)) << "released once only";
    EXPECT_EQ(1, _blocker->live);
    // A blocker handed in later leaves the held block alone.
    kaplatform::SetSystemSleepBlocker(nullptr);
    EXPECT_EQ(1, _blocker->live);
    EXPECT_EQ(kIOReturnSuccess, IOPMAssertionRelease(second));
    EXPECT_EQ(0, _blocker->live);
}

TEST_F(PowerAssertionsTest, ARefusalOrNoBlockerGivesNoAssertion) {
    _blocker->answer = kIOReturnNotPermitted;
    IOPMAssertionID assertion = 7;
    EXPECT_EQ(kIOReturnNotPermitted, Create(assertion));
    EXPECT_EQ(kIOPMNullAssertionID, assertion);

    kaplatform::SetSystemSleepBlocker(nullptr);
    assertion = 7;
    EXPECT_EQ(kIOReturnNotResponding, Create(assertion)) << "nobody to ask";
    EXPECT_EQ(kIOPMNullAssertionID, assertion);
    EXPECT_EQ(0, _blocker->live);

    EXPECT_EQ(kIOReturnBadArgument, IOPMAssertionCreateWithDescription(
                                        CFSTR("PreventUserIdleSleep"), CFSTR("Ka Firmware Updater"),
                                        nullptr, nullptr, nullptr, 0, nullptr, &assertion));
}
