// The feed over a fake board and output: what it sends, what it holds back and why, and what it
// tells the user, once.
#include "fakes.h"
#include "feed.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace synctest;

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class FeedTest : public testing::Test {
protected:
    Feed& feed(bool allowFreewheel = false, bool json = false) {
        FeedOptions options;
        options.allowFreewheel = allowFreewheel;
        options.json = json;
        m_feed.emplace(board, std::vector<SampleSink*>{&sink}, leaps, options, log, out);
        return *m_feed;
    }

    FakeBoard board;
    RecordingSink sink;
    LeapSecondList leaps;
    std::ostringstream log;
    std::ostringstream out;
    std::optional<Feed> m_feed;
};

TEST_F(FeedTest, SendsEachSampleWithItsOffsetAndErrorBound) {
    feed().tick();
    ASSERT_EQ(sink.samples.size(), 1u);
    EXPECT_EQ(sink.samples[0].offsetNanos, 1'500'000);
    EXPECT_EQ(sink.samples[0].errorBoundNanos, 1'500);
    EXPECT_EQ(sink.samples[0].systemNanos, kSystemStart + 1'500) << "the bracket's midpoint";
    EXPECT_EQ(sink.samples[0].leap, Leap::None);
    EXPECT_EQ(m_feed->status().sent, 1u);
}

TEST_F(FeedTest, AnUnsynchronizedBoardSendsNothingAndEachChangeIsToldOnce) {
    board.inSyncNow = false;
    Feed& f = feed();
    for (int i = 0; i < 3; ++i)
        f.tick();
    EXPECT_TRUE(sink.samples.empty());
    EXPECT_EQ(f.status().notSent[static_cast<size_t>(NotSent::NotSynchronized)], 3u);
    board.inSyncNow = true;
    f.tick();
    f.tick();
    EXPECT_EQ(sink.samples.size(), 2u);
    EXPECT_EQ(occurrences(log.str(), "is not synchronized"), 1u) << log.str();
    EXPECT_EQ(occurrences(log.str(), "is synchronized"), 1u) << log.str();
}

TEST_F(FeedTest, AllowFreewheelSendsTheFreeRunningTime) {
    board.inSyncNow = false;
    feed(true).tick();
    EXPECT_EQ(sink.samples.size(), 1u);
}

TEST_F(FeedTest, AFailedDeliveryIsAdvisedOnceAndRetriedUntilItWorks) {
    sink.failure = {Delivery::NoListener, "start chronyd"};
    Feed& f = feed();
    for (int i = 0; i < 3; ++i)
        f.tick();
    EXPECT_EQ(occurrences(log.str(), "start chronyd"), 1u) << log.str();
    EXPECT_EQ(f.status().notSent[static_cast<size_t>(NotSent::Undelivered)], 3u);
    sink.failure = {};
    f.tick();
    EXPECT_EQ(sink.samples.size(), 1u);
    EXPECT_EQ(occurrences(log.str(), "delivering again"), 1u) << log.str();
    // Only the sample that went out reaches the host's health record.
    ASSERT_EQ(board.reported.size(), 1u);
    EXPECT_EQ(board.reported[0],
              std::make_pair(sink.samples[0].offsetNanos, sink.samples[0].errorBoundNanos));
}

TEST_F(FeedTest, RunsAtItsRateWithAStatusLineASecondThatSaysWhyNothingIsSent) {
    board.inSyncNow = false;
    VirtualPacer pacer;
    pacer.sleepsLeft = 9;
    feed(false, true).run(pacer);
    ASSERT_EQ(pacer.deadlines.size(), 9u);
    EXPECT_EQ(pacer.deadlines[1] - pacer.deadlines[0], kNanosPerSecond / 4);
    const std::string status = out.str();
    EXPECT_EQ(occurrences(status, "\n"), 2u) << status;
    EXPECT_NE(status.find("\"state\":\"not_synchronized\",\"sent\":0,\"not_sent\":{"
                          "\"not_synchronized\":5,"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find("\"last_not_sent\":\"board not synchronized to its reference\","
                          "\"last_offset_s\":null"),
              std::string::npos)
        << status;
}

TEST_F(FeedTest, TheLastDayBeforeALeapCarriesItAndAnExpiredListIsOnlyAWarning) {
    // 2024-03-02 00:00:00 UTC gains a second; the list expired in 2020.
    leaps = LeapSecondList::parse("#@\t3786825600\n"
                                  "3692217600\t37\n"
                                  "3918326400\t38\n");
    Feed& f = feed();
    f.tick();
    f.tick();
    ASSERT_EQ(sink.samples.size(), 2u);
    EXPECT_EQ(sink.samples[1].leap, Leap::Insert);
    EXPECT_EQ(occurrences(log.str(), "leap-second list has expired"), 1u) << log.str();
}

} // namespace
