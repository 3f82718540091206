// Client-side benchmarks through the vornhost daemon, each measured side by side with a bare
// baseline of the same shape in the same run: a time read against a plain socket round trip,
// an event (to VORN_waitEvent and to a subscriber) against an eventfd wake-up and reply, wait
// time-outs against their nominal length, sustained event delivery to one waiter and to two
// subscribers, and heap allocations per request on both sides of the socket.
#include "bare_peers.h"
#include "daemon_rig.h"
#include "event_latency.h"
#include "stamped_time.h"
#include "subscriber_flow.h"

#include "vornpci_ioctl.h"
#include "wire.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace vornbench {
namespace {

// Sizes of a time read's request and reply frames on the wire.
size_t timeRequestFrame() {
    vornhost::wire::ControlRequest request{1, vornpci::IOCTL_VORNPCI_GET_TIME, 16,
                                           std::vector<uint8_t>(16)};
    return vornhost::wire::kHeaderSize + vornhost::wire::encode(request).size();
}

size_t replyFrame(size_t outputBytes) {
    std::vector<uint8_t> output(outputBytes);
    return vornhost::wire::kHeaderSize +
           vornhost::wire::encodeReply({}, std::span<const uint8_t>(output)).size();
}

// A subscriber's next-event reply frame carrying the one event it waited for.
size_t eventReplyFrame() {
    const vornhost::HostEvent event{};
    return vornhost::wire::kHeaderSize +
           vornhost::wire::encodeReply({}, std::span(&event, 1)).size();
}

void GetTimeVsBareRoundTrip(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    const size_t requestSize = timeRequestFrame(), replySize = replyFrame(16);
    BarePeer peer(BarePeer::Kind::Echo, requestSize, replySize);
    if (!rig || !peer.connected()) {
        state.SkipWithError("no daemon or no peer");
        return;
    }
    std::vector<uint8_t> request(requestSize, 0xA5), reply(replySize);
    const size_t count = size_t(state.max_iterations);
    Samples ours(count), bare(count);
    TimeObj time{};
    for (int i = 0; i < 1000; ++i) // warm-up: threads made, caches filled
        VORN_getTime(rig->board(), &time);
    for (auto _ : state) {
        auto start = Clock::now();
        bool ok = writeExact(peer.fd(), request.data(), request.size()) &&
                  readExact(peer.fd(), reply.data(), reply.size());
        bare.add(nanosSince(start));
        start = Clock::now();
        ok = VORN_getTime(rig->board(), &time) == VORN_OK && ok;
        const int64_t took = nanosSince(start);
        ours.add(took);
        state.SetIterationTime(double(took) / 1e9);
        if (!ok) {
            state.SkipWithError("request failed");
            return;
        }
    }
    reportComparison(state, ours, bare);
    state.counters["request_bytes"] = double(requestSize);
    state.counters["reply_bytes"] = double(replySize);
}

// An event strobed on the board until VORN_waitEvent returns, measured from the event's own
// time tag (the board in sync: UTC, whole microseconds) to the return on the realtime clock.
void EventVsEventfdChain(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    VORN_flushFIFO(rig->board());
    auto waitEvent = [&](int64_t* latency) {
        EventObj event{};
        event.timeoutMs = 5000;
        if (VORN_waitEvent(rig->board(), &event) != VORN_OK)
            return false;
        const int64_t returned = realtimeNanos();
        *latency =
            returned - tagRealtimeNanos(event.dayOfYear, event.hours, event.minutes, event.seconds);
        return true;
    };
    // The strobe's answer is left unread until the next round, as the baseline's trigger
    // expects none: neither side wakes a thread of this program while the event travels.
    auto strobeWhenParked = [&] { return rig->awaitParkedWait() && rig->strobeUnanswered(); };
    compareWithEventfdChain(state, replyFrame(12), size_t(state.range(0)), waitEvent,
                            strobeWhenParked);
}

// The same for a subscriber's VORN_nextEvent. Its wait parks no request in the driver (the
// host's event pump always has one there), so the strobe follows the pause the baseline's
// trigger makes.
void EventToSubscriberVsEventfdChain(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    VORN_flushFIFO(rig->board());
    uint32_t subscription = 0;
    if (VORN_subscribeEvents(rig->board(), &subscription) != VORN_OK) {
        state.SkipWithError("no subscription");
        return;
    }
    auto nextEvent = [&](int64_t* latency) {
        SequencedEventObj event{};
        event.timeoutMs = 5000;
        if (VORN_nextEvent(rig->board(), subscription, &event) != VORN_OK)
            return false;
        const int64_t returned = realtimeNanos();
        *latency =
            returned - subscribedEventRealtimeNanos(event.year, event.dayOfYear, event.microsOfDay);
        return true;
    };
    auto strobeAfterPause = [&] {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        return rig->strobeUnanswered();
    };
    compareWithEventfdChain(state, eventReplyFrame(), size_t(state.range(0)), nextEvent,
                            strobeAfterPause);
    VORN_unsubscribeEvents(rig->board(), subscription);
}

void WaitTimeout(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    const uint32_t timeoutMs = uint32_t(state.range(0));
    const size_t rounds = size_t(state.range(1));
    Samples lateness(rounds), bare(rounds);
    size_t early = 0, events = 0;
    for (auto _ : state) {
        for (size_t r = 0; r < rounds; ++r) {
            EventObj event{};
            event.timeoutMs = timeoutMs;
            const auto start = Clock::now();
            const uint8_t result = VORN_waitEvent(rig->board(), &event);
            const int64_t took = nanosSince(start);
            if (result == VORN_OK) {
                ++events; // an event nobody strobed: counted, not measured
                continue;
            }
            if (result != VORN_WAIT_TIMEOUT) {
                state.SkipWithError("the wait failed");
                return;
            }
            const int64_t late = took - int64_t(timeoutMs) * 1'000'000;
            if (late < 0)
                ++early;
            lateness.add(late);
            bare.add(bareTimedWaitLateness(int64_t(timeoutMs) * 1'000'000));
        }
    }
    const double p99 = lateness.percentileMicros(99);
    state.counters["late_p50_us"] = lateness.percentileMicros(50);
    state.counters["late_p99_us"] = p99;
    state.counters["bare_late_p50_us"] = bare.percentileMicros(50);
    state.counters["bare_late_p99_us"] = bare.percentileMicros(99);
    state.counters["late_max_us"] = lateness.percentileMicros(100);
    state.counters["ratio_p99"] =
        timeoutOverFloor(timeoutMs * 1000.0, p99, bare.percentileMicros(99));
    state.counters["ended_early"] = double(early);
    state.counters["unexpected_events"] = double(events);
    state.counters["samples"] = double(lateness.size());
}

// One client loops on VORN_waitEvent while the benchmark strobes bursts on the board at a
// fixed rate; every event tagged must come out of a wait.
void EventThroughput(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    const uint32_t rate = uint32_t(state.range(0)), burst = uint32_t(state.range(1));
    const int seconds = 3;
    VORN_flushFIFO(rig->board());
    for (auto _ : state) {
        const uint64_t taggedBefore = rig->eventsTagged();
        std::atomic<bool> producing{true};
        uint64_t delivered = 0;
        std::thread consumer([&] {
            for (;;) {
                EventObj event{};
                event.timeoutMs = 200;
                const uint8_t result = VORN_waitEvent(rig->board(), &event);
                if (result == VORN_OK)
                    ++delivered;
                else if (!producing.load())
                    break;
            }
        });
        const auto start = Clock::now();
        const auto period = std::chrono::nanoseconds(1'000'000'000LL * burst / rate);
        const uint64_t bursts = uint64_t(seconds) * rate / burst;
        auto due = start;
        for (uint64_t b = 0; b < bursts; ++b) {
            std::this_thread::sleep_until(due);
            rig->strobe(burst);
            due += period;
        }
        const double producedSeconds = double(nanosSince(start)) / 1e9;
        producing = false;
        consumer.join();
        const uint64_t tagged = rig->eventsTagged() - taggedBefore;
        state.counters["produced"] = double(tagged);
        state.counters["delivered"] = double(delivered);
        state.counters["lost"] = double(tagged) - double(delivered);
        state.counters["produced_per_s"] = double(tagged) / producedSeconds;
        state.counters["delivered_per_s"] = double(delivered) / producedSeconds;
    }
}

void reportTrain(benchmark::State& state, const TrainOutcome& outcome, uint32_t trainCount,
                 const VornHealth& before, const VornHealth& after) {
    double lostMost = 0, identityFailures = 0, breaks = 0;
    for (size_t i = 0; i < outcome.counts.size(); ++i) {
        const SubscriberCount& c = outcome.counts[i];
        const std::string n = std::to_string(i + 1);
        const double lost = double(outcome.tagged) - double(c.delivered);
        state.counters["delivered_" + n] = double(c.delivered);
        state.counters["counted_drops_" + n] = double(c.countedDrops);
        state.counters["lost_" + n] = lost;
        lostMost = std::max(lostMost, lost);
        identityFailures += c.accounted() == outcome.tagged ? 0 : 1;
        breaks += double(c.sequenceBreaks);
    }
    state.counters["tagged"] = double(outcome.tagged);
    state.counters["produced_per_s"] = double(trainCount) / outcome.trainSeconds;
    state.counters["lost_most"] = lostMost;
    state.counters["identity_failures"] = identityFailures;
    state.counters["sequence_breaks"] = breaks;
    state.counters["tail_strobes"] = double(outcome.tailStrobes);
    if (before.eventDropsKnown && after.eventDropsKnown)
        state.counters["fifo_overflows"] =
            double(after.eventsFifoOverflows - before.eventsFifoOverflows);
}

// Two subscribers take a train of events the board strobes at `rate` a second for `seconds`:
// each accounts for every event tagged, delivered or counted as dropped, and below capacity
// all are delivered.
void EventsToTwoSubscribers(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    const uint32_t rate = uint32_t(state.range(0)), seconds = uint32_t(state.range(1));
    VORN_flushFIFO(rig->board());
    for (auto _ : state) {
        SubscriberReader first(rig->board()), second(rig->board());
        if (!first.subscribed() || !second.subscribed()) {
            state.SkipWithError("no subscription");
            return;
        }
        first.start();
        second.start();
        VornHealth before{}, after{};
        VORN_getHealth(rig->board(), &before);
        TrainOutcome outcome;
        if (!runEventTrain(*rig, {&first, &second}, rate * seconds, 1'000'000 / rate, &outcome))
            std::fprintf(stderr, "the subscribers did not account for every event tagged\n");
        VORN_getHealth(rig->board(), &after);
        reportTrain(state, outcome, rate * seconds, before, after);
    }
}

// Heap allocations per request after warm-up, in this client and in the daemon, over time
// reads and over waits that an event ends.
void AllocationsPerRequest(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    TimeObj time{};
    for (int i = 0; i < 2000; ++i)
        VORN_getTime(rig->board(), &time);
    const size_t requests = size_t(state.range(0));
    for (auto _ : state) {
        const uint64_t clientBefore = vornAllocCount(), daemonBefore = rig->daemonAllocations();
        for (size_t i = 0; i < requests; ++i)
            VORN_getTime(rig->board(), &time);
        const uint64_t client = vornAllocCount() - clientBefore;
        const uint64_t daemon = rig->daemonAllocations() - daemonBefore;
        state.counters["client_allocs_per_request"] = double(client) / double(requests);
        state.counters["daemon_allocs_per_request"] = double(daemon) / double(requests);
    }
}

// Bracketed reads of the board's time through the daemon against the known truth of the
// simulated reference; argument: reads per sample, the narrowest taken. The reference is put
// back afterwards, since the event benchmark reads UTC from the board.
void StampedTimeThroughDaemon(benchmark::State& state) {
    DaemonRig* rig = DaemonRig::get();
    if (!rig) {
        state.SkipWithError("no daemon");
        return;
    }
    KnownReference known;
    if (!setKnownReference(rig->board(), &known))
        state.SkipWithError("the board does not take the known reference");
    else
        measureStampedTime(state, rig->board(), known, int(state.range(0)));
    clearKnownReference(rig->board());
}

BENCHMARK(StampedTimeThroughDaemon)
    ->Arg(4)
    ->Iterations(5000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(GetTimeVsBareRoundTrip)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(EventVsEventfdChain)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EventToSubscriberVsEventfdChain)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(WaitTimeout)
    ->Args({1, 2000})
    ->Args({10, 300})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(EventThroughput)->Args({20000, 10})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EventsToTwoSubscribers)
    ->Args({20000, 10})
    ->Args({100000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(AllocationsPerRequest)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace vornbench

int main(int argc, char** argv) {
    const int peer = vornbench::runPeerIfAsked(argc, argv);
    return peer >= 0 ? peer : vornbench::runBenchmarks(argc, argv);
}
