// What the benchmarks share: latency samples and their percentiles, CPU pinning, sockets, and
// the figures every comparison reports (child processes come from the tests' support).
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vornbench {

using Clock = std::chrono::steady_clock;

inline int64_t nanosSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Latencies in nanoseconds, reserved up front so that recording never allocates.
class Samples {
public:
    explicit Samples(size_t capacity) { m_values.reserve(capacity); }
    void add(int64_t nanos) {
        if (m_values.size() < m_values.capacity())
            m_values.push_back(nanos);
    }
    size_t size() const { return m_values.size(); }
    // Nearest-rank percentile (0 < p <= 100) in microseconds; 0 when empty.
    double percentileMicros(double p) const;
    double minMicros() const;
    void clear() { m_values.clear(); }

private:
    std::vector<int64_t> m_values;
};

// Reports ours and the baseline side by side: medians, p99 and their ratios.
void reportComparison(benchmark::State& state, const Samples& ours, const Samples& baseline);

// A bare timed wait of `nanos` on a condition variable that nobody signals: the floor under
// every time-out; its lateness in nanoseconds.
int64_t bareTimedWaitLateness(int64_t nanos);

// A bare loop of `steps` paced steps of `pauseNanos` each, as precise as this machine lets a
// program pace them (sleep to just short of each step's end, then spin): the floor under the
// time-set entry's pauses; its whole length in nanoseconds.
int64_t barePacedSteps(int steps, int64_t pauseNanos);

// The time-out ratio judged against the floor of the same run: (time-out + p99 lateness)
// over (time-out + the bare timed wait's p99 lateness).
double timeoutOverFloor(double timeoutMicros, double lateP99Micros, double bareLateP99Micros);

// Timer slack of 1 ns for the calling thread (and threads it starts later), as the host's
// clock thread has, so that baselines wake as precisely as the host can.
void tightenTimerSlack();

// The CPUs this process may run on, as taskset gave them.
std::string allowedCpus();

// Runs the registered benchmarks with the command line's options, the CPUs in the context.
int runBenchmarks(int argc, char** argv);

// This program's own path, for starting it again as a peer.
std::string selfPath();
// A private directory for sockets, removed at exit.
std::string scratchDirectory();

// Connects to a Unix stream socket, retrying until `boundMs` passes; -1 on failure.
int connectWithin(const std::string& path, int boundMs);

// Full blocking reads and writes; false on end or error.
bool readExact(int fd, void* buffer, size_t length);
bool writeExact(int fd, const void* buffer, size_t length);

// The system clock (UTC) in nanoseconds since the epoch, and the instant a board time tag of
// the current UTC year names, whole microseconds as the board gives them.
int64_t realtimeNanos();
int64_t tagRealtimeNanos(int dayOfYear, int hours, int minutes, double seconds);

} // namespace vornbench
