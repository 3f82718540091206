// The stamped time request: the board's time between two readings of the system time, and the
// year that belongs to its day, also across the end of a day and of a year.
#include "driver_fixture.h"

namespace vornpcitest {
namespace {

using namespace vornpci;
using namespace vorntest;

constexpr uint32_t kLastMicroOfMinute = 59'999'999;

class StampedTimeTest : public DriverTest {
protected:
    StampedTimeObj read() {
        Bytes output(sizeof(StampedTimeObj), 0xCC);
        ntemu::IoResult result =
            send(IOCTL_VORNPCI_GET_STAMPED_TIME, Bytes(sizeof(StampedTimeObj)), output);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(StampedTimeObj));
        return valueOf<StampedTimeObj>(output);
    }

    // The free-running board at 23:59:59 of the last day of `year`, set through the driver.
    void setLastSecondOf(uint16_t year, uint16_t lastDay) {
        Bytes none;
        ASSERT_EQ(send(IOCTL_VORNPCI_SET_YEAR, bytesOf(uint32_t(year)), none).status,
                  STATUS_SUCCESS);
        TimeObj time{};
        time.dayOfYear = lastDay;
        time.hours = 23;
        time.minutes = 59;
        time.seconds = 59;
        ASSERT_EQ(send(IOCTL_VORNPCI_SET_TIME, bytesOf(time), none).status, STATUS_SUCCESS);
    }

    // Moves the clock on until the board shows `microsInMinute` of its current minute.
    void advanceToMicros(uint32_t microsInMinute) {
        const uint32_t now = board().time().microsInMinute();
        ASSERT_LE(now, microsInMinute);
        clock().advance((microsInMinute - now) * ntemu::kMicrosecond);
    }

    void setYear(uint16_t year) {
        Bytes none;
        ASSERT_EQ(send(IOCTL_VORNPCI_SET_YEAR, bytesOf(uint32_t(year)), none).status,
                  STATUS_SUCCESS);
    }
};

TEST_F(StampedTimeTest, StampsAreTheSystemTimeOfTheLatchedRead) {
    read(); // learns the year with a date query
    board().clearCommandLog();
    clock().advance(1234 * ntemu::kMicrosecond);
    const StampedTimeObj stamped = read();
    const vornsim::BoardTime shown = board().time();
    EXPECT_EQ(stamped.systemBefore, clock().systemTime());
    EXPECT_EQ(stamped.systemAfter, clock().systemTime());
    EXPECT_EQ(stamped.year, 2007);
    EXPECT_EQ(stamped.dayOfYear, shown.dayOfYear());
    EXPECT_EQ(stamped.hours, shown.hours());
    EXPECT_EQ(stamped.minutes, shown.minutes());
    EXPECT_EQ(stamped.microsInMinute, shown.microsInMinute());
    EXPECT_TRUE(commands().empty()) << "a known year needs no query";
}

TEST_F(StampedTimeTest, InputOfAnotherLengthIsRefused) {
    Bytes output(sizeof(StampedTimeObj), 0xCC);
    ntemu::IoResult result = send(IOCTL_VORNPCI_GET_STAMPED_TIME, Bytes(16), output);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(output, Bytes(sizeof(StampedTimeObj), 0xCC));
}

TEST_F(StampedTimeTest, YearAndDayBelongTogetherAtTheEndOfLeapAndCommonYears) {
    struct Case {
        uint16_t year;
        uint16_t lastDay;
    };
    for (Case c : {Case{2008, 366}, Case{2007, 365}, Case{2100, 365}}) {
        SCOPED_TRACE(c.year);
        setLastSecondOf(c.year, c.lastDay);
        read();
        advanceToMicros(kLastMicroOfMinute);
        StampedTimeObj stamped = read();
        EXPECT_EQ(stamped.year, c.year);
        EXPECT_EQ(stamped.dayOfYear, c.lastDay);
        EXPECT_EQ(stamped.hours, 23);
        EXPECT_EQ(stamped.minutes, 59);
        EXPECT_EQ(stamped.microsInMinute, kLastMicroOfMinute);

        clock().advance(ntemu::kMicrosecond);
        stamped = read();
        EXPECT_EQ(stamped.year, c.year + 1);
        EXPECT_EQ(stamped.dayOfYear, 1);
        EXPECT_EQ(stamped.hours, 0);
        EXPECT_EQ(stamped.minutes, 0);
        EXPECT_EQ(stamped.microsInMinute, 0u);
    }
}

// The date query runs just before the time is latched; a year that ends between the two is
// carried into the year returned.
TEST_F(StampedTimeTest, YearEndBetweenDateQueryAndLatchCountsInTheYear) {
    setLastSecondOf(2008, 366);
    advanceToMicros(kLastMicroOfMinute - 49);
    const StampedTimeObj stamped = read();
    EXPECT_EQ(stamped.dayOfYear, 1);
    EXPECT_EQ(stamped.year, 2009);
    EXPECT_EQ(stamped.hours, 0);
}

TEST_F(StampedTimeTest, YearIsLearntAgainAfterItIsSetOrTheBoardLocks) {
    EXPECT_EQ(read().year, 2007);
    setYear(2010);
    EXPECT_EQ(read().year, 2010);
    // Locking jumps the board to the reference's year on the same day, behind the driver.
    board().setReferencePresent(true);
    const StampedTimeObj stamped = read();
    EXPECT_EQ(stamped.year, 2007);
    EXPECT_EQ(stamped.dayOfYear, 365);
}

} // namespace
} // namespace vornpcitest
