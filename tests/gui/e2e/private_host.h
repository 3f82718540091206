// The host that end-to-end tests of the control utility run on: private, in-process, one board
// of a given model as "VORNpci0", on a virtual clock that starts at a known instant.
#pragma once

#include "vorn_testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace vorngui::e2e {

// 2024-03-01 12:00:00 UTC, day 61 of a leap year, in 100 ns units since 1601.
constexpr int64_t kStartUtc = 133'537'680'000'000'000;

// Forgets the library's channel and boots the host; the library's next open reaches it. Null
// (with a test failure) when the library still has boards open or the driver does not load.
inline std::shared_ptr<vornlib::testing::HostChannel> bootPrivateHost(uint16_t model) {
    EXPECT_TRUE(vornlib::testing::resetChannel());
    vornsim::MachineDescription machine;
    machine.cards.push_back(vornsim::CardDescription::board(model, 0, 3, 11));
    vornhost::HostOptions options;
    options.virtualClock = true;
    options.systemTimeAtStart = kStartUtc;
    auto channel = vornlib::testing::useHost(machine, options);
    EXPECT_NE(channel, nullptr);
    return channel;
}

} // namespace vorngui::e2e
