// The in-process channel over a driver host that a test holds too, with a way to see the
// requests the driver holds pending.
#include "vorn_testing.h"

#include <chrono>
#include <thread>

namespace vornlib::testing {

HostChannel::HostChannel(std::shared_ptr<vornhost::DriverHost> host)
    : InProcessChannel(std::move(host), "vorn-library") {}

size_t HostChannel::pendingCount() const {
    return process().pendingCount();
}

bool HostChannel::waitForPending(size_t count, unsigned boundMilliseconds) const {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMilliseconds);
    while (pendingCount() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace vornlib::testing
