// One client connection of the daemon: a host process of its own, a reader that decodes and
// checks each message, and one request thread per client thread id so that a request blocked
// in the driver holds up neither the reader nor the client's other threads.
#pragma once

#include "commands.h"
#include "host_process.h"
#include "peer_check.h"
#include "socket_io.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace vornhost {

// Per-connection bounds: client thread ids with work under way, requests queued per thread, and how
// long a message may pause half-sent before it counts as truncated.
constexpr size_t kMaxClientThreads = 64;
constexpr size_t kMaxQueuedPerThread = 16;
constexpr int kMessageGapMs = 2000;

class Connection final : private ReplyWriter {
public:
    // Takes the socket. `onEnd` runs on the connection's reader thread once it has ended.
    Connection(int fd, uint64_t number, PeerCredentials peer, DriverHost& host, ServerView& server,
               std::function<void()> onEnd);
    ~Connection(); // joins the reader
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    // Makes the reader stop; the connection then ends as if the client had gone.
    void shutdown();
    bool ended() const { return m_ended.load(); }

private:
    class RequestThread;

    void readLoop();
    // False when the message is malformed or sent out of turn: the connection closes.
    bool dispatch(const wire::Header& header, std::span<const uint8_t> payload);
    void enqueue(const wire::Header& header, const Command* command,
                 std::span<const uint8_t> payload, Prepared prepared);
    // Runs a request the command executes in place (on its client thread's request thread).
    void runInPlace(const wire::Header& header, const Command* command,
                    std::span<const uint8_t> payload);
    // Ends one request thread that has nothing queued or under way; false when none is idle.
    bool retireIdleThread();
    void sendReply(const wire::Header& request, const std::vector<uint8_t>& payload);
    void sendFrame(std::span<const uint8_t> bytes);
    bool writeWithoutBlocking(std::span<const uint8_t> frame) override;
    void end();

    int m_fd;
    const uint64_t m_number;
    const PeerCredentials m_peer;
    DriverHost& m_host;
    ServerView& m_server;
    std::function<void()> m_onEnd;
    std::unique_ptr<HostProcess> m_process;
    std::unique_ptr<EventSubscriptions> m_events;
    bool m_greeted = false;                                       // reader thread only
    std::map<uint32_t, std::unique_ptr<RequestThread>> m_threads; // reader thread only
    std::mutex m_writeLock; // one frame at a time on the socket
    std::atomic<bool> m_ended{false};
    std::thread m_reader;
};

} // namespace vornhost
