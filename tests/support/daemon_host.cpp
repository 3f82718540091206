// Starting, asking and stopping a private vornhost daemon for the tests, and raw connections.
#include "daemon_host.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vorntest {

using namespace vornhost;

std::vector<std::string> daemonArgs(const vornsim::MachineDescription& machine) {
    std::vector<std::string> args;
    for (const vornsim::CardDescription& card : machine.cards) {
        auto board =
            boardArgs(card.ids.subsystemId, card.bus, card.slot, card.irq, card.referencePresent);
        args.insert(args.end(), board.begin(), board.end());
    }
    return args;
}

std::unique_ptr<DaemonProcess> startDaemon(std::vector<std::string> args,
                                           const std::string& socketName) {
    std::string log;
    auto daemon = DaemonProcess::start(std::move(args), &log, socketName);
    EXPECT_TRUE(daemon) << log;
    return daemon;
}

void expectCleanStop(DaemonProcess& daemon) {
    EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.log();
    EXPECT_NE(daemon.log().find("driver unloaded; 0 pool block(s) left; 0 verifier report(s)"),
              std::string::npos)
        << daemon.log();
}

bool pendingAtLeast(DaemonClient& asker, size_t count) {
    auto status = asker.hostStatus(
        {wire::StatusWait::PendingAtLeast, uint32_t(count), wire::kMaxStatusBoundMs});
    return status && status->reached;
}

bool daemonIdle(DaemonClient& asker) {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < bound) {
        auto status = asker.hostStatus({wire::StatusWait::Idle, 0, wire::kMaxStatusBoundMs});
        if (!status)
            return false;
        if (status->reached)
            return true;
    }
    return false;
}

RawConnection::RawConnection(const std::string& path) : m_fd(connectUnix(path)) {}

RawConnection::~RawConnection() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawConnection::send(std::span<const uint8_t> bytes) {
    return writeAll(m_fd, bytes);
}

bool RawConnection::send(wire::MessageType type, uint32_t id, const std::vector<uint8_t>& payload,
                         uint32_t thread) {
    return send(wire::frame(uint16_t(type), id, thread, payload));
}

bool RawConnection::sendHello() {
    return send(wire::MessageType::Hello, 1, wire::encode(wire::HelloRequest{1}));
}

bool RawConnection::hello() {
    if (!sendHello())
        return false;
    ReadFrame reply = read();
    return reply.status == ReadStatus::Ok && error(reply) == wire::WireError::Ok;
}

ReadFrame RawConnection::read() {
    return readFrame(m_fd, kDaemonBoundMs, kDaemonBoundMs);
}

wire::WireError RawConnection::error(const ReadFrame& reply) {
    auto head = wire::decodeReplyHead(reply.payload);
    return head ? head->error : wire::WireError(0xFFFF);
}

void RawConnection::endWrites() {
    ::shutdown(m_fd, SHUT_WR);
}

bool RawConnection::closedByDaemon(std::vector<wire::WireError>* errors) {
    for (;;) {
        ReadFrame frame = read();
        if (frame.status == ReadStatus::Closed)
            return true;
        if (frame.status != ReadStatus::Ok)
            return false;
        auto head = wire::decodeReplyHead(frame.payload);
        if (errors && head)
            errors->push_back(head->error);
    }
}

} // namespace vorntest
