// A device channel to a driver host inside the calling program: one host process whose threads
// follow the caller's OS threads.
#pragma once

#include "board_control.h"
#include "device_channel.h"
#include "driver_host.h"
#include "event_fanout.h"
#include "host_process.h"

#include <cstddef>
#include <memory>
#include <string>

#include <unistd.h>

namespace vornhost {

class InProcessChannel : public DeviceChannel {
public:
    // Opens a process named `processName` on `host`, which the channel keeps loaded for as long
    // as it lives; the last holder of `host` takes the driver down.
    InProcessChannel(std::shared_ptr<DriverHost> host, std::string processName);
    // Ends the subscriptions and the process (requests cancelled, handles closed) before the
    // host is let go.
    ~InProcessChannel() override;

    NTSTATUS open(std::u16string_view name, uint16_t shareAccess, uint64_t* handle) override {
        return m_process->open(name, shareAccess, handle);
    }
    // Runs on the host thread that acts for the calling OS thread.
    ChannelResult deviceIoControl(uint64_t handle, uint32_t code, const void* in, uint32_t inLength,
                                  void* out, uint32_t outLength) override;
    NTSTATUS close(uint64_t handle) override { return m_process->close(handle); }
    NTSTATUS simulate(const SimCommand& command) override {
        return applySimCommand(m_host->machine(), command);
    }
    NTSTATUS inspectBoard(uint32_t board, BoardState* state) override {
        return readBoardState(m_host->machine(), board, state);
    }
    NTSTATUS subscribeEvents(std::u16string_view deviceName, uint32_t* subscription) override {
        return m_subscriptions->subscribe(deviceName, subscription);
    }
    NTSTATUS nextEvent(uint32_t subscription, uint32_t timeoutMs, HostEvent* event) override {
        return m_subscriptions->next(subscription, timeoutMs, event);
    }
    NTSTATUS unsubscribeEvents(uint32_t subscription) override {
        return m_subscriptions->unsubscribe(subscription);
    }
    NTSTATUS readHealth(uint32_t board, BoardHealth* health) override {
        if (!health)
            return STATUS_INVALID_PARAMETER;
        return m_host->boardHealth(board, health) ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    }
    // The reporter is this program.
    NTSTATUS reportSyncSample(uint32_t board, const SyncSample& sample) override {
        return m_host->recordSyncSample(board, sample, {int32_t(::getpid()), uint32_t(::getuid())});
    }

    DriverHost& host() { return *m_host; }
    const HostProcess& process() const { return *m_process; }

private:
    std::shared_ptr<DriverHost> m_host;
    std::unique_ptr<HostProcess> m_process;
    std::unique_ptr<EventSubscriptions> m_subscriptions;
};

} // namespace vornhost
