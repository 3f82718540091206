// The event fan-out over a fake event source: every subscriber gets every event in order, a
// full queue's drops are counted exactly, pumps start and stop with their subscribers, and a
// subscriber's time-out runs on the host's clock.
#include "board_host.h"
#include "connection.h"
#include "event_fanout.h"
#include "event_year.h"
#include "ntemu/clock.h"
#include "socket_io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace vornhost {
namespace {

// Hands out the events a test adds, by sequence number, as the driver does.
class FakeSource final : public EventSource {
public:
    struct Shared {
        std::mutex lock;
        std::condition_variable added;
        std::map<uint64_t, vornpci::SequencedEventRecord> events;
        uint64_t tagged = 0;
        bool shutDown = false;
        int sources = 0;
    };
    explicit FakeSource(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {
        std::lock_guard guard(m_shared->lock);
        ++m_shared->sources;
        m_shared->shutDown = false;
    }

    NTSTATUS lastSequence(uint64_t* sequence) override {
        std::lock_guard guard(m_shared->lock);
        *sequence = m_shared->tagged;
        return STATUS_SUCCESS;
    }
    NTSTATUS next(uint64_t after, uint32_t, vornpci::SequencedEventRecord* event) override {
        std::unique_lock lock(m_shared->lock);
        m_shared->added.wait(lock, [&] {
            return m_shared->shutDown ||
                   m_shared->events.upper_bound(after) != m_shared->events.end();
        });
        if (m_shared->shutDown)
            return STATUS_CANCELLED;
        *event = m_shared->events.upper_bound(after)->second;
        return STATUS_SUCCESS;
    }
    NTSTATUS stampedTime(vornpci::StampedTimeObj* stamped) override {
        stamped->year = 2026;
        stamped->dayOfYear = 365;
        return STATUS_SUCCESS;
    }
    void shutdown() override {
        std::lock_guard guard(m_shared->lock);
        m_shared->shutDown = true;
        m_shared->added.notify_all();
    }

private:
    std::shared_ptr<Shared> m_shared;
};

class EventFanoutTest : public ::testing::Test {
protected:
    static constexpr size_t kCapacity = 8;

    // Tags an event on day 365 with seconds = its number; `lostBefore` are skipped first.
    void tag(uint64_t lostBefore = 0, uint16_t day = 365) {
        std::lock_guard guard(m_shared->lock);
        m_shared->tagged += lostBefore + 1;
        vornpci::SequencedEventRecord record{};
        record.sequence = m_shared->tagged;
        record.dayOfYear = day;
        record.hours = 23;
        record.microsInMinute = uint32_t(record.sequence * 1'000'000);
        m_shared->events[record.sequence] = record;
        m_shared->added.notify_all();
    }

    HostEvent take(EventSubscriptions& client, uint32_t subscription) {
        HostEvent event;
        EXPECT_EQ(client.next(subscription, 0, &event), STATUS_SUCCESS);
        return event;
    }

    // Waits for the subscriber's next event, the host's clock moving a millisecond at a time
    // (a minute of it at most), so the pump's delivery is settled before a test looks.
    HostEvent await(EventSubscriptions& client, uint32_t subscription) {
        HostEvent event;
        for (int attempt = 0; attempt < 60'000; ++attempt) {
            auto waiting = std::async(std::launch::async,
                                      [&] { return client.next(subscription, 1, &event); });
            while (waiting.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                m_clock.advance(ntemu::kMillisecond);
            const NTSTATUS status = waiting.get();
            if (status != STATUS_DEVICE_NOT_READY) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                return event;
            }
        }
        ADD_FAILURE() << "no event within a minute of the host's clock";
        return {};
    }

