// One event subscriber's bounded queue and its timed take.
#include "event_subscriber.h"

#include <algorithm>

namespace vornhost {

// Lives on the waiting thread's stack; disarming before it goes waits for a fire under way.
struct EventSubscriber::TimedWait {
    ntemu::ClockAlarm alarm;
    EventSubscriber* owner = nullptr;
    bool expired = false;
    EarlySend early;
    bool sent = false; // the pusher sent this taker's event
};

EventSubscriber::EventSubscriber(ntemu::Clock& clock, size_t capacity, EventTally tally)
    : m_clock(clock), m_capacity(capacity == 0 ? 1 : capacity), m_tally(std::move(tally)) {}

void EventSubscriber::tally(uint64_t delivered, uint64_t dropped) const {
    if (m_tally && (delivered != 0 || dropped != 0))
        m_tally(delivered, dropped);
}

void EventSubscriber::push(const HostEvent& event) {
    // The driver's gap before the event is lost to this subscriber whether or not it has room.
    uint64_t dropped = event.droppedBefore;
    {
        std::lock_guard guard(m_lock);
        if (m_closed)
            return;
        if (m_queue.size() >= m_capacity) {
            m_pendingGap += event.droppedBefore + 1;
            ++m_queueDrops;
            ++dropped;
        } else {
            HostEvent queued = event;
            queued.droppedBefore += m_pendingGap;
            m_pendingGap = 0;
            if (m_queue.empty() && m_earlyTaker != nullptr &&
                m_earlyTaker->early.run(m_earlyTaker->early.context, queued)) {
                m_earlyTaker->sent = true;
                m_earlyTaker = nullptr;
            } else {
                m_queue.push_back(queued);
            }
        }
    }
    tally(0, dropped);
    m_changed.notify_all();
}

void EventSubscriber::fail(NTSTATUS status) {
    {
        std::lock_guard guard(m_lock);
        m_failure = status;
    }
    m_changed.notify_all();
}

void EventSubscriber::close() {
    uint64_t unread = 0;
    {
        std::lock_guard guard(m_lock);
        if (!m_closed)
            unread = m_queue.size();
        m_closed = true;
        m_queue.clear();
    }
    tally(0, unread);
    m_changed.notify_all();
}

uint64_t EventSubscriber::queueDrops() const {
    std::lock_guard guard(m_lock);
    return m_queueDrops;
}

size_t EventSubscriber::waiterCount() const {
    std::lock_guard guard(m_lock);
    return m_waiters;
}

bool EventSubscriber::ready() const {
    return m_closed || !m_queue.empty() || m_failure != STATUS_SUCCESS;
}

void EventSubscriber::onTimeout(ntemu::ClockAlarm* alarm) {
    auto* wait = static_cast<TimedWait*>(alarm->context);
    {
        std::lock_guard guard(wait->owner->m_lock);
        wait->expired = true;
    }
    wait->owner->m_changed.notify_all();
}

NTSTATUS EventSubscriber::take(uint32_t timeoutMs, std::span<HostEvent> events, size_t* taken,
                               EarlySend early, bool* sentEarly) {
    *taken = 0;
    TimedWait wait;
    wait.owner = this;
    wait.early = early;
    wait.alarm.fire = &EventSubscriber::onTimeout;
    wait.alarm.context = &wait;
    bool armed = false;
    std::unique_lock lock(m_lock);
    if (!ready() && timeoutMs > 0) {
        // The alarm is armed and disarmed without the queue's lock: its fire takes that lock.
        lock.unlock();
        m_clock.arm(wait.alarm, m_clock.now() + ntemu::Ticks100ns(timeoutMs) * ntemu::kMillisecond);
        armed = true;
        lock.lock();
        ++m_waiters;
        if (early.run != nullptr && sentEarly != nullptr && m_earlyTaker == nullptr)
            m_earlyTaker = &wait;
        m_changed.wait(lock, [&] { return ready() || wait.expired || wait.sent; });
        if (m_earlyTaker == &wait)
            m_earlyTaker = nullptr;
        --m_waiters;
    }
    NTSTATUS status = STATUS_DEVICE_NOT_READY;
    if (wait.sent) {
        *sentEarly = true;
        status = STATUS_SUCCESS;
    } else if (m_closed) {
        status = STATUS_CANCELLED;
    } else if (!m_queue.empty() && !events.empty()) {
        const size_t count = std::min(events.size(), m_queue.size());
        std::copy_n(m_queue.begin(), count, events.begin());
        m_queue.erase(m_queue.begin(), m_queue.begin() + ptrdiff_t(count));
        *taken = count;
        status = STATUS_SUCCESS;
    } else if (m_failure != STATUS_SUCCESS) {
        status = m_failure;
    }
    lock.unlock();
    if (armed)
        m_clock.disarm(wait.alarm);
    if (status == STATUS_SUCCESS)
        tally(wait.sent ? 1 : *taken, 0);
    return status;
}

} // namespace vornhost
