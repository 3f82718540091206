// The metrics endpoint over the HTTP library, its address form, and the health watch.
#include "metrics_server.h"

#include "metrics_text.h"

#include <httplib.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace vornhost {
namespace {

bool parsePort(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535)
        return false;
    *port = uint16_t(value);
    return true;
}

bool resolvable(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

} // namespace

bool parseMetricsAddress(const std::string& text, MetricsAddress* address, std::string* error) {
    const size_t colon = text.rfind(':');
    std::string host = colon == text.npos ? "" : text.substr(0, colon);
    const std::string port = colon == text.npos ? text : text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    MetricsAddress parsed;
    if (colon == text.npos || !parsePort(port, &parsed.port)) {
        *error = "bad --metrics address '" + text + "': expected ADDRESS:PORT, PORT 0 to 65535";
        return false;
    }
    if (!host.empty())
        parsed.host = host;
    if (!resolvable(parsed.host)) {
        *error = "bad --metrics address '" + text + "': unknown host '" + parsed.host + "'";
        return false;
    }
    *address = parsed;
    return true;
}

std::string hostMetricsText(DriverHost& host) {
    NumberedHealth boards;
    for (uint32_t board = 0; board < host.health().boardCount(); ++board) {
        BoardHealth health;
        if (host.boardHealth(board, &health))
            boards.emplace_back(board, health);
    }
    return metricsText(boards);
}

MetricsServer::MetricsServer(DriverHost& host) : m_host(host) {}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const MetricsAddress& address, std::string* error) {
    m_server = std::make_unique<httplib::Server>();
    m_server->new_task_queue = [] { return new httplib::ThreadPool(2); };
    m_server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(hostMetricsText(m_host), "text/plain; version=0.0.4; charset=utf-8");
    });
    errno = 0;
    const int port =
        address.port == 0
            ? m_server->bind_to_any_port(address.host)
            : (m_server->bind_to_port(address.host, address.port) ? int(address.port) : -1);
    if (port <= 0) {
        const int cause = errno;
        *error = "cannot serve metrics on " + address.host + ":" + std::to_string(address.port) +
                 ": " + (cause != 0 ? std::strerror(cause) : "address not available");
        m_server.reset();
        return false;
    }
    m_port = uint16_t(port);
    m_serving = std::thread([this] { m_server->listen_after_bind(); });
    // A stop that came before the serving thread entered its loop would not end the loop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void MetricsServer::stop() {
    if (!m_server)
        return;
    m_server->stop();
    if (m_serving.joinable())
        m_serving.join();
    m_server.reset();
}

HealthWatch::HealthWatch(DriverHost& host, std::chrono::milliseconds interval)
    : m_host(host), m_interval(interval), m_thread([this] { run(); }) {}

HealthWatch::~HealthWatch() {
    {
        std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HealthWatch::run() {
    std::unique_lock held(m_lock);
    while (!m_stopping) {
        held.unlock();
        // Only to date changes as they happen: the driver is asked when health is read.
        for (uint32_t board = 0; board < m_host.health().boardCount(); ++board) {
            BoardHealth ignored;
            m_host.health().snapshot(board, m_host.machine(), m_host.clock(), &ignored);
        }
        held.lock();
        m_wake.wait_for(held, m_interval, [this] { return m_stopping; });
    }
}

} // namespace vornhost
