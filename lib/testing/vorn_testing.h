// For tests only: points the library at a private driver host before (or between) the opens,
// instead of the default daemon or in-process host. Programs never include this header.
#pragma once

#include "device_channel.h"
#include "driver_host.h"
#include "in_process_channel.h"

#include <cstddef>
#include <memory>
#include <string>

namespace vornlib::testing {

// The in-process channel over a driver host that the test holds too (its virtual clock and its
// boards): requests run on threads of one host process, one for each calling OS thread.
class HostChannel : public vornhost::InProcessChannel {
public:
    explicit HostChannel(std::shared_ptr<vornhost::DriverHost> host);

    // Requests the driver holds pending, over every thread of the channel.
    size_t pendingCount() const;
    // Blocks until at least `count` requests are pending, or the real-time safety bound passes.
    bool waitForPending(size_t count, unsigned boundMilliseconds = 10'000) const;
};

// Makes later opens use `channel`. False, with nothing changed, while boards are open.
bool useChannel(std::shared_ptr<vornhost::DeviceChannel> channel);

// Boots a private host on `machine` (virtual clock unless `options` say otherwise), loads the
// driver and makes later opens use it. Null when boards are open or the driver does not load.
std::shared_ptr<HostChannel> useHost(const vornsim::MachineDescription& machine,
                                     vornhost::HostOptions options = {});

// Makes later opens use the daemon at `socketPath`, and reconnect there after its restart, as
// VORN_HOST_SOCKET does for programs; false when none answers or boards are open.
bool useDaemon(const std::string& socketPath);

// Forgets the channel so that the next open chooses again as a program's first open does.
bool resetChannel();

size_t openBoardCount();

} // namespace vornlib::testing
