// Event subscriptions of a driver host: one pump per board, started by its first subscriber and
// stopped when its last one leaves, and the subscriptions each client holds by number.
#pragma once

#include "event_pump.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vornhost {

class EventFanout {
public:
    // Events a subscriber's queue holds before it drops new ones.
    static constexpr size_t kDefaultQueueCapacity = 4096;

    // Opens an event source on the named device; its status when it cannot.
    using SourceMaker =
        std::function<NTSTATUS(std::u16string_view device, std::unique_ptr<EventSource>* source)>;
    // The tally of a new subscriber of the named device; an empty one counts nothing.
    using TallyMaker = std::function<EventTally(std::u16string_view device)>;

    EventFanout(ntemu::Clock& clock, SourceMaker makeSource,
                size_t queueCapacity = kDefaultQueueCapacity, TallyMaker makeTally = {});
    ~EventFanout();
    EventFanout(const EventFanout&) = delete;
    EventFanout& operator=(const EventFanout&) = delete;

    NTSTATUS subscribe(std::u16string_view device, std::shared_ptr<EventSubscriber>* subscriber);
    void unsubscribe(const std::shared_ptr<EventSubscriber>& subscriber);
    // Stops every pump; their subscribers are closed.
    void stopAll();
    size_t pumpCount() const;

private:
    ntemu::Clock& m_clock;
    SourceMaker m_makeSource;
    const size_t m_queueCapacity;
    TallyMaker m_makeTally;
    mutable std::mutex m_lock;
    std::map<std::u16string, std::unique_ptr<EventPump>> m_pumps;
    std::unordered_map<const EventSubscriber*, std::u16string> m_deviceOf;
};

// The subscriptions one client holds (a daemon connection, an in-process channel), by nonzero
// number; they all end with it.
class EventSubscriptions {
public:
    // Enough for any program; bounds what one client can make the host keep.
    static constexpr size_t kMaxPerClient = 64;

    explicit EventSubscriptions(EventFanout& fanout) : m_fanout(fanout) {}
    ~EventSubscriptions();
    EventSubscriptions(const EventSubscriptions&) = delete;
    EventSubscriptions& operator=(const EventSubscriptions&) = delete;

    // STATUS_INSUFFICIENT_RESOURCES past kMaxPerClient.
    NTSTATUS subscribe(std::u16string_view device, uint32_t* subscription);
    // As EventSubscriber::take, on the subscription of that number.
    NTSTATUS take(uint32_t subscription, uint32_t timeoutMs, std::span<HostEvent> events,
                  size_t* taken, EarlySend early = {}, bool* sentEarly = nullptr);
    NTSTATUS next(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) {
        size_t taken = 0;
        return take(subscription, timeoutMs, {event, 1}, &taken);
    }
    NTSTATUS unsubscribe(uint32_t subscription);
    void unsubscribeAll();

private:
    EventFanout& m_fanout;
    std::mutex m_lock;
    std::unordered_map<uint32_t, std::shared_ptr<EventSubscriber>> m_byNumber;
};

// Reads events from the driver of `host` through a process of its own.
class DriverHost;
NTSTATUS openDriverEventSource(DriverHost& host, std::u16string_view device,
                               std::unique_ptr<EventSource>* source);

} // namespace vornhost
