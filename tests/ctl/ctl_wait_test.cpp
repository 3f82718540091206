// vornctl's waits, event FIFO commands and event simulation on the virtual clock.
#include "ctl_fixture.h"

#include "event_fanout.h"
#include "vorn.h"

#include <chrono>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

namespace ctltest {
namespace {

class CtlWaitTest : public CtlFixture {};

TEST_F(CtlWaitTest, WaitHeartbeatEndsWithTheInterrupt) {
    ASSERT_EQ(run({"heartbeat", "10"}).exit, vornctl::kExitOk);
    const Outcome outcome =
        runBlocking({"--json", "wait-heartbeat", "--timeout", "5000"}, 200 * kMilli);
    ASSERT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    auto object = parseJsonObject(outcome.out);
    ASSERT_TRUE(object) << outcome.out;
    EXPECT_EQ((*object)["heartbeat"].text, "true");
}

TEST_F(CtlWaitTest, AWaitThatTimesOutExitsWithThirteen) {
    // The driver's time-out falls due a microsecond after the time asked for.
    const Outcome outcome =
        runBlocking({"--json", "wait-heartbeat", "--timeout", "50"}, 51 * kMilli);
    EXPECT_EQ(outcome.exit, vornctl::kExitTimeout);
    auto object = parseJsonObject(outcome.out);
    ASSERT_TRUE(object) << outcome.out;
    EXPECT_EQ((*object)["ok"].text, "false");
    EXPECT_EQ((*object)["exit"].text, "13");
    EXPECT_EQ((*object).count("heartbeat"), 0u);
    EXPECT_NE(outcome.err.find("no heartbeat within 50 ms"), std::string::npos) << outcome.err;
}

TEST_F(CtlWaitTest, WaitMatchEndsWhenTheBoardReachesTheMatchTime) {
    ASSERT_EQ(run({"match", "61", "12:00:01.5"}).exit, vornctl::kExitOk);
    EXPECT_EQ(runBlocking({"wait-match", "--timeout", "1000"}, 1001 * kMilli).exit,
              vornctl::kExitTimeout);
    const Outcome outcome = runBlocking({"wait-match", "--timeout", "1000"}, 600 * kMilli);
    EXPECT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    EXPECT_EQ(outcome.out, "match: yes\n");
    EXPECT_EQ(board().matches, 1u);
}

TEST_F(CtlWaitTest, AWaitAlreadyPendingOnTheBoardExitsWithFourteen) {
    BoardHandle other = nullptr;
    ASSERT_EQ(VORN_open(&other, "VORNpci0"), VORN_OK);
    std::future<uint8_t> pending = std::async(std::launch::async, [other] {
        uint32_t timeout = 10'000;
        return VORN_waitHeartbeat(other, &timeout);
    });
    ASSERT_TRUE(channel().waitForPending(1));
    const Outcome outcome = run({"wait-heartbeat", "--timeout", "10"});
    EXPECT_EQ(outcome.exit, vornctl::kExitNotStarted);
    EXPECT_NE(outcome.err.find("could not wait for heartbeat"), std::string::npos) << outcome.err;
    advance(10 * kSecond + kMilli);
    EXPECT_EQ(pending.get(), VORN_WAIT_TIMEOUT);
    EXPECT_EQ(VORN_close(other), VORN_OK);
}

TEST_F(CtlWaitTest, EventsAreTaggedWaitedForAndFlushed) {
    ASSERT_EQ(run({"sim", "event", "--count", "2"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().eventsTagged, 2u);
    advance(3 * kSecond);
    ASSERT_EQ(run({"sim-event"}).exit, vornctl::kExitOk);
    EXPECT_EQ(board().eventsTagged, 3u);

    JsonObject first = json({"wait-event", "--timeout", "0"});
    EXPECT_EQ(first["day_of_year"].text, "61");
    EXPECT_EQ(first["time"].text, "12:00:00.000000");
    ASSERT_EQ(run({"flush"}).exit, vornctl::kExitOk);
    EXPECT_EQ(runBlocking({"wait-event", "--timeout", "0"}, kMilli).exit, vornctl::kExitTimeout)
        << "the flush discarded the two tags still queued";
}

TEST_F(CtlWaitTest, WaitEventReportsAnEventTaggedWhileItWaits) {
    std::future<Outcome> waiting = std::async(std::launch::async, [this] {
        return run({"--json", "wait-event"});
    });
    ASSERT_TRUE(channel().waitForPending(1));
    advance(250 * kMilli);
    vornhost::SimCommand strobe;
    strobe.action = vornhost::SimAction::StrobeEvent;
    ASSERT_EQ(channel().simulate(strobe), STATUS_SUCCESS);
    const Outcome outcome = waiting.get();
    ASSERT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    auto object = parseJsonObject(outcome.out);
    ASSERT_TRUE(object) << outcome.out;
    EXPECT_DOUBLE_EQ((*object)["seconds"].number(), 0.25);
}

TEST_F(CtlWaitTest, EventsFollowPrintsEachEventAsOneJsonObjectALine) {
    std::future<Outcome> following = std::async(std::launch::async, [this] {
        return run({"events", "--follow", "--count", "3", "--json"});
    });
    // A safety bound only: the subscription is made long before it.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (channel().host().events().pumpCount() == 0 && std::chrono::steady_clock::now() < bound)
        std::this_thread::yield();
    vornhost::SimCommand strobe;
    strobe.action = vornhost::SimAction::StrobeEvents;
    strobe.count = 3;
    ASSERT_EQ(channel().simulate(strobe), STATUS_SUCCESS);
    const Outcome outcome = following.get();
    ASSERT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    std::istringstream lines(outcome.out);
    std::string line;
    int64_t sequence = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(std::getline(lines, line)) << outcome.out;
        auto object = parseJsonObject(line);
        ASSERT_TRUE(object) << line;
        EXPECT_EQ((*object)["seq"].number(), double(++sequence));
        // The virtual clock stands at 12:00 of day 61 of 2024; board exchanges move it on a little.
        const std::string utc = (*object)["utc"].text, received = (*object)["received"].text;
        EXPECT_TRUE(std::regex_match(utc, std::regex(R"(2024-03-01T12:00:0\d\.\d{6}Z)"))) << utc;
        EXPECT_EQ((*object)["day_of_year"].text, "61");
        EXPECT_EQ((*object)["dropped_before"].text, "0");
        EXPECT_TRUE(std::regex_match(received, std::regex(R"(2024-03-01T12:00:0\d\.\d{9}Z)")))
            << received;
    }
    EXPECT_FALSE(std::getline(lines, line)) << "nothing after the third event";
    EXPECT_EQ(channel().host().events().pumpCount(), 0u) << "the subscription was ended";
}

TEST_F(CtlWaitTest, SimEventCountOutsideTheBoardsRangeIsUsageError) {
    EXPECT_EQ(run({"sim", "event", "--count", "1001"}).exit, vornctl::kExitUsage);
    EXPECT_EQ(run({"sim", "event", "--count", "0"}).exit, vornctl::kExitUsage);
    EXPECT_EQ(run({"sim", "event", "--count", "1000001", "--interval-us", "10"}).exit,
              vornctl::kExitUsage);
    EXPECT_EQ(run({"sim", "event", "--count", "2", "--interval-us", "0"}).exit,
              vornctl::kExitUsage);
    EXPECT_EQ(run({"sim", "event", "--count", "2", "--interval-us", "60000001"}).exit,
              vornctl::kExitUsage);
    EXPECT_EQ(board().eventsTagged, 0u);
}

TEST_F(CtlWaitTest, SimEventIntervalPacesTheEventsOnTheBoardsClock) {
    const Outcome outcome = run({"--json", "sim", "event", "--count", "3", "--interval-us", "500"});
    ASSERT_EQ(outcome.exit, vornctl::kExitOk) << outcome.err;
    EXPECT_EQ(board().eventsTagged, 1u);
    advance(kMilli);
    EXPECT_EQ(board().eventsTagged, 3u);
    for (const char* time : {"12:00:00.000000", "12:00:00.000500", "12:00:00.001000"})
        EXPECT_EQ(json({"wait-event", "--timeout", "0"})["time"].text, time);
}

} // namespace
} // namespace ctltest
