// The year of an event's day of year, told from a day whose year is known: the board's time
// carries no year, and an event tagged near the turn of the year may belong to either side.
#pragma once

#include <cstdint>

namespace vornhost {

// The year of `eventDay` when it is the known day or the day just before or after it, across a
// year's end in either direction; 0 when the two days are further apart than that (the board's
// time jumped, or the known day is too old to tell).
uint16_t yearOfEventDay(uint16_t knownYear, uint16_t knownDay, uint16_t eventDay);

} // namespace vornhost
