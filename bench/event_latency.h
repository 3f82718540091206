// An event through the stack against the bare eventfd chain of the same run: the comparison
// both event latency benchmarks make, said once.
#pragma once

#include "bench_support.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vornbench {

// Blocks until our event returns; stores the nanoseconds from its time tag to the return.
using EventWait = std::function<bool(int64_t* latency)>;
// Makes our event happen, once the round's waiter is ready for it.
using EventTrigger = std::function<bool()>;

// Runs `rounds` rounds of ours and as many of a bare chain (a second process stamps the time,
// writes an eventfd, a thread woken by it sends `replySize` bytes to the waiting benchmark),
// alternating, and reports medians, p99 and their ratios.
void compareWithEventfdChain(benchmark::State& state, size_t replySize, size_t rounds,
                             const EventWait& wait, const EventTrigger& trigger);

// The instant a subscriber's event names (UTC, whole microseconds), in nanoseconds since the
// epoch.
int64_t subscribedEventRealtimeNanos(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay);

} // namespace vornbench
