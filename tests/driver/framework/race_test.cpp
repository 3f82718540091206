// Races of the request queue: completion, cancellation and start running at once from
// several threads, many times over, in both modes. Every request must end exactly once (the
// verifier reports a second completion or a completion with a cancel routine still set) and
// nothing may stay in the pool.
#include "system_fixture.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

using namespace drvfwtest;

namespace {

class RaceTest : public SystemFixture, public testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Modes, RaceTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Legacy" : "Queue"; });

constexpr int kRounds = 100;
constexpr ULONG kRequestsPerRound = 6;

// One round: requests arrive from their own threads while a completer finishes whatever is
// current (directly or through the DPC) and every third request is cancelled by its thread's
// end; a cleanup flushes whatever is left of the last file.
void runRound(ntemu::Process& process, QueueDevice& device, ntemu::Handle handle, int round) {
    std::vector<std::unique_ptr<Request>> requests;
    std::atomic<bool> stop{false};
    std::thread completer([&] {
        std::minstd_rand random(round);
        while (!stop.load())
            if (device.completeCurrent(STATUS_SUCCESS, random() % 2 == 0) == 0)
                std::this_thread::yield();
    });
    for (ULONG n = 0; n < kRequestsPerRound; ++n)
        requests.push_back(std::make_unique<Request>(
            process, handle, round * 100 + n + 1, n % 4 == 3 ? kIoctlQueueAndFinish : kIoctlQueue));
    std::vector<std::thread> cancellers;
    for (ULONG n = 0; n < kRequestsPerRound; n += 3)
        cancellers.emplace_back([&, n] { requests[n]->cancel(); });
    for (auto& canceller : cancellers)
        canceller.join();
    for (auto& request : requests) {
        NTSTATUS status = request->status();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED)
            << "request " << request->id() << " ended with " << std::hex << status;
    }
    stop = true;
    completer.join();
}

TEST_P(RaceTest, EveryRequestEndsExactlyOnce) {
    driverConfig() = DriverConfig{1, GetParam()};
    boot();
    ASSERT_EQ(load(QueueDriverEntry), STATUS_SUCCESS);
    auto& device = *static_cast<QueueDevice*>(g_devices[0]);
    ntemu::OpenOptions options;
    options.overlapped = true;
    for (int round = 0; round < kRounds; ++round) {
        ntemu::Handle handle = 0;
        ASSERT_EQ(process().open(u"\\\\.\\FwQueue0", options, &handle), STATUS_SUCCESS);
        runRound(process(), device, handle, round);
        kernel().settle();
        EXPECT_EQ(process().close(handle), STATUS_SUCCESS);
        EXPECT_EQ(device.IrpQueue.GetCurrentIrp(), nullptr);
    }
    EXPECT_EQ(io().liveIrpCount(), 0u);
    EXPECT_TRUE(unload());
    EXPECT_EQ(frameworkBlocks(), 0u);
    EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);
}

// Closing a file while its requests start, complete and are cancelled: the cleanup's flush
// races everything else.
TEST_P(RaceTest, CleanupRacesStartAndCompletion) {
    driverConfig() = DriverConfig{1, GetParam()};
    boot();
    ASSERT_EQ(load(QueueDriverEntry), STATUS_SUCCESS);
    auto& device = *static_cast<QueueDevice*>(g_devices[0]);
    ntemu::OpenOptions options;
    options.overlapped = true;
    for (int round = 0; round < kRounds; ++round) {
        ntemu::Handle handle = 0;
        ASSERT_EQ(process().open(u"\\\\.\\FwQueue0", options, &handle), STATUS_SUCCESS);
        std::atomic<bool> stop{false};
        // Finishes whatever is current until every request has ended, including those that
        // reach the driver after the cleanup.
        std::thread completer([&] {
            while (!stop.load())
                if (device.completeCurrent(STATUS_SUCCESS) == 0)
                    std::this_thread::yield();
        });
        std::vector<std::unique_ptr<Request>> requests;
        for (ULONG n = 0; n < kRequestsPerRound; ++n)
            requests.push_back(std::make_unique<Request>(process(), handle, n + 1));
        std::thread closer([&] { process().close(handle); });
        closer.join();
        for (auto& request : requests) {
            NTSTATUS status = request->status();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED ||
                        status == STATUS_INVALID_HANDLE)
                << std::hex << status;
        }
        stop = true;
        completer.join();
        kernel().settle();
    }
    EXPECT_EQ(io().liveIrpCount(), 0u);
    EXPECT_TRUE(unload());
    EXPECT_EQ(frameworkBlocks(), 0u);
    EXPECT_EQ(ntemu::verifier::pendingCount(), 0u);
}

} // namespace
