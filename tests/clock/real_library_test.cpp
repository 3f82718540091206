// vornclock's steps over libvorn and a private in-process host on a virtual clock, with a fake
// system layer: the time handed to the clock is the board's, and a board whose queries fail
// leaves the clock alone.
#include "fakes.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

namespace {

using namespace clocktest;

// 2024-03-01 12:00:00 UTC in 100 ns units since 1601.
constexpr int64_t kStartUtc = 133'537'680'000'000'000;
// 100 ns units.
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMilli = 10'000;

// 100 ns units since 1601 of a UTC date and time.
int64_t utcTicks(int year, unsigned month, unsigned day, int hours, int minutes, int seconds,
                 int millis) {
    using namespace std::chrono;
    constexpr int64_t kDays1601To1970 = 134'774;
    const int64_t days =
        sys_days{std::chrono::year{year} / month / day}.time_since_epoch().count() +
        kDays1601To1970;
    return (days * 86'400 + hours * 3600 + minutes * 60 + seconds) * kTicksPerSecond +
           millis * kTicksPerMilli;
}

// The same instant as a SYSTEMTIME gives it.
int64_t utcTicks(const win32::SYSTEMTIME& time) {
    return utcTicks(time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                    time.wMilliseconds);
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
        vornsim::MachineDescription machine;
        machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
        vornhost::HostOptions options;
        options.virtualClock = true;
        options.systemTimeAtStart = start;
        m_host = vornlib::testing::useHost(machine, options);
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

// The board's clock passes midnight while the tool reads it (each date query takes the board
// some time): the clock is set to the board's time as it was read, never a day or a year off.
TEST_F(RealLibraryTest, AcrossMidnightTheClockIsSetToTheBoardsTime) {
    const int64_t kLatestRead = 10 * kTicksPerMilli;
    // A date query takes a little over 100 us of board time: started this early, midnight
    // passes between the time and the second date; 1 ms early, after every reading; 100 ns
    // early, between the first date and the time.
    const int64_t kQueryAndABit = 1500;
    for (const int64_t midnight :
         {utcTicks(2024, 1, 1, 0, 0, 0, 0), utcTicks(2025, 1, 1, 0, 0, 0, 0),
          utcTicks(2024, 2, 29, 0, 0, 0, 0), utcTicks(2023, 3, 1, 0, 0, 0, 0)}) {
        for (const int64_t early : {kTicksPerMilli, kQueryAndABit, int64_t(1)}) {
            const int64_t start = midnight - early;
            boot(start);
            system.timesSet.clear();
            EXPECT_EQ(run(), 0);
            ASSERT_EQ(system.timesSet.size(), 1u);
            const int64_t set = utcTicks(system.timesSet[0]);
            EXPECT_GE(set, start - kTicksPerMilli) << midnight << " - " << early;
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
