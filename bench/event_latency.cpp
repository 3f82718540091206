// Alternating rounds of an event through the stack and of the bare eventfd chain.
#include "event_latency.h"

#include "bare_peers.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace vornbench {
namespace {

using RoundWait = const EventWait&;
using RoundTrigger = const EventTrigger&;

// Runs `count` rounds in which the calling thread blocks in a wait while one helper thread,
// once the round has started, fires the trigger; records what the wait measured. Odd rounds
// are ours and even rounds the baseline's, so that both sides meet the same conditions. The
// helper sleeps between rounds rather than spinning, so that it takes no turns on the shared
// CPU while an event travels, and it is one thread for the whole run: each client thread
// takes a thread of its own in the daemon.
bool alternatingRounds(size_t count, Samples& ours, Samples& bare, RoundWait wait,
                       RoundTrigger trigger, RoundWait bareWait, RoundTrigger bareTrigger) {
    std::atomic<size_t> round{0};
    std::atomic<bool> failed{false};
    std::thread helper([&] {
        for (size_t r = 1; r <= 2 * count && !failed; ++r) {
            for (size_t seen = round.load(); seen < r && !failed; seen = round.load())
                round.wait(seen);
            if (!failed && !(r % 2 == 1 ? trigger() : bareTrigger()))
                failed = true;
        }
    });
    for (size_t r = 1; r <= 2 * count && !failed; ++r) {
        round.store(r);
        round.notify_one();
        int64_t latency = 0;
        if (!(r % 2 == 1 ? wait(&latency) : bareWait(&latency)))
            failed = true;
        else
            (r % 2 == 1 ? ours : bare).add(latency);
    }
    failed = true;
    round.store(2 * count + 1);
    round.notify_one();
    helper.join();
    return ours.size() == count && bare.size() == count;
}

} // namespace

void compareWithEventfdChain(benchmark::State& state, size_t replySize, size_t rounds,
                             const EventWait& wait, const EventTrigger& trigger) {
    BarePeer peer(BarePeer::Kind::Event, 1, replySize);
    if (!peer.connected()) {
        state.SkipWithError("no peer");
        return;
    }
    Samples ours(rounds), bare(rounds);
    std::vector<uint8_t> reply(replySize);
    EventWait waitReply = [&](int64_t* latency) {
        if (!readExact(peer.fd(), reply.data(), reply.size()))
            return false;
        const int64_t returned = realtimeNanos();
        int64_t stamped;
        std::memcpy(&stamped, reply.data(), sizeof(stamped));
        *latency = returned - stamped;
        return true;
    };
    EventTrigger goAfterPause = [&] {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const uint8_t go = 1;
        return writeExact(peer.fd(), &go, 1);
    };
    for (auto _ : state) {
        ours.clear();
        bare.clear();
        if (!alternatingRounds(rounds, ours, bare, wait, trigger, waitReply, goAfterPause)) {
            state.SkipWithError("a round failed");
            return;
        }
    }
    reportComparison(state, ours, bare);
}

int64_t subscribedEventRealtimeNanos(uint16_t year, uint16_t dayOfYear, uint64_t microsOfDay) {
    tm yearStart{};
    yearStart.tm_year = int(year) - 1900;
    yearStart.tm_mday = 1;
    const int64_t startSeconds = int64_t(::timegm(&yearStart));
    return (startSeconds + int64_t(dayOfYear - 1) * 86'400) * 1'000'000'000 +
           int64_t(microsOfDay) * 1000;
}

} // namespace vornbench
