// vornclock's steps over libvorn and a private in-process host on a virtual clock, with a fake
// system layer: the time handed to the clock is the board's, and a board whose queries fail
// leaves the clock alone.
#include "fakes.h"
#include "one_board.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace clocktest;

using vorntest::kMilli;
using vorntest::kSecond;
using vorntest::kStartUtc;
using vorntest::systemTimeOf;

// The instant a SYSTEMTIME gives, in 100 ns units since 1601.
int64_t systemTimeOf(const win32::SYSTEMTIME& time) {
    return systemTimeOf(time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                        time.wMilliseconds * 1000);
}

class RealLibraryTest : public testing::Test {
protected:
    void SetUp() override { boot(kStartUtc); }
    void TearDown() override {
        EXPECT_EQ(vornlib::testing::openBoardCount(), 0u) << "the tool left the board open";
        m_host.reset();
        EXPECT_TRUE(vornlib::testing::resetChannel());
    }

    // A private host whose board starts at `start` (100 ns units since 1601, UTC).
    void boot(int64_t start) {
        m_host.reset();
        ASSERT_TRUE(vornlib::testing::resetChannel());
        vornhost::HostOptions options;
        options.virtualClock = true;
        options.systemTimeAtStart = start;
        m_host = vornlib::testing::useHost(vorntest::oneBoard(), options);
        ASSERT_NE(m_host, nullptr);
    }

    int run() { return vornclock::setClockFromBoard(system, *library, out); }

    std::shared_ptr<vornlib::testing::HostChannel> m_host;
    CallLog log;
    FakeSystem system{log};
    std::unique_ptr<vornclock::BoardLibrary> library = vornclock::makeVornLibrary();
    std::ostringstream out;
};

TEST_F(RealLibraryTest, SetsTheClockToTheBoardsDateAndTime) {
    m_host->host().virtualClock()->advance(83 * kSecond + 4'567'000);
    vornhost::BoardState board;
    ASSERT_EQ(m_host->inspectBoard(0, &board), 0);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), "");
    ASSERT_EQ(system.timesSet.size(), 1u);
    const win32::SYSTEMTIME& set = system.timesSet[0];
    EXPECT_EQ(set.wYear, board.year);
    EXPECT_EQ(set.wHour, board.hours);
    EXPECT_EQ(set.wMinute, board.minutes);
    EXPECT_EQ(set.wSecond, board.microsInMinute / 1'000'000);
    EXPECT_EQ(set.wMilliseconds, board.microsInMinute / 1000 % 1000);
    // Day of year 61 of a leap year is the first of March.
    ASSERT_EQ(board.dayOfYear, 61);
    EXPECT_EQ(set.wMonth, 3);
    EXPECT_EQ(set.wDay, 1);
    EXPECT_TRUE(win32::isValidSystemTime(set));
    EXPECT_EQ(set.wMilliseconds, 456) << "the board's fraction of a second comes through";
}

// The board's clock passes midnight while the tool reads it (each date query takes the board
// some time): the clock is set to the board's time as it was read, never a day or a year off.
TEST_F(RealLibraryTest, AcrossMidnightTheClockIsSetToTheBoardsTime) {
    const int64_t kLatestRead = 10 * kMilli;
    // A date query takes a little over 100 us of board time: started this early, midnight
    // passes between the time and the second date; 1 ms early, after every reading; 100 ns
    // early, between the first date and the time.
    const int64_t kQueryAndABit = 1500;
    for (const int64_t midnight :
         {systemTimeOf(2024, 1, 1, 0, 0, 0), systemTimeOf(2025, 1, 1, 0, 0, 0),
          systemTimeOf(2024, 2, 29, 0, 0, 0), systemTimeOf(2023, 3, 1, 0, 0, 0)}) {
        for (const int64_t early : {kMilli, kQueryAndABit, int64_t(1)}) {
            const int64_t start = midnight - early;
            boot(start);
            system.timesSet.clear();
            EXPECT_EQ(run(), 0);
            ASSERT_EQ(system.timesSet.size(), 1u);
            const int64_t set = systemTimeOf(system.timesSet[0]);
            EXPECT_GE(set, start - kMilli) << midnight << " - " << early;
            EXPECT_LE(set, start + kLatestRead) << midnight << " - " << early;
        }
    }
}

TEST_F(RealLibraryTest, ABoardThatAnswersBadlyLeavesTheClockAlone) {
    vornhost::SimCommand faults;
    faults.action = vornhost::SimAction::SetFaults;
    faults.faultBadEcho = true;
    ASSERT_EQ(m_host->simulate(faults), 0);
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(out.str(), "Cannot read the board's date and time!!\n");
    EXPECT_TRUE(system.timesSet.empty());
}

} // namespace
