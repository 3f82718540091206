// The per-board event pump: reads each event once and hands it to every subscriber's queue.
#include "event_pump.h"

#include "event_year.h"

#include <algorithm>

namespace vornhost {
namespace {

// Past a day, the day of year alone cannot tell how many year ends have gone by.
constexpr ntemu::Ticks100ns kYearKnownFor = 24LL * 3600 * ntemu::kSecond;
// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochIn100ns = 116'444'736'000'000'000LL;
constexpr uint64_t kMicrosPerMinute = 60'000'000ULL;

} // namespace

EventPump::EventPump(std::unique_ptr<EventSource> source, ntemu::Clock& clock)
    : m_source(std::move(source)), m_clock(clock) {}

EventPump::~EventPump() {
    stop();
}

NTSTATUS EventPump::start() {
    const NTSTATUS status = m_source->lastSequence(&m_lastSequence);
    if (status != STATUS_SUCCESS)
        return status;
    learnYear();
    m_thread = std::thread([this] { run(); });
    return STATUS_SUCCESS;
}

void EventPump::add(std::shared_ptr<EventSubscriber> subscriber) {
    std::lock_guard guard(m_lock);
    if (m_failure != STATUS_SUCCESS)
        subscriber->fail(m_failure);
    m_subscribers.push_back(std::move(subscriber));
}

bool EventPump::remove(const EventSubscriber* subscriber) {
    std::lock_guard guard(m_lock);
    std::erase_if(m_subscribers, [&](const auto& s) { return s.get() == subscriber; });
    return !m_subscribers.empty();
}

void EventPump::stop() {
    m_stopping = true;
    m_source->shutdown();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard guard(m_lock);
    for (const auto& subscriber : m_subscribers)
        subscriber->close();
    m_subscribers.clear();
}

// An event is handed to the subscribers where the driver completes the pump's read, so that it
// reaches them without a wake of the pump thread first; only when the year would have to be
// asked for (a request, which the completion cannot make) is it left to the pump thread.
struct EventPump::Arrival {
    EventPump* pump;
    bool delivered = false;
};

void EventPump::onArrival(void* context, const vornpci::SequencedEventRecord& record) {
    auto* arrival = static_cast<Arrival*>(context);
    EventPump& pump = *arrival->pump;
    if (record.sequence <= pump.m_lastSequence)
        return; // run() finds the source broken
    const uint16_t year = pump.knownYearOf(record.dayOfYear);
    if (year == 0)
        return;
    pump.deliver(record, year);
    arrival->delivered = true;
}

void EventPump::run() {
    while (!m_stopping) {
        vornpci::SequencedEventRecord record{};
        Arrival arrival{this};
        const NTSTATUS status = m_source->nextWithArrival(m_lastSequence, kReadBoundMs, &record,
                                                          {&EventPump::onArrival, &arrival});
        if (arrival.delivered)
            continue;
        if (status == STATUS_DEVICE_NOT_READY)
            continue;
        // An event at or before the one already read would be delivered twice: the source is
        // broken, and reading on from it would spin.
        if (status == STATUS_SUCCESS && record.sequence <= m_lastSequence) {
            failAll(STATUS_UNSUCCESSFUL);
            return;
        }
        if (status != STATUS_SUCCESS) {
            if (!m_stopping)
                failAll(status);
            return;
        }
        deliver(record, yearOf(record.dayOfYear));
    }
}

void EventPump::deliver(const vornpci::SequencedEventRecord& record, uint16_t year) {
    HostEvent event;
    event.receivedUnixNanos = (m_clock.systemTime() - kUnixEpochIn100ns) * 100;
    event.sequence = record.sequence;
    // The gap follows from the numbers themselves, so it is exact whatever the source says.
    event.droppedBefore = record.sequence - m_lastSequence - 1;
    event.dayOfYear = record.dayOfYear;
    event.microsOfDay =
        (uint64_t(record.hours) * 60 + record.minutes) * kMicrosPerMinute + record.microsInMinute;
    event.year = year;
    noteYear(year, record.dayOfYear);
    m_lastSequence = record.sequence;
    std::lock_guard guard(m_lock);
    for (const auto& subscriber : m_subscribers)
        subscriber->push(event);
}

void EventPump::failAll(NTSTATUS status) {
    std::lock_guard guard(m_lock);
    m_failure = status;
    for (const auto& subscriber : m_subscribers)
        subscriber->fail(status);
}

// The year the board showed with a day is carried from day to day as events come; it is asked
// for again when it is a day old or an event's day does not follow the one known.
uint16_t EventPump::yearOf(uint16_t dayOfYear) {
    uint16_t year = knownYearOf(dayOfYear);
    if (year == 0) {
        learnYear();
        year = yearOfEventDay(m_knownYear, m_knownDay, dayOfYear);
    }
    return year;
}

uint16_t EventPump::knownYearOf(uint16_t dayOfYear) const {
    if (m_knownYear == 0 || m_clock.now() - m_knownAt > kYearKnownFor)
        return 0;
    return yearOfEventDay(m_knownYear, m_knownDay, dayOfYear);
}

void EventPump::noteYear(uint16_t year, uint16_t dayOfYear) {
    if (year > m_knownYear || (year == m_knownYear && dayOfYear > m_knownDay)) {
        m_knownYear = year;
        m_knownDay = dayOfYear;
    }
}

void EventPump::learnYear() {
    vornpci::StampedTimeObj stamped{};
    if (m_source->stampedTime(&stamped) != STATUS_SUCCESS) {
        m_knownYear = 0;
        return;
    }
    m_knownYear = stamped.year;
    m_knownDay = stamped.dayOfYear;
    m_knownAt = m_clock.now();
}

} // namespace vornhost
