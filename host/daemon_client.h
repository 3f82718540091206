// The client side of the vornhost daemon: a device channel over one socket connection, with
// every calling thread's requests carried under a thread id of its own and the replies matched
// to their callers by request id.
#pragma once

#include "device_channel.h"
#include "wire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vornhost {

class DaemonClient final : public DeviceChannel {
public:
    // Connects and greets the daemon; null when nobody answers, the daemon refuses this peer,
    // or the peer does not answer the greeting within `handshakeMs`.
    static std::unique_ptr<DaemonClient> connect(const std::string& socketPath,
                                                 int handshakeMs = 2000);
    ~DaemonClient() override;

    NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) override;
    ChannelResult deviceIoControl(uint64_t handle, uint32_t code, const void* in, uint32_t inLength,
                                  void* out, uint32_t outLength) override;
    NTSTATUS close(uint64_t handle) override;
    NTSTATUS simulate(const SimCommand& command) override;
    NTSTATUS inspectBoard(uint32_t board, BoardState* state) override;

    // The daemon's counts, after waiting (bounded) for the condition asked for; null when the
    // connection has gone or the request was refused.
    std::optional<wire::HostStatus> hostStatus(const wire::StatusRequest& request);
    // False once the daemon has closed the connection.
    bool connected() const;

private:
    explicit DaemonClient(int fd);
    struct Reply {
        bool arrived = false;
        std::vector<uint8_t> payload;
    };
    // Sends a request and blocks for its reply's payload; null when the connection is gone.
    std::optional<std::vector<uint8_t>> call(wire::MessageType type,
                                             const std::vector<uint8_t>& payload);
    void readLoop();
    void fail();

    int m_fd;
    std::atomic<uint32_t> m_nextId{1};
    std::mutex m_writeLock;
    mutable std::mutex m_lock; // guards m_waiting and m_broken
    std::condition_variable m_changed;
    std::map<uint32_t, Reply*> m_waiting; // requests sent and not yet answered
    bool m_broken = false;
    std::thread m_reader;
};

// The NTSTATUS a channel caller sees for a refused request.
NTSTATUS statusForWireError(wire::WireError error);

} // namespace vornhost