    ntemu::VirtualClock m_clock{0};
    std::shared_ptr<FakeSource::Shared> m_shared = std::make_shared<FakeSource::Shared>();
    // What every subscriber's tally heard, over all of them.
    std::atomic<uint64_t> m_delivered{0}, m_dropped{0};
    EventFanout m_fanout{m_clock,
                         [this](std::u16string_view, std::unique_ptr<EventSource>* source) {
                             *source = std::make_unique<FakeSource>(m_shared);
                             return STATUS_SUCCESS;
                         },
                         kCapacity,
                         [this](std::u16string_view) -> EventTally {
                             return [this](uint64_t delivered, uint64_t dropped) {
                                 m_delivered += delivered;
                                 m_dropped += dropped;
                             };
                         }};
};

TEST_F(EventFanoutTest, TwoSubscribersGetEveryLaterEventInOrderWithItsYear) {
    tag();
    tag(); // before anyone subscribed: not delivered
    EventSubscriptions first(m_fanout), second(m_fanout);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(first.subscribe(u"\\\\.\\VORNpci0", &a), STATUS_SUCCESS);
    ASSERT_EQ(second.subscribe(u"\\\\.\\vornpci0", &b), STATUS_SUCCESS);
    EXPECT_EQ(m_fanout.pumpCount(), 1u);
    tag();
    tag();
    tag(0, 1); // the next day is in the next year
    for (EventSubscriptions* client : {&first, &second}) {
        const uint32_t subscription = client == &first ? a : b;
        for (uint64_t sequence = 3; sequence <= 5; ++sequence) {
            HostEvent event = await(*client, subscription);
            EXPECT_EQ(event.sequence, sequence);
            EXPECT_EQ(event.droppedBefore, 0u);
            EXPECT_EQ(event.year, sequence == 5 ? 2027 : 2026);
            EXPECT_EQ(event.microsOfDay, 23 * 3'600'000'000ULL + sequence * 1'000'000);
        }
    }
}

TEST_F(EventFanoutTest, FullQueueCountsItsDropsAndTheDriversGapExactly) {
    EventSubscriptions fast(m_fanout), slow(m_fanout);
    uint32_t f = 0, s = 0;
    // The slow one first: each event reaches it before the fast one sees it.
    ASSERT_EQ(slow.subscribe(u"VORNpci0", &s), STATUS_SUCCESS);
    ASSERT_EQ(fast.subscribe(u"VORNpci0", &f), STATUS_SUCCESS);
    constexpr uint64_t kBurst = 20;
    for (uint64_t sequence = 1; sequence <= kBurst; ++sequence) {
        tag();
        EXPECT_EQ(await(fast, f).sequence, sequence);
    }
    tag(4); // the driver lost four before this one
    HostEvent gap = await(fast, f);
    EXPECT_EQ(gap.sequence, kBurst + 5);
    EXPECT_EQ(gap.droppedBefore, 4u);

    // The slow one holds the first eight; the rest, and the event after the gap, were dropped.
    uint64_t delivered = 0, counted = 0;
    for (HostEvent event{}; slow.next(s, 0, &event) == STATUS_SUCCESS; ++delivered) {
        EXPECT_EQ(event.sequence, delivered + 1);
        counted += event.droppedBefore;
    }
    EXPECT_EQ(delivered, kCapacity);
    EXPECT_EQ(counted, 0u);
    tag();
    const HostEvent last = await(fast, f);
    const HostEvent next = await(slow, s);
    EXPECT_EQ(next.sequence, last.sequence);
    EXPECT_EQ(next.droppedBefore, (kBurst - kCapacity) + 4 + 1);
    EXPECT_EQ(delivered + 1 + next.droppedBefore, last.sequence);
    // Each subscriber's tally, the driver's gap included, adds up to every event tagged.
    EXPECT_EQ(m_delivered, (kBurst + 2) + (delivered + 1));
    EXPECT_EQ(m_delivered + m_dropped, 2 * last.sequence);
}

TEST_F(EventFanoutTest, PumpStopsWithItsLastSubscriberAndEndsAWaitUnderWay) {
    std::shared_ptr<EventSubscriber> first, second;
    ASSERT_EQ(m_fanout.subscribe(u"VORNpci0", &first), STATUS_SUCCESS);
    ASSERT_EQ(m_fanout.subscribe(u"VORNpci0", &second), STATUS_SUCCESS);
    HostEvent event;
    auto waiting = std::async(std::launch::async, [&] { return first->next(60'000, &event); });
    while (first->waiterCount() == 0)
        std::this_thread::yield();
    m_fanout.unsubscribe(first);
    EXPECT_EQ(waiting.get(), STATUS_CANCELLED);
    EXPECT_EQ(m_fanout.pumpCount(), 1u);
    m_fanout.unsubscribe(second);
    EXPECT_EQ(m_fanout.pumpCount(), 0u);
    EXPECT_TRUE(m_shared->shutDown);

    // A later subscriber starts a fresh pump that reads on from the events tagged by then.
    tag();
    EventSubscriptions client(m_fanout);
    uint32_t again = 0;
    ASSERT_EQ(client.subscribe(u"VORNpci0", &again), STATUS_SUCCESS);
    tag();
    EXPECT_EQ(await(client, again).sequence, 2u);
    EXPECT_EQ(m_shared->sources, 2);
}

TEST_F(EventFanoutTest, NextTimesOutOnTheHostClockAndSubscriptionsAreTheClientsOwn) {
    EventSubscriptions owner(m_fanout), other(m_fanout);
    uint32_t subscription = 0;
    ASSERT_EQ(owner.subscribe(u"VORNpci0", &subscription), STATUS_SUCCESS);
    HostEvent event;
    EXPECT_EQ(other.next(subscription, 0, &event), STATUS_INVALID_HANDLE);
    EXPECT_EQ(other.unsubscribe(subscription), STATUS_INVALID_HANDLE);

    const ntemu::Ticks100ns start = m_clock.now();
    auto waiting =
        std::async(std::launch::async, [&] { return owner.next(subscription, 50, &event); });
    while (waiting.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        m_clock.advance(ntemu::kMillisecond);
    EXPECT_EQ(waiting.get(), STATUS_DEVICE_NOT_READY);
    EXPECT_GE(m_clock.now() - start, 50 * ntemu::kMillisecond);
}

TEST(EventFanoutYearTest, DayNextToTheKnownOneAcrossTheYearsEnd) {
    EXPECT_EQ(yearOfEventDay(2024, 366, 366), 2024);
    EXPECT_EQ(yearOfEventDay(2024, 366, 1), 2025); // leap year's last day, then the turn
    EXPECT_EQ(yearOfEventDay(2025, 365, 1), 2026);
    EXPECT_EQ(yearOfEventDay(2025, 1, 366), 2024); // tagged before the turn, read after
    EXPECT_EQ(yearOfEventDay(2026, 1, 365), 2025);
    EXPECT_EQ(yearOfEventDay(2025, 365, 366), 0); // no day 366 in 2025
    EXPECT_EQ(yearOfEventDay(2025, 100, 200), 0); // the board's time jumped
    EXPECT_EQ(yearOfEventDay(9999, 365, 1), 0);
}

// The sends a waiting taker's event goes out by, as the daemon's early replies do; while
// `accept` is false none can go out.
struct EarlySends {
    std::mutex lock;
    std::vector<HostEvent> sent;
    bool accept = true;
    static bool run(void* context, const HostEvent& event) {
        auto* self = static_cast<EarlySends*>(context);
        std::lock_guard guard(self->lock);
        if (self->accept)
            self->sent.push_back(event);
        return self->accept;
    }
};

TEST_F(EventFanoutTest, WaitingTakersEventLeavesFromThePushOrStaysWithTheTaker) {
    std::shared_ptr<EventSubscriber> subscriber;
    ASSERT_EQ(m_fanout.subscribe(u"VORNpci0", &subscriber), STATUS_SUCCESS);
    EarlySends sends;
    for (const bool accept : {true, false}) {
        {
            std::lock_guard guard(sends.lock);
            sends.accept = accept;
        }
        HostEvent event;
        bool sentEarly = false;
        auto waiting = std::async(std::launch::async, [&] {
            return subscriber->next(60'000, &event, {&EarlySends::run, &sends}, &sentEarly);
        });
        while (subscriber->waiterCount() == 0)
            std::this_thread::yield();
        tag(2);
        ASSERT_EQ(waiting.get(), STATUS_SUCCESS);
        EXPECT_EQ(sentEarly, accept);
        const HostEvent got = accept ? sends.sent.back() : event;
        EXPECT_EQ(got.sequence, m_shared->tagged);
        EXPECT_EQ(got.droppedBefore, 2u) << "the driver's gap goes with the event";
        EXPECT_EQ(subscriber->next(0, &event), STATUS_DEVICE_NOT_READY) << "nothing left queued";
    }
    EXPECT_EQ(sends.sent.size(), 1u);
    m_fanout.unsubscribe(subscriber);
}

// A daemon connection over a socket pair, for the next-event requests as a client sends them.
class EventFanoutConnectionTest : public testing::Test, public ServerView {
protected:
    static constexpr int kWaitMs = 10'000; // a safety net only

    void SetUp() override {
        m_host = vorntest::boardHost();
        ASSERT_EQ(m_host->load(), STATUS_SUCCESS);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_client = fds[1];
        m_connection = std::make_unique<Connection>(
            fds[0], 1, PeerCredentials{::getpid(), ::getuid(), ::getgid()}, *m_host, *this,
            std::function<void()>{});
        m_connection->start();
        ASSERT_EQ(ask(wire::MessageType::Hello, 1, wire::encode(wire::HelloRequest{1})).status,
                  ReadStatus::Ok);
    }
    void TearDown() override {
        ::close(m_client);
        m_connection.reset();
        EXPECT_TRUE(m_host->unload());
    }
    size_t connectionCount() const override { return 1; }

    void send(wire::MessageType type, uint32_t threadId, const std::vector<uint8_t>& payload) {
        EXPECT_TRUE(writeAll(m_client, wire::frame(uint16_t(type), ++m_lastId, threadId, payload)));
    }
    ReadFrame ask(wire::MessageType type, uint32_t threadId, const std::vector<uint8_t>& payload) {
        send(type, threadId, payload);
        return readFrame(m_client, kWaitMs, kWaitMs);
    }
    uint32_t subscribe() {
        ReadFrame reply = ask(wire::MessageType::Subscribe, 1,
                              wire::encode(wire::SubscribeRequest{u"\\\\.\\VORNpci0"}));
        return uint32_t(wire::decodeHandleReply(reply.payload).value_or(0));
    }
    std::optional<HostEvent> next(uint32_t threadId, uint32_t subscription) {
        ReadFrame reply = ask(wire::MessageType::NextEvent, threadId,
                              wire::encode(wire::NextEventRequest{subscription, 60'000}));
        auto events = wire::decodeEventsReply(reply.payload);
        if (!events || events->size() != 1)
            return std::nullopt;
        return events->front();
    }

    std::unique_ptr<DriverHost> m_host;
    std::unique_ptr<Connection> m_connection;
    int m_client = -1;
    uint32_t m_lastId = 1;
};

// A take that finds its event queued is answered by the connection's reader: it needs no
// request thread, so it is served even while every request thread the connection may have is
// busy with a wait.
TEST_F(EventFanoutConnectionTest, QueuedEventIsAnsweredWhileEveryRequestThreadWaits) {
    const uint32_t queued = subscribe(), empty = subscribe(); // each event reaches `queued` first
    ASSERT_NE(queued, 0u);
    ASSERT_NE(empty, 0u);
    SimCommand strobe;
    strobe.action = SimAction::StrobeEvent;
    ASSERT_EQ(ask(wire::MessageType::Simulate, 1, wire::encode(strobe)).status, ReadStatus::Ok);
    const std::optional<HostEvent> first = next(1, empty); // the event has reached both queues
    ASSERT_TRUE(first.has_value());
    for (uint32_t thread = 100; thread < 100 + kMaxClientThreads; ++thread)
        send(wire::MessageType::NextEvent, thread,
             wire::encode(wire::NextEventRequest{empty, 60'000}));
    const std::optional<HostEvent> taken = next(100 + kMaxClientThreads, queued);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->sequence, first->sequence);
}

// A take hands out every event queued up to the room it has, oldest first, each with its own
// gap, and the tally hears of each one delivered.
TEST_F(EventFanoutTest, TakeHandsOutTheQueuedEventsUpToItsRoom) {
    EventSubscriptions batched(m_fanout), witness(m_fanout);
    uint32_t b = 0, w = 0;
    ASSERT_EQ(batched.subscribe(u"VORNpci0", &b), STATUS_SUCCESS);
    ASSERT_EQ(witness.subscribe(u"VORNpci0", &w), STATUS_SUCCESS); // each event reaches it last
    tag();
    tag(2);
    tag();
    for (uint64_t sequence : {1, 4, 5})
        ASSERT_EQ(await(witness, w).sequence, sequence);
    HostEvent room[4];
    size_t taken = 0;
    ASSERT_EQ(batched.take(b, 0, std::span(room, 2), &taken), STATUS_SUCCESS);
    ASSERT_EQ(taken, 2u);
    EXPECT_EQ(room[0].sequence, 1u);
    EXPECT_EQ(room[1].sequence, 4u);
    EXPECT_EQ(room[1].droppedBefore, 2u);
    ASSERT_EQ(batched.take(b, 0, std::span(room), &taken), STATUS_SUCCESS);
    ASSERT_EQ(taken, 1u);
    EXPECT_EQ(room[0].sequence, 5u);
    EXPECT_EQ(batched.take(b, 0, std::span(room), &taken), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(m_delivered, 3u + 3u);
}
} // namespace
} // namespace vornhost
