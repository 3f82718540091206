// The library's unit conversions against the board's documented units.
#include "conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using vornlib::dividerForFrequency;
using vornlib::microsFromSeconds;

TEST(ConversionsTest, HeartbeatDividers) {
    EXPECT_EQ(dividerForFrequency(0.0), 0);
    EXPECT_EQ(dividerForFrequency(10'000.0), 1);
    EXPECT_EQ(dividerForFrequency(1.0), 10'000);
    EXPECT_EQ(dividerForFrequency(2.5), 4'000);
    EXPECT_EQ(dividerForFrequency(3'333.333333333), 3) << "within the tolerance of 3";
    EXPECT_EQ(dividerForFrequency(10'000.0 / 65'535), 65'535);
    EXPECT_EQ(dividerForFrequency(10'000.0 / 7), 7);
    for (double refused : {3.0, 7.0, 0.1, 10'000.0 / 65'536, 10'000.5, 20'000.0, -1.0,
                           std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(dividerForFrequency(refused)) << refused;
}

TEST(ConversionsTest, SecondsToMicrosecondsRoundToTheNearest) {
    EXPECT_EQ(microsFromSeconds(0.0), 0u);
    EXPECT_EQ(microsFromSeconds(12.3456784), 12'345'678u);
    EXPECT_EQ(microsFromSeconds(12.3456786), 12'345'679u);
    EXPECT_EQ(microsFromSeconds(59.9999994), 59'999'999u);
    EXPECT_FALSE(microsFromSeconds(59.9999996)) << "rounds to a whole minute";
    EXPECT_FALSE(microsFromSeconds(60.0));
    EXPECT_FALSE(microsFromSeconds(-0.0000001));
    EXPECT_FALSE(microsFromSeconds(std::nan("")));
    EXPECT_DOUBLE_EQ(vornlib::secondsFromMicros(59'123'456), 59.123456);
}

TEST(ConversionsTest, AltitudeAndMinutesOfArcFromTheBoardsDigits) {
    EXPECT_FLOAT_EQ(vornlib::metresFromDigits(9'999'999), 999'999.9f);
    EXPECT_FLOAT_EQ(vornlib::metresFromDigits(15), 1.5f);
    EXPECT_FLOAT_EQ(vornlib::arcMinutesFromDigits(123'456), 12.3456f);
    EXPECT_FLOAT_EQ(vornlib::arcMinutesFromDigits(999'999), 99.9999f);
}

TEST(ConversionsTest, TimeEntryRangesAndLeapYears) {
    TimeObj time{0, 59, 59, 23, 0, 366, 2001};
    const auto driver = vornlib::toDriverTime(time);
    ASSERT_TRUE(driver);
    EXPECT_EQ(driver->seconds, 59);
    EXPECT_EQ(driver->loadSelect, 0);
    EXPECT_EQ(driver->dayOfYear, 366);
    EXPECT_TRUE(vornlib::isLeapYear(2000));
    EXPECT_TRUE(vornlib::isLeapYear(2024));
    EXPECT_FALSE(vornlib::isLeapYear(1900));
    EXPECT_FALSE(vornlib::isLeapYear(2023));
}

TEST(ConversionsTest, EventRecordKeepsItsTimeout) {
    vornpci::EventWaitRecord record{500, 7'654'321, 59, 23, 365};
    EventObj event{500, {}, 0, 0, 0, 0, {}};
    vornlib::fromDriverEvent(record, &event);
    EXPECT_EQ(event.timeoutMs, 500u);
    EXPECT_DOUBLE_EQ(event.seconds, 7.654321);
    EXPECT_EQ(event.minutes, 59);
    EXPECT_EQ(event.hours, 23);
    EXPECT_EQ(event.dayOfYear, 365);
}

TEST(ConversionsTest, StampedTimeCarriesTheDayAndRealtimeStamps) {
    // 2024-03-01 12:00:00 UTC is 1,709,294,400 s after 1970 and 133,537,680,000,000,000 units
    // of 100 ns after 1601.
    vornpci::StampedTimeObj driver{};
    driver.systemBefore = 133'537'680'000'000'000;
    driver.systemAfter = driver.systemBefore + 1'234'567;
    driver.year = 2024;
    driver.dayOfYear = 366;
    driver.hours = 23;
    driver.minutes = 59;
    driver.microsInMinute = 59'999'999;
    std::optional<StampedTimeObj> stamped = vornlib::fromDriverStampedTime(driver);
    ASSERT_TRUE(stamped);
    EXPECT_EQ(stamped->year, 2024);
    EXPECT_EQ(stamped->dayOfYear, 366);
    EXPECT_EQ(stamped->microsOfDay, 86'399'999'999u);
    EXPECT_EQ(stamped->before.tv_sec, 1'709'294'400);
    EXPECT_EQ(stamped->before.tv_nsec, 0);
    EXPECT_EQ(stamped->after.tv_sec, 1'709'294'400);
    EXPECT_EQ(stamped->after.tv_nsec, 123'456'700);

    const vornpci::StampedTimeObj good = driver;
    for (auto change : {+[](vornpci::StampedTimeObj& t) { t.year = 2023; }, // no day 366
                        +[](vornpci::StampedTimeObj& t) { t.dayOfYear = 0; },
                        +[](vornpci::StampedTimeObj& t) { t.hours = 24; },
                        +[](vornpci::StampedTimeObj& t) { t.minutes = 60; },
                        +[](vornpci::StampedTimeObj& t) { t.microsInMinute = 60'000'000; },
                        +[](vornpci::StampedTimeObj& t) { t.systemAfter = t.systemBefore - 1; }}) {
        vornpci::StampedTimeObj bad = good;
        change(bad);
        EXPECT_FALSE(vornlib::fromDriverStampedTime(bad));
    }
}

} // namespace
