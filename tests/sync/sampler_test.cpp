// The board's date and time as system time, and the choice of each sample among a few reads.
#include "fakes.h"
#include "sampler.h"

#include <gtest/gtest.h>

namespace {

using namespace synctest;

TEST(SamplerTest, BoardTimeDayOfYearAndTimeOfDayGiveUtcAndImpossibleDatesNone) {
    // The last microsecond of 2024, a leap year: 2025-01-01 is 1735689600 s after 1970.
    EXPECT_EQ(boardTimeNanos(2024, 366, 86'399'999'999), 1'735'689'600 * kNanosPerSecond - 1000);
    EXPECT_EQ(boardTimeNanos(2025, 1, 0), 1'735'689'600 * kNanosPerSecond);
    EXPECT_FALSE(boardTimeNanos(2025, 366, 0)) << "2025 has 365 days";
    EXPECT_FALSE(boardTimeNanos(2025, 0, 0));
    EXPECT_FALSE(boardTimeNanos(2025, 1, 86'401'000'000));
    EXPECT_FALSE(boardTimeNanos(1969, 365, 0));
}

TEST(SamplerTest, TakesTheNarrowestOfItsReads) {
    FakeBoard board;
    board.widths = {10'000, 4'000, 6'000, 2'000, 8'000};
    Sampler sampler;
    const SampleResult result = sampler.take(board);
    ASSERT_TRUE(result.taken);
    EXPECT_EQ(result.bracket.width(), 2'000);
    EXPECT_EQ(result.bracket.offset(), 1'500'000);
    EXPECT_EQ(result.bracket.errorBound(), 1'500) << "half the bracket and half a microsecond";
}

TEST(SamplerTest, RefusesASampleFarWiderThanTheRecentOnesThenLearnsALastingChange) {
    FakeBoard board;
    Sampler sampler;
    for (size_t i = 0; i < WidthFilter::kWarmUp; ++i)
        ASSERT_TRUE(sampler.take(board).taken);
    board.widths = {2'000'000};
    const SampleResult preempted = sampler.take(board);
    EXPECT_FALSE(preempted.taken);
    EXPECT_EQ(preempted.reason, NotSent::WideBracket);
    int refused = 1;
    while (!sampler.take(board).taken && refused < 50)
        ++refused;
    EXPECT_LE(refused, static_cast<int>(WidthFilter::kHistory / 2 + 1))
        << "a width that has become the usual one is accepted again";
}

TEST(SamplerTest, SaysWhetherTheBoardFailedOrGaveNoDate) {
    FakeBoard board;
    Sampler sampler;
    board.readCode = 6;
    SampleResult result = sampler.take(board);
    EXPECT_FALSE(result.taken);
    EXPECT_EQ(result.reason, NotSent::BoardError);
    EXPECT_EQ(result.boardCode, 6);

    board.readCode = 0;
    board.fixedRead = readAt(kSystemStart, 2'000, 0);
    board.fixedRead->dayOfYear = 0;
    result = sampler.take(board);
    EXPECT_FALSE(result.taken);
    EXPECT_EQ(result.reason, NotSent::BadBoardTime);
}

} // namespace
