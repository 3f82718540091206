// The computer's clock as the demonstration board reads it, behind an interface tests replace.
#pragma once

#include "win32.h"

#include <cstdint>

namespace vorngui {

class SystemClock {
public:
    virtual ~SystemClock() = default;
    // The current time in UTC, as GetSystemTime gives it.
    virtual win32::SYSTEMTIME utcNow() = 0;
    // Whole seconds since 1970, the seed of the demonstration generator.
    virtual uint32_t secondsNow() = 0;
    // Blocks the caller for `milliseconds` (the demonstration waits that end in a time-out).
    virtual void sleep(uint32_t milliseconds) = 0;
};

// The machine's own clock through the system layer.
SystemClock& machineClock();

// Days of the year before `month` (1 to 12); a year whose two lowest bits are zero is a leap
// year, with no century rule. Day of year = this + day of month, so 1 January is day 1.
int daysBeforeMonth(int year, int month);
int dayOfYear(const win32::SYSTEMTIME& time);

} // namespace vorngui
