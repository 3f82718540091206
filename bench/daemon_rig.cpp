// Starting the vornhost child, pointing the library at it and opening its board.
#include "daemon_rig.h"

#include "socket_io.h"
#include "vorn_testing.h"

#include <cstdio>
#include <filesystem>
#include <signal.h>
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
    const std::string countFile = scratchDirectory() + "/daemon.allocs";
    std::string log;
    m_daemon = vorntest::DaemonProcess::start(
        vorntest::boardArgs(0x9070, 0, 3, 11, true), &log, "vornhost.sock",
        {"LD_PRELOAD=" + dir + "/libvorn_alloc_count.so", "VORN_ALLOC_COUNT_FILE=" + countFile});
    if (!m_daemon) {
        std::fprintf(stderr, "vornhost did not come up:\n%s", log.c_str());
        return false;
    }
    const std::string& socket = m_daemon->socketPath();
    if (!m_allocs.map(countFile.c_str()))
        std::fprintf(stderr, "the daemon's allocation count is not readable\n");
    m_control = vornhost::DaemonClient::connect(socket);
    m_rawControl = vornhost::connectUnix(socket);
    if (m_rawControl < 0 ||
        !vornhost::writeAll(
            m_rawControl,
            vornhost::wire::frame(uint16_t(vornhost::wire::MessageType::Hello), 1, 1,
                                  vornhost::wire::encode(vornhost::wire::HelloRequest{1}))) ||
        vornhost::readFrame(m_rawControl, 5000, 5000).status != vornhost::ReadStatus::Ok) {
        std::fprintf(stderr, "the daemon does not greet a second connection\n");
        return false;
    }
    if (!m_control || !vornlib::testing::useDaemon(socket) ||
        VORN_open(&m_board, "VORNpci0") != VORN_OK) {
        std::fprintf(stderr, "cannot open VORNpci0 through vornhost\n");
        return false;
    }
    return true;
}

bool DaemonRig::strobeUnanswered() {
    if (m_rawOwed &&
        vornhost::readFrame(m_rawControl, 5000, 5000).status != vornhost::ReadStatus::Ok)
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
    if (m_daemon)
        m_daemon->stop(SIGTERM);
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
