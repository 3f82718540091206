// Reading the time a time or match dialog starts from.
#include "time_reading.h"

#include <algorithm>
#include <cmath>

namespace vorngui {

std::optional<TimeReading> readStartTime(const Services& services, BoardHandle handle, bool demo,
                                         DialogView& view) {
    if (demo) {
        const win32::SYSTEMTIME now = services.clock.utcNow();
        return TimeReading{static_cast<int16_t>(dayOfYear(now)), static_cast<uint8_t>(now.wHour),
                           static_cast<uint8_t>(now.wMinute),
                           now.wMilliseconds * 0.001 + now.wSecond};
    }
    TimeObj time{};
    if (services.board.getTime(handle, &time) != 0) {
        view.showMessage(kGetTimeFailedMessage);
        return std::nullopt;
    }
    return TimeReading{static_cast<int16_t>(time.dayOfYear), time.hours, time.minutes,
                       time.seconds};
}

uint8_t wholeSeconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<uint8_t>(std::min(std::trunc(seconds), 255.0));
}

} // namespace vorngui
