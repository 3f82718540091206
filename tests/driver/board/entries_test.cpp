// Board entries: the exact command-byte streams they send and the values they refuse.
#include "board_bench.h"
#include "board_ops.h"
#include "board_protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using vorntest::BoardBench;
using vorntest::Bytes;

TEST(EntriesTest, TimeEntrySendsDayHoursMinutesSecondsAndLoad) {
    BoardBench bench;
    vornpci::TimeObj time{};
    time.dayOfYear = 1;
    time.hours = 2;
    time.minutes = 3;
    time.seconds = 4;
    const ntemu::Ticks100ns start = bench.clock().now();
    EXPECT_EQ(vornSetTime(bench.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(),
              (Bytes{0xF0, 0x50, 0x60, 0x71, 0x80, 0x92, 0xA0, 0xB3, 0xC0, 0xD4, 0xE0}));
    EXPECT_EQ(bench.clock().now() - start, 11 * 100 * ntemu::kMicrosecond);

    bench.board().clearCommandLog();
    time.loadSelect = 7;
    EXPECT_EQ(vornSetTime(bench.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(bench.commands().back(), CMD_ENTRY_LOAD_ALT);
}

TEST(EntriesTest, YearEntryHasNoOpeningCommand) {
    BoardBench bench;
    const USHORT year = 2001;
    EXPECT_EQ(vornSetYear(bench.portBase(), &year), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0x62, 0x70, 0x80, 0x91, 0xEA}));
    EXPECT_EQ(bench.board().time().year, 2001);
}

TEST(EntriesTest, PropagationDelayGoesInTensComplement) {
    struct Case {
        LONG delay;
        Bytes digits;
    };
    const Case cases[] = {
        {-1, {0x39, 0x29, 0x19, 0x09}},    {250, {0x30, 0x22, 0x15, 0x00}},
        {-5000, {0x35, 0x20, 0x10, 0x00}}, {4999, {0x34, 0x29, 0x19, 0x09}},
        {0, {0x30, 0x20, 0x10, 0x00}},
    };
    for (const Case& c : cases) {
        BoardBench bench;
        EXPECT_EQ(vornSetPropDelayCorr(bench.portBase(), &c.delay), VORN_SUCCESS);
        Bytes expected{CMD_ENTRY_BEGIN};
        expected.insert(expected.end(), c.digits.begin(), c.digits.end());
        expected.push_back(CMD_ENTRY_LOAD);
        EXPECT_EQ(bench.commands(), expected) << "delay " << c.delay;
        EXPECT_EQ(bench.board().propagationDelay(), c.delay);
    }
}

TEST(EntriesTest, HeartbeatLoadIsModePlusStart) {
    BoardBench bench;
    vornpci::HeartObj heartbeat{1, 0xE5, 0x1234, {0, 0}};
    EXPECT_EQ(vornSetHeartbeat(bench.portBase(), &heartbeat), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0xF0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE6}));

    // Divider groups go as they are, even above 9.
    bench.board().clearCommandLog();
    heartbeat = {0, 0xE7, 0xABCD, {0, 0}};
    EXPECT_EQ(vornSetHeartbeat(bench.portBase(), &heartbeat), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0xF0, 0xAA, 0xBB, 0xCC, 0xDD, 0xE7}));
}

TEST(EntriesTest, MatchEntrySendsSubsecondBankAndType) {
    BoardBench bench;
    vornpci::MatchObj match{};
    match.matchType = 1;
    match.dayOfYear = 100;
    match.hours = 12;
    match.minutes = 30;
    match.microsInMinute = 15'000'000;
    EXPECT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC1, 0xD5,
                                       0xE1, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE3}));
    const vornsim::MatchProgramme programme = bench.board().match();
    EXPECT_TRUE(programme.armed);
    EXPECT_EQ(programme.type, vornsim::MatchType::Stop);
    EXPECT_EQ(programme.time.dayOfYear, 100);
    EXPECT_EQ(programme.time.microsInMinute, 15'000'000u);

    bench.board().clearCommandLog();
    match.matchType = 0;
    EXPECT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    EXPECT_EQ(bench.commands().back(), CMD_MATCH_START);
}

// A match that has fired and was never acknowledged would interrupt as soon as matches are
// enabled; entering a new match clears it first.
TEST(EntriesTest, MatchEntryClearsAStaleMatch) {
    BoardBench bench(vorntest::systemTimeOf(2007, 12, 31, 12, 0, 0));
    vornpci::MatchObj match{};
    match.dayOfYear = 365;
    match.hours = 12;
    match.minutes = 0;
    match.microsInMinute = 1'000'000;
    ASSERT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    bench.clock().advance(2 * ntemu::kSecond);
    ASSERT_TRUE(vornReadRegister(bench.portBase(), StatusPort) & MatchIntr);

    match.hours = 13;
    EXPECT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    EXPECT_FALSE(vornReadRegister(bench.portBase(), StatusPort) & MatchIntr);
}

TEST(EntriesTest, SynchControlSendsItsCommandAndOverwritesTheByte) {
    BoardBench bench;
    UCHAR control = 0;
    EXPECT_EQ(vornSynchControl(bench.portBase(), &control), VORN_SUCCESS);
    EXPECT_EQ(control, 0xFF);
    EXPECT_EQ(bench.board().syncMode(), vornsim::SyncMode::Freewheel);

    control = 1;
    EXPECT_EQ(vornSynchControl(bench.portBase(), &control), VORN_SUCCESS);
    EXPECT_EQ(control, 0xEE);
    EXPECT_EQ(bench.board().syncMode(), vornsim::SyncMode::Synchronize);

    control = 0x42;
    EXPECT_EQ(vornSynchControl(bench.portBase(), &control), VORN_SUCCESS);
    EXPECT_EQ(control, 0xFF);
    EXPECT_EQ(bench.commands(), (Bytes{0x4E, 0x4D, 0x4E}));
}

