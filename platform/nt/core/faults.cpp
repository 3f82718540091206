// Fault injection counters: which call of which kernel service is made to fail.
#include "ntemu/faults.h"

#include <array>
#include <atomic>
#include <mutex>

namespace ntemu::faults {

namespace {

struct Point {
    uint64_t calls = 0;
    uint64_t failAt = 0; // absolute call number that fails; 0 = none
    bool fromThereOn = false;
};

struct State {
    std::mutex mutex;
    std::array<Point, static_cast<size_t>(FaultPoint::Count)> points{};
};

State& state() {
    static State instance;
    return instance;
}

Point& pointOf(FaultPoint point) {
    return state().points[static_cast<size_t>(point)];
}

void arm(FaultPoint point, uint64_t n, bool fromThereOn) {
    std::lock_guard lock(state().mutex);
    Point& p = pointOf(point);
    p.failAt = n == 0 ? 0 : p.calls + n;
    p.fromThereOn = fromThereOn && n != 0;
}

} // namespace

void failNth(FaultPoint point, uint64_t n) {
    arm(point, n, false);
}

void failFrom(FaultPoint point, uint64_t n) {
    arm(point, n, true);
}

bool shouldFail(FaultPoint point) {
    std::lock_guard lock(state().mutex);
    Point& p = pointOf(point);
    ++p.calls;
    if (p.failAt == 0)
        return false;
    if (p.calls == p.failAt) {
        if (!p.fromThereOn)
            p.failAt = 0;
        return true;
    }
    return p.fromThereOn && p.calls > p.failAt;
}

uint64_t calls(FaultPoint point) {
    std::lock_guard lock(state().mutex);
    return pointOf(point).calls;
}

void clear() {
    std::lock_guard lock(state().mutex);
    state().points = {};
}

} // namespace ntemu::faults
