// The daemon's request path without a second process: a driver host on the virtual clock,
// served on a private socket by this program's own server thread, with a daemon client
// connected and a handle open on VORNpci0.
#pragma once

#include "daemon_client.h"
#include "daemon_process.h"
#include "driver_host.h"
#include "driver_requests.h"
#include "server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace vorntest {

class ServedHost {
public:
    ServedHost()
        : m_host(vornhost::defaultMachine()), m_directory(makeDirectory()),
          m_server(m_host, {m_directory + "/vornhost.sock"}) {
        std::string error;
        if (m_host.load() != STATUS_SUCCESS || m_directory.empty() || !m_server.listen(&error)) {
            ADD_FAILURE() << "the host was not served: " << error;
            return;
        }
        m_serving = std::thread([this] { m_server.run(); });
        m_client = vornhost::DaemonClient::connect(m_directory + "/vornhost.sock");
        if (m_client)
            m_handle = openBoard(*m_client);
        if (m_handle == 0)
            m_client.reset();
    }
    ~ServedHost() {
        if (m_client) {
            EXPECT_EQ(m_client->close(m_handle), STATUS_SUCCESS);
            m_client.reset();
        }
        if (m_serving.joinable()) {
            m_server.stop();
            m_serving.join();
        }
        EXPECT_TRUE(m_host.unload());
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
    ServedHost(const ServedHost&) = delete;
    ServedHost& operator=(const ServedHost&) = delete;

    // True when the client is connected and holds the handle.
    bool ready() const { return m_client != nullptr; }
    vornhost::DriverHost& host() { return m_host; }
    vornhost::DaemonClient& client() { return *m_client; }
    uint64_t handle() const { return m_handle; }

private:
    vornhost::DriverHost m_host;
    std::string m_directory;
    vornhost::Server m_server;
    std::thread m_serving;
    std::unique_ptr<vornhost::DaemonClient> m_client;
    uint64_t m_handle = 0;
};

} // namespace vorntest
