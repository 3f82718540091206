// The time a dialog starts from: the board's, or the computer's clock in UTC for the
// demonstration board.
#pragma once

#include "services.h"
#include "view.h"

#include <cstdint>
#include <optional>

namespace vorngui {

inline constexpr const char* kGetTimeFailedMessage = "Couldn't receive time from board!!";

struct TimeReading {
    int16_t days;
    uint8_t hours;
    uint8_t minutes;
    double seconds; // with the fraction
};

// The demonstration board reads the computer's clock; a board is read into a zeroed record.
// A failed read shows "Couldn't receive time from board!!" and gives nothing.
std::optional<TimeReading> readStartTime(const Services& services, BoardHandle handle, bool demo,
                                         DialogView& view);

// Whole seconds of a reading, truncated toward zero so that 59.9996 s stays 59; a value beyond
// a byte (which no board gives) is held at its bounds.
uint8_t wholeSeconds(double seconds);

} // namespace vorngui
