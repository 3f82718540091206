// A private Prometheus for tests: its own directory (configuration, storage, log) and loopback
// port, scraping one target every second; stopped, and its directory removed, when it goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace metricstest {

// A loopback port nothing listened on a moment ago.
uint16_t freeLoopbackPort();

// The body of GET http://127.0.0.1:port/path when it answers 200.
std::optional<std::string> httpGet(uint16_t port, const std::string& path);

// Runs promtool check metrics on `text`; its exit code, with what it said in `output`.
int promtoolCheckMetrics(const std::string& text, std::string* output);

class PrometheusServer {
public:
    PrometheusServer() = default;
    PrometheusServer(const PrometheusServer&) = delete;
    PrometheusServer& operator=(const PrometheusServer&) = delete;
    ~PrometheusServer();

    // Starts it scraping http://127.0.0.1:targetPort/metrics; false, with `error`, when it does
    // not report ready within the bound.
    bool start(uint16_t targetPort, std::string* error);
    void stop();
    // The value of the instant query `expression`'s first sample, as Prometheus writes it.
    std::optional<std::string> query(const std::string& expression) const;
    std::string log() const;

private:
    std::string m_directory;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

} // namespace metricstest
