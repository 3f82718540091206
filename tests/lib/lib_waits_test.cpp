// The library's three waits, the event FIFO and calls from several threads, over each rig.
#include "boards.h"
#include "lib_fixture.h"

#include <future>

namespace libtest {
namespace {

class LibWaitsTest : public LibTest {
protected:
    // A wait's time-out: long enough under virtual time never to pass by itself, short on the
    // real clock so that a test expecting the interrupt still ends.
    uint32_t longWait() const { return virtualTime() ? 60'000 : 5'000; }
};

TEST_P(LibWaitsTest, HeartbeatWaitEndsOnTheInterrupt) {
    HeartObj heart{1, 0xE5, 0, {}, 100.0};
    ASSERT_EQ(VORN_setHeartbeat(m_handle, &heart), VORN_OK);
    uint32_t timeout = longWait();
    EXPECT_EQ(blockingCall([&] { return VORN_waitHeartbeat(m_handle, &timeout); }, 20 * kMilli),
              VORN_OK);
    EXPECT_GE(board().heartbeats, 1u);
}

TEST_P(LibWaitsTest, WaitsTimeOutWithThirteen) {
    uint32_t timeout = 20;
    EXPECT_EQ(blockingCall([&] { return VORN_waitHeartbeat(m_handle, &timeout); }, 21 * kMilli),
              VORN_WAIT_TIMEOUT);
    EXPECT_EQ(blockingCall([&] { return VORN_waitMatch(m_handle, &timeout); }, 21 * kMilli),
              VORN_WAIT_TIMEOUT);
    EventObj event{20, {}, -1.0, 0, 0, 0, {}};
    EXPECT_EQ(blockingCall([&] { return VORN_waitEvent(m_handle, &event); }, 21 * kMilli),
              VORN_WAIT_TIMEOUT);
    EXPECT_EQ(event.seconds, -1.0) << "a timed-out event wait leaves the record";
    EXPECT_EQ(event.timeoutMs, 20u);
}

TEST_P(LibWaitsTest, MatchWaitEndsWhenTheBoardReachesTheTime) {
    TimeObj now{};
    ASSERT_EQ(VORN_getTime(m_handle, &now), VORN_OK);
    // Two whole seconds ahead, carried into the minutes and hours.
    const unsigned secondOfDay = (now.hours * 60u + now.minutes) * 60u + now.wholeSeconds + 2;
    if (secondOfDay >= 24 * 3600)
        GTEST_SKIP() << "the match would fall on the next day";
    MatchObj match{0,
                   {},
                   static_cast<double>(secondOfDay % 60),
                   static_cast<uint8_t>(secondOfDay / 60 % 60),
                   static_cast<uint8_t>(secondOfDay / 3600),
                   now.dayOfYear,
                   {}};
    ASSERT_EQ(VORN_setMatchTime(m_handle, &match), VORN_OK);
    uint32_t timeout = longWait();
    EXPECT_EQ(blockingCall([&] { return VORN_waitMatch(m_handle, &timeout); }, 3 * kSecond),
              VORN_OK);
    EXPECT_EQ(board().matches, 1u);
}

TEST_P(LibWaitsTest, ASecondWaitOfOneKindCannotStart) {
    std::future<uint8_t> first = std::async(std::launch::async, [&] {
        uint32_t timeout = longWait();
        return VORN_waitHeartbeat(m_handle, &timeout);
    });
    // The first wait is parked in the driver before the second is sent, on either clock.
    ASSERT_TRUE(rig().waitForPending(1));
    uint32_t timeout = 10;
    EXPECT_EQ(VORN_waitHeartbeat(m_handle, &timeout), VORN_WAIT_NOT_STARTED);
    advance(61 * kSecond);
    EXPECT_EQ(first.get(), VORN_WAIT_TIMEOUT) << "the refused wait left the first one alone";
}

TEST_P(LibWaitsTest, WaitsOnABadHandleOrPointerCannotStart) {
    uint32_t timeout = 0;
    EventObj event{};
    BoardRecord forged{vornlib::kRecordTag, 0x9070, 3, 0};
    EXPECT_EQ(VORN_waitHeartbeat(nullptr, &timeout), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_waitMatch(&forged, &timeout), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_waitEvent(&forged, &event), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_waitHeartbeat(m_handle, nullptr), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_waitEvent(m_handle, nullptr), VORN_WAIT_NOT_STARTED);
}

TEST_P(LibWaitsTest, SimulatedEventComesBackWithItsTime) {
    const vornhost::BoardState before = board();
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    EventObj event{longWait(), {}, -1.0, 0, 0, 0, {}};
    ASSERT_EQ(VORN_waitEvent(m_handle, &event), VORN_OK);
    EXPECT_EQ(event.timeoutMs, longWait());
    EXPECT_EQ(board().eventsTagged, before.eventsTagged + 1);
    if (virtualTime()) {
        EXPECT_EQ(event.dayOfYear, 61);
        EXPECT_EQ(event.hours, 12);
        EXPECT_EQ(event.minutes, 0);
        EXPECT_DOUBLE_EQ(event.seconds, before.microsInMinute / 1e6);
    } else {
        EXPECT_GE(event.seconds, 0.0);
        EXPECT_LT(event.seconds, 60.0);
    }
}

TEST_P(LibWaitsTest, EventTimeCarriesTheMicroseconds) {
    if (!virtualTime())
        GTEST_SKIP() << "needs the board time to stand still";
    advance(7 * kSecond + 654'321 * 10);
    vornhost::SimCommand strobe;
    strobe.action = vornhost::SimAction::StrobeEvent;
    simulate(strobe);
    // The interrupt hands the tag over without the clock moving: at once from the driver's ring,
    // or to the parked wait.
    EventObj event{0, {}, 0, 0, 0, 0, {}};
    ASSERT_EQ(VORN_waitEvent(m_handle, &event), VORN_OK);
    EXPECT_DOUBLE_EQ(event.seconds, 7.654321);
}

TEST_P(LibWaitsTest, FlushDropsQueuedEvents) {
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    ASSERT_EQ(VORN_simEvent(m_handle), VORN_OK);
    ASSERT_EQ(VORN_flushFIFO(m_handle), VORN_OK);
    EventObj event{20, {}, -1.0, 0, 0, 0, {}};
    EXPECT_EQ(blockingCall([&] { return VORN_waitEvent(m_handle, &event); }, 21 * kMilli),
              VORN_WAIT_TIMEOUT);
}

TEST_P(LibWaitsTest, ABlockedWaitHoldsUpNoOtherThread) {
    std::future<uint8_t> waiter = std::async(std::launch::async, [&] {
        EventObj event{longWait(), {}, 0, 0, 0, 0, {}};
        return VORN_waitEvent(m_handle, &event);
    });
    ASSERT_TRUE(rig().waitForPending(1));
    for (int i = 0; i < 5; ++i) {
        TimeObj time{};
        EXPECT_EQ(VORN_getTime(m_handle, &time), VORN_OK);
        DateObj date{};
        EXPECT_EQ(VORN_getDate(m_handle, &date), VORN_OK);
    }
    EXPECT_TRUE(rig().waitForPending(1)) << "the wait is still parked";
    EXPECT_EQ(VORN_simEvent(m_handle), VORN_OK);
    EXPECT_EQ(waiter.get(), VORN_OK);
}

TEST_P(LibWaitsTest, ClosingTheBoardEndsAWaitInAnotherThread) {
    const BoardHandle handle = m_handle;
    std::future<uint8_t> waiter = std::async(std::launch::async, [this, handle] {
        uint32_t timeout = longWait();
        return VORN_waitMatch(handle, &timeout);
    });
    ASSERT_TRUE(rig().waitForPending(1));
    ASSERT_EQ(VORN_close(handle), VORN_OK);
    m_handle = nullptr;
    EXPECT_EQ(waiter.get(), VORN_WAIT_NOT_STARTED) << "the parked wait is cancelled";
    TimeObj time{};
    EXPECT_EQ(VORN_getTime(handle, &time), VORN_ERR_HANDLE);
}

// A daemon that goes away fails the calls of its clients instead of hanging them.
TEST(LibWaitsDaemonLossTest, CallsFailWithTheHostResultWhenTheDaemonEnds) {
    ASSERT_TRUE(vornlib::testing::resetChannel());
    vorntest::DaemonRig rig;
    ASSERT_TRUE(rig.start(oneBoard()));
    BoardHandle handle = nullptr;
    ASSERT_EQ(VORN_open(&handle, "VORNpci0"), VORN_OK);
    std::future<uint8_t> waiter = std::async(std::launch::async, [handle] {
        uint32_t timeout = 10'000;
        return VORN_waitMatch(handle, &timeout);
    });
    EXPECT_TRUE(rig.end());
    EXPECT_EQ(waiter.get(), VORN_WAIT_NOT_STARTED);
    TimeObj time{};
    EXPECT_EQ(VORN_getTime(handle, &time), VORN_ERR_HOST);
    BoardHandle other = nullptr;
    EXPECT_EQ(VORN_open(&other, "VORNpci0"), VORN_ERR_HOST);
    EXPECT_EQ(VORN_close(handle), VORN_ERR_HOST);
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u) << "the record is freed all the same";
    EXPECT_TRUE(vornlib::testing::resetChannel());
}

// Event subscriptions beside VORN_waitEvent: every subscriber gets every event, and what one
// loses is counted to the event.
class LibWaitsEventsTest : public LibWaitsTest {
protected:
    uint32_t subscribe() {
        uint32_t subscription = 0;
        EXPECT_EQ(VORN_subscribeEvents(m_handle, &subscription), VORN_OK);
        return subscription;
    }

