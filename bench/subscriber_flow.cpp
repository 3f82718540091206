// Subscriber readers and the event train they take.
#include "subscriber_flow.h"

#include "vorn_sim.h"

#include <algorithm>
#include <chrono>

namespace vornbench {
namespace {

constexpr uint32_t kTakeTimeoutMs = 100;
// How often the run looks at the board's tally and the readers' counts.
constexpr auto kPollPeriod = std::chrono::milliseconds(50);
// Beyond the train's own length: how long the board and the readers may take to catch up.
constexpr auto kCatchUpBound = std::chrono::seconds(20);

bool allAccountedFor(const std::vector<SubscriberReader*>& readers, uint64_t tagged) {
    return std::all_of(readers.begin(), readers.end(),
                       [&](SubscriberReader* r) { return r->count().accounted() >= tagged; });
}

uint64_t accountedSum(const std::vector<SubscriberReader*>& readers) {
    uint64_t sum = 0;
    for (SubscriberReader* reader : readers)
        sum += reader->count().accounted();
    return sum;
}

bool anyFailed(const std::vector<SubscriberReader*>& readers) {
    return std::any_of(readers.begin(), readers.end(),
                       [](SubscriberReader* r) { return r->failed(); });
}

} // namespace

SubscriberReader::SubscriberReader(BoardHandle board) : m_board(board) {
    if (VORN_subscribeEvents(board, &m_subscription) != VORN_OK)
        m_subscription = 0;
}

SubscriberReader::~SubscriberReader() {
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
    if (subscribed())
        VORN_unsubscribeEvents(m_board, m_subscription);
}

void SubscriberReader::start() {
    m_thread = std::thread([this] { run(); });
}

SubscriberCount SubscriberReader::count() const {
    std::lock_guard guard(m_lock);
    return m_count;
}

void SubscriberReader::run() {
    while (!m_stopping) {
        SequencedEventObj event{};
        event.timeoutMs = kTakeTimeoutMs;
        const uint8_t result = VORN_nextEvent(m_board, m_subscription, &event);
        if (result == VORN_OK) {
            take(event.sequence, event.droppedBefore);
        } else if (result != VORN_WAIT_TIMEOUT) {
            m_failed = true;
            return;
        }
    }
}

void SubscriberReader::take(uint64_t sequence, uint64_t droppedBefore) {
    std::lock_guard guard(m_lock);
    if (m_count.delivered > 0 && sequence != m_lastSequence + droppedBefore + 1)
        ++m_count.sequenceBreaks;
    m_lastSequence = sequence;
    ++m_count.delivered;
    m_count.countedDrops += droppedBefore;
}

bool runEventTrain(DaemonRig& rig, const std::vector<SubscriberReader*>& readers, uint32_t count,
                   uint32_t intervalMicros, TrainOutcome* outcome) {
    const uint64_t before = rig.eventsTagged();
    const auto start = Clock::now();
    if (VORN_simStrobeEvery(rig.board(), count, intervalMicros) != VORN_OK)
        return false;
    const auto deadline =
        start + std::chrono::microseconds(uint64_t(count) * intervalMicros) + kCatchUpBound;
    uint64_t tagged = 0;
    while ((tagged = rig.eventsTagged() - before) < count && Clock::now() < deadline)
        std::this_thread::sleep_for(kPollPeriod);
    outcome->trainSeconds = double(nanosSince(start)) / 1e9;
    uint64_t seen = accountedSum(readers);
    while (!allAccountedFor(readers, tagged) && !anyFailed(readers) && Clock::now() < deadline) {
        std::this_thread::sleep_for(kPollPeriod);
        const uint64_t now = accountedSum(readers);
        if (now == seen && rig.strobe(1))
            ++outcome->tailStrobes;
        seen = now;
        tagged = rig.eventsTagged() - before;
    }
    outcome->tagged = tagged;
    outcome->counts.clear();
    for (SubscriberReader* reader : readers)
        outcome->counts.push_back(reader->count());
    return allAccountedFor(readers, tagged);
}

} // namespace vornbench
