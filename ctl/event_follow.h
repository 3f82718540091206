// `vornctl events --follow`: every event of a subscription printed as it comes, one line or one
// JSON object a line, until a count is reached or the program is asked to stop.
#pragma once

#include "vorn.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>

namespace vornctl {

// ISO 8601 UTC with microseconds ("2026-12-09T06:43:37.123456Z"); "" for year 0 (unknown).
std::string isoUtc(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay);
// ISO 8601 UTC with nanoseconds.
std::string isoUtc(const timespec& time);

// One event as a line: "seq=N utc=... day_of_year=N received=... dropped_before=N", or as one
// JSON object with the same keys (utc null when the year is unknown).
void writeEvent(const SequencedEventObj& event, bool json, std::ostream& out);

struct FollowOutcome {
    uint8_t result = VORN_OK; // the first failing library call's
    uint64_t printed = 0;
};

// Subscribes, prints each event as it comes until `count` are printed (0: no end) or `stop` is
// set (checked at least every `pollMs`), and unsubscribes again.
FollowOutcome followEvents(BoardHandle board, uint64_t count, bool json, std::ostream& out,
                           const std::atomic<bool>& stop, uint32_t pollMs = 200);

} // namespace vornctl
