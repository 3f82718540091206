// The clock that paces the feed, and that tells it when to stop.
#pragma once

#include <cstdint>

namespace vornsync {

class Pacer {
public:
    virtual ~Pacer() = default;
    virtual int64_t monotonicNanos() = 0;
    // Waits until the monotonic clock reads `deadline`; false when the feed is to stop.
    virtual bool sleepUntil(int64_t deadline) = 0;
};

} // namespace vornsync