    // The next event, waited for as long as a test may take.
    SequencedEventObj next(uint32_t subscription) {
        SequencedEventObj event{};
        event.timeoutMs = longWait();
        EXPECT_EQ(VORN_nextEvent(m_handle, subscription, &event), VORN_OK);
        return event;
    }

    void strobe(uint32_t count) {
        vornhost::SimCommand command;
        command.action = vornhost::SimAction::StrobeEvents;
        command.count = count;
        simulate(command);
    }

    // A call that waits on the host's clock: under virtual time the clock moves on a
    // millisecond at a time until the call returns.
    uint8_t timedCall(const std::function<uint8_t()>& call) {
        std::future<uint8_t> result = std::async(std::launch::async, call);
        while (virtualTime() &&
               result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            advance(kMilli);
        return result.get();
    }
};

TEST_P(LibWaitsEventsTest, EverySubscriberAndAWaitEventCallerGetEachEvent) {
    const uint64_t before = board().eventsTagged;
    const uint32_t first = subscribe(), second = subscribe();
    ASSERT_NE(first, second);
    strobe(3);
    const vornhost::BoardState state = board();
    for (uint32_t subscription : {first, second}) {
        for (uint64_t sequence = before + 1; sequence <= before + 3; ++sequence) {
            SequencedEventObj event = next(subscription);
            EXPECT_EQ(event.sequence, sequence);
            EXPECT_EQ(event.droppedBefore, 0u);
            EXPECT_EQ(event.year, state.year);
            EXPECT_EQ(event.dayOfYear, state.dayOfYear);
            EXPECT_GT(event.received.tv_sec, 0);
        }
    }
    for (int i = 0; i < 3; ++i) {
        EventObj event{uint32_t(longWait()), {}, -1.0, 0, 0, 0, {}};
        EXPECT_EQ(VORN_waitEvent(m_handle, &event), VORN_OK) << "event " << i;
    }
}

TEST_P(LibWaitsEventsTest, DeliveredPlusCountedDropsAreEveryEventTagged) {
    const uint64_t before = board().eventsTagged;
    const uint32_t subscription = subscribe();
    // Past what the board, the driver and the subscription's queue can hold, read by no one.
    for (int burst = 0; burst < 6; ++burst)
        strobe(1000);
    // Read until the last event tagged is in; whenever none comes, one more is tagged, as the
    // drops after the last event read are counted with the next one.
    uint64_t delivered = 0, dropped = 0, last = before;
    for (int read = 0; read < 10'000 && last != board().eventsTagged; ++read) {
        SequencedEventObj event{};
        event.timeoutMs = 50;
        if (timedCall([&] { return VORN_nextEvent(m_handle, subscription, &event); }) != VORN_OK) {
            strobe(1);
            continue;
        }
        EXPECT_EQ(event.sequence, last + event.droppedBefore + 1);
        last = event.sequence;
        ++delivered;
        dropped += event.droppedBefore;
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(delivered + dropped, board().eventsTagged - before);
}

TEST_P(LibWaitsEventsTest, NextTimesOutWithThirteenAndEndsWithItsSubscription) {
    const uint32_t subscription = subscribe();
    SequencedEventObj event{};
    event.timeoutMs = 20;
    event.sequence = 77;
    EXPECT_EQ(timedCall([&] { return VORN_nextEvent(m_handle, subscription, &event); }),
              VORN_WAIT_TIMEOUT);
    EXPECT_EQ(event.sequence, 77u) << "a timed-out take leaves the record";

    event.timeoutMs = longWait();
    std::future<uint8_t> waiting = std::async(std::launch::async, [&] {
        SequencedEventObj taken = event;
        return VORN_nextEvent(m_handle, subscription, &taken);
    });
    EXPECT_EQ(VORN_unsubscribeEvents(m_handle, subscription), VORN_OK);
    EXPECT_EQ(waiting.get(), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_unsubscribeEvents(m_handle, subscription), VORN_ERR_HANDLE);
    EXPECT_EQ(VORN_subscribeEvents(m_handle, nullptr), VORN_ERR_ARGUMENT);
    EXPECT_EQ(VORN_nextEvent(m_handle, subscription, nullptr), VORN_WAIT_NOT_STARTED);
}

INSTANTIATE_TEST_SUITE_P(Rigs, LibWaitsTest, ::testing::ValuesIn(rigKinds()), rigName);
INSTANTIATE_TEST_SUITE_P(Rigs, LibWaitsEventsTest, ::testing::ValuesIn(rigKinds()), rigName);

} // namespace
} // namespace libtest
