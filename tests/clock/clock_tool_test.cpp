// vornclock's steps against fake system and board layers: the order of the calls, the
// messages and exit codes, the time built from the board, and a board that cannot be read.
#include "fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

using namespace clocktest;
using win32::FALSE;

class ClockToolTest : public testing::Test {
protected:
    int run() { return vornclock::setClockFromBoard(system, board, out); }

    CallLog log;
    FakeSystem system{log};
    FakeBoard board{log};
    std::ostringstream out;
};

TEST_F(ClockToolTest, SetsTheClockFromTheBoardInOrder) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), "");
    const CallLog expected = {"LookupPrivilegeValueA",
                              "GetCurrentProcess",
                              "OpenProcessToken",
                              "AdjustTokenPrivileges(enable)",
                              "VORN_open",
                              "VORN_getDate",
                              "VORN_getTime",
                              "VORN_getDate",
                              "SetSystemTime",
                              "AdjustTokenPrivileges(disable all)",
                              "CloseHandle",
                              "VORN_close"};
    EXPECT_EQ(log, expected);
    EXPECT_STREQ(board.openedName, "VORNpci0");
    EXPECT_EQ(system.tokenAccess, 0x20u);
    EXPECT_EQ(system.enableLength, 64u);
    EXPECT_EQ(system.enableRequest.PrivilegeCount, 1u);
    EXPECT_EQ(system.enableRequest.Privileges[0].Luid.LowPart, win32::SE_SYSTEMTIME_PRIVILEGE);
    EXPECT_EQ(system.enableRequest.Privileges[0].Attributes, 2u);

    ASSERT_EQ(system.timesSet.size(), 1u);
    const win32::SYSTEMTIME& set = system.timesSet[0];
    EXPECT_EQ(set.wYear, 2026);
    EXPECT_EQ(set.wMonth, 12);
    EXPECT_EQ(set.wDay, 8);
    EXPECT_EQ(set.wHour, 18);
    EXPECT_EQ(set.wMinute, 30);
    EXPECT_EQ(set.wSecond, 12);
    EXPECT_EQ(set.wMilliseconds, 345);
}

// The board passes midnight between two readings: the date set is the one the time's day of
// year belongs to, whether midnight came before the time was read or after.
TEST_F(ClockToolTest, DateSetIsTheOneTheTimeBelongsToAcrossMidnight) {
    struct Case {
        const char* name;
        DateObj before, after;
        uint16_t dayOfYear;
        uint8_t hours;
        DateObj expected;
    };
    const Case cases[] = {
        {"leap year ends, time read after", {2024, 12, 31}, {2025, 1, 1}, 1, 0, {2025, 1, 1}},
        {"leap year ends, time read before", {2024, 12, 31}, {2025, 1, 1}, 366, 23, {2024, 12, 31}},
        {"common year ends", {2023, 12, 31}, {2024, 1, 1}, 1, 0, {2024, 1, 1}},
        {"common year, time read before", {2023, 12, 31}, {2024, 1, 1}, 365, 23, {2023, 12, 31}},
        {"leap February ends", {2024, 2, 28}, {2024, 2, 29}, 60, 0, {2024, 2, 29}},
        {"common February ends", {2023, 2, 28}, {2023, 3, 1}, 60, 0, {2023, 3, 1}},
        {"a day ends, time read before", {2023, 6, 30}, {2023, 7, 1}, 181, 23, {2023, 6, 30}},
    };
    for (const Case& c : cases) {
        CallLog calls;
        FakeSystem fakeSystem{calls};
        FakeBoard fakeBoard{calls};
        fakeBoard.dateReadings = {c.before, c.after};
        const uint8_t minutes = c.hours == 0 ? 0 : 59;
        fakeBoard.time =
            TimeObj{c.hours == 0 ? 0.001 : 59.999, 0, minutes, c.hours, 0, c.dayOfYear, 0};
        std::ostringstream text;
        EXPECT_EQ(vornclock::setClockFromBoard(fakeSystem, fakeBoard, text), 0) << c.name;
        ASSERT_EQ(fakeSystem.timesSet.size(), 1u) << c.name;
        const win32::SYSTEMTIME& set = fakeSystem.timesSet[0];
        EXPECT_EQ(set.wYear, c.expected.year) << c.name;
        EXPECT_EQ(set.wMonth, c.expected.month) << c.name;
        EXPECT_EQ(set.wDay, c.expected.day) << c.name;
        EXPECT_EQ(set.wHour, c.hours) << c.name;
    }
}

// A date that never belongs to the time read (its day of year differs every time) is not set;
// the readings stop after a few rounds.
TEST_F(ClockToolTest, DateAndTimeThatNeverAgreeLeaveTheClockAlone) {
    board.time.dayOfYear = 100;
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(out.str(), "The board's date and time do not agree!!\n");
    EXPECT_TRUE(system.timesSet.empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "VORN_getTime"), 3);
    EXPECT_EQ(std::count(log.begin(), log.end(), "VORN_getDate"), 4);
    EXPECT_EQ(log.back(), "VORN_close");
}

