// One event subscriber's bounded queue: the pump pushes every event it reads, the subscriber
// takes them with a time-out on the host's clock, and what the full queue pushes out is counted
// and reported with the next event delivered. A tally hears of every event taken or lost.
#pragma once

#include "device_channel.h"
#include "ntemu/clock.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>

namespace vornhost {

// Sends a taker's event from where it is pushed, so that it leaves without a wake of the taker
// first; true when it went out. Runs under the queue's lock: it must not block.
struct EarlySend {
    bool (*run)(void* context, const HostEvent& event) = nullptr;
    void* context = nullptr;
};

// Told of events a subscriber took (delivered) and of events tagged while it was subscribed
// that it will never get (dropped): its full queue's, the driver's gaps, and those still queued
// when it ends. Each event is told once, so the two add up to what the pump read meanwhile.
using EventTally = std::function<void(uint64_t delivered, uint64_t dropped)>;

class EventSubscriber {
public:
    EventSubscriber(ntemu::Clock& clock, size_t capacity, EventTally tally = {});
    EventSubscriber(const EventSubscriber&) = delete;
    EventSubscriber& operator=(const EventSubscriber&) = delete;

    // Pump side. `event.droppedBefore` is the gap the driver reported before it; the events this
    // queue lost since its last delivered event are added to it. A full queue keeps what it
    // holds and counts the new event as dropped.
    void push(const HostEvent& event);
    // The pump can read no more: once the queue is empty, next returns `status`.
    void fail(NTSTATUS status);
    // Unsubscribed: every next under way and later returns STATUS_CANCELLED; the events still
    // queued are dropped.
    void close();

    // Takes up to events.size() events already queued, oldest first, into `events`; waits (up
    // to the time-out) only while none is queued. *taken is how many. With `early`, a taker
    // that waits has the event that ends its wait sent by the pusher: then it returns
    // STATUS_SUCCESS with *sentEarly set and nothing taken.
    NTSTATUS take(uint32_t timeoutMs, std::span<HostEvent> events, size_t* taken,
                  EarlySend early = {}, bool* sentEarly = nullptr);
    // One event, as take.
    NTSTATUS next(uint32_t timeoutMs, HostEvent* event, EarlySend early = {},
                  bool* sentEarly = nullptr) {
        size_t taken = 0;
        return take(timeoutMs, {event, 1}, &taken, early, sentEarly);
    }

    // Events this queue pushed out since it was made.
    uint64_t queueDrops() const;
    // Takers blocked in next right now.
    size_t waiterCount() const;

private:
    struct TimedWait;
    static void onTimeout(ntemu::ClockAlarm* alarm);
    bool ready() const; // m_lock held
    void tally(uint64_t delivered, uint64_t dropped) const;

    ntemu::Clock& m_clock;
    const size_t m_capacity;
    const EventTally m_tally;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<HostEvent> m_queue;
    uint64_t m_pendingGap = 0; // lost since the last event queued, driver gaps included
    uint64_t m_queueDrops = 0;
    size_t m_waiters = 0;
    TimedWait* m_earlyTaker = nullptr; // a waiting taker whose event the pusher sends
    NTSTATUS m_failure = STATUS_SUCCESS;
    bool m_closed = false;
};

} // namespace vornhost
