// The stamped time request through the daemon's socket: the two stamps are the driver's, taken
// around the board's latch, so the round trip does not widen them.
#include "served_host.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

namespace vornhost {
namespace {

TEST(StampedTimeTest, StampsAreTheDriversOnTheVirtualClock) {
    vorntest::ServedHost served; // virtual clock: it stands still during the round trip
    ASSERT_TRUE(served.ready());
    vornhost::DriverHost& host = served.host();
    for (int read = 0; read < 2; ++read) { // learning the year, then knowing it
        host.virtualClock()->advance(7 * ntemu::kMillisecond);
        vornpci::StampedTimeObj stamped{};
        ChannelResult result = served.client().deviceIoControl(
            served.handle(), vornpci::IOCTL_VORNPCI_GET_STAMPED_TIME, &stamped, sizeof(stamped),
            &stamped, sizeof(stamped));
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, sizeof(stamped));
        EXPECT_EQ(stamped.systemBefore, host.virtualClock()->systemTime());
        EXPECT_EQ(stamped.systemAfter, stamped.systemBefore);
        EXPECT_EQ(stamped.microsInMinute, host.board(0)->time().microsInMinute());
    }
}

} // namespace
} // namespace vornhost
