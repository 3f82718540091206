// SYSTEMTIME validation and conversion to and from the Unix epoch, on the proleptic Gregorian
// calendar that both use.
#include "win32.h"

namespace win32 {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

bool isLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int64_t year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (negative before it).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + static_cast<int64_t>(dayOfEra) - 719'468;
}

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civilFromDays(int64_t days) {
    days += 719'468;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

int64_t floorDiv(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return value % divisor < 0 ? quotient - 1 : quotient;
}

} // namespace

bool isValidSystemTime(const SYSTEMTIME& time) {
    if (time.wYear < 1601 || time.wYear > 30827 || time.wMonth < 1 || time.wMonth > 12)
        return false;
    if (time.wDay < 1 || time.wDay > daysInMonth(time.wYear, time.wMonth))
        return false;
    return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

timespec systemTimeToUnix(const SYSTEMTIME& time) {
    const int64_t days = daysFromCivil(time.wYear, time.wMonth, time.wDay);
    const int64_t seconds =
        days * kSecondsPerDay + time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(time.wMilliseconds) * 1'000'000;
    return result;
}

bool unixToSystemTime(const timespec& time, SYSTEMTIME* result) {
    const int64_t seconds = static_cast<int64_t>(time.tv_sec);
    const int64_t days = floorDiv(seconds, kSecondsPerDay);
    const int64_t secondOfDay = seconds - days * kSecondsPerDay;
    const CivilDate date = civilFromDays(days);
    if (date.year < 1601 || date.year > 30827)
        return false;
    result->wYear = static_cast<WORD>(date.year);
    result->wMonth = static_cast<WORD>(date.month);
    result->wDay = static_cast<WORD>(date.day);
    // 1970-01-01 was a Thursday.
    result->wDayOfWeek = static_cast<WORD>((days % 7 + 7 + 4) % 7);
    result->wHour = static_cast<WORD>(secondOfDay / 3600);
    result->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    result->wSecond = static_cast<WORD>(secondOfDay % 60);
    result->wMilliseconds = static_cast<WORD>(time.tv_nsec / 1'000'000);
    return true;
}

} // namespace win32
