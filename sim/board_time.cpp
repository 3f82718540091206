// The board's calendar arithmetic.
#include "sim/board_time.h"

#include <algorithm>

namespace vornsim {

namespace {
constexpr int kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};
constexpr int kLookAheadYears = 8;
} // namespace

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInYear(int year) {
    return isLeapYear(year) ? 366 : 365;
}

ntemu::Ticks100ns yearLength(int year) {
    return daysInYear(year) * kTicksPerDay;
}

void BoardTime::normalize() {
    while (ticksInYear < 0) {
        --year;
        ticksInYear += yearLength(year);
    }
    while (ticksInYear >= yearLength(year)) {
        ticksInYear -= yearLength(year);
        ++year;
    }
}

BoardTime BoardTime::plus(ntemu::Ticks100ns ticks) const {
    BoardTime t{year, ticksInYear + ticks};
    t.normalize();
    return t;
}

int BoardTime::dayOfYear() const {
    return static_cast<int>(ticksInYear / kTicksPerDay) + 1;
}

int BoardTime::hours() const {
    return static_cast<int>(ticksInYear % kTicksPerDay / kTicksPerHour);
}

int BoardTime::minutes() const {
    return static_cast<int>(ticksInYear % kTicksPerHour / kTicksPerMinute);
}

uint32_t BoardTime::microsInMinute() const {
    return static_cast<uint32_t>(ticksInYear % kTicksPerMinute / kTicksPerMicro);
}

int BoardTime::month() const {
    const int* before = kDaysBeforeMonth[isLeapYear(year) ? 1 : 0];
    int day = dayOfYear();
    int m = 1;
    while (m < 12 && day > before[m])
        ++m;
    return m;
}

int BoardTime::dayOfMonth() const {
    return dayOfYear() - kDaysBeforeMonth[isLeapYear(year) ? 1 : 0][month() - 1];
}

bool TimeOfYear::valid() const {
    return dayOfYear >= 1 && dayOfYear <= 366 && hours >= 0 && hours < 24 && minutes >= 0 &&
           minutes < 60 && microsInMinute < 60'000'000;
}

ntemu::Ticks100ns TimeOfYear::ticksInYear() const {
    return (dayOfYear - 1) * kTicksPerDay + hours * kTicksPerHour + minutes * kTicksPerMinute +
           static_cast<ntemu::Ticks100ns>(microsInMinute) * kTicksPerMicro;
}

// Straight from the day count through the 400-, 100-, 4- and 1-year cycles of the calendar that
// starts on 1601-01-01, without walking year by year: the latch of the time registers runs this
// on every time read.
BoardTime boardTimeFromSystem(int64_t systemTime) {
    if (systemTime < 0) {
        BoardTime t{1601, systemTime};
        t.normalize();
        return t;
    }
    constexpr int64_t kDays400 = 146'097, kDays100 = 36'524, kDays4 = 1'461, kDays1 = 365;
    int64_t days = systemTime / kTicksPerDay;
    const ntemu::Ticks100ns intoDay = systemTime % kTicksPerDay;
    const int64_t cycles400 = days / kDays400;
    days %= kDays400;
    const int64_t cycles100 = std::min<int64_t>(days / kDays100, 3); // the 400th year is leap
    days -= cycles100 * kDays100;
    const int64_t cycles4 = days / kDays4;
    days %= kDays4;
    const int64_t years = std::min<int64_t>(days / kDays1, 3); // the 4th year is leap
    days -= years * kDays1;
    BoardTime t;
    t.year = static_cast<int>(1601 + 400 * cycles400 + 100 * cycles100 + 4 * cycles4 + years);
    t.ticksInYear = days * kTicksPerDay + intoDay;
    return t;
}

ntemu::Ticks100ns ticksUntil(const BoardTime& now, const TimeOfYear& target) {
    if (!target.valid())
        return -1;
    ntemu::Ticks100ns yearStart = -now.ticksInYear; // ticks from now back to this 1 January
    for (int k = 0; k < kLookAheadYears; ++k) {
        int year = now.year + k;
        if (target.dayOfYear <= daysInYear(year)) {
            ntemu::Ticks100ns delta = yearStart + target.ticksInYear();
            if (delta >= 0)
                return delta;
        }
        yearStart += yearLength(year);
    }
    return -1;
}

uint8_t bcd2(unsigned value) {
    return static_cast<uint8_t>(((value / 10 % 10) << 4) | (value % 10));
}

} // namespace vornsim
