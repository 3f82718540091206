// Stamped time reads against a simulated board whose truth is known: the reference is set off
// this machine's clock by a known offset and rate, with a known propagation correction, so the
// error of each sample and its error bound can be measured beside the floor of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include "vorn.h"

#include <cstdint>

namespace vornbench {

// true − system of the board's time at a system time, from what was set on the board.
struct KnownReference {
    int64_t offsetNanos = 0; // at originNanos
    int64_t ppb = 0;
    int64_t originNanos = 0; // CLOCK_REALTIME when the offset was set (its bracket's middle)
    int64_t delayNanos = 0;  // the propagation correction

    int64_t trueOffsetAt(int64_t systemNanos) const;
};

// Puts the board in sync with a reference 1,500 us ahead and 50 ppm fast, with +250 us of
// propagation correction; false when the board does not take it.
bool setKnownReference(BoardHandle board, KnownReference* known);
// Puts the reference back on this machine's clock, with no propagation correction.
void clearKnownReference(BoardHandle board);

// One sample per iteration: the narrowest of `reads` bracketed reads, its error (offset − true
// offset) and error bound (half the bracket), and the width of two back-to-back clock_gettime
// calls. Counters: err_p50_us, abs_err_p99_us, bound_p50_us, bound_p99_us, floor_p50_us,
// floor_p99_us, bound_p99_over_floor_p99.
void measureStampedTime(benchmark::State& state, BoardHandle board, const KnownReference& known,
                        int reads);

} // namespace vornbench
