// Record conversions between the library's callers and the driver.
#include "conversions.h"

#include <cmath>

namespace vornlib {

namespace {

constexpr uint32_t kMicrosPerMinute = 60'000'000;
constexpr double kMicrosPerSecond = 1'000'000.0;

} // namespace

std::optional<uint32_t> microsFromSeconds(double seconds) {
    if (!(seconds >= 0.0))
        return std::nullopt;
    const double micros = std::round(seconds * kMicrosPerSecond);
    if (micros >= kMicrosPerMinute)
        return std::nullopt;
    return static_cast<uint32_t>(micros);
}

double secondsFromMicros(uint32_t microsInMinute) {
    return microsInMinute / kMicrosPerSecond;
}

float metresFromDigits(int32_t altitudeDigits) {
    return static_cast<float>(altitudeDigits / 10.0);
}

float arcMinutesFromDigits(uint32_t minuteDigits) {
    return static_cast<float>(minuteDigits / 10'000.0);
}

std::optional<uint16_t> dividerForFrequency(double frequencyHz) {
    if (frequencyHz == 0.0)
        return uint16_t{0};
    if (!(frequencyHz > 0.0) || !std::isfinite(frequencyHz))
        return std::nullopt;
    const double exact = kHeartbeatBaseHz / frequencyHz;
    const double whole = std::round(exact);
    if (whole < 1.0 || whole > 65535.0)
        return std::nullopt;
    if (std::fabs(exact - whole) > kDividerTolerance * whole)
        return std::nullopt;
    return static_cast<uint16_t>(whole);
}

bool clockFieldsValid(unsigned dayOfYear, unsigned hours, unsigned minutes) {
    return dayOfYear >= 1 && dayOfYear <= 366 && hours <= 23 && minutes <= 59;
}

bool isLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

std::optional<vornpci::TimeObj> toDriverTime(const TimeObj& time) {
    if (!clockFieldsValid(time.dayOfYear, time.hours, time.minutes) || time.wholeSeconds > 59)
        return std::nullopt;
    vornpci::TimeObj driver{};
    driver.loadSelect = 0;
    driver.seconds = time.wholeSeconds;
    driver.minutes = time.minutes;
    driver.hours = time.hours;
    driver.dayOfYear = time.dayOfYear;
    return driver;
}

std::optional<vornpci::HeartObj> toDriverHeart(const HeartObj& heart) {
    uint8_t mode = heart.mode;
    if (mode == kLegacyHeartMode)
        mode = kHeartPulse;
    if (heart.start > 1 || (mode != kHeartPulse && mode != kHeartSquare))
        return std::nullopt;
    const std::optional<uint16_t> divider = dividerForFrequency(heart.frequency);
    if (!divider)
        return std::nullopt;
    vornpci::HeartObj driver{};
    driver.startCode = heart.start;
    driver.modeCode = mode;
    driver.divider = *divider;
    return driver;
}

std::optional<vornpci::MatchObj> toDriverMatch(const MatchObj& match) {
    const std::optional<uint32_t> micros = microsFromSeconds(match.seconds);
    if (!micros || match.type > 1 || !clockFieldsValid(match.dayOfYear, match.hours, match.minutes))
        return std::nullopt;
    vornpci::MatchObj driver{};
    driver.matchType = match.type;
    driver.microsInMinute = *micros;
    driver.minutes = match.minutes;
    driver.hours = match.hours;
    driver.dayOfYear = match.dayOfYear;
    return driver;
}

void fromDriverTime(const vornpci::TimeObj& driver, TimeObj* time) {
    time->seconds = secondsFromMicros(driver.microsInMinute);
    time->wholeSeconds = static_cast<uint8_t>(driver.microsInMinute / 1'000'000);
    time->minutes = driver.minutes;
    time->hours = driver.hours;
    time->dayOfYear = driver.dayOfYear;
}

void fromDriverEvent(const vornpci::EventWaitRecord& driver, EventObj* event) {
    event->seconds = secondsFromMicros(driver.microsInMinute);
    event->minutes = driver.minutes;
    event->hours = driver.hours;
    event->dayOfYear = driver.dayOfYear;
}

namespace {
constexpr int64_t kUnixEpochIn1601 = 116'444'736'000'000'000; // 100 ns units
constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr uint64_t kMicrosPerHour = 60ULL * kMicrosPerMinute;
} // namespace

timespec timespecFromSystemTime(int64_t systemTime) {
    const int64_t sinceUnixEpoch = systemTime - kUnixEpochIn1601;
    int64_t seconds = sinceUnixEpoch / kUnitsPerSecond;
    int64_t units = sinceUnixEpoch % kUnitsPerSecond;
    if (units < 0) {
        units += kUnitsPerSecond;
        --seconds;
    }
    timespec stamp{};
    stamp.tv_sec = static_cast<time_t>(seconds);
    stamp.tv_nsec = static_cast<long>(units * 100);
    return stamp;
}

std::optional<StampedTimeObj> fromDriverStampedTime(const vornpci::StampedTimeObj& driver) {
    const unsigned days = isLeapYear(driver.year) ? 366 : 365;
    if (driver.year < 1 || driver.year > 9999 || driver.dayOfYear < 1 || driver.dayOfYear > days ||
        driver.hours > 23 || driver.minutes > 59 || driver.microsInMinute >= kMicrosPerMinute ||
        driver.systemAfter < driver.systemBefore)
        return std::nullopt;
    StampedTimeObj stamped{};
    stamped.year = driver.year;
    stamped.dayOfYear = driver.dayOfYear;
    stamped.microsOfDay = driver.hours * kMicrosPerHour +
                          uint64_t(driver.minutes) * kMicrosPerMinute + driver.microsInMinute;
    stamped.before = timespecFromSystemTime(driver.systemBefore);
    stamped.after = timespecFromSystemTime(driver.systemAfter);
    return stamped;
}

} // namespace vornlib
