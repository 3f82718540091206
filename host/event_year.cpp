// The year of an event's day of year, told from a neighbouring day whose year is known.
#include "event_year.h"

namespace vornhost {
namespace {

constexpr uint16_t kFirstYear = 1;
constexpr uint16_t kLastYear = 9999;

uint16_t daysIn(unsigned year) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 366 : 365;
}

} // namespace

uint16_t yearOfEventDay(uint16_t knownYear, uint16_t knownDay, uint16_t eventDay) {
    if (knownYear < kFirstYear || knownYear > kLastYear || knownDay < 1 ||
        knownDay > daysIn(knownYear) || eventDay < 1 || eventDay > 366)
        return 0;
    const uint16_t days = daysIn(knownYear);
    if (eventDay == knownDay || eventDay == knownDay + 1 || eventDay + 1 == knownDay)
        return eventDay <= days ? knownYear : 0;
    if (knownDay == days && eventDay == 1 && knownYear < kLastYear)
        return uint16_t(knownYear + 1);
    if (knownDay == 1 && knownYear > kFirstYear && eventDay == daysIn(knownYear - 1))
        return uint16_t(knownYear - 1);
    return 0;
}

} // namespace vornhost
