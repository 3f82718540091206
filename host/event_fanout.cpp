// Event subscriptions of a driver host: pumps per board and the subscriptions of each client.
#include "event_fanout.h"

#include <atomic>
#include <cwctype>

namespace vornhost {
namespace {

// Device names are case-insensitive, as the kernel's object names are.
std::u16string deviceKey(std::u16string_view device) {
    std::u16string key(device);
    for (char16_t& c : key)
        c = char16_t(std::towlower(wint_t(c)));
    return key;
}

uint32_t newSubscriptionNumber() {
    static std::atomic<uint32_t> last{0};
    uint32_t number = 0;
    while (number == 0)
        number = ++last;
    return number;
}

} // namespace

EventFanout::EventFanout(ntemu::Clock& clock, SourceMaker makeSource, size_t queueCapacity,
                         TallyMaker makeTally)
    : m_clock(clock), m_makeSource(std::move(makeSource)), m_queueCapacity(queueCapacity),
      m_makeTally(std::move(makeTally)) {}

EventFanout::~EventFanout() {
    stopAll();
}

NTSTATUS EventFanout::subscribe(std::u16string_view device,
                                std::shared_ptr<EventSubscriber>* subscriber) {
    std::lock_guard guard(m_lock);
    const std::u16string key = deviceKey(device);
    auto found = m_pumps.find(key);
    if (found == m_pumps.end()) {
        std::unique_ptr<EventSource> source;
        NTSTATUS status = m_makeSource(device, &source);
        if (status != STATUS_SUCCESS)
            return status;
        auto pump = std::make_unique<EventPump>(std::move(source), m_clock);
        status = pump->start();
        if (status != STATUS_SUCCESS)
            return status;
        found = m_pumps.emplace(key, std::move(pump)).first;
    }
    auto made = std::make_shared<EventSubscriber>(m_clock, m_queueCapacity,
                                                  m_makeTally ? m_makeTally(device) : EventTally{});
    found->second->add(made);
    m_deviceOf.emplace(made.get(), key);
    *subscriber = std::move(made);
    return STATUS_SUCCESS;
}

void EventFanout::unsubscribe(const std::shared_ptr<EventSubscriber>& subscriber) {
    subscriber->close();
    std::lock_guard guard(m_lock);
    auto device = m_deviceOf.find(subscriber.get());
    if (device == m_deviceOf.end())
        return;
    auto pump = m_pumps.find(device->second);
    m_deviceOf.erase(device);
    if (pump != m_pumps.end() && !pump->second->remove(subscriber.get()))
        m_pumps.erase(pump);
}

void EventFanout::stopAll() {
    std::lock_guard guard(m_lock);
    m_pumps.clear();
    m_deviceOf.clear();
}

size_t EventFanout::pumpCount() const {
    std::lock_guard guard(m_lock);
    return m_pumps.size();
}

EventSubscriptions::~EventSubscriptions() {
    unsubscribeAll();
}

void EventSubscriptions::unsubscribeAll() {
    std::unordered_map<uint32_t, std::shared_ptr<EventSubscriber>> ended;
    {
        std::lock_guard guard(m_lock);
        ended.swap(m_byNumber);
    }
    for (const auto& [number, subscriber] : ended)
        m_fanout.unsubscribe(subscriber);
}

NTSTATUS EventSubscriptions::subscribe(std::u16string_view device, uint32_t* subscription) {
    std::lock_guard guard(m_lock);
    if (m_byNumber.size() >= kMaxPerClient)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::shared_ptr<EventSubscriber> subscriber;
    const NTSTATUS status = m_fanout.subscribe(device, &subscriber);
    if (status != STATUS_SUCCESS)
        return status;
    *subscription = newSubscriptionNumber();
    m_byNumber.emplace(*subscription, std::move(subscriber));
    return STATUS_SUCCESS;
}

NTSTATUS EventSubscriptions::take(uint32_t subscription, uint32_t timeoutMs,
                                  std::span<HostEvent> events, size_t* taken, EarlySend early,
                                  bool* sentEarly) {
    *taken = 0;
    std::shared_ptr<EventSubscriber> subscriber;
    {
        std::lock_guard guard(m_lock);
        auto found = m_byNumber.find(subscription);
        if (found == m_byNumber.end())
            return STATUS_INVALID_HANDLE;
        subscriber = found->second;
    }
    return subscriber->take(timeoutMs, events, taken, early, sentEarly);
}

NTSTATUS EventSubscriptions::unsubscribe(uint32_t subscription) {
    std::shared_ptr<EventSubscriber> subscriber;
    {
        std::lock_guard guard(m_lock);
        auto found = m_byNumber.find(subscription);
        if (found == m_byNumber.end())
            return STATUS_INVALID_HANDLE;
        subscriber = std::move(found->second);
        m_byNumber.erase(found);
    }
    m_fanout.unsubscribe(subscriber);
    return STATUS_SUCCESS;
}

} // namespace vornhost
