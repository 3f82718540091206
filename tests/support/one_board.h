// The machine most tests run on: one timing board in bus 0, slot 3, interrupt 11, and the
// instants their virtual clocks start at.
#pragma once

#include "sim/machine_description.h"

#include <chrono>
#include <cstdint>

namespace vorntest {

// System time is in 100 ns units since 1601-01-01, UTC.
constexpr int64_t kMilli = 10'000;
constexpr int64_t kSecond = 1000 * kMilli;

// System time of a calendar date and time of day.
constexpr int64_t systemTimeOf(int year, unsigned month, unsigned day, int hours, int minutes,
                               int seconds, int micros = 0) {
    constexpr int64_t kDays1601To1970 = 134'774;
    const std::chrono::sys_days date{std::chrono::year{year} / std::chrono::month{month} /
                                     std::chrono::day{day}};
    const int64_t days = date.time_since_epoch().count() + kDays1601To1970;
    const int64_t secondsOfDay = hours * 3600 + minutes * 60 + seconds;
    return (days * 86'400 + secondsOfDay) * kSecond + int64_t(micros) * 10;
}

// 2024-03-01 12:00:00 UTC, day 61 of a leap year: where hosts for the applications start.
constexpr int64_t kStartUtc = systemTimeOf(2024, 3, 1, 12, 0, 0);
// 2007-12-31 12:00:00 UTC, the eve of a leap year: where driver and board tests start.
constexpr int64_t kNewYearsEveNoon = systemTimeOf(2007, 12, 31, 12, 0, 0);

inline vornsim::MachineDescription oneBoard(uint16_t model = 0x9070) {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(model, 0, 3, 11));
    return machine;
}

} // namespace vorntest