TEST_F(ClockToolTest, SecondsAndMillisecondsAreTruncatedNeverRounded) {
    struct Case {
        double seconds;
        int second;
        int millisecond;
    };
    for (const Case c : {Case{12.3456, 12, 345}, Case{59.9996, 59, 999}, Case{0.0, 0, 0},
                         Case{0.0009, 0, 0}, Case{30.5, 30, 500}}) {
        const TimeObj time{c.seconds, 0, 59, 23, 0, 1, 0};
        const win32::SYSTEMTIME result = vornclock::systemTimeFromBoard(DateObj{2024, 2, 29}, time);
        EXPECT_EQ(result.wSecond, c.second) << c.seconds;
        EXPECT_EQ(result.wMilliseconds, c.millisecond) << c.seconds;
        EXPECT_EQ(result.wMinute, 59);
        EXPECT_EQ(result.wHour, 23);
        EXPECT_TRUE(win32::isValidSystemTime(result)) << c.seconds;
    }
}

TEST_F(ClockToolTest, SecondsOutsideAMinuteGiveATimeTheClockRefuses) {
    for (const double seconds : {60.0, -0.5, 1e300, std::nan("")}) {
        const TimeObj time{seconds, 0, 0, 0, 0, 1, 0};
        const win32::SYSTEMTIME result = vornclock::systemTimeFromBoard(DateObj{2026, 1, 1}, time);
        EXPECT_FALSE(win32::isValidSystemTime(result)) << seconds;
    }
}

TEST_F(ClockToolTest, PrivilegeStepsEndTheRunWithoutTouchingTheBoard) {
    struct Case {
        win32::BOOL FakeSystem::*step;
        int code;
        const char* message;
        size_t calls;
    };
    const Case cases[] = {
        {&FakeSystem::lookupResult, 1, "Do not have the proper privileges to set time!!\n", 1},
        {&FakeSystem::openTokenResult, 2, "Cannot open process token!!\n", 3},
        {&FakeSystem::enableResult, 3, "Cannot adjust token privileges!!\n", 5},
    };
    for (const Case& c : cases) {
        CallLog calls;
        FakeSystem failing{calls};
        FakeBoard untouched{calls};
        failing.*c.step = FALSE;
        std::ostringstream text;
        EXPECT_EQ(vornclock::setClockFromBoard(failing, untouched, text), c.code);
        EXPECT_EQ(text.str(), c.message);
        EXPECT_EQ(calls.size(), c.calls) << c.message;
        for (const std::string& call : calls)
            EXPECT_EQ(call.rfind("VORN_", 0), std::string::npos) << call;
        EXPECT_TRUE(failing.timesSet.empty());
    }
}

TEST_F(ClockToolTest, FailedSetIsReportedWithItsErrorAndTheRunGoesOn) {
    system.setResult = FALSE;
    system.setError = 1314;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), "SetSystemTime Failed, error: 1314\n");
    const CallLog tail = {"SetSystemTime", "GetLastError", "AdjustTokenPrivileges(disable all)",
                          "CloseHandle", "VORN_close"};
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(CallLog(log.end() - static_cast<long>(tail.size()), log.end()), tail);
}

TEST_F(ClockToolTest, FailedRestoreIsReportedAndTheBoardStillCloses) {
    system.restoreResult = FALSE;
    system.setResult = FALSE;
    system.setError = 87;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(out.str(), "SetSystemTime Failed, error: 87\nError Adjusting privileges!\n");
    EXPECT_EQ(log.back(), "VORN_close");
}

TEST_F(ClockToolTest, BoardThatCannotBeOpenedLeavesTheClockAlone) {
    board.openResult = VORN_ERR_NO_DEVICE;
    EXPECT_EQ(run(), 4);
    EXPECT_EQ(out.str(), "Cannot open the board VORNpci0!!\n");
    const CallLog expected = {"LookupPrivilegeValueA",
                              "GetCurrentProcess",
                              "OpenProcessToken",
                              "AdjustTokenPrivileges(enable)",
                              "VORN_open",
                              "AdjustTokenPrivileges(disable all)",
                              "CloseHandle"};
    EXPECT_EQ(log, expected);
    EXPECT_TRUE(system.timesSet.empty());
}

TEST_F(ClockToolTest, BoardThatCannotBeReadLeavesTheClockAloneAndCloses) {
    for (const bool dateFails : {true, false}) {
        CallLog calls;
        FakeSystem fakeSystem{calls};
        FakeBoard fakeBoard{calls};
        (dateFails ? fakeBoard.dateResult : fakeBoard.timeResult) = VORN_ERR_DEVICE;
        fakeSystem.restoreResult = FALSE;
        std::ostringstream text;
        EXPECT_EQ(vornclock::setClockFromBoard(fakeSystem, fakeBoard, text), 4);
        EXPECT_EQ(text.str(),
                  "Cannot read the board's date and time!!\nError Adjusting privileges!\n");
        EXPECT_TRUE(fakeSystem.timesSet.empty());
        CallLog expected = {
            "LookupPrivilegeValueA",         "GetCurrentProcess", "OpenProcessToken",
            "AdjustTokenPrivileges(enable)", "VORN_open",         "VORN_getDate"};
        if (!dateFails)
            expected.push_back("VORN_getTime");
        expected.insert(expected.end(),
                        {"AdjustTokenPrivileges(disable all)", "CloseHandle", "VORN_close"});
        EXPECT_EQ(calls, expected) << (dateFails ? "date" : "time");
    }
}

} // namespace
