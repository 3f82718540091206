// Board model: the clock and its rollovers, reference lock, heartbeat, match, scheduled events.
#include "board_fixture.h"

namespace simtest {
namespace {

using namespace vornsim;

class BoardClockTest : public BoardFixture {};

struct Rollover {
    int year, day, hours, minutes;
    Ticks100ns intoMinute;
    int wantYear, wantDay, wantHours, wantMinutes;
};

TEST_F(BoardClockTest, ClockRollsOverMinuteHourDayAndYear) {
    const Rollover cases[] = {
        {2001, 10, 4, 5, 59 * kSec + 999'999 * kMicro, 2001, 10, 4, 6},
        {2001, 10, 4, 59, 59 * kSec + 999'999 * kMicro, 2001, 10, 5, 0},
        {2001, 59, 23, 59, 59 * kSec + 999'999 * kMicro, 2001, 60, 0, 0},
        {2001, 365, 23, 59, 59 * kSec + 999'999 * kMicro, 2002, 1, 0, 0},
        {2004, 365, 23, 59, 59 * kSec + 999'999 * kMicro, 2004, 366, 0, 0},
        {2004, 366, 23, 59, 59 * kSec + 999'999 * kMicro, 2005, 1, 0, 0},
        {2000, 366, 23, 59, 59 * kSec + 999'999 * kMicro, 2001, 1, 0, 0},
        {2100, 365, 23, 59, 59 * kSec + 999'999 * kMicro, 2101, 1, 0, 0},
    };
    for (const auto& c : cases) {
        build(utc(c.year, c.day, c.hours, c.minutes, c.intoMinute));
        EXPECT_EQ(board->time().microsInMinute(), 59'999'999u);
        clock->advance(kMicro);
        BoardTime t = board->time();
        SCOPED_TRACE(testing::Message() << c.year << " day " << c.day);
        EXPECT_EQ(t.year, c.wantYear);
        EXPECT_EQ(t.dayOfYear(), c.wantDay);
        EXPECT_EQ(t.hours(), c.wantHours);
        EXPECT_EQ(t.minutes(), c.wantMinutes);
        EXPECT_EQ(t.microsInMinute(), 0u);
    }
}

TEST_F(BoardClockTest, CalendarSystemTimeToYearAndTicksAtTheCycleEdges) {
    struct Case {
        int year, day;
    };
    for (Case c : {Case{1601, 1}, Case{1700, 365}, Case{1701, 1}, Case{2000, 366}, Case{2001, 1},
                   Case{2024, 60}, Case{2100, 365}, Case{2400, 366}, Case{2401, 1}}) {
        for (Ticks100ns into : {Ticks100ns{0}, kDay - 1}) {
            const BoardTime t = boardTimeFromSystem(utc(c.year, c.day, 0, 0, into));
            SCOPED_TRACE(testing::Message() << c.year << " day " << c.day << " +" << into);
            EXPECT_EQ(t.year, c.year);
            EXPECT_EQ(t.ticksInYear, (c.day - 1) * kDay + into);
        }
    }
}

TEST_F(BoardClockTest, DateAnswerFollowsLeapYears) {
    build(utc(2004, 60, 12));
    Frame f = query(cmd::GetDate);
    EXPECT_EQ(f[9], 0x02);
    EXPECT_EQ(f[2], 0x29);
    build(utc(2003, 60, 12));
    f = query(cmd::GetDate);
    EXPECT_EQ(f[9], 0x03);
    EXPECT_EQ(f[2], 0x01);
}

TEST_F(BoardClockTest, LockedBoardShowsReferencePlusPropagationDelay) {
    build(utc(2001, 1, 0, 0));
    send({0xF0, 0x50, 0x60, 0x75, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}); // day 5
    send({0xF0, 0x30, 0x22, 0x15, 0x00, 0xE0});                               // +250 us
    Ticks100ns sinceStart = clock->now();
    EXPECT_EQ(board->time().dayOfYear(), 5) << "freewheeling: the entry holds";
    board->setReferencePresent(true);
    BoardTime t = board->time();
    EXPECT_EQ(t.dayOfYear(), 1);
    EXPECT_EQ(t.ticksInYear, sinceStart + 250 * kMicro);
    EXPECT_TRUE(board->inSync());
    send({0xF0, 0x39, 0x29, 0x19, 0x09, 0xE0}); // -1 us
    sinceStart = clock->now();
    EXPECT_EQ(board->time().ticksInYear, sinceStart - kMicro);
}

TEST_F(BoardClockTest, NegativeDelayAtNewYearShowsThePreviousYear) {
    build(utc(2001, 1, 0, 0));
    board->setReferencePresent(true);
    wr(reg::Command, 0xF0);
    wr(reg::Command, 0x39);
    wr(reg::Command, 0x29);
    wr(reg::Command, 0x19);
    wr(reg::Command, 0x09);
    wr(reg::Command, 0xE0);
    BoardTime t = board->time();
    EXPECT_EQ(t.year, 2000);
    EXPECT_EQ(t.dayOfYear(), 366);
    EXPECT_EQ(t.microsInMinute(), 59'999'999u);
}

TEST_F(BoardClockTest, LosingTheReferenceKeepsTheTimeRunningWithoutAJump) {
    build(utc(2001, 50, 6));
    send({0xF0, 0x52, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}); // day 200
    board->setReferencePresent(true);
    clock->advance(10 * kSec);
    BoardTime before = board->time();
    EXPECT_EQ(before.dayOfYear(), 50);
    board->setReferencePresent(false);
    EXPECT_FALSE(status() & status::InSync);
    clock->advance(kSec);
    EXPECT_EQ(board->time().ticksInYear, before.ticksInYear + kSec);
    // Freewheel the same way.
    board->setReferencePresent(true);
    before = board->time();
    send({cmd::Freewheel});
    EXPECT_EQ(board->time().ticksInYear, before.ticksInYear + 100 * kMicro);
}

TEST_F(BoardClockTest, HeartbeatRateOverOneVirtualSecond) {
    struct Case {
        uint8_t a, b, c, d, load;
        uint64_t perSecond;
    };
    const Case cases[] = {
        {0xA0, 0xB0, 0xC6, 0xD4, 0xE6, 100},    // divider 100
        {0xA0, 0xB0, 0xC6, 0xD4, 0xE8, 100},    // square: still one interrupt per period
        {0xA0, 0xB0, 0xC0, 0xD1, 0xE6, 10'000}, // divider 1
        {0xA2, 0xB7, 0xC1, 0xD0, 0xE6, 1},      // divider 10,000
        {0xA0, 0xB0, 0xC0, 0xD0, 0xE6, 0},      // divider 0 stops it
    };
    for (const auto& c : cases) {
        build(utc(2001, 1));
        send({0xF0, c.a, c.b, c.c});
        wr(reg::Command, c.d);
        wr(reg::Command, c.load);
        uint64_t before = board->counters().heartbeats;
        clock->advance(kSec);
        EXPECT_EQ(board->counters().heartbeats - before, c.perSecond) << int(c.load);
    }
}

TEST_F(BoardClockTest, ImmediateHeartbeatStartsAtTheLoad) {
    build(utc(2001, 1, 0, 0, 250 * kMilli));
    send({0xF0, 0xA1, 0xB2, 0xC3});
    wr(reg::Command, 0xD4);
    wr(reg::Command, 0xE6); // pulse, immediately: period 0x1234 x 100 us = 466 ms
    clock->advance(466 * kMilli - 1);
    EXPECT_FALSE(status() & status::HeartIntr);
    clock->advance(1);
    EXPECT_TRUE(status() & status::HeartIntr);
    wr(reg::IntAck, ack::Heartbeat);
    clock->advance(466 * kMilli);
    EXPECT_TRUE(status() & status::HeartIntr);
    EXPECT_EQ(board->counters().heartbeats, 2u);
}

TEST_F(BoardClockTest, NextCycleHeartbeatStartsOnTheNextWholeSecond) {
    build(utc(2001, 1, 0, 0, 250 * kMilli));
    send({0xF0, 0xA1, 0xB0, 0xC0});
    wr(reg::Command, 0xD0);
    wr(reg::Command, 0xE7); // square, next cycle: period 0x1000 x 100 us = 409.6 ms
    EXPECT_FALSE(board->heartbeatOutput());
    clock->advance(750 * kMilli - 400 * kMicro); // to the whole second
    EXPECT_TRUE(board->heartbeatOutput());
    clock->advance(204'800 * kMicro);
    EXPECT_FALSE(board->heartbeatOutput()) << "square output low in the second half";
    clock->advance(204'800 * kMicro - 1);
    EXPECT_EQ(board->counters().heartbeats, 0u);
    clock->advance(1);
    EXPECT_EQ(board->counters().heartbeats, 1u);
    EXPECT_TRUE(board->heartbeatOutput());
}

TEST_F(BoardClockTest, MatchStopFiresOnceAtItsTime) {
    build(utc(2001, 100, 12, 30));
    wr(reg::Control, control::MatchIntrEnable);
    const uint8_t entry[] = {0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC1,
                             0xD5, 0xE1, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE3};
    for (uint8_t b : entry)
        wr(reg::Command, b);
    clock->advance(15 * kSec - 1);
    EXPECT_FALSE(status() & status::MatchIntr);
    EXPECT_FALSE(line.level());
    clock->advance(1);
    EXPECT_TRUE(status() & status::MatchIntr);
    EXPECT_TRUE(line.level());
    EXPECT_FALSE(board->matchOutput()) << "a stop match drives the match output low";
    wr(reg::IntAck, ack::Match);
    clock->advance(400 * kDay);
    EXPECT_FALSE(status() & status::MatchIntr);
    EXPECT_EQ(board->counters().matches, 1u);
    EXPECT_FALSE(board->match().armed);
}

TEST_F(BoardClockTest, MatchFollowsATimeJumpAndAPastTimeWaitsForNextYear) {
    build(utc(2001, 100, 12, 30));
    // Start match at 12:30:15 on day 100, then the time is set to 12:30:10.
    send({0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC1, 0xD5, 0xE2});
    send({0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC1, 0xD0, 0xE0});
    clock->advance(5 * kSec - 100 * kMicro - 1);
    EXPECT_EQ(board->counters().matches, 0u);
    clock->advance(1);
    EXPECT_EQ(board->counters().matches, 1u);
    EXPECT_TRUE(board->matchOutput());
    // A match time already past today comes round a year later.
    send({0xF0, 0x51, 0x60, 0x70, 0x81, 0x92, 0xA3, 0xB0, 0xC0, 0xD0, 0xE2});
    clock->advance(364 * kDay);
    EXPECT_EQ(board->counters().matches, 1u);
    clock->advance(kDay);
    EXPECT_EQ(board->counters().matches, 2u);
}

TEST_F(BoardClockTest, ScheduledEventIsTaggedAtTheGivenBoardTime) {
    build(utc(2001, 20, 8));
    EXPECT_TRUE(board->strobeEventAt({20, 8, 0, 30'000'005}));
    EXPECT_TRUE(board->strobeEventAt({20, 8, 0, 10'000'000}));
    EXPECT_FALSE(board->strobeEventAt({20, 24, 0, 0}));
    clock->advance(10 * kSec);
    EXPECT_EQ(board->fifoLevel(), 10u);
    clock->advance(kMin);
    EXPECT_EQ(readFrame(), (Frame{0, 0, 0x00, 0x20, 0x08, 0x00, 0x10, 0x00, 0x00, 0x00}));
    EXPECT_EQ(readFrame(), (Frame{0, 0, 0x00, 0x20, 0x08, 0x00, 0x30, 0x00, 0x00, 0x05}));
}

// A train is paced on the board's clock: each event tagged exactly one interval after the last.
TEST_F(BoardClockTest, EventTrainTagsEachEventOneIntervalAfterTheLast) {
    build(utc(2001, 20, 8));
    board->strobeEventTrain(4, 250 * kMicro);
    EXPECT_EQ(board->fifoLevel(), 10u) << "the first at once";
    clock->advance(250 * kMicro - 1);
    EXPECT_EQ(board->fifoLevel(), 10u);
    clock->advance(kSec);
    EXPECT_EQ(board->fifoLevel(), 40u) << "four in all, no more";
    // The last two BCD bytes: microseconds in hundreds, then the rest (0, 250, 500, 750).
    const std::array<std::array<uint8_t, 2>, 4> tags{
        {{0x00, 0x00}, {0x02, 0x50}, {0x05, 0x00}, {0x07, 0x50}}};
    for (const auto& tag : tags) {
        const Frame frame = readFrame();
        EXPECT_EQ(frame[8], tag[0]);
        EXPECT_EQ(frame[9], tag[1]);
    }
}

} // namespace
} // namespace simtest
