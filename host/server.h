// The vornhost daemon's listening side: the socket, peer admission, and the set of client
// connections, with an orderly stop that ends every client before the driver goes.
#pragma once

#include "commands.h"
#include "connection.h"
#include "driver_host.h"
#include "peer_check.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace vornhost {

struct ServerOptions {
    std::string socketPath;
    std::string group = "vorn"; // members are admitted besides root and the daemon's own user
};

class Server final : public ServerView {
public:
    Server(DriverHost& host, ServerOptions options);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens, creating the socket's missing directories (0755). The socket is 0660
    // and the admitted group's where that group exists, else 0666 (the peer check admits).
    // False with `error` set when the path is taken by a daemon that answers, or the directory
    // or the socket cannot be made; a stale socket file is replaced.
    bool listen(std::string* error);
    // Accepts and serves until stop(); then ends every connection and removes the socket.
    void run();
    // Any thread (not a signal handler): makes run() return.
    void stop();
    size_t connectionCount() const override;

private:
    void accept();
    void reap(bool all);
    void wake();

    DriverHost& m_host;
    const ServerOptions m_options;
    PeerPolicy m_policy;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_stopping{false};
    uint64_t m_nextNumber = 1;
    mutable std::mutex m_lock; // guards m_connections
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace vornhost
