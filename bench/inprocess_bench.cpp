// Benchmarks of the host inside the calling program: a time read (latency and heap
// allocations per request) and a time-set entry of eleven commands against a bare loop of
// eleven 100 us paced steps in the same run, with the gaps between commands as the board saw
// them.
#include "alloc_count.h"
#include "bench_support.h"
#include "stamped_time.h"

#include "sim/board_model.h"
#include "vorn.h"
#include "vorn_testing.h"

#include <algorithm>
#include <cstdio>

namespace vornbench {
namespace {

constexpr int64_t kCommandPause = 100'000; // ns
constexpr int kEntryCommands = 11;

vornsim::MachineDescription oneBoard() {
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 3, 11));
    return machine;
}

// The board of a host started in this program, as a program without a daemon gets it; null
// (and the benchmark skipped) when it cannot be had.
BoardHandle openInProcessBoard(benchmark::State& state) {
    BoardHandle board = nullptr;
    if (!vornlib::testing::useChannel(vornhost::openInProcessChannel(oneBoard())))
        state.SkipWithError("no in-process host");
    else if (VORN_open(&board, "VORNpci0") != VORN_OK)
        state.SkipWithError("cannot open VORNpci0");
    return board;
}

void GetTimeInProcess(benchmark::State& state) {
    BoardHandle board = openInProcessBoard(state);
    if (board == nullptr)
        return;
    TimeObj time{};
    for (int i = 0; i < 2000; ++i)
        VORN_getTime(board, &time);
    Samples samples(size_t(state.max_iterations));
    const uint64_t allocsBefore = vornAllocCount();
    for (auto _ : state) {
        const auto start = Clock::now();
        const uint8_t result = VORN_getTime(board, &time);
        const int64_t took = nanosSince(start);
        samples.add(took);
        state.SetIterationTime(double(took) / 1e9);
        if (result != VORN_OK) {
            state.SkipWithError("request failed");
            break;
        }
    }
    const uint64_t allocs = vornAllocCount() - allocsBefore;
    VORN_close(board);
    vornlib::testing::resetChannel();
    state.counters["p50_us"] = samples.percentileMicros(50);
    state.counters["p99_us"] = samples.percentileMicros(99);
    state.counters["allocs_per_request"] = double(allocs) / double(samples.size());
}

void TimeSetEntry(benchmark::State& state) {
    vornhost::HostOptions options;
    options.virtualClock = false;
    options.specialIrpPool = false;
    auto channel = vornlib::testing::useHost(oneBoard(), options);
    BoardHandle board = nullptr;
    if (!channel || VORN_open(&board, "VORNpci0") != VORN_OK) {
        state.SkipWithError("cannot open VORNpci0 in-process");
        return;
    }
    vornsim::BoardModel& model = *channel->host().board(0);
    TimeObj time{};
    time.dayOfYear = 100;
    time.hours = 12;
    time.minutes = 34;
    time.wholeSeconds = 56;
    for (int i = 0; i < 20; ++i)
        VORN_setTime(board, &time);
    const size_t rounds = size_t(state.max_iterations);
    Samples entries(rounds), pacedFloor(rounds), gaps(rounds * kEntryCommands);
    tightenTimerSlack();
    const vornsim::BoardCounters before = model.counters();
    for (auto _ : state) {
        model.clearCommandLog();
        const auto start = Clock::now();
        const uint8_t result = VORN_setTime(board, &time);
        const int64_t took = nanosSince(start);
        entries.add(took);
        state.SetIterationTime(double(took) / 1e9);
        const auto log = model.commandLog();
        for (size_t i = 1; i < log.size(); ++i)
            gaps.add((log[i].at - log[i - 1].at) * 100);
        if (result != VORN_OK || log.size() != kEntryCommands) {
            state.SkipWithError("the entry failed or sent other than eleven commands");
            break;
        }
        pacedFloor.add(barePacedSteps(kEntryCommands, kCommandPause));
    }
    const vornsim::BoardCounters after = model.counters();
    VORN_close(board);
    channel.reset();
    vornlib::testing::resetChannel();
    const double pacing = kEntryCommands * kCommandPause / 1000.0;
    state.counters["ours_p50_us"] = entries.percentileMicros(50);
    state.counters["ours_p99_us"] = entries.percentileMicros(99);
    state.counters["pacing_us"] = pacing;
    state.counters["floor_p50_us"] = pacedFloor.percentileMicros(50);
    state.counters["floor_p99_us"] = pacedFloor.percentileMicros(99);
    state.counters["ratio_p50"] = entries.percentileMicros(50) / pacedFloor.percentileMicros(50);
    state.counters["ratio_p99"] = entries.percentileMicros(99) / pacedFloor.percentileMicros(99);
    state.counters["min_gap_us"] = gaps.minMicros();
    state.counters["gap_p50_us"] = gaps.percentileMicros(50);
    state.counters["gaps_under_100us"] = double(after.shortCommandGaps - before.shortCommandGaps);
    state.counters["commands"] = double(after.commands - before.commands);
}

// Wait time-outs with the host in this program: the kernel's timer path without the socket.
void WaitTimeoutInProcess(benchmark::State& state) {
    BoardHandle board = openInProcessBoard(state);
    if (board == nullptr)
        return;
    const uint32_t timeoutMs = uint32_t(state.range(0));
    const size_t rounds = size_t(state.range(1));
    Samples lateness(rounds), bare(rounds);
    size_t early = 0;
    for (auto _ : state) {
        for (size_t r = 0; r < rounds; ++r) {
            EventObj event{};
            event.timeoutMs = timeoutMs;
            const auto start = Clock::now();
            const uint8_t result = VORN_waitEvent(board, &event);
            const int64_t late = nanosSince(start) - int64_t(timeoutMs) * 1'000'000;
            if (result != VORN_WAIT_TIMEOUT)
                continue;
            early += late < 0;
            lateness.add(late);
            bare.add(bareTimedWaitLateness(int64_t(timeoutMs) * 1'000'000));
        }
    }
    VORN_close(board);
    vornlib::testing::resetChannel();
    const double p99 = lateness.percentileMicros(99);
    state.counters["late_p50_us"] = lateness.percentileMicros(50);
    state.counters["late_p99_us"] = p99;
    state.counters["bare_late_p50_us"] = bare.percentileMicros(50);
    state.counters["bare_late_p99_us"] = bare.percentileMicros(99);
    state.counters["ratio_p99"] =
        timeoutOverFloor(timeoutMs * 1000.0, p99, bare.percentileMicros(99));
    state.counters["ended_early"] = double(early);
    state.counters["samples"] = double(lateness.size());
}

// Bracketed reads of the board's time in-process against the known truth of the simulated
// reference; argument: reads per sample, the narrowest taken.
void StampedTimeInProcess(benchmark::State& state) {
    BoardHandle board = openInProcessBoard(state);
    if (board == nullptr)
        return;
    KnownReference known;
    if (!setKnownReference(board, &known))
        state.SkipWithError("the board does not take the known reference");
    else
        measureStampedTime(state, board, known, int(state.range(0)));
    VORN_close(board);
    vornlib::testing::resetChannel();
}

BENCHMARK(StampedTimeInProcess)
    ->Arg(4)
    ->Iterations(5000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(WaitTimeoutInProcess)
    ->Args({1, 1000})
    ->Args({10, 200})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(GetTimeInProcess)->Iterations(50000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TimeSetEntry)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace vornbench

int main(int argc, char** argv) {
    return vornbench::runBenchmarks(argc, argv);
}
