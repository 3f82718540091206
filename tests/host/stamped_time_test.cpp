// The stamped time request through the daemon's socket: the two stamps are the driver's, taken
// around the board's latch, so the round trip does not widen them.
#include "daemon_client.h"
#include "driver_host.h"
#include "server.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <thread>

namespace vornhost {
namespace {

constexpr uint16_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

TEST(StampedTimeTest, StampsAreTheDriversOnTheVirtualClock) {
    DriverHost host(defaultMachine()); // virtual clock: it stands still during the round trip
    ASSERT_EQ(host.load(), STATUS_SUCCESS);
    char pattern[] = "/tmp/vornstamp.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string socket = std::string(pattern) + "/vornhost.sock";
    Server server(host, {socket});
    std::string error;
    ASSERT_TRUE(server.listen(&error)) << error;
    std::thread serving([&] { server.run(); });
    {
        auto client = DaemonClient::connect(socket);
        ASSERT_TRUE(client);
        uint64_t handle = 0;
        ASSERT_EQ(client->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
        for (int read = 0; read < 2; ++read) { // learning the year, then knowing it
            host.virtualClock()->advance(7 * ntemu::kMillisecond);
            vornpci::StampedTimeObj stamped{};
            ChannelResult result =
                client->deviceIoControl(handle, vornpci::IOCTL_VORNPCI_GET_STAMPED_TIME, &stamped,
                                        sizeof(stamped), &stamped, sizeof(stamped));
            ASSERT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.information, sizeof(stamped));
            EXPECT_EQ(stamped.systemBefore, host.virtualClock()->systemTime());
            EXPECT_EQ(stamped.systemAfter, stamped.systemBefore);
            EXPECT_EQ(stamped.microsInMinute, host.board(0)->time().microsInMinute());
        }
        EXPECT_EQ(client->close(handle), STATUS_SUCCESS);
    }
    server.stop();
    serving.join();
    EXPECT_TRUE(host.unload());
    std::filesystem::remove_all(pattern);
}

} // namespace
} // namespace vornhost