// The last values of each range are sent and the board loads every one of them.
TEST(EntriesTest, ValuesAtTheEndsOfTheBoardsRangesAreLoaded) {
    BoardBench bench;
    vornpci::TimeObj time{};
    time.dayOfYear = 365;
    time.hours = 23;
    time.minutes = 59;
    time.seconds = 59;
    EXPECT_EQ(vornSetTime(bench.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(),
              (Bytes{0xF0, 0x53, 0x66, 0x75, 0x82, 0x93, 0xA5, 0xB9, 0xC5, 0xD9, 0xE0}));
    for (const USHORT year : {USHORT(9999), USHORT(1)}) {
        EXPECT_EQ(vornSetYear(bench.portBase(), &year), VORN_SUCCESS);
        EXPECT_EQ(bench.board().time().year, year);
    }
    vornpci::MatchObj match{0, {}, 59'999'999, 59, 23, 366};
    EXPECT_EQ(vornSetMatchTime(bench.portBase(), &match), VORN_SUCCESS);
    EXPECT_TRUE(bench.board().match().armed);
    EXPECT_EQ(bench.board().counters().refusedLoads, 0u);
}

// Day 366 is refused in a common year of the board (only the date query is sent) and loaded
// in a leap year.
TEST(EntriesTest, TimeOnDay366NeedsALeapYearOnTheBoard) {
    vornpci::TimeObj time{};
    time.dayOfYear = 366;
    time.hours = 12;
    {
        BoardBench common(vorntest::systemTimeOf(2100, 6, 1, 0, 0, 0));
        EXPECT_EQ(vornSetTime(common.portBase(), &time), VORN_REFUSED);
        EXPECT_EQ(common.commands(), (Bytes{CMD_GET_DATE}));
    }
    BoardBench leap(vorntest::systemTimeOf(2000, 6, 1, 0, 0, 0));
    EXPECT_EQ(vornSetTime(leap.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(leap.board().time().dayOfYear(), 366);
    EXPECT_EQ(leap.board().counters().refusedLoads, 0u);
}

// Values outside the board's ranges (which it would throw away without a word), and codes
// outside their sets, are refused before any byte reaches the board.
TEST(EntriesTest, ValuesOutsideTheBoardsRangesAreRefusedAndNothingIsSent) {
    struct Case {
        std::string name;
        std::function<UCHAR(ULONG_PTR)> run;
    };
    auto timeWith = [](auto change) {
        return [change](ULONG_PTR base) {
            vornpci::TimeObj time{};
            time.dayOfYear = 1;
            change(time);
            return vornSetTime(base, &time);
        };
    };
    auto matchWith = [](auto change) {
        return [change](ULONG_PTR base) {
            vornpci::MatchObj match{};
            match.dayOfYear = 1;
            change(match);
            return vornSetMatchTime(base, &match);
        };
    };
    auto heartWith = [](UCHAR start, UCHAR mode) {
        return [start, mode](ULONG_PTR base) {
            vornpci::HeartObj heartbeat{start, mode, 0x0010, {0, 0}};
            return vornSetHeartbeat(base, &heartbeat);
        };
    };
    auto delayOf = [](LONG delay) {
        return [delay](ULONG_PTR base) { return vornSetPropDelayCorr(base, &delay); };
    };
    auto yearOf = [](USHORT year) {
        return [year](ULONG_PTR base) { return vornSetYear(base, &year); };
    };
    const Case cases[] = {
        {"day 0", timeWith([](auto& t) { t.dayOfYear = 0; })},
        {"day 367", timeWith([](auto& t) { t.dayOfYear = 367; })},
        {"hours 24", timeWith([](auto& t) { t.hours = 24; })},
        {"minutes 60", timeWith([](auto& t) { t.minutes = 60; })},
        {"seconds 60", timeWith([](auto& t) { t.seconds = 60; })},
        {"year 0", yearOf(0)},
        {"year 10000", yearOf(10000)},
        {"delay 5000", delayOf(5000)},
        {"delay 9999", delayOf(9999)},
        {"delay -5001", delayOf(-5001)},
        {"delay most negative", delayOf(INT32_MIN)},
        {"heartbeat start 2", heartWith(2, 0xE5)},
        {"heartbeat mode 0xE6", heartWith(0, 0xE6)},
        {"heartbeat mode 0", heartWith(0, 0)},
        {"match type 2", matchWith([](auto& m) { m.matchType = 2; })},
        {"match day 0", matchWith([](auto& m) { m.dayOfYear = 0; })},
        {"match day 367", matchWith([](auto& m) { m.dayOfYear = 367; })},
        {"match hours 24", matchWith([](auto& m) { m.hours = 24; })},
        {"match minutes 60", matchWith([](auto& m) { m.minutes = 60; })},
        {"match micros 60,000,000", matchWith([](auto& m) { m.microsInMinute = 60'000'000; })},
    };
    for (const Case& c : cases) {
        BoardBench bench;
        EXPECT_EQ(c.run(bench.portBase()), VORN_REFUSED) << c.name;
        EXPECT_TRUE(bench.commands().empty()) << c.name;
        EXPECT_EQ(vornResultToStatus(VORN_REFUSED), STATUS_INVALID_PARAMETER);
    }
}
