// The feed's outputs read by a real chronyd (private, with -x and without CAP_SYS_TIME): a board
// that keeps a known offset and rate against this machine's clock must show in chronyd's view of
// the source, with chrony's signs (local minus true).
#include "chrony_daemon.h"
#include "fakes.h"
#include "feed.h"
#include "shm_sink.h"
#include "sock_sink.h"

#include <gtest/gtest.h>

#include <sys/shm.h>

#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>

namespace {

using namespace synctest;

// A board on this machine's clock: its time is the system time plus `offset`, running `ppm`
// fast, read between two real system timestamps.
class RealClockBoard final : public BoardSource {
public:
    RealClockBoard(int64_t offsetNanos, double ppm) : m_offset(offsetNanos), m_ppm(ppm) {
        m_start = now();
    }
    uint8_t readStamped(StampedRead& read) override {
        read.before = fromNanos(now());
        const int64_t system = now();
        const double drift = m_ppm * 1e-6 * static_cast<double>(system - m_start);
        setBoardTime(read, system + m_offset + static_cast<int64_t>(drift));
        read.after = fromNanos(now());
        return 0;
    }
    uint8_t synchronized(bool& inSync) override {
        inSync = true;
        return 0;
    }

private:
    static int64_t now() {
        timespec time{};
        clock_gettime(CLOCK_REALTIME, &time);
        return toNanos(time);
    }
    int64_t m_offset;
    double m_ppm;
    int64_t m_start = 0;
};

// Paces on the real monotonic clock until told to stop.
class ThreadPacer final : public Pacer {
public:
    int64_t monotonicNanos() override {
        timespec time{};
        clock_gettime(CLOCK_MONOTONIC, &time);
        return toNanos(time);
    }
    bool sleepUntil(int64_t deadline) override {
        while (!stopped && monotonicNanos() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !stopped;
    }
    std::atomic<bool> stopped = false;
};

// A feed at 8 samples a second in a thread of its own, for the length of a test.
class FeedThread {
public:
    FeedThread(BoardSource& board, SampleSink& sink)
        : m_feed(board, {&sink}, m_leaps, options(), m_log, m_out),
          m_thread([this] { m_feed.run(m_pacer); }) {}
    ~FeedThread() { join(); }
    void join() {
        m_pacer.stopped = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // Once joined.
    std::string log() const { return m_log.str(); }

private:
    static FeedOptions options() {
        FeedOptions feedOptions;
        feedOptions.rate = 8;
        return feedOptions;
    }
    LeapSecondList m_leaps;
    std::ostringstream m_log;
    std::ostringstream m_out;
    Feed m_feed;
    ThreadPacer m_pacer;
    std::thread m_thread;
};

class ChronyFeedTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ChronyDaemon::available())
            << "chronyd, chronyc or setpriv is not installed (scripts/setup.sh)";
    }
    std::optional<ChronySource> reachedSource(const std::string& name, int polls) {
        return chrony.reachedSource(name, polls);
    }

    ChronyDaemon chrony;
};

constexpr int64_t kOffset = 1'500'000; // true minus system: +1.5 ms

TEST_F(ChronyFeedTest, ASockSourceOneAndAHalfMillisecondsAheadReadsMinus1500Microseconds) {
    std::string error;
    ASSERT_TRUE(chrony.start(
        {"refclock SOCK " + chrony.path("refclock.sock") + " refid VSOC poll 0 filter 4 noselect"},
        error))
        << error;
    RealClockBoard board(kOffset, 0.0);
    std::optional<SockSink> sink = SockSink::create(chrony.path("refclock.sock"), error);
    ASSERT_TRUE(sink) << error;
    FeedThread feed(board, *sink);
    const std::optional<ChronySource> first = reachedSource("VSOC", 1);
    const std::optional<ChronySource> later = reachedSource("VSOC", 4);
    feed.join();
    ASSERT_TRUE(first && later) << chrony.logs();
    EXPECT_GT(later->reach, first->reach) << "the reach rises";
    EXPECT_NEAR(later->measuredOffset * 1e6, -1500.0, 20.0) << chrony.logs();
}

TEST_F(ChronyFeedTest, AnShmSourceOneAndAHalfMillisecondsAheadReadsMinus1500Microseconds) {
    const int unit = 100 + static_cast<int>(getpid() % 150);
    if (shmget(kShmKeyBase + unit, 0, 0) >= 0)
        GTEST_SKIP() << "shared memory of unit " << unit << " is in use";
    std::string error;
    ASSERT_TRUE(chrony.start(
        {"refclock SHM " + std::to_string(unit) + " refid VSHM poll 0 filter 4 noselect"}, error))
        << error;
    RealClockBoard board(kOffset, 0.0);
    ShmSink sink(unit, 0600);
    FeedThread feed(board, sink);
    const std::optional<ChronySource> seen = reachedSource("VSHM", 4);
    feed.join();
    chrony.stop();
    const int segment = shmget(kShmKeyBase + unit, 0, 0);
    if (segment >= 0)
        shmctl(segment, IPC_RMID, nullptr);
    ASSERT_TRUE(seen) << chrony.logs();
    EXPECT_NEAR(seen->measuredOffset * 1e6, -1500.0, 20.0) << chrony.logs();
}

TEST_F(ChronyFeedTest, ASourceFiftyPpmFastShowsAFrequencyOfMinusFifty) {
    std::string error;
    ASSERT_TRUE(chrony.start(
        {"refclock SOCK " + chrony.path("refclock.sock") + " refid VSOC poll 0 filter 4 noselect"},
        error))
        << error;
    RealClockBoard board(0, 50.0);
    std::optional<SockSink> sink = SockSink::create(chrony.path("refclock.sock"), error);
    ASSERT_TRUE(sink) << error;
    FeedThread feed(board, *sink);
    std::optional<ChronySourceStats> stats;
    eventually(
        [&] {
            stats = chrony.sourceStats("VSOC");
            return stats && stats->samples >= 8;
        },
        60);
    feed.join();
    ASSERT_TRUE(stats) << chrony.logs();
    EXPECT_GE(stats->samples, 8) << chrony.logs();
    EXPECT_NEAR(stats->frequencyPpm, -50.0, 5.0) << chrony.logs();
}

TEST_F(ChronyFeedTest, AFeedStartedBeforeChronydSaysSoAndFeedsOnceItIsUp) {
    const std::string socketPath = chrony.path("refclock.sock");
    std::string error;
    std::optional<SockSink> sink = SockSink::create(socketPath, error);
    ASSERT_TRUE(sink) << error;
    RealClockBoard board(kOffset, 0.0);
    FeedThread feed(board, *sink);
    ASSERT_TRUE(chrony.start(
        {"refclock SOCK " + socketPath + " refid VSOC poll 0 filter 4 noselect"}, error))
        << error;
    const std::optional<ChronySource> seen = reachedSource("VSOC", 2);
    feed.join();
    ASSERT_TRUE(seen) << chrony.logs();
    const std::string log = feed.log();
    const size_t advice = log.find("nothing listens at " + socketPath);
    ASSERT_NE(advice, std::string::npos) << log;
    EXPECT_NE(log.find("refclock SOCK " + socketPath), std::string::npos) << log;
    EXPECT_NE(log.find("delivering again", advice), std::string::npos) << log;
}

} // namespace
