// The library and a daemon that is named by VORN_HOST_SOCKET and restarted under a running
// program: the next call after the daemon is back works on the handles opened before.
#include "boards.h"
#include "lib_fixture.h"
#include "vorn_sim.h"

#include <cstdlib>
#include <future>

namespace libtest {
namespace {

class LibDaemonRestartTest : public vorntest::PrivateHostTest {
protected:
    void start(const vornsim::MachineDescription& machine) {
        PrivateHostTest::start(machine, vorntest::RigKind::Daemon);
    }
    vorntest::DaemonRig& daemon() { return static_cast<vorntest::DaemonRig&>(rig()); }
};

// The rig names its daemon to the library only through the variable; the default machine of
// an in-process host would have a board of model 0x9070.
TEST_F(LibDaemonRestartTest, TheSocketVariableLeadsToThatDaemon) {
    ASSERT_NO_FATAL_FAILURE(start(oneBoard(0x7100)));
    ASSERT_NE(std::getenv("VORN_HOST_SOCKET"), nullptr);
    BoardHandle handle = nullptr;
    ASSERT_EQ(VORN_open(&handle, "VORNpci0"), VORN_OK);
    EXPECT_EQ(handle->modelCode, 0x7100);
    int32_t delay = -250;
    EXPECT_EQ(VORN_setPropDelayCorr(handle, &delay), VORN_OK);
    EXPECT_EQ(board().propagationDelayMicros, -250);
    EXPECT_EQ(VORN_close(handle), VORN_OK);
}

// Whichever call comes first after the restart, a wait or a plain request, it reaches the new
// daemon's board through the handle opened on the old one.
TEST_F(LibDaemonRestartTest, TheNextCallAfterTheRestartWorks) {
    ASSERT_NO_FATAL_FAILURE(start(oneBoard()));
    BoardHandle handle = nullptr;
    ASSERT_EQ(VORN_open(&handle, "VORNpci0"), VORN_OK);
    std::future<uint8_t> waiter = std::async(std::launch::async, [handle] {
        uint32_t timeout = 60'000;
        return VORN_waitMatch(handle, &timeout);
    });
    ASSERT_TRUE(rig().waitForPending(1));
    for (bool waitFirst : {true, false}) {
        ASSERT_TRUE(daemon().end());
        if (waitFirst) {
            EXPECT_EQ(waiter.get(), VORN_WAIT_NOT_STARTED) << "the wait under way ends";
        }
        TimeObj time{};
        EXPECT_EQ(VORN_getTime(handle, &time), VORN_ERR_HOST) << "while no daemon answers";
        ASSERT_TRUE(daemon().restart(oneBoard()));
        uint32_t timeout = 1;
        if (waitFirst) {
            EXPECT_EQ(VORN_waitMatch(handle, &timeout), VORN_WAIT_TIMEOUT);
        } else {
            EXPECT_EQ(VORN_getTime(handle, &time), VORN_OK);
        }
        int32_t delay = waitFirst ? 40 : 41;
        EXPECT_EQ(VORN_setPropDelayCorr(handle, &delay), VORN_OK);
        EXPECT_EQ(board().propagationDelayMicros, delay);
    }
    EXPECT_EQ(VORN_close(handle), VORN_OK);
}

TEST_F(LibDaemonRestartTest, AHandleWhoseBoardIsGoneGetsNoDevice) {
    vornsim::MachineDescription two = oneBoard();
    two.cards.push_back(vornsim::CardDescription::board(0x7100, 0, 4, 10));
    ASSERT_NO_FATAL_FAILURE(start(two));
    BoardHandle kept = nullptr, lost = nullptr;
    ASSERT_EQ(VORN_open(&kept, "VORNpci0"), VORN_OK);
    ASSERT_EQ(VORN_open(&lost, "VORNpci1"), VORN_OK);
    ASSERT_TRUE(daemon().end());
    ASSERT_TRUE(daemon().restart(oneBoard()));
    TimeObj time{};
    EXPECT_EQ(VORN_getTime(lost, &time), VORN_ERR_NO_DEVICE);
    uint32_t timeout = 1;
    EXPECT_EQ(VORN_waitMatch(lost, &timeout), VORN_WAIT_NOT_STARTED);
    EXPECT_EQ(VORN_simStrobe(lost, 1), VORN_ERR_NO_DEVICE);
    EXPECT_EQ(VORN_getTime(kept, &time), VORN_OK);
    BoardHandle again = nullptr;
    EXPECT_EQ(VORN_open(&again, "VORNpci1"), VORN_ERR_NO_DEVICE);
    EXPECT_EQ(VORN_close(lost), VORN_OK);
    EXPECT_EQ(VORN_close(kept), VORN_OK);
}

} // namespace
} // namespace libtest
