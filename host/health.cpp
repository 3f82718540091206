// The host's health record of each board: counters kept as requests pass, state kept by looking.
#include "health.h"

#include "sim/machine.h"
#include "vornpci_ioctl.h"

#include <utility>

namespace vornhost {
namespace {

constexpr const char* kKindNames[32] = {
    "open",
    "get_altitude",
    "get_date",
    "get_driver",
    "get_firmware",
    nullptr,
    "get_latitude",
    "get_longitude",
    "get_satinfo",
    "get_time",
    "reset_firmware",
    "set_heartbeat",
    "set_match_time",
    nullptr,
    "set_prop_delay",
    "set_time",
    "set_year",
    "sim_event",
    "synch_ctrl",
    "synch_status",
    "wait_event",
    "wait_heart",
    "wait_match",
    "peek",
    "poke",
    "flush_fifo",
    "get_stamped_time",
    "next_event",
    "get_event_counters",
    nullptr,
    nullptr,
    nullptr,
};

bool isWait(uint32_t code) {
    return code == vornpci::IOCTL_VORNPCI_WAIT_EVENT || code == vornpci::IOCTL_VORNPCI_WAIT_HEART ||
           code == vornpci::IOCTL_VORNPCI_WAIT_MATCH;
}

bool deliversEvent(uint32_t code) {
    return code == vornpci::IOCTL_VORNPCI_WAIT_EVENT || code == vornpci::IOCTL_VORNPCI_NEXT_EVENT;
}

template <size_t N>
void copyCounts(const std::array<std::atomic<uint64_t>, N>& from, std::array<uint64_t, N>& to) {
    for (size_t i = 0; i < N; ++i)
        to[i] = from[i].load(std::memory_order_relaxed);
}

} // namespace

size_t requestKindOf(uint32_t code) {
    for (size_t kind = 0; kind < 32; ++kind)
        if (kKindNames[kind] && vornpci::requestCode(uint32_t(kind)) == code)
            return kind;
    return kOtherRequestKind;
}

const char* requestKindName(size_t kind) {
    if (kind == kOtherRequestKind)
        return "other";
    return kind < 32 ? kKindNames[kind] : nullptr;
}

HealthBook::HealthBook(std::vector<size_t> cardOfDevice)
    : m_cardOfDevice(std::move(cardOfDevice)), m_counters(m_cardOfDevice.size()),
      m_boards(m_cardOfDevice.size()) {}

// The driver completes a wait whose time-out passed with STATUS_DEVICE_NOT_READY.
void HealthBook::recordRequest(uint32_t board, uint32_t code, NTSTATUS status) {
    if (board >= m_counters.size())
        return;
    Counters& counters = m_counters[board];
    const size_t kind = requestKindOf(code);
    if (NT_SUCCESS(status)) {
        counters.served[kind].fetch_add(1, std::memory_order_relaxed);
        if (deliversEvent(code))
            counters.delivered.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    counters.failed[kind].fetch_add(1, std::memory_order_relaxed);
    if (isWait(code) && status == STATUS_DEVICE_NOT_READY)
        counters.timedOut[kind].fetch_add(1, std::memory_order_relaxed);
}

bool HealthBook::recordSample(uint32_t board, vornsim::SimMachine& machine,
                              const SyncSample& sample, const SampleReporter& reporter,
                              int64_t now) {
    if (!modelOf(board, machine))
        return false;
    std::lock_guard guard(m_lock);
    Looked& looked = m_boards[board];
    looked.sampleKnown = true;
    looked.sample = sample;
    looked.sampleAt = now;
    looked.reporter = reporter;
    return true;
}

void HealthBook::noteDriverEventCounters(uint32_t board, uint64_t tagged, uint64_t fifoOverflows,
                                         uint64_t ringDrops) {
    if (board >= m_boards.size())
        return;
    std::lock_guard guard(m_lock);
    Looked& looked = m_boards[board];
    looked.driverCountersKnown = true;
    looked.driverTagged = tagged;
    looked.fifoOverflows = fifoOverflows;
    looked.ringDrops = ringDrops;
}

void HealthBook::addSubscriberEvents(uint32_t board, uint64_t delivered, uint64_t dropped) {
    if (board >= m_counters.size())
        return;
    Counters& counters = m_counters[board];
    counters.subscriberDeliveries.fetch_add(delivered, std::memory_order_relaxed);
    counters.subscriberDrops.fetch_add(dropped, std::memory_order_relaxed);
    counters.subscriberCountsKnown.store(true, std::memory_order_relaxed);
}

// m_lock held.
void HealthBook::copyLooked(const Looked& looked, BoardHealth* health) const {
    health->syncChangedAt = looked.syncChangedAt;
    health->referenceSeen = looked.referenceSeen;
    health->referenceSeenAt = looked.referenceSeenAt;
    health->sampleKnown = looked.sampleKnown;
    health->sample = looked.sample;
    health->sampleAt = looked.sampleAt;
    health->sampleReporter = looked.reporter;
    // The driver's count of tagged events includes those it lost; the board's own is the
    // fallback where the driver gives none.
    if (looked.driverCountersKnown) {
        health->eventsTagged = looked.driverTagged;
        health->eventDropsKnown = true;
        health->eventsFifoOverflows = looked.fifoOverflows;
        health->eventsRingDrops = looked.ringDrops;
    }
}

vornsim::BoardModel* HealthBook::modelOf(uint32_t board, vornsim::SimMachine& machine) const {
    return board < m_cardOfDevice.size() ? machine.board(m_cardOfDevice[board]) : nullptr;
}

bool HealthBook::snapshot(uint32_t board, vornsim::SimMachine& machine, const ntemu::Clock& clock,
                          BoardHealth* health) {
    vornsim::BoardModel* model = modelOf(board, machine);
    if (!model || !health)
        return false;
    *health = {};
    {
        // The board and the time are read under the lock, so that two looks at once record
        // its changes in the order they read them.
        std::lock_guard guard(m_lock);
        const int64_t now = clock.systemTime();
        health->takenAt = now;
        health->synchronized = model->inSync();
        health->referencePresent = model->referencePresent();
        health->freewheel = model->syncMode() == vornsim::SyncMode::Freewheel;
        health->eventsTagged = model->counters().eventsTagged;
        Looked& looked = m_boards[board];
        if (!looked.everLooked || looked.synchronized != health->synchronized) {
            looked.everLooked = true;
            looked.synchronized = health->synchronized;
            looked.syncChangedAt = now;
        }
        if (health->referencePresent) {
            looked.referenceSeen = true;
            looked.referenceSeenAt = now;
        }
        copyLooked(looked, health);
    }
    const Counters& counters = m_counters[board];
    copyCounts(counters.served, health->served);
    copyCounts(counters.failed, health->failed);
    copyCounts(counters.timedOut, health->timedOut);
    health->eventsDelivered = counters.delivered.load(std::memory_order_relaxed);
    health->subscriberCountsKnown = counters.subscriberCountsKnown.load(std::memory_order_relaxed);
    health->subscriberDeliveries = counters.subscriberDeliveries.load(std::memory_order_relaxed);
    health->subscriberDrops = counters.subscriberDrops.load(std::memory_order_relaxed);
    return true;
}

} // namespace vornhost
