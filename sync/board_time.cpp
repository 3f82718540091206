// Conversions between the board's date and time and system time.
#include "board_time.h"

#include <chrono>

namespace vornsync {

int64_t toNanos(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * kNanosPerSecond + time.tv_nsec;
}

timespec fromNanos(int64_t nanos) {
    int64_t seconds = nanos / kNanosPerSecond;
    int64_t rest = nanos % kNanosPerSecond;
    if (rest < 0) {
        rest += kNanosPerSecond;
        --seconds;
    }
    timespec time{};
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(rest);
    return time;
}

std::optional<int64_t> boardTimeNanos(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay) {
    using namespace std::chrono;
    // A day that ends in a leap second is one second longer.
    constexpr uint64_t kMicrosOfLongestDay = 86'401'000'000;
    const std::chrono::year boardYear{year};
    const int daysInYear = boardYear.is_leap() ? 366 : 365;
    if (year < 1970 || year > 2200 || dayOfYear < 1 || dayOfYear > daysInYear ||
        microsOfDay >= kMicrosOfLongestDay)
        return std::nullopt;
    const sys_days day = sys_days{boardYear / January / 1} + days{dayOfYear - 1};
    const int64_t dayNanos =
        static_cast<int64_t>(day.time_since_epoch().count()) * 86'400 * kNanosPerSecond;
    return dayNanos + static_cast<int64_t>(microsOfDay) * 1000;
}

std::optional<Bracket> bracketOf(const StampedRead& read) {
    const std::optional<int64_t> board =
        boardTimeNanos(read.year, read.dayOfYear, read.microsOfDay);
    Bracket bracket{board.value_or(0) + kBoardResolutionNanos / 2, toNanos(read.before),
                    toNanos(read.after)};
    if (!board || bracket.width() < 0)
        return std::nullopt;
    return bracket;
}

} // namespace vornsync
