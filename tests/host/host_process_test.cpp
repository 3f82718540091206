// The end of a host process while its callers are still busy: every call under way is let go,
// including one that reaches the driver just after a cancelling pass, and none starts after.
#include "driver_fixture.h"
#include "driver_requests.h"
#include "host_process.h"
#include "vornpci_ioctl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vornhost {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;             // a safety net only
constexpr uint32_t kLongWaitMs = 20'000; // never ends on its own: nothing advances the clock
using vorntest::kShareAll;

class HostProcessTest : public vorntest::LoadedDriverTest {
protected:
    void SetUp() override {
        LoadedDriverTest::SetUp();
        m_process = std::make_unique<HostProcess>(m_host, "test", 8);
    }

    void TearDown() override {
        m_process.reset();
        LoadedDriverTest::TearDown();
    }

    uint64_t openBoard() {
        uint64_t handle = 0;
        EXPECT_EQ(m_process->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
        return handle;
    }

    NTSTATUS waitHeartbeat(uint64_t key, uint64_t handle) {
        uint32_t timeoutMs = kLongWaitMs;
        return m_process
            ->deviceIoControl(key, handle, vornpci::IOCTL_VORNPCI_WAIT_HEART, &timeoutMs, 4,
                              nullptr, 0)
            .status;
    }

    std::unique_ptr<HostProcess> m_process;
};

TEST_F(HostProcessTest, BlockedCallIsCancelledAndNoCallStartsAfter) {
    uint64_t handle = openBoard();
    NTSTATUS waited = STATUS_SUCCESS;
    std::thread waiter([&] { waited = waitHeartbeat(1, handle); });
    EXPECT_TRUE(driverHolds(1)); // not ASSERT: the waiter must be joined either way
    m_process->terminate();
    waiter.join();
    EXPECT_EQ(waited, STATUS_CANCELLED);
    EXPECT_EQ(m_process->handleCount(), 0u);

    EXPECT_EQ(waitHeartbeat(1, handle), STATUS_PROCESS_IS_TERMINATING);
    uint64_t reopened = 99;
    EXPECT_EQ(m_process->open(u"\\\\.\\VORNpci0", kShareAll, &reopened),
              STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(reopened, 0u);
    EXPECT_EQ(m_process->close(handle), STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(m_host.io().liveIrpCount(), 0u);
}

// Callers that wait again as soon as a wait ends, as a daemon's request threads do with a
// client's queued requests: a wait that slipped in after the only cancelling pass used to block
// its thread for good, and the connection that was ending with it never ended.
TEST_F(HostProcessTest, CallsThatKeepComingAreAllLetGo) {
    constexpr int kCallers = 4;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        m_process = std::make_unique<HostProcess>(m_host, "test", 8);
        uint64_t handle = openBoard();
        std::mutex lock;
        std::condition_variable finished;
        int done = 0;
        std::atomic<bool> giveUp{false};
        std::vector<std::thread> callers;
        for (int key = 0; key < kCallers; ++key)
            callers.emplace_back([&, key] {
                while (!giveUp && waitHeartbeat(key, handle) != STATUS_PROCESS_IS_TERMINATING) {
                }
                std::lock_guard guard(lock);
                ++done;
                finished.notify_all();
            });
        // The board has one heartbeat slot: one wait is held, the others are refused and come
        // again at once, so the driver seldom holds all of them at one instant on a busy machine.
        EXPECT_TRUE(driverHolds(1)); // not ASSERT: the callers must be joined
        m_process->terminate();
        std::unique_lock held(lock);
        bool allDone = finished.wait_for(held, kBound, [&] { return done == kCallers; });
        held.unlock();
        if (!allDone) { // let the stuck callers go so that the test can end
            giveUp = true;
            m_host.virtualClock()->advance(int64_t(kLongWaitMs) * 10'000 * 2);
        }
        for (auto& caller : callers)
            caller.join();
        ASSERT_TRUE(allDone);
        EXPECT_EQ(m_process->handleCount(), 0u);
        EXPECT_EQ(m_host.io().liveIrpCount(), 0u);
    }
}

} // namespace
} // namespace vornhost
