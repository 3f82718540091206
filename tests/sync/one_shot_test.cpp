// The single-shot modes over a fake board and a fake clock: no test here sets the real clock.
#include "fakes.h"
#include "one_shot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

namespace {

using namespace synctest;

class OneShotTest : public testing::Test {
protected:
    int step(bool allowFreewheel = false) {
        return stepClock(board, clock, allowFreewheel, out, err);
    }

    FakeBoard board;
    FakeSystemClock clock;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(OneShotTest, StepAddsTheNarrowestReadsOffsetAndPrintsIt) {
    board.widths = {6'000, 2'000, 4'000};
    EXPECT_EQ(step(), kExitDone);
    EXPECT_EQ(clock.steps, std::vector<int64_t>{1'500'000});
    EXPECT_EQ(out.str(), "vornsync: stepped the system clock by +0.001500000 s (error bound "
                         "0.000001500 s)\n");
}

TEST_F(OneShotTest, StepRefusesAnUnsynchronizedBoardUnlessFreewheelIsAllowed) {
    board.inSyncNow = false;
    EXPECT_EQ(step(), kExitNotSynchronized);
    EXPECT_TRUE(clock.steps.empty());
    EXPECT_EQ(step(true), kExitDone);
    EXPECT_EQ(clock.steps.size(), 1u);
}

TEST_F(OneShotTest, StepWithoutTheRightToSetTheClockExitsOneSayingSo) {
    clock.privileged = false;
    EXPECT_EQ(step(), kExitClockNotSet);
    EXPECT_TRUE(clock.steps.empty());
    clock.privileged = true;
    clock.stepError = EPERM;
    EXPECT_EQ(step(), kExitClockNotSet);
    EXPECT_EQ(err.str(), std::string(kNoPrivilegeMessage) + "\n" + kNoPrivilegeMessage + "\n");
    EXPECT_TRUE(out.str().empty());
}

TEST_F(OneShotTest, OncePrintsOneSampleAsJson) {
    board.offsetNanos = -3'000;
    EXPECT_EQ(printOneSample(board, LeapSecondList{}, false, out, err), kExitDone);
    EXPECT_EQ(out.str(), "{\"system_time_s\":1709294400.000001500,\"offset_s\":-0.000003000,"
                         "\"error_bound_s\":0.000001500,\"synchronized\":true,"
                         "\"leap\":\"none\"}\n");
    board.readCode = 6;
    EXPECT_EQ(printOneSample(board, LeapSecondList{}, false, out, err), kExitBoardUnread);
}

} // namespace
