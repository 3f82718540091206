// The per-board event pump: one reader of the driver's next-event request, from the last
// sequence number it has, fanning every event out to its subscribers' queues. Its waits in the
// driver are bounded, and stopping cancels the one under way, so stopping never hangs.
#pragma once

#include "event_subscriber.h"
#include "ntemu/clock.h"
#include "vornpci_records.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vornhost {

// Hears of an event where the source's read completes, before the read returns.
struct ArrivalHook {
    void (*run)(void* context, const vornpci::SequencedEventRecord& event) = nullptr;
    void* context = nullptr;
};

// Where a pump reads events: the driver in the host, or a fake in tests.
class EventSource {
public:
    virtual ~EventSource() = default;
    // The sequence number of the last event tagged so far.
    virtual NTSTATUS lastSequence(uint64_t* sequence) = 0;
    // The oldest event held after `afterSequence`, waiting up to `timeoutMs` for one;
    // STATUS_DEVICE_NOT_READY on the time-out.
    virtual NTSTATUS next(uint64_t afterSequence, uint32_t timeoutMs,
                          vornpci::SequencedEventRecord* event) = 0;
    // As next; `arrived` hears of the event where the read completes (the driver's completion,
    // a DPC), so that it can go on before the reading thread wakes. This default tells it once
    // next has returned.
    virtual NTSTATUS nextWithArrival(uint64_t afterSequence, uint32_t timeoutMs,
                                     vornpci::SequencedEventRecord* event, ArrivalHook arrived) {
        const NTSTATUS status = next(afterSequence, timeoutMs, event);
        if (status == STATUS_SUCCESS)
            arrived.run(arrived.context, *event);
        return status;
    }
    // The board's time of day with its year, to tell the year of an event's day.
    virtual NTSTATUS stampedTime(vornpci::StampedTimeObj* stamped) = 0;
    // Ends a next under way at once; every call afterwards fails.
    virtual void shutdown() = 0;
};

class EventPump {
public:
    // The longest a single read waits in the driver.
    static constexpr uint32_t kReadBoundMs = 1000;

    EventPump(std::unique_ptr<EventSource> source, ntemu::Clock& clock);
    ~EventPump();
    EventPump(const EventPump&) = delete;
    EventPump& operator=(const EventPump&) = delete;

    // Starts reading at the next event tagged from now on; the source's status when it cannot.
    NTSTATUS start();
    // A subscriber added after reading failed gets the failure at once.
    void add(std::shared_ptr<EventSubscriber> subscriber);
    // Whether any subscriber is left.
    bool remove(const EventSubscriber* subscriber);
    // Stops reading and closes every subscriber still there.
    void stop();

private:
    struct Arrival;
    static void onArrival(void* context, const vornpci::SequencedEventRecord& record);

    void run();
    void deliver(const vornpci::SequencedEventRecord& record, uint16_t year);
    void failAll(NTSTATUS status);
    uint16_t yearOf(uint16_t dayOfYear);
    // The year from what is known already, without asking the source; 0 when that cannot tell.
    uint16_t knownYearOf(uint16_t dayOfYear) const;
    void noteYear(uint16_t year, uint16_t dayOfYear);
    void learnYear();

    std::unique_ptr<EventSource> m_source;
    ntemu::Clock& m_clock;
    std::mutex m_lock; // guards m_subscribers and m_failure
    std::vector<std::shared_ptr<EventSubscriber>> m_subscribers;
    NTSTATUS m_failure = STATUS_SUCCESS; // why reading ended, for subscribers that come later
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    // Pump thread only (and start, before it runs), or the completion of its read while the
    // pump thread waits for that read.
    uint64_t m_lastSequence = 0;
    uint16_t m_knownYear = 0;
    uint16_t m_knownDay = 0;
    ntemu::Ticks100ns m_knownAt = 0;
};

} // namespace vornhost
