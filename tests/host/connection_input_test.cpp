// A daemon connection served in-process over a socket pair, fed what a hostile or careless
// client may send: its answers, and that nothing it sends reaches the kernel layer's verifier.
#include "connection.h"
#include "driver_fixture.h"
#include "socket_io.h"
#include "vornpci_ioctl.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace vornhost {
namespace {

constexpr int kWaitMs = 10'000; // a safety net only

class OneConnection final : public ServerView {
public:
    size_t connectionCount() const override { return 1; }
};

class ConnectionInputTest : public vorntest::LoadedDriverTest {
protected:
    void SetUp() override {
        LoadedDriverTest::SetUp();
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_client = fds[1];
        m_connection = std::make_unique<Connection>(
            fds[0], 1, PeerCredentials{::getpid(), ::getuid(), ::getgid()}, m_host, m_server,
            std::function<void()>{});
        m_connection->start();
    }

    void TearDown() override {
        ::close(m_client);
        m_connection.reset();
        LoadedDriverTest::TearDown();
    }

    ReadFrame ask(wire::MessageType type, uint32_t id, const std::vector<uint8_t>& payload) {
        EXPECT_TRUE(writeAll(m_client, wire::frame(uint16_t(type), id, 1, payload)));
        return readFrame(m_client, kWaitMs, kWaitMs);
    }

    static wire::ReplyHead head(const ReadFrame& reply) {
        auto h = wire::decodeReplyHead(std::span(reply.payload).first(8));
        return h.value_or(wire::ReplyHead{wire::WireError::ShuttingDown, 0});
    }

    uint64_t openBoard() {
        ReadFrame reply =
            ask(wire::MessageType::Open, 2, wire::encode(wire::OpenRequest{3, u"\\\\.\\VORNpci0"}));
        EXPECT_EQ(head(reply).status, STATUS_SUCCESS);
        return wire::decodeHandleReply(reply.payload).value_or(0);
    }

    OneConnection m_server;
    std::unique_ptr<Connection> m_connection;
    int m_client = -1;
};

// A code of another transfer method than buffered used to reach the kernel layer, which failed
// it with a NotImplemented verifier report: any client could fill the daemon's report log.
TEST_F(ConnectionInputTest, ControlCodeOfAnotherMethodIsRefusedBeforeTheKernel) {
    ASSERT_EQ(head(ask(wire::MessageType::Hello, 1, wire::encode(wire::HelloRequest{1}))).error,
              wire::WireError::Ok);
    uint64_t handle = openBoard();
    ASSERT_NE(handle, 0u);
    for (uint32_t method = 1; method <= 3; ++method) {
        wire::ControlRequest request{handle, vornpci::IOCTL_VORNPCI_GET_DRIVER | method, 7, {}};
        request.input.resize(7);
        ReadFrame reply = ask(wire::MessageType::DeviceControl, 10 + method, wire::encode(request));
        ASSERT_EQ(reply.status, ReadStatus::Ok);
        EXPECT_EQ(reply.header.requestId, 10 + method);
        EXPECT_EQ(head(reply).error, wire::WireError::BadArgument) << "method " << method;
    }
    EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);

    // The connection stays usable, and the buffered code works as before.
    wire::ControlRequest request{handle, vornpci::IOCTL_VORNPCI_GET_DRIVER, 7, {}};
    request.input.resize(7);
    ReadFrame reply = ask(wire::MessageType::DeviceControl, 20, wire::encode(request));
    EXPECT_EQ(head(reply).error, wire::WireError::Ok);
    EXPECT_EQ(head(reply).status, STATUS_SUCCESS);
    EXPECT_EQ(wire::decodeControlReply(reply.payload).value_or(std::vector<uint8_t>{}).size(), 7u);
}

} // namespace
} // namespace vornhost
