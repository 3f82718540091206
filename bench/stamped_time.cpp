// Stamped time samples against the known truth of a simulated board.
#include "stamped_time.h"

#include "bench_support.h"
#include "vorn_sim.h"

#include <cstdlib>

namespace vornbench {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kNanosPerDay = 86'400 * kNanosPerSecond;
constexpr int64_t kOffsetMicros = 1'500;
constexpr double kRatePpm = 50.0;
constexpr int32_t kDelayMicros = 250;

int64_t nanosOf(const timespec& t) {
    return int64_t(t.tv_sec) * kNanosPerSecond + t.tv_nsec;
}

// Days from 1970-01-01 to 1 January of `year`.
int64_t daysBeforeYear(int64_t year) {
    const int64_t y = year - 1;
    return 365 * (year - 1970) + (y / 4 - y / 100 + y / 400) - (1969 / 4 - 1969 / 100 + 1969 / 400);
}

int64_t boardNanos(const StampedTimeObj& s) {
    return (daysBeforeYear(s.year) + s.dayOfYear - 1) * kNanosPerDay +
           int64_t(s.microsOfDay) * 1000;
}

} // namespace

int64_t KnownReference::trueOffsetAt(int64_t systemNanos) const {
    const __int128 drift = static_cast<__int128>(systemNanos - originNanos) * ppb;
    return offsetNanos + static_cast<int64_t>(drift / kNanosPerSecond) + delayNanos;
}

bool setKnownReference(BoardHandle board, KnownReference* known) {
    uint8_t synchronize = 1;
    int32_t delay = kDelayMicros;
    if (VORN_simReference(board, 1) != VORN_OK ||
        VORN_synchControl(board, &synchronize) != VORN_OK ||
        VORN_setPropDelayCorr(board, &delay) != VORN_OK ||
        VORN_simReferenceRate(board, kRatePpm) != VORN_OK)
        return false;
    const int64_t before = realtimeNanos();
    if (VORN_simReferenceOffset(board, kOffsetMicros) != VORN_OK)
        return false;
    const int64_t after = realtimeNanos();
    known->offsetNanos = kOffsetMicros * 1000;
    known->ppb = int64_t(kRatePpm * 1000);
    known->originNanos = before + (after - before) / 2;
    known->delayNanos = int64_t(kDelayMicros) * 1000;
    uint8_t inSync = 0;
    return VORN_synchStatus(board, &inSync) == VORN_OK && inSync == 1;
}

void clearKnownReference(BoardHandle board) {
    int32_t delay = 0;
    VORN_simReferenceRate(board, 0.0);
    VORN_simReferenceOffset(board, 0);
    VORN_setPropDelayCorr(board, &delay);
}

void measureStampedTime(benchmark::State& state, BoardHandle board, const KnownReference& known,
                        int reads) {
    const size_t count = size_t(state.max_iterations);
    Samples errors(count), absErrors(count), bounds(count), floors(count);
    StampedTimeObj stamped{};
    for (int i = 0; i < 200; ++i) // warm-up, and the year learnt
        VORN_getStampedTime(board, &stamped);
    for (auto _ : state) {
        StampedTimeObj best{};
        int64_t bestWidth = INT64_MAX;
        for (int r = 0; r < reads; ++r) {
            if (VORN_getStampedTime(board, &stamped) != VORN_OK) {
                state.SkipWithError("stamped time read failed");
                return;
            }
            const int64_t width = nanosOf(stamped.after) - nanosOf(stamped.before);
            if (width < bestWidth) {
                bestWidth = width;
                best = stamped;
            }
        }
        const int64_t first = realtimeNanos();
        const int64_t second = realtimeNanos();
        const int64_t middle = nanosOf(best.before) + bestWidth / 2;
        const int64_t error = boardNanos(best) - middle - known.trueOffsetAt(middle);
        errors.add(error);
        absErrors.add(std::llabs(error));
        bounds.add(bestWidth / 2);
        floors.add(second - first);
        state.SetIterationTime(double(bestWidth) / 1e9);
    }
    state.counters["err_p50_us"] = errors.percentileMicros(50);
    state.counters["abs_err_p99_us"] = absErrors.percentileMicros(99);
    state.counters["bound_p50_us"] = bounds.percentileMicros(50);
    state.counters["bound_p99_us"] = bounds.percentileMicros(99);
    state.counters["floor_p50_us"] = floors.percentileMicros(50);
    state.counters["floor_p99_us"] = floors.percentileMicros(99);
    const double floorP99 = floors.percentileMicros(99);
    state.counters["bound_p99_over_floor_p99"] =
        floorP99 > 0 ? bounds.percentileMicros(99) / floorP99 : 0;
    state.counters["samples"] = double(errors.size());
}

} // namespace vornbench
