// The client side of the vornhost daemon: a device channel over one socket connection, with
// every calling thread's requests carried under a thread id of its own and the replies matched
// to their callers by request id. No thread of its own reads the socket: a caller waiting for
// its reply reads while no other does, so a lone caller receives its reply without a hand-over
// between threads, and hands any reply it reads for another caller to that caller.
#pragma once

#include "device_channel.h"
#include "socket_io.h"
#include "wire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
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
    NTSTATUS subscribeEvents(std::u16string_view deviceName, uint32_t* subscription) override;
    NTSTATUS nextEvent(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) override;
    NTSTATUS unsubscribeEvents(uint32_t subscription) override;
    NTSTATUS readHealth(uint32_t board, BoardHealth* health) override;
    NTSTATUS reportSyncSample(uint32_t board, const SyncSample& sample) override;

    // The daemon's counts, after waiting (bounded) for the condition asked for; null when the
    // connection has gone or the request was refused.
    std::optional<wire::HostStatus> hostStatus(const wire::StatusRequest& request);
    // False once the daemon has closed the connection.
    bool connected() const;

private:
    explicit DaemonClient(int fd);
    // A caller waiting for its reply, linked in m_waiters from its own stack.
    struct Waiter {
        uint32_t id = 0;
        bool arrived = false;
        std::vector<uint8_t>* payload = nullptr; // receives the reply's payload
        Waiter* next = nullptr;
    };
    uint32_t nextRequestId();
    // Sends `frame` (a request with id `id`) and blocks until its reply's payload is in `reply`;
    // false when the connection is gone, with `sent` telling whether the request went out
    // before. Allocates nothing once the buffers have grown.
    bool exchange(uint32_t id, std::span<const uint8_t> frame, std::vector<uint8_t>& reply,
                  bool* sent = nullptr);
    // Sends a request and blocks for its reply's payload; null when the connection is gone.
    std::optional<std::vector<uint8_t>> call(wire::MessageType type,
                                             const std::vector<uint8_t>& payload);
    // Reads one frame as the connection's reader and hands it to its waiter. m_lock held on
    // entry and on return; released while reading.
    void readOne(std::unique_lock<std::mutex>& held);
    void unlink(Waiter& waiter);
    // The next event held for `subscription` into *event; false when none is.
    bool takeBuffered(uint32_t subscription, HostEvent* event);
    // Keeps a reply's events for their subscription, in sequence order with those held, and
    // takes the oldest into *oldest.
    void keepEvents(uint32_t subscription, const std::vector<HostEvent>& events, HostEvent* oldest);
    NTSTATUS askForEvents(uint32_t subscription, uint32_t timeoutMs, HostEvent* event);
    bool broken() const;

    int m_fd;
    std::atomic<uint32_t> m_nextId{1};
    std::mutex m_writeLock;
    mutable std::mutex m_lock; // guards m_waiters, m_reading and m_broken
    std::condition_variable m_changed;
    Waiter* m_waiters = nullptr; // requests sent and not yet answered
    bool m_reading = false;      // a caller reads the socket (and alone uses m_receiver)
    bool m_broken = false;
    FrameReceiver m_receiver;
    // Events a reply brought beyond the one its caller took, by subscription: later calls take
    // them without asking the daemon. A subscription is listed from subscribe to unsubscribe.
    std::mutex m_bufferLock;
    std::unordered_map<uint32_t, std::deque<HostEvent>> m_buffered;
};

// The NTSTATUS a channel caller sees for a refused request.
NTSTATUS statusForWireError(wire::WireError error);

} // namespace vornhost
