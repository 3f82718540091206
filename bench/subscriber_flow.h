// Event subscribers of the daemon taking every event a train of strobes brings, and the count
// each keeps of what it got and of what it was told it lost.
#pragma once

#include "daemon_rig.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vornbench {

struct SubscriberCount {
    uint64_t delivered = 0;
    uint64_t countedDrops = 0;   // the sum of the events' droppedBefore
    uint64_t sequenceBreaks = 0; // events whose sequence is not the last + droppedBefore + 1
    uint64_t accounted() const { return delivered + countedDrops; }
};

// One subscription, taken from on a thread of its own from start() until it is destroyed.
class SubscriberReader {
public:
    explicit SubscriberReader(BoardHandle board);
    ~SubscriberReader();
    SubscriberReader(const SubscriberReader&) = delete;
    SubscriberReader& operator=(const SubscriberReader&) = delete;

    bool subscribed() const { return m_subscription != 0; }
    void start();
    SubscriberCount count() const;
    // The subscription ended under the reader (the host gone, the call refused).
    bool failed() const { return m_failed.load(); }

private:
    void run();
    void take(uint64_t sequence, uint64_t droppedBefore);

    BoardHandle m_board;
    uint32_t m_subscription = 0;
    mutable std::mutex m_lock; // guards m_count and m_lastSequence
    SubscriberCount m_count;
    uint64_t m_lastSequence = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

struct TrainOutcome {
    uint64_t tagged = 0;      // events the board model tagged, the train and the tail strobes
    double trainSeconds = 0;  // from the train's start until the board had tagged all of it
    uint32_t tailStrobes = 0; // single events added so that drops after a last event are told
    std::vector<SubscriberCount> counts;
};

// Has the board strobe `count` events `intervalMicros` apart while `readers` (subscribed and
// started, the board quiet) take them, then waits until each reader has accounted for every
// event tagged, delivered or counted as dropped. Drops after a subscriber's last event are
// counted with its next one, so when the readers stall short of the tally one more event is
// strobed. False when the board does not take the train or the tally is not reached in time.
bool runEventTrain(DaemonRig& rig, const std::vector<SubscriberReader*>& readers, uint32_t count,
                   uint32_t intervalMicros, TrainOutcome* outcome);

} // namespace vornbench
