// A private in-process host for the library's callers: the driver loaded on a machine whose
// clock is virtual and starts at a known instant, the library's next open reaching it.
#pragma once

#include "one_board.h"
#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <memory>

namespace vorntest {

// Forgets the library's channel and boots the host. Null (with a test failure) when the
// library still has boards open or the driver does not load.
inline std::shared_ptr<vornlib::testing::HostChannel>
bootPrivateHost(const vornsim::MachineDescription& machine = oneBoard()) {
    EXPECT_TRUE(vornlib::testing::resetChannel()) << "the library still has boards open";
    vornhost::HostOptions options;
    options.virtualClock = true;
    options.systemTimeAtStart = kStartUtc;
    auto channel = vornlib::testing::useHost(machine, options);
    EXPECT_NE(channel, nullptr) << "the private host did not start";
    return channel;
}

} // namespace vorntest
