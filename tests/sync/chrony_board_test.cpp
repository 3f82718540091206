// vornsync itself over a private vornhost whose simulated board keeps a known offset and rate
// against this machine's clock, feeding a private chronyd (-x, without CAP_SYS_TIME): chronyd's
// view of the source is the board's, with chrony's signs (local minus true).
#include "chrony_daemon.h"
#include "program.h"

#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

namespace {

using namespace synctest;

class ChronyBoardTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ChronyDaemon::available())
            << "chronyd, chronyc or setpriv is not installed (scripts/setup.sh)";
    }
    void TearDown() override {
        if (m_feed) {
            m_feed->terminate();
            EXPECT_EQ(m_feed->exitCode(), 0) << m_feed->output;
        }
        if (m_host) {
            m_host->terminate();
            m_host->exitCode();
        }
    }

    std::string hostSocket() const { return chrony.path("vornhost.sock"); }
    std::string hostVariable() const { return "VORN_HOST_SOCKET=" + hostSocket(); }

    // A board in sync on a private vornhost, with the propagation correction given.
    void startSynchronizedBoard(const std::string& reference, int propDelayMicros) {
        m_host.emplace(VORNHOST_PATH, std::vector<std::string>{
                                          "--socket", hostSocket(), "--board",
                                          "model=0x9070,bus=0,slot=3,reference=1" + reference});
        ASSERT_TRUE(eventually([&] { return access(hostSocket().c_str(), F_OK) == 0; }, 20))
            << m_host->outputSoFar();
        ctl({"sync", "synchronize"});
        ctl({"prop-delay", std::to_string(propDelayMicros)});
        ASSERT_TRUE(eventually(
            [&] {
                return ctl({"--json", "sync-status"}).find("\"synchronized\":true") !=
                       std::string::npos;
            },
            30))
            << "the board did not synchronize";
    }
    std::string ctl(std::vector<std::string> arguments) {
        Program vornctl(VORNCTL_PATH, std::move(arguments), {hostVariable()});
        vornctl.exitCode();
        return vornctl.output;
    }
    // Starts vornsync with these outputs and a status line a second.
    void startFeed(std::vector<std::string> outputs) {
        outputs.push_back("--json");
        m_feed.emplace(VORNSYNC_PATH, std::move(outputs), std::vector<std::string>{hostVariable()});
    }
    std::optional<ChronySource> reachedSource(const std::string& name, int polls) {
        return chrony.reachedSource(name, polls);
    }
    std::string sockLine() const {
        return "refclock SOCK " + chrony.path("refclock.sock") + " refid VSOC poll 0 noselect";
    }

    ChronyDaemon chrony;
    std::optional<Program> m_host;
    std::optional<Program> m_feed;
};

TEST_F(ChronyBoardTest, APropagationCorrectionOf1500MicrosecondsReadsMinus1500ThroughSock) {
    std::string error;
    ASSERT_TRUE(chrony.start({sockLine()}, error)) << error;
    startSynchronizedBoard("", 1500);
    startFeed({"--sock", chrony.path("refclock.sock")});
    const std::optional<ChronySource> first = reachedSource("VSOC", 1);
    const std::optional<ChronySource> later = reachedSource("VSOC", 4);
    ASSERT_TRUE(first && later) << chrony.logs() << m_feed->outputSoFar();
    EXPECT_GT(later->reach, first->reach) << "the reach rises";
    EXPECT_NEAR(later->measuredOffset * 1e6, -1500.0, 20.0) << chrony.logs();
}

TEST_F(ChronyBoardTest, APropagationCorrectionOf1500MicrosecondsReadsMinus1500ThroughShm) {
    const int unit = 100 + static_cast<int>(getpid() % 150);
    if (shmget(0x4e545030 + unit, 0, 0) >= 0)
        GTEST_SKIP() << "shared memory of unit " << unit << " is in use";
    std::string error;
    ASSERT_TRUE(chrony.start(
        {"refclock SHM " + std::to_string(unit) + " refid VSHM poll 0 noselect"}, error))
        << error;
    startSynchronizedBoard("", 1500);
    startFeed({"--shm", std::to_string(unit)});
    const std::optional<ChronySource> seen = reachedSource("VSHM", 4);
    chrony.stop();
    const int segment = shmget(0x4e545030 + unit, 0, 0);
    if (segment >= 0)
        shmctl(segment, IPC_RMID, nullptr);
    ASSERT_TRUE(seen) << chrony.logs() << m_feed->outputSoFar();
    EXPECT_NEAR(seen->measuredOffset * 1e6, -1500.0, 20.0) << chrony.logs();
}

TEST_F(ChronyBoardTest, AReferenceFiftyPpmFastShowsAFrequencyOfMinusFifty) {
    std::string error;
    ASSERT_TRUE(chrony.start({sockLine()}, error)) << error;
    startSynchronizedBoard(",reference_ppm=50", 0);
    startFeed({"--sock", chrony.path("refclock.sock")});
    std::optional<ChronySourceStats> stats;
    eventually(
        [&] {
            stats = chrony.sourceStats("VSOC");
            return stats && stats->samples >= 8;
        },
        60);
    ASSERT_TRUE(stats && stats->samples >= 8) << chrony.logs() << m_feed->outputSoFar();
    EXPECT_NEAR(stats->frequencyPpm, -50.0, 5.0) << chrony.logs();
}

TEST_F(ChronyBoardTest, AReferenceLostStopsTheSamplesSaysWhyAndFoundAgainResumesThem) {
    std::string error;
    ASSERT_TRUE(chrony.start({sockLine()}, error)) << error;
    startSynchronizedBoard("", 0);
    startFeed({"--sock", chrony.path("refclock.sock")});
    ASSERT_TRUE(reachedSource("VSOC", 2)) << chrony.logs() << m_feed->outputSoFar();
    const auto lastPollReached = [&] {
        const std::optional<ChronySource> seen = chrony.source("VSOC");
        return seen && (seen->reach & 1) == 1;
    };
    ctl({"sim", "reference", "lost"});
    EXPECT_TRUE(eventually([&] { return !lastPollReached(); }, 30)) << "samples still come";
    EXPECT_TRUE(m_feed->waitFor("\"state\":\"not_synchronized\""));
    EXPECT_TRUE(m_feed->waitFor("\"last_not_sent\":\"board not synchronized to its reference\""))
        << m_feed->output;
    ctl({"sim", "reference", "present"});
    ctl({"sync", "synchronize"});
    EXPECT_TRUE(eventually(lastPollReached, 40)) << chrony.logs() << m_feed->outputSoFar();
}

TEST_F(ChronyBoardTest, AFeedStartedBeforeChronydSaysThereIsNoListenerAndFeedsOnceItIsUp) {
    startSynchronizedBoard("", 1500);
    startFeed({"--sock", chrony.path("refclock.sock")});
    ASSERT_TRUE(m_feed->waitFor("nothing listens at " + chrony.path("refclock.sock")))
        << m_feed->output;
    std::string error;
    ASSERT_TRUE(chrony.start({sockLine()}, error)) << error;
    const std::optional<ChronySource> seen = reachedSource("VSOC", 2);
    ASSERT_TRUE(seen) << chrony.logs() << m_feed->outputSoFar();
    EXPECT_NEAR(seen->measuredOffset * 1e6, -1500.0, 20.0) << chrony.logs();
    EXPECT_TRUE(m_feed->waitFor("delivering again")) << m_feed->output;
}

} // namespace
