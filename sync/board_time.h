// Conversions between the board's date and time and system time, and the bracket of one read.
#pragma once

#include "board_source.h"

#include <cstdint>
#include <ctime>
#include <optional>

namespace vornsync {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// The board counts whole microseconds; a reading stands for the middle of its microsecond.
constexpr int64_t kBoardResolutionNanos = 1'000;

int64_t toNanos(const timespec& time);
timespec fromNanos(int64_t nanos);

// Nanoseconds since 1970 (UTC) of the board's date and time; empty when the fields cannot be a
// date (day of year beyond its year, time of day past a leap second's end, a year before 1970).
std::optional<int64_t> boardTimeNanos(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay);

// One read reduced to nanoseconds since 1970.
struct Bracket {
    int64_t boardNanos = 0;
    int64_t beforeNanos = 0;
    int64_t afterNanos = 0;

    int64_t width() const { return afterNanos - beforeNanos; }
    int64_t midpoint() const { return beforeNanos + width() / 2; }
    // Board time minus the system time at the moment the board's time was taken.
    int64_t offset() const { return boardNanos - midpoint(); }
    // The board's time was taken somewhere within the bracket, and is known to its microsecond.
    int64_t errorBound() const { return (width() + 1) / 2 + kBoardResolutionNanos / 2; }
};

// Empty when the board's fields are no date or the stamps run backwards.
std::optional<Bracket> bracketOf(const StampedRead& read);

} // namespace vornsync
