// The stamped time call over each rig: the board's date and time with the driver's two stamps.
#include "lib_fixture.h"

namespace libtest {
namespace {

constexpr int64_t kMicrosPerDay = 86'400'000'000;

// Days from 1970-01-01 to 1 January of `year` (1970 and later).
int64_t daysBeforeYear(int year) {
    int64_t days = 0;
    for (int y = 1970; y < year; ++y)
        days += ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
    return days;
}

// The board's time as microseconds since 1970, UTC.
int64_t unixMicrosOf(const StampedTimeObj& s) {
    return (daysBeforeYear(s.year) + s.dayOfYear - 1) * kMicrosPerDay + int64_t(s.microsOfDay);
}

int64_t nanosOf(const timespec& t) {
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

class LibStampedTimeTest : public LibTest {};

TEST_P(LibStampedTimeTest, BoardTimeComesWithTheStampsAroundItsLatch) {
    StampedTimeObj stamped{};
    ASSERT_EQ(VORN_getStampedTime(m_handle, &stamped), VORN_OK);
    EXPECT_LE(nanosOf(stamped.before), nanosOf(stamped.after));
    EXPECT_LT(stamped.microsOfDay, uint64_t(kMicrosPerDay));
    if (!virtualTime())
        return;
    advance(3 * kSecond + 4'567); // 3.0004567 s: the board shows the microsecond cut off
    ASSERT_EQ(VORN_getStampedTime(m_handle, &stamped), VORN_OK);
    const vornhost::BoardState board = this->board();
    EXPECT_EQ(stamped.year, 2024);
    EXPECT_EQ(stamped.dayOfYear, board.dayOfYear);
    EXPECT_EQ(stamped.microsOfDay, uint64_t(board.hours) * 3'600'000'000 +
                                       uint64_t(board.minutes) * 60'000'000 + board.microsInMinute);
    EXPECT_EQ(nanosOf(stamped.before), nanosOf(stamped.after));
    // The free-running board started from the system time, so latch and stamps agree.
    EXPECT_EQ(unixMicrosOf(stamped), nanosOf(stamped.before) / 1000);
    EXPECT_EQ(nanosOf(stamped.before) % 1000, 700);
}

TEST_P(LibStampedTimeTest, NullRecordAndClosedHandleAreRefused) {
    EXPECT_EQ(VORN_getStampedTime(m_handle, nullptr), VORN_ERR_ARGUMENT);
    StampedTimeObj stamped{};
    stamped.year = 77;
    EXPECT_EQ(VORN_getStampedTime(nullptr, &stamped), VORN_ERR_HANDLE);
    EXPECT_EQ(stamped.year, 77);
}

INSTANTIATE_TEST_SUITE_P(Rigs, LibStampedTimeTest, ::testing::ValuesIn(rigKinds()), rigName);

} // namespace
} // namespace libtest
