// The in-process and daemon rigs, and the private host fixture over them.
#include "host_rig.h"
#include "private_host.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace vorntest {

std::vector<RigKind> rigKinds() {
    return {RigKind::InProcess, RigKind::Daemon};
}

std::string rigName(const ::testing::TestParamInfo<RigKind>& info) {
    return info.param == RigKind::InProcess ? "InProcess" : "Daemon";
}

bool InProcessRig::start(const vornsim::MachineDescription& machine) {
    m_channel = bootPrivateHost(machine);
    return m_channel != nullptr;
}

void InProcessRig::advance(int64_t ticks) {
    m_channel->host().virtualClock()->advance(ticks);
}

DaemonRig::~DaemonRig() {
    m_control.reset();
    if (!m_daemon)
        return;
    ::unsetenv("VORN_HOST_SOCKET");
    if (m_daemon->running())
        expectCleanStop(*m_daemon);
    if (::testing::Test::HasFailure())
        std::printf("%s", m_daemon->log().c_str());
}

bool DaemonRig::start(const vornsim::MachineDescription& machine) {
    m_daemon = startDaemon(daemonArgs(machine));
    if (!m_daemon || !connect())
        return false;
    ::setenv("VORN_HOST_SOCKET", m_daemon->socketPath().c_str(), 1);
    return vornlib::testing::resetChannel();
}

bool DaemonRig::end() {
    return m_daemon && m_daemon->stop(SIGTERM) == 0;
}

bool DaemonRig::restart(const vornsim::MachineDescription& machine) {
    return m_daemon && m_daemon->restart(daemonArgs(machine)) && connect();
}

bool DaemonRig::connect() {
    m_control = vornhost::DaemonClient::connect(m_daemon->socketPath());
    return m_control != nullptr;
}

std::unique_ptr<HostRig> makeRig(RigKind kind) {
    if (kind == RigKind::InProcess)
        return std::make_unique<InProcessRig>();
    return std::make_unique<DaemonRig>();
}

void PrivateHostTest::TearDown() {
    EXPECT_EQ(vornlib::testing::openBoardCount(), 0u) << "a board was left open";
    EXPECT_TRUE(vornlib::testing::resetChannel());
    m_rig.reset();
}

void PrivateHostTest::start(const vornsim::MachineDescription& machine, RigKind kind) {
    m_rig.reset();
    ASSERT_TRUE(vornlib::testing::resetChannel()) << "the library still has boards open";
    m_rig = makeRig(kind);
    ASSERT_TRUE(m_rig->start(machine));
}

vornhost::BoardState PrivateHostTest::board(uint32_t index) {
    vornhost::BoardState state;
    EXPECT_EQ(m_rig->control().inspectBoard(index, &state), STATUS_SUCCESS);
    return state;
}

void PrivateHostTest::simulate(const vornhost::SimCommand& command) {
    EXPECT_EQ(m_rig->control().simulate(command), STATUS_SUCCESS);
}

} // namespace vorntest
