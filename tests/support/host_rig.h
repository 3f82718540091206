// The library's way to a private host with boards, in-process on the virtual clock or through a
// vornhost daemon process on the real clock, and the fixture whose library calls reach it.
#pragma once

#include "daemon_host.h"
#include "one_board.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace vorntest {

enum class RigKind { InProcess, Daemon };

inline void PrintTo(RigKind kind, std::ostream* out) {
    *out << (kind == RigKind::InProcess ? "in-process host" : "daemon");
}
// Every way of reaching a host, and the names of the cases run over each.
std::vector<RigKind> rigKinds();
std::string rigName(const ::testing::TestParamInfo<RigKind>& info);

// One way of reaching a host, with the test's own view of its boards.
class HostRig {
public:
    virtual ~HostRig() = default;
    // Points the library at a host of `machine`; false when the host cannot be had.
    virtual bool start(const vornsim::MachineDescription& machine) = 0;
    virtual vornhost::DeviceChannel& control() = 0;
    // Virtual time: the test moves it. Real time: it runs by itself.
    virtual bool virtualTime() const = 0;
    virtual void advance(int64_t ticks) = 0;
    // Blocks (bounded) until the driver holds at least `count` requests.
    virtual bool waitForPending(size_t count) = 0;
};

// The private in-process host of bootPrivateHost.
class InProcessRig : public HostRig {
public:
    bool start(const vornsim::MachineDescription& machine) override;
    vornhost::DeviceChannel& control() override { return *m_channel; }
    bool virtualTime() const override { return true; }
    void advance(int64_t ticks) override;
    bool waitForPending(size_t count) override { return m_channel->waitForPending(count); }
    vornlib::testing::HostChannel& channel() { return *m_channel; }

private:
    std::shared_ptr<vornlib::testing::HostChannel> m_channel;
};

// A daemon on a private socket, found by the library as a program finds it, through
// VORN_HOST_SOCKET; stopped cleanly at the end. Time is real; the rig moves nothing.
class DaemonRig : public HostRig {
public:
    ~DaemonRig() override;
    bool start(const vornsim::MachineDescription& machine) override;
    vornhost::DeviceChannel& control() override { return *m_control; }
    bool virtualTime() const override { return false; }
    void advance(int64_t) override {}
    bool waitForPending(size_t count) override { return pendingAtLeast(*m_control, count); }

    // Ends the daemon with SIGTERM while the library may still be connected; true when it
    // unloaded the driver cleanly.
    bool end();
    // After end(): starts a daemon with `machine` again on the same socket.
    bool restart(const vornsim::MachineDescription& machine);

private:
    bool connect();

    std::unique_ptr<DaemonProcess> m_daemon;
    std::unique_ptr<vornhost::DaemonClient> m_control;
};

std::unique_ptr<HostRig> makeRig(RigKind kind);

// A test whose library calls reach a private host; at its end the library holds no board and
// has forgotten the host.
class PrivateHostTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts a host of `machine` reached as `kind` says, ending the one before.
    void start(const vornsim::MachineDescription& machine = oneBoard(),
               RigKind kind = RigKind::InProcess);

    HostRig& rig() { return *m_rig; }
    vornhost::BoardState board(uint32_t index = 0);
    void simulate(const vornhost::SimCommand& command);
    void advance(int64_t ticks) { m_rig->advance(ticks); }
    bool virtualTime() const { return m_rig->virtualTime(); }

private:
    std::unique_ptr<HostRig> m_rig;
};

} // namespace vorntest
