// Heap allocations on the request path: a device control request through the daemon (client
// and serving side in this program) and through the in-process channel allocates nothing once
// the threads and buffers of the first requests exist. Counted by replacing operator new.
#include "driver_requests.h"
#include "served_host.h"
#include "vornpci_ioctl.h"
#include "vornpci_records.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
std::atomic<uint64_t> g_allocations{0};
}

void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
// The library's temporary buffers (merges, stable sorts) take the nothrow form and give it back
// through the sized delete below: both must be ours, or the two do not pair up.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}

namespace vornhost {
namespace {

using vorntest::kShareAll;
constexpr int kWarmUp = 200;
constexpr int kCounted = 1000;

// Allocations made by `count` time reads on `channel`, after the warm-up.
uint64_t allocationsOfTimeReads(DeviceChannel& channel, uint64_t handle, int count) {
    auto read = [&] {
        vornpci::TimeObj time{};
        return channel.deviceIoControl(handle, vornpci::IOCTL_VORNPCI_GET_TIME, &time, sizeof(time),
                                       &time, sizeof(time));
    };
    for (int i = 0; i < kWarmUp; ++i)
        EXPECT_EQ(read().status, STATUS_SUCCESS);
    const uint64_t before = g_allocations.load();
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        ChannelResult result = read();
        failed += result.status != STATUS_SUCCESS || result.information != 16;
    }
    const uint64_t made = g_allocations.load() - before;
    EXPECT_EQ(failed, 0);
    return made;
}

TEST(RequestAllocationTest, DaemonRequestsAllocateNothingAfterWarmUp) {
    vorntest::ServedHost served;
    ASSERT_TRUE(served.ready());
    EXPECT_EQ(allocationsOfTimeReads(served.client(), served.handle(), kCounted), 0u);
    // A second caller thread: its first requests get buffers of their own, then none.
    std::thread other(
        [&] { EXPECT_EQ(allocationsOfTimeReads(served.client(), served.handle(), 100), 0u); });
    other.join();
}

TEST(RequestAllocationTest, InProcessRequestsAllocateNothingAfterWarmUp) {
    auto channel = openInProcessChannel(defaultMachine());
    ASSERT_TRUE(channel);
    uint64_t handle = 0;
    ASSERT_EQ(channel->open(u"\\\\.\\VORNpci0", kShareAll, &handle), STATUS_SUCCESS);
    EXPECT_EQ(allocationsOfTimeReads(*channel, handle, kCounted), 0u);
    EXPECT_EQ(channel->close(handle), STATUS_SUCCESS);
}

} // namespace
} // namespace vornhost
