// The daemon rig: a vornhost the test starts on a private socket with the test's machine, and
// ends with SIGTERM (and may start again). Time is real; the rig moves nothing.
#include "daemon_client.h"
#include "daemon_process.h"
#include "lib_fixture.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace libtest {

namespace {

std::vector<std::string> boardArgs(const vornsim::MachineDescription& machine) {
    std::vector<std::string> args;
    for (const vornsim::CardDescription& card : machine.cards) {
        auto board = vorntest::boardArgs(card.ids.subsystemId, card.bus, card.slot, card.irq);
        args.insert(args.end(), board.begin(), board.end());
    }
    return args;
}

// The library finds the daemon as a program does, through VORN_HOST_SOCKET.
class DaemonRig : public Rig {
public:
    ~DaemonRig() override { stop(); }

    // Ends the daemon with SIGTERM while the library may still be connected; true when it
    // unloaded the driver cleanly.
    bool end() { return m_daemon && m_daemon->stop(SIGTERM) == 0; }

    bool start(const vornsim::MachineDescription& machine) override {
        std::string log;
        m_daemon = vorntest::DaemonProcess::start(boardArgs(machine), &log);
        if (!m_daemon || !connect()) {
            std::printf("%s", log.c_str());
            return false;
        }
        ::setenv("VORN_HOST_SOCKET", m_daemon->socketPath().c_str(), 1);
        return vornlib::testing::resetChannel();
    }

    // Starts a daemon with `machine` again on the same socket, after end().
    bool launch(const vornsim::MachineDescription& machine) {
        return m_daemon && m_daemon->restart(boardArgs(machine)) && connect();
    }
    vornhost::DeviceChannel& control() override { return *m_control; }
    bool virtualTime() const override { return false; }
    void advance(int64_t) override {}
    bool waitForPending(size_t count) override {
        auto status = m_control->hostStatus(
            {vornhost::wire::StatusWait::PendingAtLeast, uint32_t(count), 10'000});
        return status && status->reached;
    }

private:
    bool connect() {
        m_control = vornhost::DaemonClient::connect(m_daemon->socketPath());
        return m_control != nullptr;
    }

    void stop() {
        m_control.reset();
        if (!m_daemon)
            return;
        ::unsetenv("VORN_HOST_SOCKET");
        if (m_daemon->running()) {
            EXPECT_EQ(m_daemon->stop(SIGTERM), 0) << "vornhost did not unload cleanly";
        }
        if (::testing::Test::HasFailure())
            std::printf("%s", m_daemon->log().c_str());
        m_daemon.reset();
    }

    std::unique_ptr<vorntest::DaemonProcess> m_daemon;
    std::unique_ptr<vornhost::DaemonClient> m_control;
};

} // namespace

std::unique_ptr<Rig> makeDaemonRig() {
    return std::make_unique<DaemonRig>();
}

bool endDaemon(Rig& rig) {
    auto* daemon = dynamic_cast<DaemonRig*>(&rig);
    return daemon != nullptr && daemon->end();
}

bool restartDaemon(Rig& rig, const vornsim::MachineDescription& machine) {
    auto* daemon = dynamic_cast<DaemonRig*>(&rig);
    return daemon != nullptr && daemon->launch(machine);
}

std::vector<RigKind> rigKinds() {
    return {RigKind::InProcess, RigKind::Daemon};
}

} // namespace libtest
