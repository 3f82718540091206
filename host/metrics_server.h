// The daemon's metrics endpoint: the boards' health over HTTP at /metrics, in Prometheus' text
// format, and a watch that looks at the boards often enough to date their changes.
#pragma once

#include "driver_host.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace vornhost {

struct MetricsAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
};

// "ADDRESS:PORT", "[IPv6]:PORT" or ":PORT" (loopback); false with `error` set otherwise.
bool parseMetricsAddress(const std::string& text, MetricsAddress* address, std::string* error);

// The whole /metrics body: every board of the host, looked at now.
std::string hostMetricsText(DriverHost& host);

class MetricsServer {
public:
    explicit MetricsServer(DriverHost& host);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address and serves on a thread of its own; false with `error` set when the
    // address cannot be bound (in use, not this machine's, not resolvable).
    bool start(const MetricsAddress& address, std::string* error);
    // The port bound (the one chosen when the address asked for port 0).
    uint16_t port() const { return m_port; }
    void stop();

private:
    DriverHost& m_host;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_serving;
    uint16_t m_port = 0;
};

// Looks at every board at an interval, so that a change of synchronization or the reference's
// last sighting is dated to within the interval even when nobody asks for a while.
class HealthWatch {
public:
    HealthWatch(DriverHost& host, std::chrono::milliseconds interval);
    ~HealthWatch();
    HealthWatch(const HealthWatch&) = delete;
    HealthWatch& operator=(const HealthWatch&) = delete;

private:
    void run();

    DriverHost& m_host;
    const std::chrono::milliseconds m_interval;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false; // guarded by m_lock
    std::thread m_thread;
};

} // namespace vornhost
