// The board's calendar: year, day of year and time of day in 100 ns ticks, with the rollovers
// (minute, hour, day, year with leap years) and the BCD digits the registers and frames carry.
#pragma once

#include "ntemu/clock.h"

#include <cstdint>

namespace vornsim {

constexpr ntemu::Ticks100ns kTicksPerMicro = ntemu::kMicrosecond;
constexpr ntemu::Ticks100ns kTicksPerSecond = ntemu::kSecond;
constexpr ntemu::Ticks100ns kTicksPerMinute = 60 * kTicksPerSecond;
constexpr ntemu::Ticks100ns kTicksPerHour = 60 * kTicksPerMinute;
constexpr ntemu::Ticks100ns kTicksPerDay = 24 * kTicksPerHour;

bool isLeapYear(int year);
int daysInYear(int year);
ntemu::Ticks100ns yearLength(int year);

// A point of board time: a year and the ticks since its 1 January 00:00.
struct BoardTime {
    int year = 2000;
    ntemu::Ticks100ns ticksInYear = 0;

    // Brings ticksInYear into [0, yearLength(year)), moving the year as often as needed.
    void normalize();
    BoardTime plus(ntemu::Ticks100ns ticks) const;

    int dayOfYear() const; // 1 to 366
    int hours() const;
    int minutes() const;
    uint32_t microsInMinute() const; // seconds * 1,000,000 + microseconds
    int month() const;               // 1 to 12
    int dayOfMonth() const;          // 1 to 31
};

// A time of year as a match entry or a scheduled event gives it (no year).
struct TimeOfYear {
    int dayOfYear = 1;
    int hours = 0;
    int minutes = 0;
    uint32_t microsInMinute = 0;

    bool valid() const;
    ntemu::Ticks100ns ticksInYear() const;
};

// Board time for a system time in 100 ns units since 1601-01-01 (UTC).
BoardTime boardTimeFromSystem(int64_t systemTime);

// Ticks from `now` until the board time next shows `target` (0 when it shows it now), looking
// at most eight years ahead; -1 when it never does (an invalid target, or day 366 that no year
// in reach has).
ntemu::Ticks100ns ticksUntil(const BoardTime& now, const TimeOfYear& target);

// Two BCD digits of a value 0 to 99.
uint8_t bcd2(unsigned value);

} // namespace vornsim
