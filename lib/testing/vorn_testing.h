// For tests only: points the library at a private driver host before (or between) the opens,
// instead of the default daemon or in-process host. Programs never include this header.
#pragma once

#include "device_channel.h"
#include "driver_host.h"

#include <cstddef>
#include <memory>
#include <string>

namespace vornlib::testing {

// A device channel over a driver host that the test holds too: requests run on threads of one
// process of that host, a thread of its own for each calling OS thread, on overlapped handles.
class HostChannel : public vornhost::DeviceChannel {
public:
    explicit HostChannel(std::shared_ptr<vornhost::DriverHost> host);
    ~HostChannel() override;

    NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) override;
    vornhost::ChannelResult deviceIoControl(uint64_t handle, uint32_t code, const void* in,
                                            uint32_t inLength, void* out,
                                            uint32_t outLength) override;
    NTSTATUS close(uint64_t handle) override;
    NTSTATUS simulate(const vornhost::SimCommand& command) override;
    NTSTATUS inspectBoard(uint32_t board, vornhost::BoardState* state) override;
    NTSTATUS readHealth(uint32_t board, vornhost::BoardHealth* health) override;
    NTSTATUS reportSyncSample(uint32_t board, const vornhost::SyncSample& sample) override;

    // Requests the driver holds pending, over every thread of the channel.
    size_t pendingCount() const;
    // Blocks until at least `count` requests are pending, or the real-time safety bound passes.
    bool waitForPending(size_t count, unsigned boundMilliseconds = 10'000) const;
    vornhost::DriverHost& host() { return *m_host; }

private:
    struct Impl;
    std::shared_ptr<vornhost::DriverHost> m_host;
    std::unique_ptr<Impl> m_impl;
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
