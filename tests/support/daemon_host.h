// The top layer of the test machines: a private vornhost daemon process serving boards, how a
// test starts it, asks it and checks its clean stop, and a connection spoken to frame by frame.
#pragma once

#include "daemon_client.h"
#include "daemon_process.h"
#include "sim/machine_description.h"
#include "socket_io.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vorntest {

// Real-time safety bound for what a test waits on from a daemon; never reached unless
// something hangs.
constexpr int kDaemonBoundMs = 20'000;

// The daemon's --board options for every board of `machine`.
std::vector<std::string> daemonArgs(const vornsim::MachineDescription& machine);

// Starts vornhost with `args` on `socketName` in a private directory; fails the test (null,
// its log printed) when it does not come up.
std::unique_ptr<DaemonProcess> startDaemon(std::vector<std::string> args,
                                           const std::string& socketName = "vornhost.sock");

// Stops the daemon with SIGTERM and checks its exit report: driver unloaded, no pool block
// left, no verifier report, exit code 0.
void expectCleanStop(DaemonProcess& daemon);

// Waits (bounded) until the driver holds at least `count` requests of any client.
bool pendingAtLeast(vornhost::DaemonClient& asker, size_t count);

// Waits (bounded) until the daemon serves no connection but `asker` and holds no request in
// the driver.
bool daemonIdle(vornhost::DaemonClient& asker);

// A connection spoken to frame by frame, as a faulty or hostile client would.
class RawConnection {
public:
    explicit RawConnection(const std::string& path);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(std::span<const uint8_t> bytes);
    bool send(vornhost::wire::MessageType type, uint32_t id, const std::vector<uint8_t>& payload,
              uint32_t thread = 1);
    // The greeting alone, its reply left to read.
    bool sendHello();
    // The greeting and its reply, which must be Ok.
    bool hello();
    vornhost::ReadFrame read();
    // The error of a reply, or 0xFFFF when it has no reply head.
    static vornhost::wire::WireError error(const vornhost::ReadFrame& reply);
    void endWrites();
    // Reads replies until the daemon closes; false when it does not within the bound.
    bool closedByDaemon(std::vector<vornhost::wire::WireError>* errors = nullptr);

private:
    int m_fd;
};

} // namespace vorntest
