// What the host knows of each board's health: synchronization and its changes, the reference,
// requests by kind, waits that timed out, events, and the last sample a feed reported.
#pragma once

#include "ntddk.h"
#include "ntemu/clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vornsim {
class BoardModel;
class SimMachine;
} // namespace vornsim

namespace vornhost {

// Request kinds: the driver's function numbers 0 to 31, and one for any other code.
constexpr size_t kRequestKinds = 33;
constexpr size_t kOtherRequestKind = 32;
size_t requestKindOf(uint32_t code);
// "get_time", "wait_event", ...; "other" for kOtherRequestKind, null for a number the driver
// does not use.
const char* requestKindName(size_t kind);

// The offset and error bound of the last sample a synchronization feed took from the board.
struct SyncSample {
    int64_t offsetNanos = 0;
    int64_t errorBoundNanos = 0;
};

// Who reported a sample: the reporting process and its user, as the host knows them (the
// daemon from the connection's peer credentials), so that a false feed can be traced.
struct SampleReporter {
    int32_t pid = 0;
    uint32_t uid = 0;
};

// A board's health as one snapshot. Times are the system time, 100 ns units since 1601-01-01.
struct BoardHealth {
    bool synchronized = false;
    int64_t syncChangedAt = 0; // when `synchronized` last changed, or when the host first looked
    bool referencePresent = false;
    bool referenceSeen = false;  // the reference was present at some look since the host started
    int64_t referenceSeenAt = 0; // the last look that found it present
    int64_t takenAt = 0;         // when this snapshot was taken
    bool freewheel = false;      // the board's mode: freewheel, or synchronize when false
    std::array<uint64_t, kRequestKinds> served{}; // completed with a success status
    std::array<uint64_t, kRequestKinds> failed{};
    std::array<uint64_t, kRequestKinds> timedOut{}; // waits whose time-out passed
    uint64_t eventsTagged = 0;
    uint64_t eventsDelivered = 0; // handed to callers by the wait-for-event and next-event calls
    // Filled where the driver reports them (its event counters) and where the host fans events
    // out to subscribers; the flags say whether the numbers are known.
    bool eventDropsKnown = false;
    uint64_t eventsFifoOverflows = 0;
    uint64_t eventsRingDrops = 0;
    // Over every subscription there has been: events handed to it, and events tagged while it
    // was open that it never received (its full queue, the driver's losses, those unread when
    // it ended). Each subscription's delivered and dropped add up to what was tagged meanwhile.
    bool subscriberCountsKnown = false;
    uint64_t subscriberDeliveries = 0;
    uint64_t subscriberDrops = 0;
    bool sampleKnown = false;
    SyncSample sample;
    int64_t sampleAt = 0;
    SampleReporter sampleReporter;
};

// The host's running record of every board, fed by the requests that pass through it and by
// looks at the boards. Boards are numbered as their devices are (n of "VORNpci" + n). Any thread.
class HealthBook {
public:
    // `cardOfDevice[n]` is the machine's card index behind device n.
    explicit HealthBook(std::vector<size_t> cardOfDevice);

    void recordRequest(uint32_t board, uint32_t code, NTSTATUS status);
    // Event counts that other parts of the host learn: the driver's own event counters, as its
    // counters request gives them (the latest values replace those before), and deliveries
    // and drops of events fanned out to subscribers (added up). From then on the snapshot
    // carries them, marked known.
    void noteDriverEventCounters(uint32_t board, uint64_t tagged, uint64_t fifoOverflows,
                                 uint64_t ringDrops);
    void addSubscriberEvents(uint32_t board, uint64_t delivered, uint64_t dropped);
    // False, with nothing kept, for a board index the machine lacks.
    bool recordSample(uint32_t board, vornsim::SimMachine& machine, const SyncSample& sample,
                      const SampleReporter& reporter, int64_t now);
    // Looks at the board and returns its health; false for a board index the machine lacks.
    bool snapshot(uint32_t board, vornsim::SimMachine& machine, const ntemu::Clock& clock,
                  BoardHealth* health);
    size_t boardCount() const { return m_boards.size(); }

private:
    struct Counters {
        std::array<std::atomic<uint64_t>, kRequestKinds> served{};
        std::array<std::atomic<uint64_t>, kRequestKinds> failed{};
        std::array<std::atomic<uint64_t>, kRequestKinds> timedOut{};
        std::atomic<uint64_t> delivered{0};
        // Added for every event a subscriber takes or misses: kept apart from m_lock.
        std::atomic<bool> subscriberCountsKnown{false};
        std::atomic<uint64_t> subscriberDeliveries{0};
        std::atomic<uint64_t> subscriberDrops{0};
    };
    struct Looked { // guarded by m_lock
        bool everLooked = false;
        bool synchronized = false;
        int64_t syncChangedAt = 0;
        bool referenceSeen = false;
        int64_t referenceSeenAt = 0;
        bool sampleKnown = false;
        SyncSample sample;
        int64_t sampleAt = 0;
        SampleReporter reporter;
        bool driverCountersKnown = false;
        uint64_t driverTagged = 0;
        uint64_t fifoOverflows = 0;
        uint64_t ringDrops = 0;
    };
    void copyLooked(const Looked& looked, BoardHealth* health) const;

    vornsim::BoardModel* modelOf(uint32_t board, vornsim::SimMachine& machine) const;

    const std::vector<size_t> m_cardOfDevice;
    std::vector<Counters> m_counters;
    std::mutex m_lock;
    std::vector<Looked> m_boards;
};

} // namespace vornhost
