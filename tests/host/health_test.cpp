// The host's health record: requests counted by kind as they pass a host process, changes of
// synchronization dated when the host sees them, the driver's and the subscribers' event counts,
// boards numbered as the driver numbers devices, and the text the metrics endpoint serves.
#include "board_host.h"
#include "event_fanout.h"
#include "host_process.h"
#include "metrics_text.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vornhost {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t kShareAll = 3;

class HealthTest : public testing::Test {
protected:
    void SetUp() override { boot(vorntest::boardHost()); }
    void TearDown() override {
        m_process.reset();
        EXPECT_TRUE(m_host->unload());
    }
    void boot(std::unique_ptr<DriverHost> host) {
        m_host = std::move(host);
        ASSERT_EQ(m_host->load(), STATUS_SUCCESS);
        m_process = std::make_unique<HostProcess>(*m_host, "test", 8);
    }
    uint64_t open(const char16_t* name = u"\\\\.\\VORNpci0") {
        uint64_t handle = 0;
        EXPECT_EQ(m_process->open(name, kShareAll, &handle), STATUS_SUCCESS);
        return handle;
    }
    BoardHealth health(uint32_t board = 0) {
        BoardHealth h;
        EXPECT_TRUE(m_host->boardHealth(board, &h));
        return h;
    }
    // The record as kept, without asking the driver.
    BoardHealth recorded() {
        BoardHealth h;
        EXPECT_TRUE(m_host->health().snapshot(0, m_host->machine(), m_host->clock(), &h));
        return h;
    }
    // Looks until `settled` holds; the driver numbers and fans out events on threads of its own.
    template <typename Settled> BoardHealth healthOnceSettled(Settled settled) {
        const auto deadline = std::chrono::steady_clock::now() + 10s; // a safety net only
        BoardHealth h = health();
        while (!settled(h) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
            h = health();
        }
        return h;
    }
    // A heartbeat wait of 5 ms that the virtual clock runs out.
    NTSTATUS timedOutWait(uint64_t handle) {
        NTSTATUS status = STATUS_PENDING;
        std::thread waiter([&] {
            uint32_t timeoutMs = 5;
            status = m_process
                         ->deviceIoControl(1, handle, vornpci::IOCTL_VORNPCI_WAIT_HEART, &timeoutMs,
                                           4, nullptr, 0)
                         .status;
        });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        // Pending in the driver: its timer is set, so the clock's advance reaches it.
        while (m_process->pendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        m_host->virtualClock()->advance(10 * ntemu::kMillisecond);
        waiter.join();
        return status;
    }

    std::unique_ptr<DriverHost> m_host;
    std::unique_ptr<HostProcess> m_process;
};

TEST_F(HealthTest, RequestsAreCountedByKindWithTimedOutWaitsApart) {
    const uint64_t handle = open();
    vornpci::OpenReply reply{};
    EXPECT_EQ(m_process
                  ->deviceIoControl(0, handle, vornpci::IOCTL_VORNPCI_OPEN, &reply, sizeof reply,
                                    &reply, sizeof reply)
                  .status,
              STATUS_SUCCESS);
    const uint32_t unknownCode = vornpci::requestCode(0x1F);
    EXPECT_FALSE(NT_SUCCESS(
        m_process->deviceIoControl(0, handle, unknownCode, nullptr, 0, nullptr, 0).status));
    EXPECT_EQ(timedOutWait(handle), STATUS_DEVICE_NOT_READY);

    const BoardHealth h = health();
    EXPECT_EQ(h.served[requestKindOf(vornpci::IOCTL_VORNPCI_OPEN)], 1u);
    EXPECT_EQ(h.failed[kOtherRequestKind], 1u);
    const size_t waitHeart = requestKindOf(vornpci::IOCTL_VORNPCI_WAIT_HEART);
    EXPECT_STREQ(requestKindName(waitHeart), "wait_heart");
    EXPECT_EQ(h.failed[waitHeart], 1u);
    EXPECT_EQ(h.timedOut[waitHeart], 1u);
    EXPECT_EQ(m_process->close(handle), STATUS_SUCCESS);
}

TEST_F(HealthTest, SynchronizationChangesAndTheReferenceAreDatedWhenSeen) {
    const int64_t start = m_host->clock().systemTime();
    EXPECT_FALSE(health().synchronized);
    EXPECT_FALSE(health().referenceSeen);
    m_host->virtualClock()->advance(5 * ntemu::kSecond);
    m_host->board(0)->setReferencePresent(true);
    BoardHealth h = health();
    EXPECT_TRUE(h.synchronized);
    EXPECT_EQ(h.syncChangedAt, start + 5 * ntemu::kSecond);
    m_host->virtualClock()->advance(3 * ntemu::kSecond);
    m_host->board(0)->setReferencePresent(false);
    m_host->virtualClock()->advance(2 * ntemu::kSecond);
    h = health();
    EXPECT_FALSE(h.synchronized);
    EXPECT_EQ(h.syncChangedAt, start + 10 * ntemu::kSecond);
    ASSERT_TRUE(h.referenceSeen);
    EXPECT_EQ(h.takenAt - h.referenceSeenAt, 5 * ntemu::kSecond);
    EXPECT_EQ(m_host->recordSyncSample(0, {-7, -1}, {}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_host->recordSyncSample(1, {-7, 3}, {}), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m_host->recordSyncSample(0, {-7, 3}, {41, 42}), STATUS_SUCCESS);
    EXPECT_EQ(health().sample.offsetNanos, -7);
    EXPECT_EQ(health().sampleReporter.uid, 42u);
}

TEST_F(HealthTest, DriverAndSubscriberEventCountsAreKeptOnceGiven) {
    m_host->board(0)->strobeEvents(3);
    BoardHealth h = recorded();
    EXPECT_EQ(h.eventsTagged, 3u) << "the board's own count while the driver gives none";
    EXPECT_FALSE(h.eventDropsKnown || h.subscriberCountsKnown);
    m_host->health().noteDriverEventCounters(0, 9, 2, 1);
    m_host->health().noteDriverEventCounters(0, 10, 2, 1);
    m_host->health().addSubscriberEvents(0, 5, 1);
    m_host->health().addSubscriberEvents(0, 5, 1);
    h = recorded();
    EXPECT_TRUE(h.eventDropsKnown && h.subscriberCountsKnown);
    EXPECT_EQ(h.eventsTagged, 10u);
    EXPECT_EQ(h.eventsFifoOverflows + h.eventsRingDrops, 3u);
    EXPECT_EQ(h.subscriberDeliveries, 10u);
    EXPECT_EQ(h.subscriberDrops, 2u);
}

// Each look asks the driver on a handle of the host's own, which no request count shows.
TEST_F(HealthTest, DriverCountersAreReadAtEachLookWithNoSubscriber) {
    m_host->board(0)->strobeEvents(3);
    const BoardHealth h = healthOnceSettled(
        [](const BoardHealth& h) { return h.eventDropsKnown && h.eventsTagged == 3; });
    EXPECT_TRUE(h.eventDropsKnown);
    EXPECT_EQ(h.eventsTagged, 3u);
    EXPECT_EQ(h.eventsFifoOverflows + h.eventsRingDrops, 0u);
    EXPECT_FALSE(h.subscriberCountsKnown);
    EXPECT_EQ(h.served[requestKindOf(vornpci::IOCTL_VORNPCI_GET_EVENT_COUNTERS)], 0u);
}

// A slow subscriber's queue of four: what it took and what it lost (its full queue, then the
// events still queued when it left) add up to the events tagged, and the pump's own reads count
// as no program's delivery.
TEST_F(HealthTest, SubscriberDeliveredAndDroppedAddUpToTheEventsTagged) {
    m_process.reset();
    ASSERT_TRUE(m_host->unload());
    m_host.reset();
    vornhost::HostOptions options = vorntest::boardHostOptions();
    options.eventQueueCapacity = 4;
    boot(std::make_unique<DriverHost>(vorntest::oneBoard(), options));
    EventSubscriptions client(m_host->events());
    uint32_t subscription = 0;
    ASSERT_EQ(client.subscribe(u"\\\\.\\VORNpci0", &subscription), STATUS_SUCCESS);
    constexpr uint64_t kTagged = 10;
    m_host->board(0)->strobeEvents(kTagged);
    BoardHealth h =
        healthOnceSettled([](const BoardHealth& h) { return h.subscriberDrops == kTagged - 4; });
    ASSERT_EQ(h.subscriberDrops, kTagged - 4);
    HostEvent event;
    for (int taken = 0; taken < 3; ++taken)
        ASSERT_EQ(client.next(subscription, 0, &event), STATUS_SUCCESS);
    ASSERT_EQ(client.unsubscribe(subscription), STATUS_SUCCESS);

    h = health();
    EXPECT_EQ(h.eventsTagged, kTagged);
    EXPECT_EQ(h.subscriberDeliveries, 3u);
    EXPECT_EQ(h.subscriberDeliveries + h.subscriberDrops, h.eventsTagged);
    EXPECT_EQ(h.eventsDelivered, 0u);
    EXPECT_EQ(h.failed[requestKindOf(vornpci::IOCTL_VORNPCI_NEXT_EVENT)], 0u);
}

// An open without sharing never fails for a look of the host's own at the board, and while
// the board is held that way a look still answers.
TEST_F(HealthTest, OpensWithoutSharingNeverMeetTheHostsLook) {
    std::atomic<bool> done{false};
    std::thread looker([&] {
        while (!done)
            health();
    });
    for (int attempt = 0; attempt < 200; ++attempt) {
        uint64_t handle = 0;
        ASSERT_EQ(m_process->open(u"\\\\.\\VORNpci0", 0, &handle), STATUS_SUCCESS)
            << "attempt " << attempt;
        ASSERT_EQ(m_process->close(handle), STATUS_SUCCESS);
    }
    uint64_t held = 0;
    ASSERT_EQ(m_process->open(u"\\\\.\\VORNpci0", 0, &held), STATUS_SUCCESS);
    done = true;
    looker.join();
    EXPECT_TRUE(health().eventDropsKnown);
    EXPECT_EQ(m_process->close(held), STATUS_SUCCESS);
}

// The driver numbers devices bus by bus and slot by slot, whatever order the machine lists them.
TEST_F(HealthTest, BoardsAreNumberedAsTheDriverNumbersDevices) {
    m_process.reset();
    ASSERT_TRUE(m_host->unload());
    m_host.reset(); // one kernel layer at a time
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(0x9070, 0, 9, 11));
    machine.cards.push_back(vornsim::CardDescription::board(0x7000, 0, 3, 10));
    boot(std::make_unique<DriverHost>(machine));
    m_host->board(1)->setReferencePresent(true);
    vornpci::OpenReply reply{};
    const uint64_t handle = open();
    ASSERT_EQ(m_process
                  ->deviceIoControl(0, handle, vornpci::IOCTL_VORNPCI_OPEN, &reply, sizeof reply,
                                    &reply, sizeof reply)
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(reply.slotNumber, 3);
    EXPECT_TRUE(health(0).synchronized);
    EXPECT_FALSE(health(1).synchronized);
    EXPECT_EQ(health(0).served[requestKindOf(vornpci::IOCTL_VORNPCI_OPEN)], 1u);
    BoardHealth none;
    EXPECT_FALSE(m_host->boardHealth(2, &none));
    EXPECT_EQ(m_process->close(handle), STATUS_SUCCESS);
}

TEST(HealthMetricsTextTest, SecondsKeepEveryDigitAndTheSign) {
    EXPECT_EQ(secondsText(-1'250, 1'000'000'000), "-0.000001250");
    EXPECT_EQ(secondsText(120'000'001, 10'000'000), "12.0000001");
    EXPECT_EQ(secondsText(INT64_MIN, 1'000'000'000), "-9223372036.854775808");
    EXPECT_EQ(escapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

} // namespace
} // namespace vornhost
