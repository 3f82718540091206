// vornhost --metrics as Prometheus sees it: promtool accepts what the daemon serves, and a
// private Prometheus scraping the daemon every second follows a board losing its reference.
#include "daemon_process.h"
#include "device_channel.h"
#include "prometheus_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include <unistd.h>

namespace {

using namespace metricstest;

constexpr auto kPrometheusBound = std::chrono::seconds(30);

class PrometheusTest : public testing::Test {
protected:
    // A daemon with one board whose reference is present, serving metrics on a port it chooses.
    void SetUp() override {
        std::string log;
        m_daemon = vorntest::DaemonProcess::start(
            {"--board", "model=0x9070,bus=0,slot=3,reference=1", "--metrics", "127.0.0.1:0"}, &log);
        ASSERT_NE(m_daemon, nullptr) << log;
        std::smatch found;
        ASSERT_TRUE(std::regex_search(log, found, std::regex(R"(metrics at http://[^:]+:(\d+))")))
            << log;
        m_metricsPort = uint16_t(std::stoi(found[1].str()));
        m_channel = vornhost::connectDaemon(m_daemon->socketPath());
        ASSERT_NE(m_channel, nullptr);
    }
    void TearDown() override {
        m_channel.reset();
        if (m_daemon) {
            EXPECT_EQ(m_daemon->stop(SIGTERM), 0) << m_daemon->log();
        }
    }

    std::unique_ptr<vorntest::DaemonProcess> m_daemon;
    std::unique_ptr<vornhost::DeviceChannel> m_channel;
    uint16_t m_metricsPort = 0;
};

// Polls what Prometheus reports until it is `expected` or the bound passes; the last value.
std::string awaitQuery(const PrometheusServer& prometheus, const std::string& expression,
                       const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + kPrometheusBound;
    std::string last = "(no answer)";
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto value = prometheus.query(expression))
            last = *value;
        if (last == expected)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return last;
}

TEST_F(PrometheusTest, PromtoolAcceptsWhatTheDaemonServes) {
    // An open request, a subscription and a feed's sample, so that every family has samples;
    // the sample's reporter is this process, as the daemon knows it from the connection.
    uint64_t handle = 0;
    ASSERT_EQ(m_channel->open(u"\\\\.\\VORNpci0", 3, &handle), STATUS_SUCCESS);
    uint32_t subscription = 0;
    ASSERT_EQ(m_channel->subscribeEvents(u"\\\\.\\VORNpci0", &subscription), STATUS_SUCCESS);
    ASSERT_EQ(m_channel->simulate(vornhost::SimCommand{}), STATUS_SUCCESS);
    vornhost::HostEvent event;
    ASSERT_EQ(m_channel->nextEvent(subscription, 5'000, &event), STATUS_SUCCESS);
    ASSERT_EQ(m_channel->reportSyncSample(0, {-1'250, 40'000}), STATUS_SUCCESS);
    auto metrics = httpGet(m_metricsPort, "/metrics");
    ASSERT_TRUE(metrics.has_value());
    for (const std::string& line : std::initializer_list<std::string>{
             "vorn_board_synchronized{board=\"0\"} 1", "vorn_events_tagged_total{board=\"0\"} 1",
             "vorn_events_dropped_total{board=\"0\",cause=\"fifo_overflow\"} 0",
             "vorn_subscriber_events_delivered_total{board=\"0\"} 1",
             "vorn_sync_sample_offset_seconds{board=\"0\"} -0.000001250",
             "vorn_sync_sample_reporter_pid{board=\"0\"} " + std::to_string(::getpid()),
             "vorn_sync_sample_reporter_uid{board=\"0\"} " + std::to_string(::getuid())})
        EXPECT_NE(metrics->find(line + "\n"), std::string::npos) << line << " in " << *metrics;
    std::string said;
    EXPECT_EQ(promtoolCheckMetrics(*metrics, &said), 0) << said << "\n" << *metrics;
    m_channel->close(handle);
}

TEST_F(PrometheusTest, PrometheusSeesTheBoardLoseSynchronization) {
    PrometheusServer prometheus;
    std::string error;
    ASSERT_TRUE(prometheus.start(m_metricsPort, &error)) << error;
    const std::string query = "vorn_board_synchronized{board=\"0\"}";
    ASSERT_EQ(awaitQuery(prometheus, query, "1"), "1") << prometheus.log();

    vornhost::SimCommand lost;
    lost.action = vornhost::SimAction::SetReference;
    lost.referencePresent = false;
    ASSERT_EQ(m_channel->simulate(lost), STATUS_SUCCESS);
    EXPECT_EQ(awaitQuery(prometheus, query, "0"), "0") << prometheus.log();
    EXPECT_EQ(awaitQuery(prometheus, "vorn_board_reference_present", "0"), "0");
}

} // namespace
