// Board model: a reference that stands off this machine's clock by an offset and runs fast or
// slow by a rate; locked, the board shows it, exactly, over any span.
#include "board_fixture.h"

#include "sim/reference_clock.h"

namespace simtest {
namespace {

using namespace vornsim;

class BoardReferenceTest : public BoardFixture {};

// The board time locked to a reference off by `differenceTicks`, with the propagation delay.
BoardTime expectedLocked(int64_t system, int64_t differenceTicks, int64_t delayMicros) {
    return boardTimeFromSystem(system + differenceTicks).plus(delayMicros * kMicro);
}

TEST_F(BoardReferenceTest, LockedBoardShowsSystemPlusOffsetPlusRateTimesElapsedPlusDelay) {
    build(utc(2026, 100, 12));
    send({0xF0, 0x30, 0x22, 0x15, 0x00, 0xE0}); // +250 us
    board->setReferenceRate(50'000);            // 50 ppm fast
    board->setReferenceOffset(1'500);
    board->setReferencePresent(true);
    const int64_t origin = clock->systemTime();
    for (Ticks100ns elapsed : {Ticks100ns{0}, kSec, 1000 * kSec, 10 * kDay}) {
        clock->advanceTo(clock->now() + (origin + elapsed - clock->systemTime()));
        const int64_t drift = elapsed / 1'000'000 * 50; // 50 us a second, 100 ns units
        const BoardTime want = expectedLocked(clock->systemTime(), 1'500 * kMicro + drift, 250);
        const BoardTime shown = board->time();
        SCOPED_TRACE(elapsed);
        EXPECT_EQ(shown.year, want.year);
        EXPECT_EQ(shown.ticksInYear, want.ticksInYear);
        EXPECT_EQ(board->referenceDifference(), 1'500 * kMicro + drift);
    }
}

TEST_F(BoardReferenceTest, NewRateKeepsTheDifferenceReachedAndNewOffsetStartsFromNow) {
    board->setReferenceRate(-20'000); // 20 ppm slow
    clock->advance(100 * kSec);
    EXPECT_EQ(board->referenceDifference(), -2'000 * kMicro);
    board->setReferenceRate(0);
    clock->advance(100 * kSec);
    EXPECT_EQ(board->referenceDifference(), -2'000 * kMicro);
    board->setReferenceRate(1'000'000);
    board->setReferenceOffset(-7);
    EXPECT_EQ(board->referenceDifference(), -7 * kMicro);
    clock->advance(kSec);
    EXPECT_EQ(board->referenceDifference(), -7 * kMicro + 1'000 * kMicro);
}

TEST_F(BoardReferenceTest, ReferenceClockDriftIsExactAndRoundsDownOverAnySpan) {
    ReferenceClock reference;
    reference.setRate(0, 1'000'000); // 1000 ppm over four centuries does not overflow
    const int64_t centuries = 4 * 36'524LL * kDay;
    EXPECT_EQ(reference.differenceAt(centuries), centuries / 1000);
    reference.setRate(0, -1);
    EXPECT_EQ(reference.differenceAt(1), -1) << "rounded down, not towards zero";
    EXPECT_EQ(reference.differenceAt(1'000'000'000), -1);
    EXPECT_EQ(reference.differenceAt(1'000'000'001), -2);
}

TEST_F(BoardReferenceTest, ReferenceClockPartsPerMillionText) {
    int64_t ppb = 0;
    EXPECT_TRUE(parsePartsPerMillion("50", &ppb));
    EXPECT_EQ(ppb, 50'000);
    EXPECT_TRUE(parsePartsPerMillion("-12.5", &ppb));
    EXPECT_EQ(ppb, -12'500);
    EXPECT_TRUE(parsePartsPerMillion("0.001", &ppb));
    EXPECT_EQ(ppb, 1);
    EXPECT_TRUE(parsePartsPerMillion("-1000", &ppb));
    EXPECT_EQ(ppb, -1'000'000);
    for (const char* bad : {"", "+5", "1000.001", "5ppm", "nan", "inf", "1e3", " 5"})
        EXPECT_FALSE(parsePartsPerMillion(bad, &ppb)) << bad;
}

// A reference running fast reaches a board time sooner on the clock: an event scheduled for a
// board time is tagged at that time, not later.
TEST_F(BoardReferenceTest, ScheduledEventUnderAFastReferenceIsTaggedOnTime) {
    build(utc(2001, 20, 8));
    board->setReferenceRate(1'000'000); // 1000 ppm: 10 ms early over 10 s
    board->setReferencePresent(true);
    EXPECT_TRUE(board->strobeEventAt({20, 8, 0, 10'000'000}));
    clock->advance(10 * kSec);
    EXPECT_EQ(readFrame(), (Frame{0, 0, 0x00, 0x20, 0x08, 0x00, 0x10, 0x00, 0x00, 0x00}));
}

} // namespace
} // namespace simtest
