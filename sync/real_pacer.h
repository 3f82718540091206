// Pacing on the monotonic clock, ended by SIGTERM or SIGINT.
#pragma once

#include "pacer.h"

namespace vornsync {

// Makes SIGTERM and SIGINT request a clean stop instead of ending the process.
void stopOnTermination();
bool stopRequested();

// A stop request ends a sleep at once; one that comes just before a sleep ends it within a
// period (at most a second).
class RealPacer final : public Pacer {
public:
    int64_t monotonicNanos() override;
    bool sleepUntil(int64_t deadline) override;
};

} // namespace vornsync
