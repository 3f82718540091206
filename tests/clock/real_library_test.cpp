// vornclock's steps over libvorn and a private in-process host on a virtual clock, with a fake
// system layer: the time handed to the clock is the board's, and a board whose queries fail
// leaves the clock alone.
#include "fakes.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace clocktest;

// 2024-03-01 12:00:00 UTC in 100 ns units since 1601.
constexpr int64_t kStartUtc = 133'537'680'000'000'000;
// 100 ns units.
constexpr int64_t kTicksPerSecond = 10'000'000;

class ClockOverLibrary : public testing::Test {
protected:
    void SetUp() override {
        vornsim::MachineDescription machine;
        machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
        vornhost::HostOptions options;
        options.virtualClock = true;
        options.systemTimeAtStart = kStartUtc;
        m_host = vornlib::testing::useHost(machine, options);
        ASSERT_NE(m_host, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(vornlib::testing::openBoardCount(), 0u) << "the tool left the board open";
        m_host.reset();
        EXPECT_TRUE(vornlib::testing::resetChannel());
    }

    int run() { return vornclock::setClockFromBoard(system, *library, out); }

    std::shared_ptr<vornlib::testing::HostChannel> m_host;
    CallLog log;
    FakeSystem system{log};
    std::unique_ptr<vornclock::BoardLibrary> library = vornclock::makeVornLibrary();
    std::ostringstream out;
};

TEST_F(ClockOverLibrary, SetsTheClockToTheBoardsDateAndTime) {
    m_host->host().virtualClock()->advance(83 * kTicksPerSecond + 4'567'000);
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

TEST_F(ClockOverLibrary, ABoardThatAnswersBadlyLeavesTheClockAlone) {
    vornhost::SimCommand faults;
    faults.action = vornhost::SimAction::SetFaults;
    faults.faultBadEcho = true;
    ASSERT_EQ(m_host->simulate(faults), 0);
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(out.str(), "Cannot read the board's date and time!!\n");
    EXPECT_TRUE(system.timesSet.empty());
}

} // namespace
