// Starting the vornhost child, pointing the library at it and opening its board.
#include "daemon_rig.h"

#include "socket_io.h"
#include "vorn_testing.h"

#include <cstdio>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace vornbench {

std::string programDirectory() {
    return std::filesystem::path(selfPath()).parent_path().string();
}

DaemonRig* DaemonRig::get() {
    static std::unique_ptr<DaemonRig> rig = [] {
        std::unique_ptr<DaemonRig> made(new DaemonRig());
        if (!made->start())
            made.reset();
        return made;
    }();
    return rig.get();
}

bool DaemonRig::start() {
    const std::string dir = programDirectory();
    const std::string scratch = scratchDirectory();
    m_socket = scratch + "/vornhost.sock";
    const std::string countFile = scratch + "/daemon.allocs";
    m_daemon = Child({dir + "/../host/vornhost", "--socket", m_socket, "--board",
                      "model=0x9070,bus=0,slot=3,irq=11,reference=1"},
                     {"LD_PRELOAD=" + dir + "/libvorn_alloc_count.so",
                      "VORN_ALLOC_COUNT_FILE=" + countFile},
                     scratch + "/vornhost.log");
    int probe = connectWithin(m_socket, 10'000);
    if (probe < 0) {
        std::fprintf(stderr, "vornhost did not come up at %s\n", m_socket.c_str());
        return false;
    }
    ::close(probe);
    if (!m_allocs.map(countFile.c_str()))
        std::fprintf(stderr, "the daemon's allocation count is not readable\n");
    m_control = vornhost::DaemonClient::connect(m_socket);
    m_rawControl = vornhost::connectUnix(m_socket);
    if (m_rawControl < 0 ||
        !vornhost::writeAll(m_rawControl,
                            vornhost::wire::frame(uint16_t(vornhost::wire::MessageType::Hello), 1,
                                                  1, vornhost::wire::encode(
                                                         vornhost::wire::HelloRequest{1}))) ||
        vornhost::readFrame(m_rawControl, 5000, 5000).status != vornhost::ReadStatus::Ok) {
        std::fprintf(stderr, "the daemon does not greet a second connection\n");
        return false;
    }
    if (!m_control || !vornlib::testing::useDaemon(m_socket) ||
        VORN_open(&m_board, "VORNpci0") != VORN_OK) {
        std::fprintf(stderr, "cannot open VORNpci0 through vornhost\n");
        return false;
    }
    return true;
}

bool DaemonRig::strobeUnanswered() {
    if (m_rawOwed && vornhost::readFrame(m_rawControl, 5000, 5000).status !=
                         vornhost::ReadStatus::Ok)
        return false;
    vornhost::SimCommand command;
    command.action = vornhost::SimAction::StrobeEvent;
    m_rawOwed = vornhost::writeAll(
        m_rawControl, vornhost::wire::frame(uint16_t(vornhost::wire::MessageType::Simulate),
                                            ++m_rawId, 1, vornhost::wire::encode(command)));
    return m_rawOwed;
}

DaemonRig::~DaemonRig() {
    if (m_rawControl >= 0)
        ::close(m_rawControl);
    if (m_board != nullptr)
        VORN_close(m_board);
    vornlib::testing::resetChannel();
    m_control.reset();
    m_daemon.stop();
}

bool DaemonRig::awaitParkedWait() {
    auto status = m_control->hostStatus({vornhost::wire::StatusWait::PendingAtLeast, 1, 5000});
    return status && status->reached;
}

bool DaemonRig::strobe(uint32_t count) {
    vornhost::SimCommand command;
    command.board = 0;
    command.action =
        count == 1 ? vornhost::SimAction::StrobeEvent : vornhost::SimAction::StrobeEvents;
    command.count = count;
    return m_control->simulate(command) == STATUS_SUCCESS;
}

uint64_t DaemonRig::eventsTagged() {
    vornhost::BoardState state;
    if (m_control->inspectBoard(0, &state) != STATUS_SUCCESS)
        return ~uint64_t{0};
    return state.eventsTagged;
}

} // namespace vornbench
