// Board entries: the exact command-byte streams they send and the values they refuse.
#include "board_bench.h"
#include "board_ops.h"
#include "board_protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using boardtest::BoardBench;
using boardtest::Bytes;

TEST(BoardEntries, TimeEntrySendsDayHoursMinutesSecondsAndLoad) {
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

TEST(BoardEntries, YearEntryHasNoOpeningCommand) {
    BoardBench bench;
    const USHORT year = 2001;
    EXPECT_EQ(vornSetYear(bench.portBase(), &year), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0x62, 0x70, 0x80, 0x91, 0xEA}));
    EXPECT_EQ(bench.board().time().year, 2001);
}

TEST(BoardEntries, PropagationDelayGoesInTensComplement) {
    struct Case {
        LONG delay;
        Bytes digits;
    };
    const Case cases[] = {
        {-1, {0x39, 0x29, 0x19, 0x09}},    {250, {0x30, 0x22, 0x15, 0x00}},
        {-9999, {0x30, 0x20, 0x10, 0x01}}, {9999, {0x39, 0x29, 0x19, 0x09}},
        {0, {0x30, 0x20, 0x10, 0x00}},
    };
    for (const Case& c : cases) {
        BoardBench bench;
        EXPECT_EQ(vornSetPropDelayCorr(bench.portBase(), &c.delay), VORN_SUCCESS);
        Bytes expected{CMD_ENTRY_BEGIN};
        expected.insert(expected.end(), c.digits.begin(), c.digits.end());
        expected.push_back(CMD_ENTRY_LOAD);
        EXPECT_EQ(bench.commands(), expected) << "delay " << c.delay;
    }
}

TEST(BoardEntries, HeartbeatLoadIsModePlusStart) {
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

TEST(BoardEntries, MatchEntrySendsSubsecondBankAndType) {
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
TEST(BoardEntries, MatchEntryClearsAStaleMatch) {
    BoardBench bench(boardtest::systemTimeOf(2007, 12, 31, 12, 0, 0));
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

TEST(BoardEntries, SynchControlSendsItsCommandAndOverwritesTheByte) {
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

// Digits of the right count pass even where the value is unusual; the board decides.
TEST(BoardEntries, ValuesThatFitTheirDigitsPassWhateverTheirRange) {
    BoardBench bench;
    vornpci::TimeObj time{};
    time.dayOfYear = 999;
    time.hours = 25;
    time.minutes = 99;
    time.seconds = 99;
    EXPECT_EQ(vornSetTime(bench.portBase(), &time), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(),
              (Bytes{0xF0, 0x59, 0x69, 0x79, 0x82, 0x95, 0xA9, 0xB9, 0xC9, 0xD9, 0xE0}));

    bench.board().clearCommandLog();
    const USHORT year = 9999;
    EXPECT_EQ(vornSetYear(bench.portBase(), &year), VORN_SUCCESS);
    EXPECT_EQ(bench.commands(), (Bytes{0x69, 0x79, 0x89, 0x99, 0xEA}));
}

// Values whose text has more digits than the field (or a sign), and codes outside their sets,
// are refused before any byte reaches the board.
TEST(BoardEntries, ValuesThatDoNotFitAreRefusedAndNothingIsSent) {
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
    const Case cases[] = {
        {"day 1000", timeWith([](auto& t) { t.dayOfYear = 1000; })},
        {"hours 100", timeWith([](auto& t) { t.hours = 100; })},
        {"minutes 255", timeWith([](auto& t) { t.minutes = 255; })},
        {"seconds 100", timeWith([](auto& t) { t.seconds = 100; })},
        {"year 10000",
         [](ULONG_PTR base) {
             const USHORT year = 10000;
             return vornSetYear(base, &year);
         }},
        {"delay -10000", delayOf(-10000)},
        {"delay 10000", delayOf(10000)},
        {"delay most negative", delayOf(INT32_MIN)},
        {"heartbeat start 2", heartWith(2, 0xE5)},
        {"heartbeat mode 0xE6", heartWith(0, 0xE6)},
        {"heartbeat mode 0", heartWith(0, 0)},
        {"match type 2", matchWith([](auto& m) { m.matchType = 2; })},
        {"match day 1000", matchWith([](auto& m) { m.dayOfYear = 1000; })},
        {"match hours 100", matchWith([](auto& m) { m.hours = 100; })},
        {"match micros 100,000,000", matchWith([](auto& m) { m.microsInMinute = 100'000'000; })},
    };
    for (const Case& c : cases) {
        BoardBench bench;
        EXPECT_EQ(c.run(bench.portBase()), VORN_REFUSED) << c.name;
        EXPECT_TRUE(bench.commands().empty()) << c.name;
        EXPECT_EQ(vornResultToStatus(VORN_REFUSED), STATUS_INVALID_PARAMETER);
    }
}
